#pragma once
// The loss report's view of the sequence accounting that nf5d shares (common/seqloss.h).
#include <string>

#include "common/seqloss.h"

namespace nf5stat {

using seqloss::AddLossCounts;
using seqloss::kDefaultRestartThreshold;
using seqloss::kMaxRestartThreshold;
using seqloss::LossCounts;
using seqloss::SeqDatagram;
using seqloss::SeqJump;
using seqloss::SeqTracker;
using seqloss::SeqTrackerAdd;
using seqloss::SeqTrackerFinish;
using seqloss::SeqTrackerInit;

struct ExporterLoss {
    std::string exporter;
    LossCounts counts;
    // It sent NetFlow v9 or IPFIX: their datagrams of templates and options leave no rows, so the
    // table cannot tell its loss; counts then holds its datagrams and flows only.
    bool unknown = false;
};

double LossPercent(const LossCounts& counts);

}  // namespace nf5stat
