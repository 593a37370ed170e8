// NetFlow v9 and IPFIX template state: built messages go in, in order, from one or more exporters;
// the flows decoded and the sets dropped come out. (Each message's structure, fields and times:
// the scenarios.)
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/templates.h"
#include "parser/v9ipfix.h"
#include "v9datagram.h"

namespace {

using v9::Field;
using v9::Message;
using v9::Record;

constexpr uint32_t kNow = 1700000000;

NetAddress Exporter(const char* text = "192.0.2.1") {
    NetAddress address{};
    address.family = std::string(text).find(':') == std::string::npos ? AF_INET : AF_INET6;
    inet_pton(address.family, text, address.bytes);
    return address;
}

struct Outcome {
    ExportCounts counts;
    std::vector<FlowItem> flows;
};

void Collect(const FlowItem* flows, size_t count, void* context) {
    auto* out = static_cast<std::vector<FlowItem>*>(context);
    out->insert(out->end(), flows, flows + count);
}

// The receive loop's pass, then the worker's, as the daemon runs them.
Outcome Feed(const std::vector<uint8_t>& bytes, const NetAddress& exporter = Exporter(),
             time_t now = kNow) {
    const std::vector<uint8_t> copy(bytes);  // exact size, for the sanitizers
    Outcome o;
    ExportCounts learned;
    ExportPlan plan;
    LearnFromExport(copy, exporter, now, &learned, &plan);
    const FlowItem shared{};
    if (CheckExport(copy, plan)) DecodeExport(copy, plan, shared, Collect, &o.flows, &o.counts);
    return o;
}

const std::vector<Field> kSmall = {{8, 4}, {7, 2}, {2, 4}};

Record Small(const char* source, uint16_t port, uint32_t packets) {
    return Record().Address(source).N(2, port).N(4, packets);
}

class Decoder : public ::testing::Test {
protected:
    void SetUp() override { ClearTemplates(); }
};

// A sequence of messages from one exporter: what each yields as the templates come and go
// (redefinition and withdrawal of one: the scenarios).
TEST_F(Decoder, TemplatesLiveByScopeRefreshWithdrawalAndExpiry) {
    const auto data = std::vector<Record>{Small("10.0.0.1", 1, 5)};
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t flows = 0, unknown_sets = 0;
        const char* exporter = "192.0.2.1";
        time_t now = kNow;
    } steps[] = {
        {"learned", Message(10, 0, 1, kNow).Template(300, kSmall).Bytes()},
        {"used", Message(10, 0, 1, kNow).Data(300, data).Bytes(), 1},
        {"other domain", Message(10, 0, 2, kNow).Data(300, data).Bytes(), 0, 1},
        {"other version", Message(9, 0, 1, kNow).Data(300, data).Bytes(), 0, 1},
        {"other exporter", Message(10, 0, 1, kNow).Data(300, data).Bytes(), 0, 1, "2001:db8::1"},
        {"again", Message(10, 0, 1, kNow).Template(300, kSmall).Template(301, kSmall).Bytes()},
        {"all withdrawn", Message(10, 0, 1, kNow).Withdraw(2).Data(301, data).Bytes(), 0, 1},
        {"refreshed", Message(10, 0, 1, kNow).Template(300, kSmall).Bytes()},
        {"refreshed later", Message(10, 0, 1, kNow).Template(300, kSmall).Bytes(), 0, 0,
         "192.0.2.1", kNow + kTemplateLifetime - 1},
    };
    for (const auto& s : steps) {
        const Outcome o = Feed(s.bytes, Exporter(s.exporter), s.now);
        EXPECT_EQ(o.flows.size(), s.flows) << s.name;
        EXPECT_EQ(o.counts.unknown_sets, s.unknown_sets) << s.name;
    }
    EXPECT_EQ(ExpireTemplates(kNow + kTemplateLifetime), 0u);
    EXPECT_EQ(ExpireTemplates(kNow + 2 * kTemplateLifetime), 1u);
    EXPECT_EQ(TemplatesHeld(), 0u);
}

// A message queued before its template is redefined or withdrawn still decodes by the template
// it came after, as a worker that takes it late finds it.
TEST_F(Decoder, QueuedMessageDecodesByTheTemplateHeldWhenItArrived) {
    const std::vector<uint8_t> first =
        Message(10, 0, 1, kNow).Template(300, kSmall).Data(300, {Small("10.0.0.1", 7, 5)}).Bytes();
    ExportCounts learned;
    ExportPlan plan;
    LearnFromExport(first, Exporter(), kNow, &learned, &plan);
    Feed(Message(10, 0, 1, kNow).Template(300, {{12, 4}, {2, 4}, {7, 2}}).Bytes());
    Feed(Message(10, 0, 1, kNow).Withdraw(300).Bytes());
    ASSERT_TRUE(CheckExport(first, plan));
    std::vector<FlowItem> flows;
    DecodeExport(first, plan, FlowItem{}, Collect, &flows, &learned);
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0].src_port, 7);
    EXPECT_EQ(flows[0].packets, 5u);
}

TEST_F(Decoder, TemplateMemoryIsBoundedPerExporterAndInTotal) {
    const auto many = [](uint32_t domain) {
        Message m(9, 0, domain, kNow);
        for (uint16_t id = 256; id < 256 + 200; ++id) m.Template(id, kSmall);
        return m.Bytes();
    };
    for (uint32_t domain = 0; domain < 2; ++domain) Feed(many(domain));
    EXPECT_EQ(TemplatesHeld(Exporter()), kMaxTemplatesPerExporter);
    // A template held is still refreshed and redefined at the bound.
    EXPECT_EQ(Feed(Message(9, 0, 0, kNow)
                       .Template(256, kSmall)
                       .Data(256, {Small("10.0.0.1", 1, 1)})
                       .Bytes())
                  .flows.size(),
              1u);
    for (size_t n = 1; n <= kMaxTemplatesHeld / 200 + 1; ++n)
        Feed(many(0), Exporter(("2001:db8::" + std::to_string(n)).c_str()));
    EXPECT_EQ(TemplatesHeld(), kMaxTemplatesHeld);
}

}  // namespace
