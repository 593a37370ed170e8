// nf5stat loss: the sequence accounting on its own, then whole databases with known gaps, each
// giving exact missing counts.
#include <algorithm>
#include <random>

#include "loss.h"
#include "reports.h"
#include "test_nf5stat_fixture.h"

using namespace nf5stat_test;

namespace {

// Datagrams of the given sizes, their sequences advancing like a real exporter's from first.
std::vector<std::pair<uint32_t, int>> Datagrams(uint32_t first, const std::vector<int>& sizes)
{
    std::vector<std::pair<uint32_t, int>> datagrams;
    uint32_t sequence = first;
    for (int size : sizes) {
        datagrams.emplace_back(sequence, size);
        sequence += static_cast<uint32_t>(size);
    }
    return datagrams;
}

void Store(std::vector<Row>& rows, const std::string& probe, const std::vector<std::pair<uint32_t, int>>& datagrams,
           const std::vector<size_t>& order, int64_t time = 1700000000)
{
    for (size_t index : order) AddDatagram(rows, probe, time++, datagrams[index].first, datagrams[index].second);
}

std::vector<size_t> AllBut(size_t count, const std::vector<size_t>& dropped)
{
    std::vector<size_t> order;
    for (size_t i = 0; i < count; ++i)
        if (std::find(dropped.begin(), dropped.end(), i) == dropped.end()) order.push_back(i);
    return order;
}

class LossDbTest : public TempDirTest {
protected:
    nf5stat::LossReport Loss(const std::vector<Row>& rows, const std::vector<std::string>& extra = {})
    {
        const std::string db = Path(("flows" + std::to_string(++files_) + ".db").c_str());
        WriteFlowsDb(db, rows);
        std::vector<std::string> args = {"-b", db, "loss"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        nf5stat::StatOptions options;
        std::vector<const char*> argv{"nf5stat"};
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        EXPECT_TRUE(nf5stat::ParseStatArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
        nf5stat::FlowDb flowdb;
        EXPECT_TRUE(nf5stat::OpenFlowDb(db, flowdb, error)) << error;
        nf5stat::LossReport report;
        EXPECT_TRUE(nf5stat::RunLoss(flowdb, options, report, error)) << error;
        return report;
    }
    int files_ = 0;
};

void ExpectCounts(const nf5stat::LossCounts& counts, uint64_t datagrams, uint64_t flows, uint64_t expected,
                  uint64_t missing, uint64_t restarts)
{
    EXPECT_EQ(counts.datagrams, datagrams);
    EXPECT_EQ(counts.flows, flows);
    EXPECT_EQ(counts.expected, expected);
    EXPECT_EQ(counts.missing, missing);
    EXPECT_EQ(counts.restarts, restarts);
    EXPECT_EQ(counts.flows + counts.missing, counts.expected + counts.duplicates);
}

}  // namespace

TEST(SeqTracker, RandomDropsAndLocalReorderingGiveExactlyTheDroppedFlows)
{
    std::mt19937 random(5);
    for (int round = 0; round < 60; ++round) {
        std::vector<int> sizes(1500);
        for (int& size : sizes) size = std::uniform_int_distribution<int>(1, 30)(random);
        // Every third round starts just below the wrap.
        const uint32_t first = round % 3 == 0 ? 0xffffffffu - 2000 : static_cast<uint32_t>(random());
        auto datagrams = Datagrams(first, sizes);
        uint64_t dropped = 0;
        std::vector<std::pair<uint32_t, int>> arrived{datagrams.front()};
        for (size_t i = 1; i + 1 < datagrams.size(); ++i) {
            if (random() % 20 == 0) dropped += static_cast<uint64_t>(datagrams[i].second);
            else arrived.push_back(datagrams[i]);
        }
        arrived.push_back(datagrams.back());
        for (size_t i = 0; i + 1 < arrived.size(); ++i)
            if (random() % 4 == 0) std::swap(arrived[i], arrived[std::min(arrived.size() - 1, i + random() % 8)]);
        nf5stat::SeqTracker tracker;
        nf5stat::SeqTrackerInit(tracker, nf5stat::kDefaultRestartThreshold);
        for (const auto& [sequence, flows] : arrived) nf5stat::SeqTrackerAdd(tracker, sequence, static_cast<uint32_t>(flows));
        const nf5stat::LossCounts counts = nf5stat::SeqTrackerFinish(tracker);
        uint64_t span = 0;
        for (int size : sizes) span += static_cast<uint64_t>(size);
        ASSERT_EQ(counts.missing, dropped) << "round " << round;
        ASSERT_EQ(counts.expected, span);
        ASSERT_EQ(counts.duplicates, 0u);
        ASSERT_EQ(counts.restarts, 0u);
        ASSERT_FALSE(counts.interleaved);
    }
}

TEST(SeqTracker, ThresholdSeparatesGapsFromRestartsInBothDirections)
{
    nf5stat::SeqTracker tracker;
    nf5stat::SeqTrackerInit(tracker, 1000);
    nf5stat::SeqTrackerAdd(tracker, 5000, 10);
    nf5stat::SeqTrackerAdd(tracker, 6010, 10);   // 1000 ahead: a gap
    nf5stat::SeqTrackerAdd(tracker, 7021, 10);   // 1001 ahead: a new stream
    nf5stat::SeqTrackerAdd(tracker, 6020, 10);   // 1011 behind that stream: the first goes on
    nf5stat::SeqTrackerAdd(tracker, 4000, 10);   // 2030 behind the first, 3031 behind the second
    const nf5stat::LossCounts counts = nf5stat::SeqTrackerFinish(tracker);
    EXPECT_EQ(counts.restarts, 2u);
    EXPECT_EQ(counts.missing, 1000u);
    EXPECT_EQ(counts.expected, 1030u + 10u + 10u);
}

TEST_F(LossDbTest, MissingDatagramsInTheMiddleAreCountedFlowByFlow)
{
    const auto datagrams = Datagrams(0, {30, 30, 30, 12, 30, 30, 5, 30, 30, 30});
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", datagrams, AllBut(datagrams.size(), {3, 4, 6}));
    const auto report = Loss(rows);
    ASSERT_EQ(report.exporters.size(), 1u);
    ExpectCounts(report.exporters[0].counts, 7, 210, 257, 47, 0);
}

TEST_F(LossDbTest, AReorderedPairIsNotLoss)
{
    const auto datagrams = Datagrams(1000, {10, 10, 10, 10, 10, 10});
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", datagrams, {0, 1, 3, 2, 4, 5});
    ExpectCounts(Loss(rows).exporters[0].counts, 6, 60, 60, 0, 0);
}

TEST_F(LossDbTest, AFirstDatagramStoredSecondIsNotLoss)
{
    const auto datagrams = Datagrams(70, {4, 9, 9, 9});
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", datagrams, {1, 0, 2, 3});
    ExpectCounts(Loss(rows).exporters[0].counts, 4, 31, 31, 0, 0);
}

TEST_F(LossDbTest, TheSequenceWrapsAt2To32WithoutARestart)
{
    const auto datagrams = Datagrams(4294967251u, {30, 30, 30, 30, 30});  // the third starts at 15
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", datagrams, {0, 1, 3, 4});
    const auto report = Loss(rows);
    ExpectCounts(report.exporters[0].counts, 4, 120, 150, 30, 0);
}

TEST_F(LossDbTest, AnExporterRestartStartsANewStreamWithItsOwnGaps)
{
    const auto before = Datagrams(5000000, {20, 20, 20, 20, 20});
    const auto after = Datagrams(0, {10, 10, 10, 10, 10, 10});
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", before, {0, 1, 3, 4}, 1700000000);
    Store(rows, "192.0.2.1", after, {0, 1, 2, 3, 5}, 1700000100);
    const auto counts = Loss(rows).exporters[0].counts;
    ExpectCounts(counts, 9, 130, 160, 30, 1);
    EXPECT_FALSE(counts.interleaved);
}

TEST_F(LossDbTest, ARestartSoonAfterStartRepeatsSequencesAndIsStillARestart)
{
    const auto before = Datagrams(0, std::vector<int>(10, 10));
    const auto after = Datagrams(0, std::vector<int>(8, 10));
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", before, AllBut(10, {4}), 1700000000);
    Store(rows, "192.0.2.1", after, AllBut(8, {2}), 1700000100);
    const auto counts = Loss(rows).exporters[0].counts;
    ExpectCounts(counts, 16, 160, 180, 20, 1);
    EXPECT_EQ(counts.duplicates, 0u);
}

TEST_F(LossDbTest, ARestartBelowWhereCollectionBeganIsARestart)
{
    const auto before = Datagrams(50000, std::vector<int>(70, 5));
    const auto after = Datagrams(0, std::vector<int>(5, 5));
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", before, AllBut(70, {10}), 1700000000);
    Store(rows, "192.0.2.1", after, AllBut(5, {}), 1700000100);
    ExpectCounts(Loss(rows).exporters[0].counts, 74, 370, 375, 5, 1);
}

TEST_F(LossDbTest, EarlyDatagramsStoredLateWithALossAmongThemAreOneStream)
{
    const auto datagrams = Datagrams(100, {6, 7, 8, 9, 10, 11});
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", datagrams, {3, 0, 2, 4, 5});
    const auto counts = Loss(rows).exporters[0].counts;
    ExpectCounts(counts, 5, 44, 51, 7, 0);
    EXPECT_FALSE(counts.interleaved);
}

TEST_F(LossDbTest, StragglersOfTheOldStreamAfterARestartAreNotInterleaving)
{
    const auto before = Datagrams(5000000, std::vector<int>(10, 8));
    const auto after = Datagrams(0, std::vector<int>(10, 8));
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", before, {0, 1, 2, 3, 4, 5, 6, 7}, 1700000000);
    Store(rows, "192.0.2.1", after, {0}, 1700000010);
    Store(rows, "192.0.2.1", before, {8}, 1700000011);
    Store(rows, "192.0.2.1", after, {1}, 1700000012);
    Store(rows, "192.0.2.1", before, {9}, 1700000013);
    Store(rows, "192.0.2.1", after, {2, 3, 4, 5, 6, 7, 8, 9}, 1700000014);
    const auto counts = Loss(rows).exporters[0].counts;
    ExpectCounts(counts, 20, 160, 160, 0, 1);
    EXPECT_FALSE(counts.interleaved);
}

TEST_F(LossDbTest, TwoExportersInterleavedRowByRowAreCountedApart)
{
    const auto a = Datagrams(1000, std::vector<int>(10, 10));
    const auto b = Datagrams(4294967246u, std::vector<int>(8, 25));
    std::vector<Row> rows_a, rows_b, rows;
    Store(rows_a, "192.0.2.10", a, AllBut(10, {5}));
    Store(rows_b, "192.0.2.9", b, AllBut(8, {1, 6}));
    for (size_t i = 0; i < std::max(rows_a.size(), rows_b.size()); ++i) {
        if (i < rows_a.size()) rows.push_back(rows_a[i]);
        if (i < rows_b.size()) rows.push_back(rows_b[i]);
    }
    const auto report = Loss(rows);
    ASSERT_EQ(report.exporters.size(), 2u);
    EXPECT_EQ(report.exporters[0].exporter, "192.0.2.9");  // address order, not text order
    ExpectCounts(report.exporters[0].counts, 6, 150, 200, 50, 0);
    EXPECT_EQ(report.exporters[1].exporter, "192.0.2.10");
    ExpectCounts(report.exporters[1].counts, 9, 90, 100, 10, 0);
    ExpectCounts(report.total, 15, 240, 300, 60, 0);
}

TEST_F(LossDbTest, TwoEnginesBehindOneAddressAreFlaggedAndCountedPerStream)
{
    const auto engine1 = Datagrams(0, std::vector<int>(20, 10));
    const auto engine2 = Datagrams(100000000, std::vector<int>(20, 20));
    std::vector<Row> rows;
    int64_t time = 1700000000;
    for (size_t i = 0; i < 20; ++i) {
        if (i != 5) Store(rows, "192.0.2.1", engine1, {i}, time);
        if (i != 7 && i != 8) Store(rows, "192.0.2.1", engine2, {i}, time);
        ++time;
    }
    const auto counts = Loss(rows).exporters[0].counts;
    ExpectCounts(counts, 37, 550, 600, 50, 1);
    EXPECT_TRUE(counts.interleaved);
}

TEST_F(LossDbTest, ADuplicatedDatagramIsNeitherLossNorNewFlows)
{
    const auto datagrams = Datagrams(0, {10, 10, 10, 10});
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", datagrams, {0, 1, 2, 1, 3});
    const auto counts = Loss(rows).exporters[0].counts;
    ExpectCounts(counts, 5, 50, 40, 0, 0);
    EXPECT_EQ(counts.duplicates, 10u);
}

TEST_F(LossDbTest, AJumpBeyondTheRestartSwitchIsARestart)
{
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", Datagrams(0, {10, 10}), {0, 1});
    Store(rows, "192.0.2.1", Datagrams(50000, {10, 10}), {0, 1});
    ExpectCounts(Loss(rows, {"--restart", "1000"}).exporters[0].counts, 4, 40, 40, 0, 1);
    ExpectCounts(Loss(rows).exporters[0].counts, 4, 40, 50000 + 20, 49980, 0);
}

TEST_F(LossDbTest, TheTimeRangeAndTheExporterRestrictTheDatagrams)
{
    const auto datagrams = Datagrams(0, std::vector<int>(10, 10));
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", datagrams, AllBut(10, {2, 7}), 1700000000);  // times 0..7 after the epoch base
    Store(rows, "192.0.2.2", datagrams, AllBut(10, {}), 1700000000);
    // Datagrams 3 to 6 of 192.0.2.1 arrived at +2 .. +5 (2 is missing from the store).
    const auto report = Loss(rows, {"--since", "1700000002", "--until", "2023-11-14 22:13:26", "--probe", "192.0.2.1"});
    ASSERT_EQ(report.exporters.size(), 1u);
    ExpectCounts(report.exporters[0].counts, 4, 40, 40, 0, 0);
}

TEST_F(LossDbTest, TheTextReportListsExportersTotalsAndNotes)
{
    std::vector<Row> rows;
    Store(rows, "192.0.2.1", Datagrams(0, {10, 10, 10, 10}), {0, 1, 3});
    Store(rows, "192.0.2.1", Datagrams(0, {10, 10}), {1});  // repeats flows 10..19
    const std::string db = Path("flows.db");
    WriteFlowsDb(db, rows);
    const StatRun run = RunNf5stat({"-b", db, "loss"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "exporter   datagrams  flows  expected  missing    loss  restarts\n"
              "192.0.2.1          4     40        40       10  25.00%         0\n"
              "total              4     40        40       10  25.00%         0\n"
              "192.0.2.1: 10 flows repeat sequence numbers already seen (duplicated datagrams, an early restart or "
              "several engines)\n");
    const StatRun json = RunNf5stat({"-b", db, "--json", "loss"});
    EXPECT_EQ(json.out,
              "{\"command\": \"loss\", \"database\": \"" + db +
                  "\", \"since\": null, \"until\": null, \"probe\": null, \"restart_threshold\": 1000000,\n"
                  "  \"exporters\": [\n"
                  "    {\"exporter\": \"192.0.2.1\", \"datagrams\": 4, \"flows\": 40, \"expected\": 40, \"missing\": 10, "
                  "\"loss_percent\": 25.00, \"duplicates\": 10, \"restarts\": 0, \"interleaved\": false, \"notes\": "
                  "[\"10 flows repeat sequence numbers already seen (duplicated datagrams, an early restart or several "
                  "engines)\"]}\n"
                  "  ],\n"
                  "  \"total\": {\"datagrams\": 4, \"flows\": 40, \"expected\": 40, \"missing\": 10, \"loss_percent\": "
                  "25.00, \"duplicates\": 10, \"restarts\": 0, \"interleaved\": false}\n"
                  "}\n");
}

TEST_F(LossDbTest, WithTheRecommendedIndexTheLossQueryReadsOnlyTheIndex)
{
    const std::string db = Path("flows.db");
    WriteFlowsDb(db, {Row{}}, "CREATE INDEX flows_probe_time_seq ON flows(PROBE, TIME_RECEIVED, SEQUENCE)");
    nf5stat::FlowDb flowdb;
    std::string error;
    ASSERT_TRUE(nf5stat::OpenFlowDb(db, flowdb, error)) << error;
    nf5stat::StatOptions options;
    options.has_since = true;
    const std::string plan_sql = "EXPLAIN QUERY PLAN " + nf5stat::LossQuery(options);
    nf5stat::Statement plan;
    ASSERT_EQ(sqlite3_prepare_v2(flowdb.db, plan_sql.c_str(), -1, &plan.stmt, nullptr), SQLITE_OK);
    std::string steps;
    while (sqlite3_step(plan.stmt) == SQLITE_ROW) steps += nf5stat::ColumnText(plan.stmt, 3) + "\n";
    EXPECT_NE(steps.find("COVERING INDEX flows_probe_time_seq"), std::string::npos) << steps;
    EXPECT_EQ(steps.find("GROUP BY"), std::string::npos) << steps;
}
