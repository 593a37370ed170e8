// nf5stat loss: exact counts for each case the sequence accounting tells apart.
#include <map>

#include "nf5stat_fixture.h"
#include "reports.h"

using namespace nf5stat;
using namespace nf5stat_test;

namespace {

// Datagrams of the given sizes numbered on from first, received in `order` (all, if empty) one a
// second from time. Rows are stored in receive order, segments taking turns within a second.
struct Segment {
    uint32_t first;
    std::vector<int> sizes;
    std::vector<size_t> order = {};
    long long time = kT;
    const char* probe = "192.0.2.1";
    int version = 5;
};

std::vector<size_t> AllBut(size_t count, std::vector<size_t> dropped) {
    std::vector<size_t> order;
    for (size_t i = 0; i < count; ++i)
        if (std::find(dropped.begin(), dropped.end(), i) == dropped.end()) order.push_back(i);
    return order;
}

std::vector<Row> Rows(std::vector<Segment> segments) {
    std::map<std::pair<long long, size_t>, std::vector<Row>> datagrams;  // in storage order
    for (size_t s = 0; s < segments.size(); ++s) {
        Segment& seg = segments[s];
        if (seg.order.empty()) seg.order = AllBut(seg.sizes.size(), {});
        std::vector<uint32_t> starts{seg.first};
        for (int size : seg.sizes) starts.push_back(starts.back() + static_cast<uint32_t>(size));
        for (size_t n = 0; n < seg.order.size(); ++n) {
            const long long time = seg.time + static_cast<long long>(n);
            AddDatagram(datagrams[{time, s}], seg.probe, time, starts[seg.order[n]],
                        seg.sizes[seg.order[n]], seg.version);
        }
    }
    std::vector<Row> rows;
    for (const auto& [turn, part] : datagrams) rows.insert(rows.end(), part.begin(), part.end());
    return rows;
}

// Per exporter: datagrams flows expected missing duplicates restarts outages, then the jumps;
// "unknown" where the table cannot tell.
std::string Describe(const std::vector<ExporterLoss>& exporters) {
    std::string text;
    for (const ExporterLoss& e : exporters) {
        const LossCounts& c = e.counts;
        text += e.exporter + (e.unknown ? " unknown" : "");
        for (uint64_t n : {c.datagrams, c.flows, c.expected, c.missing, c.duplicates, c.restarts,
                           c.outages})
            text += " " + std::to_string(n);
        for (const SeqJump& jump : c.jumps)
            text += " jump " + std::to_string(jump.from) + ">" + std::to_string(jump.to);
        text += c.interleaved ? " interleaved\n" : "\n";
    }
    return text;
}

std::string Loss(const std::string& db, const std::vector<Row>& rows,
                 const std::vector<std::string>& args) {
    WriteFlowsDb(db, rows);
    std::vector<const char*> argv{"nf5stat", "-b", db.c_str(), "loss"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    StatOptions options;
    FlowDb flowdb;
    LossReport report;
    std::string error;
    EXPECT_TRUE(ParseStatArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    EXPECT_TRUE(OpenFlowDb(db, flowdb, error)) << error;
    EXPECT_TRUE(RunLoss(flowdb, options, report, error)) << error;
    return Describe(report.exporters);
}

}  // namespace

TEST_F(TempDirTest, LossCountsOfDatabasesWithKnownGapsAreExact) {
    const std::vector<int> tens(10, 10), fifteen(15, 10), twenty(20, 10);
    const struct {
        const char* name;
        std::vector<Segment> segments;
        const char* expected;
        std::vector<std::string> args = {};
        const char* notes = nullptr;  // the report's last lines, from the real binary
    } cases[] = {
        {"reordered pair and a gap", {{1000, tens, {0, 1, 3, 2, 5}}}, "192.0.2.1 5 50 60 10 0 0 0\n"},
        {"restart, then 15 datagrams of the old stream, fewer than interleaved engines take",
         {{5000000, tens, AllBut(10, {2})}, {0, tens, AllBut(6, {4}), kT + 100}, {5000100, fifteen, {}, kT + 200}},
         "192.0.2.1 29 290 310 20 0 1 0\n"},
        {"early restart repeats sequences", {{0, tens, AllBut(10, {4})}, {0, tens, AllBut(8, {2}), kT + 100}},
         "192.0.2.1 16 160 180 20 0 1 0\n"},
        {"early restart after scattered copies, reordered in the copies' gap",
         {{0, tens}, {10, {10}, {}, kT + 10}, {80, {10}, {}, kT + 11}, {0, tens, {0, 1, 2, 4, 3, 5}, kT + 100}},
         "192.0.2.1 18 180 160 0 20 1 0\n"},
        {"young stream's first datagrams stored late", {{30, {10, 10, 10, 10}}, {0, {10, 10, 10}, {}, kT + 4}},
         "192.0.2.1 7 70 70 0 0 0 0\n"},
        {"restart a minute after a young stream began, up to below its start",
         {{5000, {10, 10, 10, 10, 10}}, {0, std::vector<int>(300, 10), {}, kT + 64}}, "192.0.2.1 305 3050 3050 0 0 1 0\n"},
        {"copies of two datagrams near each other while the stream goes on",
         {{0, tens}, {50, {10, 10, 10}, {0, 2}, kT + 10}, {100, twenty, {}, kT + 12}},
         "192.0.2.1 32 320 300 0 20 0 0\n"},
        {"copy within the same second", {{0, tens}, {40, {10}, {}, kT + 4}}, "192.0.2.1 11 110 100 0 10 0 0\n"},
        {"two engines taking turns", {{0, twenty, AllBut(20, {5})}, {100000000, std::vector<int>(20, 20), AllBut(20, {7, 8})}},
         "192.0.2.1 37 550 600 50 0 1 0 interleaved\n"},
        {"two exporters taking turns", {{1000, tens, AllBut(10, {5}), kT, "192.0.2.10"},
                                        {4294967246u, std::vector<int>(8, 25), AllBut(8, {1, 6}), kT, "192.0.2.9"}},
         "192.0.2.9 6 150 200 50 0 0 0\n192.0.2.10 9 90 100 10 0 0 0\n"},
        {"two outages", {{0, tens}, {2000000, tens, {}, kT + 20}, {4000000, tens, {}, kT + 40}},
         "192.0.2.1 30 300 300 0 0 0 2 jump 100>2000000 jump 2000100>4000000\n", {},
         "\n192.0.2.1: possible outage: sequence jumped from 100 to 2000000 (1999900 flows) at 2023-11-14 22:13:40\n"
         "192.0.2.1: possible outage: sequence jumped from 2000100 to 4000000 (1999900 flows) at 2023-11-14 22:14:00\n"},
        {"gap at --restart", {{5000, {10, 1000, 10}, {0, 2}}}, "192.0.2.1 2 20 1020 1000 0 0 0\n", {"--restart", "1000"}},
        {"jump past --restart", {{5000, {10, 1001, 10}, {0, 2}}}, "192.0.2.1 2 20 20 0 0 0 1 jump 5010>6011\n",
         {"--restart", "1000"}},
        {"v9 and v5 from one exporter: not known (template datagrams leave no rows)",
         {{0, {1, 2}, {}, kT, "192.0.2.1", 9}, {7, {1}, {}, kT + 5, "192.0.2.1", 9}, {0, tens}},
         "192.0.2.1 unknown 13 104 0 0 0 0 0\n"},
        {"time range and exporter", {{0, tens, AllBut(10, {2, 7})}, {0, tens, {}, kT, "192.0.2.2"}},
         "192.0.2.1 4 40 40 0 0 0 0\n", {"--since", "1700000002", "--until", "2023-11-14 22:13:26", "--probe=192.0.2.1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string db = dir_ + "/" + std::to_string(&c - cases) + ".db";
        EXPECT_EQ(Loss(db, Rows(c.segments), c.args), c.expected);
        EXPECT_TRUE(!c.notes || RunNf5stat({"-b", db, "loss"}).out.ends_with(c.notes));
    }
}

// Under heavy loss the open gaps a stream keeps stay capped, and every gap is still counted.
TEST(SeqLoss, EveryOtherDatagramLostKeepsFewGapsOpenAndCountsThemAll) {
    SeqTracker tracker;
    SeqTrackerInit(tracker, kDefaultRestartThreshold);
    for (uint32_t n = 0; n < 2000; n += 2) {
        SeqTrackerAdd(tracker, {n * 30, 30, 0});
        ASSERT_LE(tracker.live.front().holes.size(), seqloss::kMaxOpenHoles);
    }
    const std::string peeked = Describe({{"", seqloss::SeqTrackerPeek(tracker)}});
    EXPECT_EQ(peeked, Describe({{"", SeqTrackerFinish(tracker)}}));
    EXPECT_EQ(peeked, " 1000 30000 59970 29970 0 0 0\n");
}
