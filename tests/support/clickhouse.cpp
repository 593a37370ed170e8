#include "clickhouse.h"

#include <cstdlib>
#include <sstream>

namespace testsupport {

namespace {

int Port() {
    const char* port = std::getenv("NF5D_CLICKHOUSE_PORT");
    return port != nullptr ? std::atoi(port) : 8123;
}

// The server's answer to sql through curl(1): its status (0 when the server answered 200).
RunResult Post(const std::string& sql, const std::string& query_id = "") {
    const std::string url = ClickHouseTest::Url(query_id.empty() ? "" : "?query_id=" + query_id);
    return Run({"/usr/bin/curl", "-sS", "--fail-with-body", url, "--data-binary", sql},
               NF5D_BUILD_DIR);
}

}  // namespace

void ClickHouseTest::SetUp() {
    DaemonTest::SetUp();
    if (Post("SELECT 1").status == 0) return;
    if (std::getenv("NF5D_REQUIRE_CLICKHOUSE") != nullptr) FAIL() << "no server at " << Url();
    GTEST_SKIP() << "no server (scripts/clickhouse-test.sh start) at " << Url();
}

std::string ClickHouseTest::Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(Port()) + "/" + path;
}

std::string ClickHouseTest::TlsUrl() {
    return "https://127.0.0.1:" + std::to_string(Port() + 1) + "/";
}

std::string ClickHouseTest::CaFile() {
    const char* dir = std::getenv("NF5D_CLICKHOUSE_DIR");
    return std::string(dir != nullptr ? dir : NF5D_SOURCE_DIR "/build-clickhouse") + "/ca.pem";
}

std::vector<std::string> ClickHouseTest::Query(const std::string& sql,
                                               const std::string& query_id) {
    const RunResult answer = Post(sql, query_id);
    EXPECT_EQ(answer.status, 0) << sql << ": " << answer.out << answer.err;
    std::vector<std::string> lines;
    std::istringstream text(answer.status == 0 ? answer.out : "");
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

int ClickHouseTest::Server(const char* command) {
    return testsupport::Run({"/bin/sh", NF5D_SOURCE_DIR "/scripts/clickhouse-test.sh", command},
                            NF5D_BUILD_DIR, {}, 180s)
        .status;
}

void ClickHouseTest::EmptyTable() {
    Query("DROP TABLE IF EXISTS FLOWDB.FLOWS");
    EXPECT_EQ(Server("start"), 0);
}

}  // namespace testsupport
