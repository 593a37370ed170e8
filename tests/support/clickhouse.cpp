#include "clickhouse.h"

#include <curl/curl.h>

#include <cstdlib>
#include <sstream>

namespace testsupport {

namespace {

size_t Append(char* data, size_t size, size_t count, void* text) {
    static_cast<std::string*>(text)->append(data, size * count);
    return size * count;
}

// The HTTP status (0 if there was no answer) and the body.
long Post(const std::string& sql, std::string* answer) {
    CURL* curl = curl_easy_init();
    const std::string url = ClickHouseTest::Url();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, sql.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, answer);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    return status;
}

}  // namespace

void ClickHouseTest::SetUp() {
    DaemonTest::SetUp();
    std::string answer;
    if (Post("SELECT 1", &answer) == 200) return;
    if (std::getenv("NF5D_REQUIRE_CLICKHOUSE") != nullptr) FAIL() << "no server at " << Url();
    GTEST_SKIP() << "no server (scripts/clickhouse-test.sh start) at " << Url();
}

std::string ClickHouseTest::Url(const std::string& path) {
    const char* port = std::getenv("NF5D_CLICKHOUSE_PORT");
    return "http://127.0.0.1:" + std::string(port != nullptr ? port : "8123") + "/" + path;
}

std::vector<std::string> ClickHouseTest::Query(const std::string& sql) {
    std::string answer;
    const long status = Post(sql, &answer);
    EXPECT_EQ(status, 200) << sql << ": " << answer;
    std::vector<std::string> lines;
    std::istringstream text(status == 200 ? answer : "");
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
