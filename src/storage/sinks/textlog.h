#pragma once
// The text flow log: one human-readable line per flow, appended at the end of each pass.
#include "storage/sink.h"

extern const Sink kTextLogSink;

// SIGUSR2's work.
void SwitchTextFlag();
