// The metrics counters behind the endpoint.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/metrics.h"
#include "listen/exposition.h"

namespace {

NetAddress NthAddress(uint32_t n) { return Ipv4Address(htonl(0x0A000000u + n)); }  // 10.0.0.0 + n

// The exporter label of every series of the family name.
std::vector<std::string> Exporters(const char* name) {
    std::vector<std::string> labels;
    for (const auto& family : CollectMetrics())
        if (family.name == name)
            for (const auto& metric : family.metric) labels.push_back(metric.label.at(0).value);
    return labels;
}

}  // namespace

TEST(Metrics, TheFirst256ExportersAreTrackedAndTheRestFoldedIntoOther) {
    for (int pass = 0; pass < 2; ++pass) {  // the second finds the slots the first took
        for (uint32_t n = 0; n < 300; ++n) {
            const int slot = n < kMaxExporters ? static_cast<int>(n) : kOtherExporter;
            EXPECT_EQ(ExporterSlot(NthAddress(n)), slot) << n;
            CountDatagram(slot, 100, 1);
        }
    }
    EXPECT_EQ(ExporterCount(), kMaxExporters);
    EXPECT_EQ(ReceivedDatagrams(kOtherExporter), 2u * (300 - kMaxExporters));

    const std::vector<std::string> labels = Exporters("nf5d_received_datagrams_total");
    ASSERT_EQ(labels.size(), kMaxExporters + 1u);
    EXPECT_EQ(labels.front(), "10.0.0.0");
    EXPECT_EQ(labels.back(), "other");
    // The folded exporters' sequences are not followed, so they show no loss at all.
    const std::vector<std::string> loss = Exporters("nf5d_missing_flows_total");
    ASSERT_EQ(loss.size(), static_cast<size_t>(kMaxExporters));
    EXPECT_EQ(loss.back(), "10.0.0.255");
}

// A counter that went back would read as a reset to Prometheus, and its whole value as new loss.
TEST(Metrics, PublishedLossNeverGoesBack) {
    PublishLoss(1, 300, 30, 1);
    PublishLoss(1, 300, 0, 0);  // a late datagram filled the gap, a provisional restart went back
    EXPECT_EQ(MissingFlows(1), 30u);
    EXPECT_EQ(ExporterRestarts(1), 1u);
    PublishLoss(1, 600, 45, 1);
    EXPECT_EQ(ExpectedFlows(1), 600u);
    EXPECT_EQ(MissingFlows(1), 45u);
}

TEST(Metrics, KernelDropCounterSurvivesItsWrap) {
    NoteKernelDrops(0xFFFFFFF0u);
    NoteKernelDrops(0xFFFFFFF0u);
    NoteKernelDrops(5);
    EXPECT_EQ(KernelDrops(), 0xFFFFFFF0ull + 21);
}
