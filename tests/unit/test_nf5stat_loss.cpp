// nf5stat loss: exact counts from sequence numbers with known gaps, reordering, wraps, restarts,
// outages and copies; then many generated tables checked against a brute-force count.
#include <algorithm>
#include <array>
#include <map>
#include <random>

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
    const char* expected;  // per exporter: datagrams flows expected missing duplicates restarts outages
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

std::vector<int> Sizes(std::initializer_list<std::pair<size_t, int>> runs)
{
    std::vector<int> sizes;
    for (const auto& [count, size] : runs) sizes.insert(sizes.end(), count, size);
    return sizes;
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
        for (uint64_t count : {c.datagrams, c.flows, c.expected, c.missing, c.duplicates, c.restarts, c.outages})
            text += " " + std::to_string(count);
        for (const nf5stat::SeqJump& jump : c.jumps)
            text += " jump " + std::to_string(jump.from) + ">" + std::to_string(jump.to);
        text += c.interleaved ? " interleaved\n" : "\n";
    }
    return text;
}

nf5stat::LossReport Loss(const std::string& db, const std::vector<Row>& rows, const std::vector<std::string>& args)
{
    WriteFlowsDb(db, rows);
    std::vector<const char*> argv{"nf5stat", "-b", db.c_str(), "loss"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    nf5stat::StatOptions options;
    nf5stat::FlowDb flowdb;
    nf5stat::LossReport report;
    std::string error;
    EXPECT_TRUE(nf5stat::ParseStatArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    EXPECT_TRUE(nf5stat::OpenFlowDb(db, flowdb, error)) << error;
    EXPECT_TRUE(nf5stat::RunLoss(flowdb, options, report, error)) << error;
    return report;
}

}  // namespace

TEST_F(TempDirTest, LossCountsOfDatabasesWithKnownGapsAreExact)
{
    const std::vector<int> tens(10, 10), thirties(5, 30), twenty_tens(20, 10);
    // A clean stream with datagrams of 11 flows at 754 and 30 flows at 3614, 300 in all.
    const std::vector<int> clean = Sizes({{26, 29}, {1, 11}, {259, 11}, {1, 30}, {13, 10}});
    const LossCase cases[] = {
        {"gaps in the middle", {{0, {30, 30, 30, 12, 30, 30, 5, 30, 30, 30}, AllBut(10, {3, 4, 6})}},
         "192.0.2.1 7 210 257 47 0 0 0\n"},
        {"reordered pair", {{1000, tens, {0, 1, 3, 2, 4, 5}}}, "192.0.2.1 6 60 60 0 0 0 0\n"},
        {"wrap at 2^32", {{4294967251u, thirties, {0, 1, 3, 4}}}, "192.0.2.1 4 120 150 30 0 0 0\n"},
        {"restart", {{5000000, std::vector<int>(5, 20), AllBut(5, {2})}, {0, tens, AllBut(6, {4}), kT + 100}},
         "192.0.2.1 9 130 160 30 0 1 0\n"},
        {"early restart repeats sequences", {{0, tens, AllBut(10, {4})}, {0, tens, AllBut(8, {2}), kT + 100}},
         "192.0.2.1 16 160 180 20 0 1 0\n"},
        {"restart below a young stream's start, within --restart",
         {{500000, std::vector<int>(5, 10), AllBut(5, {})}, {0, std::vector<int>(300, 10), AllBut(300, {}), kT + 10}},
         "192.0.2.1 305 3050 3050 0 0 1 0\n"},
        {"young stream's first datagrams stored late", {{30, tens, AllBut(4, {})}, {0, {10, 10, 10}, {0, 1, 2}, kT + 4}},
         "192.0.2.1 7 70 70 0 0 0 0\n"},
        {"copies of two datagrams a second later",
         {{0, clean, AllBut(300, {})}, {754, {11}, {0}, kT + 301}, {3614, {30}, {0}, kT + 302}},
         "192.0.2.1 302 3815 3774 0 41 0 0\n"},
        {"copy within the same second", {{0, tens, AllBut(10, {})}, {40, {10}, {0}, kT + 4}},
         "192.0.2.1 11 110 100 0 10 0 0\n"},
        {"two engines", {{0, twenty_tens, AllBut(20, {5})}, {100000000, std::vector<int>(20, 20), AllBut(20, {7, 8})}},
         "192.0.2.1 37 550 600 50 0 1 0 interleaved\n", {}, true},
        {"two exporters interleaved", {{1000, tens, AllBut(10, {5}), kT, "192.0.2.10"},
                                       {4294967246u, std::vector<int>(8, 25), AllBut(8, {1, 6}), kT, "192.0.2.9"}},
         "192.0.2.9 6 150 200 50 0 0 0\n192.0.2.10 9 90 100 10 0 0 0\n", {}, true},
        {"gap at --restart", {{5000, {10, 1000, 10}, {0, 2}}}, "192.0.2.1 2 20 1020 1000 0 0 0\n", {"--restart", "1000"}},
        {"jump past --restart", {{5000, {10, 1001, 10}, {0, 2}}}, "192.0.2.1 2 20 20 0 0 0 1 jump 5010>6011\n",
         {"--restart", "1000"}},
        {"two minutes away at 10k flows/s", {{0, thirties, AllBut(5, {})}, {1200150, thirties, AllBut(5, {}), kT + 125}},
         "192.0.2.1 10 300 300 0 0 0 1 jump 150>1200150\n"},
        {"time range and exporter", {{0, tens, AllBut(10, {2, 7})}, {0, tens, AllBut(10, {}), kT, "192.0.2.2"}},
         "192.0.2.1 4 40 40 0 0 0 0\n", {"--since", "1700000002", "--until", "2023-11-14 22:13:26", "--probe=192.0.2.1"}},
    };
    for (const LossCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Describe(Loss(dir_ + "/" + std::to_string(&c - cases) + ".db", Rows(c), c.args)), c.expected);
    }
}

