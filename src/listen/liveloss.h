#pragma once
// Live flow loss per exporter, from the v5 sequence numbers with the rules nf5stat's loss report
// applies to stored rows (common/seqloss.h). The receive loop sees datagrams in their true
// arrival order and is the only thread that touches the trackers; the metrics endpoint reads only
// the totals published to common/metrics.
#include <cstddef>
#include <ctime>

#include "parser/netflow.h"

// Receive loop: the header of an accepted datagram from the exporter in slot, read at now.
void TrackSequence(int slot, const NetFlowHeader& header, time_t now);
// Receive loop: publishes the totals of the exporters heard since the last call, at most once a
// second.
void PublishLiveLoss(time_t now);
