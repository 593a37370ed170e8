// The sequence tracker's memory bound: under heavy loss the open gaps a stream keeps stay capped,
// and every gap still ends up counted as missing, as it is without the cap.
#include <gtest/gtest.h>

#include "common/seqloss.h"

using namespace seqloss;

TEST(SeqLoss, EveryOtherDatagramLostKeepsFewGapsOpenAndCountsThemAll) {
    SeqTracker tracker;
    SeqTrackerInit(tracker, kDefaultRestartThreshold);
    constexpr uint32_t kFlows = 30, kSent = 2000;
    for (uint32_t n = 0; n < kSent; n += 2) {
        SeqTrackerAdd(tracker, SeqDatagram{n * kFlows, kFlows, 0});
        ASSERT_EQ(tracker.live.size(), 1u);
        ASSERT_LE(tracker.live.front().holes.size(), kMaxOpenHoles);
    }
    const LossCounts peeked = SeqTrackerPeek(tracker);
    const LossCounts counts = SeqTrackerFinish(tracker);
    EXPECT_EQ(counts.expected, (kSent - 1) * kFlows);
    EXPECT_EQ(counts.missing, (kSent / 2 - 1) * kFlows);
    EXPECT_EQ(counts.restarts, 0u);
    EXPECT_EQ(peeked.expected, counts.expected);
    EXPECT_EQ(peeked.missing, counts.missing);
}
