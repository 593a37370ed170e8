#include "loss.h"

namespace nf5stat {

double LossPercent(const LossCounts& counts) {
    if (counts.expected == 0) return 0.0;
    return 100.0 * static_cast<double>(counts.missing) / static_cast<double>(counts.expected);
}

void AddLossCounts(LossCounts& total, const LossCounts& part) {
    total.datagrams += part.datagrams;
    total.flows += part.flows;
    total.expected += part.expected;
    total.missing += part.missing;
    total.duplicates += part.duplicates;
    total.restarts += part.restarts;
    total.outages += part.outages;
    total.interleaved = total.interleaved || part.interleaved;
}

}  // namespace nf5stat