namespace {

constexpr uint32_t kThreshold = nf5stat::kDefaultRestartThreshold;

// What an exporter sent, in the order nf5d stored it, and the truth about each datagram.
struct Sent {
    uint32_t sequence;
    int flows;
    long long time;
    size_t run;  // a run of consecutive sequence numbers: an epoch, or its part after an outage
};

struct SeqRun {
    uint32_t base, front;
    bool outage;  // began when the exporter went on counting while nothing was stored
};

struct Table {
    std::vector<Sent> sent;
    std::vector<SeqRun> runs;
};

int64_t Distance(uint32_t to, uint32_t from) { return static_cast<int32_t>(to - from); }

// A new run may start at `start` and span `span` flows only where no earlier run could take its
// datagrams: outside each run's range and the threshold ahead of it, and not ending just below one.
bool Clear(const Table& table, uint32_t start, uint32_t span)
{
    const uint32_t margin = 2 * span + 1000;
    for (const SeqRun& run : table.runs) {
        const uint32_t zone = (run.front - run.base) + kThreshold + margin + 1000;
        if (start - (run.base - margin) < zone) return false;
    }
    return true;
}

// A run that starts further than the threshold from every other run's front begins with a jump.
bool Alone(const Table& table, uint32_t start)
{
    return std::all_of(table.runs.begin(), table.runs.end(), [&](const SeqRun& run) {
        return Distance(start, run.front) > int64_t{kThreshold} || Distance(start, run.front) < -int64_t{kThreshold};
    });
}

// An exporter with epochs, outages, losses, adjacent swaps and scattered copies. The first two
// datagrams of a run always arrive in order, or a restart could not be told from a copy; an epoch
// that repeats the previous one's numbers loses none, or its datagrams after a loss could be the
// previous one's, stored late into its gaps.
Table Generate(std::mt19937& rng)
{
    auto chance = [&](double p) { return std::uniform_real_distribution<>(0, 1)(rng) < p; };
    auto pick = [&](uint32_t low, uint32_t high) { return std::uniform_int_distribution<uint32_t>(low, high)(rng); };
    const double loss = std::array{0.0, 0.05, 0.2}[pick(0, 2)], swap = chance(0.5) ? 0.1 : 0.0;
    Table table;
    long long time = kT;
    size_t copies = 0;
    const uint32_t epochs = pick(1, 3);
    for (uint32_t epoch = 0; epoch < epochs; ++epoch) {
        const uint32_t parts = chance(0.3) ? 2 : 1;
        for (uint32_t part = 0; part < parts; ++part) {
            std::vector<int> sizes(pick(20, 120));
            for (int& size : sizes) size = static_cast<int>(pick(1, 30));
            uint32_t span = 0;
            for (int size : sizes) span += static_cast<uint32_t>(size);
            uint32_t start = pick(0, 1u << 31) + (chance(0.2) ? 0x80000000u - 3000 : 0);
            bool early = false;
            if (!table.runs.empty()) {
                const SeqRun& last = table.runs.back();
                early = part == 0 && chance(0.4) && span < last.front - last.base;
                const bool near = part == 0 && chance(0.5);
                int tries = 0;
                do {
                    start = part == 1 ? last.front + kThreshold + pick(1, kThreshold)
                            : early   ? last.base
                            : near    ? last.base - pick(2 * span + 3000, kThreshold / 2)
                                      : pick(0, ~0u);
                } while (++tries < 1000 && !early &&
                         (!Clear(table, start, span) || (part == 0) != (Distance(start, last.front) < 0) ||
                          (part == 1 && !Alone(table, start))));
                if (tries == 1000) break;
            }
            const size_t run = table.runs.size();
            table.runs.push_back({start, start + span, part == 1});
            std::vector<Sent> stored;
            uint32_t sequence = start;
            for (size_t i = 0; i < sizes.size(); ++i, sequence += static_cast<uint32_t>(sizes[i - 1])) {
                if (!early && i >= 2 && chance(loss)) continue;
                stored.push_back({sequence, sizes[i], time++, run});
                // A copy of a datagram stored earlier in the first epoch, never of its neighbours'.
                if (epoch == 0 && parts == 1 && i >= 2 && copies < 4 && chance(0.05)) {
                    const Sent copy = stored[pick(0, static_cast<uint32_t>(stored.size() - 1))];
                    const bool same_second = copy.time == stored.back().time;
                    const bool lone = std::none_of(table.sent.begin(), table.sent.end(), [&](const Sent& s) {
                        return s.time < 0 && (s.sequence + static_cast<uint32_t>(s.flows) == copy.sequence ||
                                              copy.sequence + static_cast<uint32_t>(copy.flows) == s.sequence);
                    });
                    if (lone) {
                        ++copies;
                        stored.push_back({copy.sequence, copy.flows, same_second ? copy.time : time++, run});
                        table.sent.push_back({copy.sequence, copy.flows, -1, run});  // remembers the copy
                    }
                }
            }
            for (size_t i = 3; i + 1 < stored.size(); ++i)
                if (chance(swap) && stored[i].run == stored[i + 1].run) std::swap(stored[i], stored[i + 1]);
            table.sent.insert(table.sent.end(), stored.begin(), stored.end());
        }
    }
    std::erase_if(table.sent, [](const Sent& s) { return s.time < 0; });
    return table;
}

// The truth by brute force: every flow position of every run counted one by one.
std::string Oracle(const Table& table)
{
    uint64_t datagrams = 0, flows = 0, expected = 0, missing = 0, duplicates = 0, restarts = 0, outages = 0;
    std::string jumps;
    uint32_t front = 0;  // of the run stored last
    for (size_t r = 0; r < table.runs.size(); ++r) {
        std::map<uint32_t, int> seen;  // offset from the run's base -> times received
        for (const Sent& s : table.sent)
            if (s.run == r) {
                ++datagrams;
                flows += static_cast<uint64_t>(s.flows);
                for (int f = 0; f < s.flows; ++f) ++seen[s.sequence - table.runs[r].base + static_cast<uint32_t>(f)];
            }
        if (seen.empty()) continue;
        const uint32_t low = seen.begin()->first, high = seen.rbegin()->first + 1;
        expected += high - low;
        for (uint32_t offset = low; offset < high; ++offset) {
            const auto it = seen.find(offset);
            if (it == seen.end()) ++missing;
            else duplicates += static_cast<uint64_t>(it->second - 1);
        }
        if (table.runs[r].outage) {
            ++outages;
            jumps += " jump " + std::to_string(front) + ">" + std::to_string(table.runs[r].base);
        } else {
            ++restarts;
        }
        front = table.runs[r].base + high;
    }
    std::string text = "192.0.2.1";
    for (uint64_t count : {datagrams, flows, expected, missing, duplicates, restarts - 1, outages})
        text += " " + std::to_string(count);
    return text + jumps + "\n";
}

}  // namespace

