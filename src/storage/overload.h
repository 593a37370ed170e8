#pragma once
// Overload said out loud: a run of refusals (flows at the full storage queue, flows a sink far
// behind the others skips, lines at the full trash buffer) gives one message as it starts and one with its count once it has ended, at most
// one pair a minute, on standard error and in the system log. The metrics count them apart.
#include <cstdint>

enum OverloadKind { kQueueRefusals, kSinkSkips, kTrashDrops, kOverloadKinds };

// Any thread, holding no lock: count more refusals of kind.
void NoteOverload(OverloadKind kind, uint64_t count);
// Called at least every pass interval: ends the runs that have been quiet for one.
void SettleOverloads();
