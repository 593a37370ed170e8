// Scenarios as data, one folder each under tests/scenarios: the datagrams of datagrams.hex (one
// per line, '#' starts a comment) take the receive loop's and the workers' road from one sender,
// with the switches of `switches` if present; the writers' passes then leave exactly the lines of
// text.log and trash.log
// and the rows of rows.txt ('|' between columns). A missing file expects nothing. "{T}" stands
// for the moment the datagrams were decoded, shown in UTC.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"
#include "fixtures.h"
#include "parser/netflow.h"
#include "parser/templates.h"
#include "sched/workers.h"
#include "storage/writers.h"

namespace {

using namespace testsupport;

const std::string kScenarios = NF5D_SOURCE_DIR "/tests/scenarios/";

std::vector<std::string> ScenarioNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kScenarios))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Expected(const std::string& path) { return FileExists(path) ? ReadFile(path) : ""; }

std::vector<std::vector<char>> Datagrams(const std::string& path) {
    std::vector<std::vector<char>> datagrams;
    std::istringstream lines(ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<char>& bytes = datagrams.emplace_back();
        for (size_t at = 0; at + 1 < line.size(); at += 2)
            bytes.push_back(static_cast<char>(std::stoi(line.substr(at, 2), nullptr, 16)));
    }
    return datagrams;
}

// text with the time text of every second from first to last replaced by "{T}".
std::string Masked(std::string text, time_t first, time_t last) {
    for (time_t t = first; t <= last; ++t) {
        char moment[32];
        tm parts{};
        const size_t n =
            std::strftime(moment, sizeof moment, "%a %b %e %T %Y", gmtime_r(&t, &parts));
        for (size_t at = text.find(moment); at != text.npos; at = text.find(moment, at))
            text.replace(at, n, "{T}");
    }
    return text;
}

// Every row of table flows in key order, TIME_RECEIVED as "{T}" when it was decoded in [first,
// last].
std::string RowsText(const std::string& db, time_t first, time_t last) {
    std::string text;
    for (std::vector<std::string> row : SqliteRows(db, "SELECT * FROM flows ORDER BY RECNUM")) {
        const long received = std::stol(row[2]);
        if (received >= first && received <= last) row[2] = "{T}";
        for (size_t c = 0; c < row.size(); ++c) text += (c > 0 ? "|" : "") + row[c];
        text += "\n";
    }
    return text;
}

std::vector<std::string> Switches(const std::string& path) {
    std::vector<std::string> switches;
    std::istringstream words(Expected(path));
    for (std::string word; words >> word;) switches.push_back(word);
    return switches;
}

class Scenario : public testing::TestWithParam<std::string> {};

TEST_P(Scenario, LeavesExactlyItsLinesAndRows) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::string folder = kScenarios + GetParam() + "/", dir = MakeTempDir();
    std::vector<std::string> switches = {"-l", dir + "/text.log", "-b", dir + "/flows.db",
                                         "-t", dir + "/trash.log"};
    for (const std::string& word : Switches(folder + "switches")) switches.push_back(word);
    UseSwitches(switches);
    static const int writers = PrepareStorageWriters();
    sockaddr_in from{AF_INET, htons(65000), {}, {}};
    inet_pton(AF_INET, "203.0.113.200", &from.sin_addr);
    const auto* sender = reinterpret_cast<const sockaddr*>(&from);
    ClearTemplates();
    const time_t first = std::time(nullptr);
    for (const std::vector<char>& datagram : Datagrams(folder + "datagrams.hex")) {
        ExportCounts counts;  // the receive loop's part
        ExportPlan plan;
        LearnTemplates(datagram.data(), datagram.size(), sender, first, &counts, &plan);
        RouteDatagram(datagram.data(), sender, static_cast<int>(datagram.size()), nullptr, &plan);
    }
    const time_t last = std::time(nullptr);
    for (int writer = 0; writer < writers; ++writer) StoragePass(writer, Patience::kUntilDone);
    CloseStorage();
    EXPECT_EQ(Masked(Expected(dir + "/text.log"), first, last), Expected(folder + "text.log"));
    EXPECT_EQ(Masked(Expected(dir + "/trash.log"), first, last), Expected(folder + "trash.log"));
    EXPECT_EQ(RowsText(dir + "/flows.db", first, last), Expected(folder + "rows.txt"));
    RemoveTree(dir);
}

INSTANTIATE_TEST_SUITE_P(Data, Scenario, testing::ValuesIn(ScenarioNames()),
                         [](const auto& scenario) { return scenario.param; });

}  // namespace