TEST_F(TempDirTest, LossAgreesWithABruteForceCountOverGeneratedTables)
{
    std::mt19937 rng(20240612);
    for (int n = 0; n < 80; ++n) {
        const Table table = Generate(rng);
        std::vector<Row> rows;
        for (const Sent& s : table.sent) AddDatagram(rows, "192.0.2.1", s.time, s.sequence, s.flows);
        SCOPED_TRACE("table " + std::to_string(n));
        EXPECT_EQ(Describe(Loss(dir_ + "/generated.db", rows, {})), Oracle(table));
        std::remove((dir_ + "/generated.db").c_str());
    }
}

TEST_F(TempDirTest, AJumpPastTheRestartThresholdIsShownAsAPossibleOutage)
{
    std::vector<Row> rows;
    for (uint32_t i = 0; i < 4; ++i) AddDatagram(rows, "192.0.2.1", kT + i, 30 * i, 30);
    AddDatagram(rows, "192.0.2.1", kT + 125, 1200120, 30);
    WriteFlowsDb(Path("netflow.db"), rows);
    EXPECT_EQ(RunNf5stat({"loss"}, dir_).out,
              "exporter   datagrams  flows  expected  missing   loss  restarts\n"
              "192.0.2.1          5    150       150        0  0.00%         0\n"
              "total              5    150       150        0  0.00%         0\n"
              "192.0.2.1: possible outage: sequence jumped from 120 to 1200120 (1200000 flows) at "
              "2023-11-14 22:15:25\n");
}
