// ClickHouse sink against the private server of scripts/clickhouse-test.sh, through a relay that
// loses a request or its answer.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "clickhouse.h"
#include "fixtures.h"
#include "relay.h"
#include "storage/sinks/clickhouse.h"

namespace {

using testsupport::Relay;

class ClickHouseSink : public testsupport::ClickHouseTest {
protected:
    void SetUp() override {
        ClickHouseTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EmptyTable();
    }
    void TearDown() override {
        kClickHouseSink.close();
        ClickHouseTest::TearDown();
    }
    static void Use(const std::string& url) {
        testsupport::UseSwitches({"--clickhouse", url, "-x", "-y", "-z"});
    }
    // Writes rows copies of the example flow and sends them, as the last pass does.
    static bool Store(size_t rows) {
        const std::vector<FlowItem> items(rows, testsupport::ExampleFlow());
        EXPECT_EQ(kClickHouseSink.write(items.data(), items.size(), Patience::kUntilDone), rows);
        return kClickHouseSink.commit(Patience::kUntilDone);
    }
    static std::string TableRows() { return Query("SELECT count() FROM FLOWDB.FLOWS").at(0); }
};

// The server's port, from http://127.0.0.1:<port>/.
int ServerPort() { return std::stoi(ClickHouseSink::Url().substr(17)); }

}  // namespace

// Mid-run, a request of 600 rows is lost on its way, or its answer after the server stored it:
// the sink tells the outage once, settles the request from the server before it sends it again,
// and every row is there exactly once. The lost answer is the case a blind retry would double.
TEST_F(ClickHouseSink, RequestOrAnswerLostIsStoredExactlyOnce) {
    Relay relay("127.0.0.1", 0, ServerPort());
    Use("http://127.0.0.1:" + std::to_string(relay.port()));
    for (const Relay::Cut cut :
         {Relay::Cut::kBeforeServerSeesIt, Relay::Cut::kAfterServerAnswered}) {
        SCOPED_TRACE(static_cast<int>(cut));
        EmptyTable();
        kClickHouseSink.open();
        ASSERT_TRUE(Store(1));  // accepted once: from now on failures are ridden out
        const uint64_t accepted = GetClickHouseAcceptedRows();
        const uint64_t failed = GetClickHouseFailedRequests();
        relay.CutNext("POST /?query_id=", cut);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Store(600));
        EXPECT_EQ(GetClickHouseBacklogRows(), 600u);
        EXPECT_TRUE(kClickHouseSink.commit(Patience::kUntilDone));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(TableRows(), "601");
        EXPECT_EQ(GetClickHouseAcceptedRows() - accepted, 600u);
        EXPECT_EQ(GetClickHouseFailedRequests() - failed, 1u);
        EXPECT_EQ(testsupport::Count(err, "ClickHouse server unavailable, keeping its rows: "), 1)
            << err;
        EXPECT_NE(err.find("ClickHouse server back: 600 rows kept, 0 dropped\n"), std::string::npos)
            << err;
        kClickHouseSink.close();
    }
}

// A request whose fate is unknown waits while a query of its id still runs on the server; once
// none does, the rows of its number that the server holds settle it, in part if so, and only
// none makes it go again.
TEST_F(ClickHouseSink, UnsettledRequestWaitsForItsQueryThenTakesWhatTheServerHolds) {
    Relay relay("127.0.0.1", 0, ServerPort());
    Use("http://127.0.0.1:" + std::to_string(relay.port()));
    kClickHouseSink.open();
    ASSERT_TRUE(Store(1));
    char next[32];
    std::snprintf(next, sizeof next, "%016llx",
                  std::stoull(Query("SELECT BATCH FROM FLOWDB.FLOWS").at(0)) + 1);
    relay.CutNext("POST /?query_id=", Relay::Cut::kBeforeServerSeesIt);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Store(600));

    // A query of the same id, as a request the server still works on.
    std::thread running([&] { Query("SELECT sleep(2)", std::string("nf5d-") + next); });
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        return Query("SELECT count() FROM system.processes WHERE query_id LIKE 'nf5d-%'").at(0) !=
               "0";
    }));
    EXPECT_FALSE(kClickHouseSink.commit(Patience::kUntilDone));
    running.join();

    // One row of its number, as from a table that stored part of a request.
    Query(
        "INSERT INTO FLOWDB.FLOWS (TIME_RECEIVED, BATCH) SELECT TIME_RECEIVED, BATCH + 1 FROM "
        "FLOWDB.FLOWS");
    EXPECT_TRUE(kClickHouseSink.commit(Patience::kUntilDone));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string("ClickHouse request ") + next +
                       " found stored in part: 1 of 600 rows"),
              std::string::npos)
        << err;
    EXPECT_EQ(TableRows(), "2");
    EXPECT_EQ(GetClickHouseBacklogRows(), 0u);
}

// https: the server's certificate is checked, against the system's CAs or the file SSL_CERT_FILE
// names, which must be readable.
TEST_F(ClickHouseSink, HttpsChecksTheServerAgainstTheSystemsCasOrSslCertFile) {
    Use(TlsUrl());
    unsetenv("SSL_CERT_FILE");
    EXPECT_EXIT(kClickHouseSink.open(), testing::ExitedWithCode(15),
                "ClickHouse server https://127.0.0.1:[0-9]+ unreachable: .*(SSL|certificate)");
    setenv("SSL_CERT_FILE", Path("none.pem").c_str(), 1);
    EXPECT_EXIT(kClickHouseSink.open(), testing::ExitedWithCode(16),
                "ClickHouse CA file .*none.pem \\(SSL_CERT_FILE\\) cannot be read: No such file");
    setenv("SSL_CERT_FILE", CaFile().c_str(), 1);
    kClickHouseSink.open();
    EXPECT_TRUE(Store(2));
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(TableRows(), "2");
}

// A password goes in the URL, or in ~/.netrc as long as only its owner can read that; a wrong
// one is refused at start.
TEST_F(ClickHouseSink, CredentialsFromTheUrlOrAPrivateNetrc) {
    const std::string host = "127.0.0.1:" + std::to_string(ServerPort());
    setenv("HOME", dir_.c_str(), 1);
    const std::string netrc = Path(".netrc");
    std::ofstream(netrc) << "machine 127.0.0.1 login collector password nf5d-test\n";
    chmod(netrc.c_str(), 0644);
    Use("http://" + host);
    EXPECT_EXIT(kClickHouseSink.open(), testing::ExitedWithCode(16),
                "ClickHouse credentials .*/\\.netrc are readable by others");
    std::ofstream(netrc) << "machine 127.0.0.1 login collector password wrong\n";
    chmod(netrc.c_str(), 0600);
    EXPECT_EXIT(kClickHouseSink.open(), testing::ExitedWithCode(16),
                "ClickHouse server http://127.0.0.1:[0-9]+ refused FLOWDB.FLOWS: .*password");
    std::ofstream(netrc) << "machine 127.0.0.1 login collector password nf5d-test\n";
    kClickHouseSink.open();
    EXPECT_TRUE(Store(1));
    kClickHouseSink.close();

    unlink(netrc.c_str());
    Use("http://collector:nf5d-test@" + host + "/FLOWDB.FLOWS");
    kClickHouseSink.open();
    EXPECT_TRUE(Store(1));
    EXPECT_EQ(TableRows(), "2");
}
