#include "loss.h"

namespace nf5stat {

double LossPercent(const LossCounts& counts) {
    if (counts.expected == 0) return 0.0;
    return 100.0 * static_cast<double>(counts.missing) / static_cast<double>(counts.expected);
}

}  // namespace nf5stat
