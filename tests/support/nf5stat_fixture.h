#pragma once
// nf5stat tests: flow databases with the table exactly as nf5d creates it.
#include <sqlite3.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "daemon.h"
#include "storage/flows_table.h"

namespace nf5stat_test {

constexpr long long kT = 1700000000;  // 2023-11-14 22:13:20 UTC

struct Row {
    std::string probe = "192.0.2.1";
    long long time = kT, sequence = 0;
    std::string src = "10.0.0.1";
    int sport = 1024;
    std::string dst = "10.0.1.1";
    int dport = 80, proto = 6;
    long long bytes = 100, packets = 1, begin = kT - 10, end = kT;
    int version = 5;
};

// A database file whose table flows holds rows in that storage order.
inline void WriteFlowsDb(const std::string& path, const std::vector<Row>& rows)
{
    std::string sql = std::string(kCreateFlowsTable) + ";BEGIN;";
    char insert[512];
    for (const Row& r : rows) {
        std::snprintf(insert, sizeof insert,
                      "INSERT INTO flows VALUES (NULL,'%s',%lld,%d,%lld,'%s',%d,'%s',%d,'0.0.0.0',%d,0,0,%lld,%lld,"
                      "%lld,%lld,0,0,24,24);",
                      r.probe.c_str(), r.time, r.version, r.sequence, r.src.c_str(), r.sport, r.dst.c_str(), r.dport, r.proto,
                      r.bytes, r.packets, r.begin, r.end);
        sql += insert;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, (sql + "COMMIT;").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// The rows of one datagram: flows rows sharing exporter, receive time and sequence, each flow with a
// source port of its own, so that a copy of the datagram repeats exactly these rows.
inline void AddDatagram(std::vector<Row>& rows, const std::string& probe, long long time, long long sequence, int flows,
                        int version = 5)
{
    for (int i = 0; i < flows; ++i)
        rows.push_back(Row{.probe = probe, .time = time, .sequence = sequence, .sport = 1024 + i, .version = version});
}

// nf5stat as a user runs it.
inline testsupport::RunResult RunNf5stat(std::vector<std::string> args)
{
    args.insert(args.begin(), NF5STAT_BINARY);
    return testsupport::Run(args, "/", {"TZ=UTC"});
}

using TempDirTest = testsupport::DaemonTest;

}  // namespace nf5stat_test
