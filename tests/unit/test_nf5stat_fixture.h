#pragma once
// Shared by the nf5stat tests: flow databases built row by row through the sqlite3 API, with the
// table exactly as nf5d creates it, and nf5stat run in-process with its output captured.
#include <sqlite3.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "process.h"
#include "stat.h"

namespace nf5stat_test {

constexpr const char* kCreateFlows =
    "CREATE TABLE flows (RECNUM INTEGER PRIMARY KEY,PROBE CHAR,TIME_RECEIVED INTEGER, FLOW_VERSION INTEGER, "
    "SEQUENCE INTEGER, SOURCE_IP CHAR, SOURCE_PORT INTEGER, DEST_IP CHAR, DEST_PORT INTEGER, NEXT_HOP CHAR, "
    "PROTOCOL INTEGER, TCP_FLAGS INTEGER, TOS INTEGER, BYTES INTEGER, PACKETS INTEGER, FLOW_BEGIN INTEGER, "
    "FLOW_END INTEGER, SOURCE_AS INTEGER, DEST_AS INTEGER, SOURCE_MASK INTEGER, DEST_MASK INTEGER)";

struct Row {
    std::string probe = "192.0.2.1";
    int64_t time = 1700000000;
    int64_t sequence = 0;
    std::string src = "10.0.0.1";
    int sport = 1024;
    std::string dst = "10.0.1.1";
    int dport = 80;
    int proto = 6;
    int64_t bytes = 100;
    int64_t packets = 1;
    int64_t begin = 1699999990;
    int64_t end = 1700000000;
};

inline void Exec(sqlite3* db, const std::string& sql)
{
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << sql << ": " << message;
}

inline void InsertRows(sqlite3* db, const std::vector<Row>& rows)
{
    Exec(db, "BEGIN");
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "INSERT INTO flows VALUES (NULL,?,?,5,?,?,?,?,?,'0.0.0.0',?,0,0,?,?,?,?,0,0,24,24)",
                                 -1, &insert, nullptr),
              SQLITE_OK);
    for (const Row& row : rows) {
        sqlite3_bind_text(insert, 1, row.probe.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 2, row.time);
        sqlite3_bind_int64(insert, 3, row.sequence);
        sqlite3_bind_text(insert, 4, row.src.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 5, row.sport);
        sqlite3_bind_text(insert, 6, row.dst.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 7, row.dport);
        sqlite3_bind_int(insert, 8, row.proto);
        sqlite3_bind_int64(insert, 9, row.bytes);
        sqlite3_bind_int64(insert, 10, row.packets);
        sqlite3_bind_int64(insert, 11, row.begin);
        sqlite3_bind_int64(insert, 12, row.end);
        ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Exec(db, "COMMIT");
}

// A database file with table flows holding rows, in that storage order.
inline void WriteFlowsDb(const std::string& path, const std::vector<Row>& rows, const char* extra_sql = nullptr)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    Exec(db, kCreateFlows);
    InsertRows(db, rows);
    if (extra_sql) Exec(db, extra_sql);
    sqlite3_close(db);
}

// The rows of one datagram: flows rows sharing exporter, receive time and sequence.
inline void AddDatagram(std::vector<Row>& rows, const std::string& probe, int64_t time, uint32_t sequence,
                        int flows)
{
    for (int i = 0; i < flows; ++i) {
        Row row;
        row.probe = probe;
        row.time = time;
        row.sequence = sequence;
        rows.push_back(row);
    }
}

struct StatRun {
    int status = -1;
    std::string out;
    std::string err;
};

// nf5stat in this process, as if run with args.
inline StatRun RunNf5stat(const std::vector<std::string>& args)
{
    std::vector<const char*> argv{"nf5stat"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    char* out_text = nullptr;
    size_t out_size = 0;
    char* err_text = nullptr;
    size_t err_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    FILE* err = open_memstream(&err_text, &err_size);
    StatRun run;
    run.status = nf5stat::RunStat(static_cast<int>(argv.size()), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    run.out.assign(out_text, out_size);
    run.err.assign(err_text, err_size);
    std::free(out_text);
    std::free(err_text);
    return run;
}

// A fresh directory per test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = testsupport::MakeTempDir();
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override { testsupport::RemoveTree(dir_); }
    std::string Path(const char* name) const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace nf5stat_test
