#pragma once
// Live flow loss per exporter, from the sequence numbers with the rules nf5stat's loss report
// applies to stored rows (common/seqloss.h), each version by its own rule: v5 counts flows, v9
// export datagrams per source ID, IPFIX data records (options records included) per observation
// domain. The receive loop sees every datagram in its true arrival order, template-only ones
// included, and is the only thread that touches the trackers; the metrics endpoint reads only the
// totals published to common/metrics, an exporter's streams summed.
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "parser/netflow.h"

// An exporter's v9 and IPFIX streams (version and domain) tracked one by one; datagrams of
// further domains are not tracked.
constexpr size_t kMaxDomainsPerExporter = 16;

// Receive loop: the header of an accepted v5 datagram from the exporter in slot, read at now.
void TrackSequence(int slot, const NetFlowHeader& header, time_t now);
// Receive loop: a v9 or IPFIX datagram whose templates were learned, with the data records the
// templates held could count in it (a data set still without one counts none: its records show
// as missing).
void TrackExport(int slot, const ExportHeader& header, uint32_t records, time_t now);
// Receive loop: publishes the totals of the exporters heard since the last call, at most once a
// second.
void PublishLiveLoss(time_t now);
