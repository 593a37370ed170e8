// nf5stat loss: exact counts from sequence numbers with known gaps, reordering, wraps and restarts.
#include <algorithm>
#include <map>

#include "nf5stat_fixture.h"
#include "reports.h"

using namespace nf5stat_test;

namespace {

// Datagrams of the given sizes numbered from first, stored in order one second apart from time.
struct Segment {
    uint32_t first;
    std::vector<int> sizes;
    std::vector<size_t> order;
    long long time = kT;
    const char* probe = "192.0.2.1";
};

struct LossCase {
    const char* name;
    std::vector<Segment> segments;
    const char* expected;  // per exporter: datagrams flows expected missing duplicates restarts
    std::vector<std::string> args = {};
    bool alternate = false;  // datagrams of the segments take turns instead of following each other
};

std::vector<size_t> AllBut(size_t count, const std::vector<size_t>& dropped)
{
    std::vector<size_t> order;
    for (size_t i = 0; i < count; ++i)
        if (std::find(dropped.begin(), dropped.end(), i) == dropped.end()) order.push_back(i);
    return order;
}

std::vector<Row> Rows(const LossCase& c)
{
    std::map<std::pair<size_t, size_t>, std::vector<Row>> datagrams;  // keyed in storage order
    for (size_t s = 0; s < c.segments.size(); ++s) {
        const Segment& seg = c.segments[s];
        std::vector<uint32_t> starts{seg.first};
        for (int size : seg.sizes) starts.push_back(starts.back() + static_cast<uint32_t>(size));
        for (size_t n = 0; n < seg.order.size(); ++n)
            AddDatagram(datagrams[c.alternate ? std::pair(n, s) : std::pair(s, n)], seg.probe,
                        seg.time + static_cast<long long>(n), starts[seg.order[n]], seg.sizes[seg.order[n]]);
    }
    std::vector<Row> rows;
    for (const auto& [turn, part] : datagrams) rows.insert(rows.end(), part.begin(), part.end());
    return rows;
}

std::string Describe(const nf5stat::LossReport& report)
{
    std::string text;
    for (const auto& [exporter, c] : report.exporters) {
        text += exporter;
        for (uint64_t count : {c.datagrams, c.flows, c.expected, c.missing, c.duplicates, c.restarts})
            text += " " + std::to_string(count);
        text += c.interleaved ? " interleaved\n" : "\n";
    }
    return text;
}

}  // namespace

TEST_F(TempDirTest, LossCountsOfDatabasesWithKnownGapsAreExact)
{
    const std::vector<int> tens(10, 10), thirties(5, 30), twenty_tens(20, 10);
    const LossCase cases[] = {
        {"gaps in the middle", {{0, {30, 30, 30, 12, 30, 30, 5, 30, 30, 30}, AllBut(10, {3, 4, 6})}},
         "192.0.2.1 7 210 257 47 0 0\n"},
        {"reordered pair", {{1000, tens, {0, 1, 3, 2, 4, 5}}}, "192.0.2.1 6 60 60 0 0 0\n"},
        {"wrap at 2^32", {{4294967251u, thirties, {0, 1, 3, 4}}}, "192.0.2.1 4 120 150 30 0 0\n"},
        {"restart", {{5000000, std::vector<int>(5, 20), AllBut(5, {2})}, {0, tens, AllBut(6, {4}), kT + 100}},
         "192.0.2.1 9 130 160 30 0 1\n"},
        {"early restart repeats sequences", {{0, tens, AllBut(10, {4})}, {0, tens, AllBut(8, {2}), kT + 100}},
         "192.0.2.1 16 160 180 20 0 1\n"},
        {"two engines", {{0, twenty_tens, AllBut(20, {5})}, {100000000, std::vector<int>(20, 20), AllBut(20, {7, 8})}},
         "192.0.2.1 37 550 600 50 0 1 interleaved\n", {}, true},
        {"two exporters interleaved", {{1000, tens, AllBut(10, {5}), kT, "192.0.2.10"},
                                       {4294967246u, std::vector<int>(8, 25), AllBut(8, {1, 6}), kT, "192.0.2.9"}},
         "192.0.2.9 6 150 200 50 0 0\n192.0.2.10 9 90 100 10 0 0\n", {}, true},
        {"gap at --restart", {{5000, {10, 1000, 10}, {0, 2}}}, "192.0.2.1 2 20 1020 1000 0 0\n", {"--restart", "1000"}},
        {"jump past --restart", {{5000, {10, 1001, 10}, {0, 2}}}, "192.0.2.1 2 20 20 0 0 1\n", {"--restart", "1000"}},
        {"time range and exporter", {{0, tens, AllBut(10, {2, 7})}, {0, tens, AllBut(10, {}), kT, "192.0.2.2"}},
         "192.0.2.1 4 40 40 0 0 0\n", {"--since", "1700000002", "--until", "2023-11-14 22:13:26", "--probe=192.0.2.1"}},
    };
    for (const LossCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string db = dir_ + "/" + std::to_string(&c - cases) + ".db";
        WriteFlowsDb(db, Rows(c));
        std::vector<const char*> argv{"nf5stat", "-b", db.c_str(), "loss"};
        for (const std::string& arg : c.args) argv.push_back(arg.c_str());
        nf5stat::StatOptions options;
        nf5stat::FlowDb flowdb;
        nf5stat::LossReport report;
        std::string error;
        ASSERT_TRUE(nf5stat::ParseStatArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
        ASSERT_TRUE(nf5stat::OpenFlowDb(db, flowdb, error)) << error;
        ASSERT_TRUE(nf5stat::RunLoss(flowdb, options, report, error)) << error;
        EXPECT_EQ(Describe(report), c.expected);
    }
}
