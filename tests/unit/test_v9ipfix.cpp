// NetFlow v9 and IPFIX decoding with its template state: built messages go in, in order, from one
// exporter; what is learned, the flows decoded and the sets dropped come out.
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
    bool learned = false, decoded = false;
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
    o.learned = LearnFromExport(copy, exporter, now, &learned);
    const FlowItem shared{};
    o.decoded = DecodeExport(copy, exporter, shared, Collect, &o.flows, &o.counts);
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

// One message each, from a clean state: whether it is sound, its flows and its dropped sets.
TEST_F(Decoder, MessageStructureIsCheckedBeforeAnythingIsLearned) {
    const auto pair = std::vector<Record>{Small("10.0.0.1", 1, 5), Small("10.0.0.2", 2, 6)};
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        bool sound;  // false: nothing learned or decoded
        size_t flows = 0, unknown_sets = 0;
        bool records_sound = true;  // false: templates learned, the data set refused
    } cases[] = {
        {"v9", Message(9, 0, 1, kNow).Template(300, kSmall).Data(300, pair).Bytes(), true, 2, 0},
        {"ipfix", Message(10, 0, 1, kNow).Template(300, kSmall).Data(300, pair).Bytes(), true, 2},
        {"data ahead of its template",
         Message(10, 0, 1, kNow).Data(300, pair).Template(300, kSmall).Bytes(), true, 2, 0},
        {"no template", Message(9, 0, 1, kNow).Data(301, pair).Bytes(), true, 0, 1},
        {"unpadded options set, then an unaligned template set",
         Message(10, 0, 1, kNow)
             .OptionsTemplate(400, {{149, 4}}, {{160, 8}}, false)
             .Data(400, {Record().N(4, 1).N(8, 5)}, false)
             .Template(300, kSmall)
             .Data(300, pair)
             .Bytes(),
         true, 2, 0},
        {"enterprise and variable fields",
         Message(10, 0, 1, kNow)
             .Template(300, {{8, 4}, {1, 65535, 9}, {82, 65535}, {7, 2}})
             .Data(
                 300,
                 {Record().Address("10.0.0.1").N(1, 3).N(3, 7).Variable({'e', 't'}).N(2, 1),
                  Record().Address("10.0.0.2").N(1, 0).Variable(std::vector<uint8_t>(300)).N(2, 2)})
             .Bytes(),
         true, 2, 0},
        {"reserved set skipped", Message(9, 0, 1, kNow).Raw(7, {1, 2, 3, 4}).Bytes(), true, 0},
        {"v9 padding after the last set",
         [] {
             auto b = Message(9, 0, 1, kNow).Raw(7, {}).Bytes();
             b.resize(b.size() + 3);
             return b;
         }(),
         true, 0},
        {"set shorter than its header", Message(9, 0, 1, kNow).Raw(300, {}, 3).Bytes(), false},
        {"set past the end", Message(9, 0, 1, kNow).Raw(300, {1, 2}, 8).Bytes(), false},
        {"ipfix length other than the datagram's",
         [] {
             auto b = Message(10, 0, 1, kNow).Raw(7, {}).Bytes();
             b.push_back(0);
             return b;
         }(),
         false},
        {"template id under 256", Message(9, 0, 1, kNow).Template(255, kSmall).Bytes(), false},
        {"fields past the set", Message(9, 0, 1, kNow).Raw(0, {1, 44, 0, 2, 0, 8, 0, 4}).Bytes(),
         false},
        {"enterprise number past the set",
         Message(10, 0, 1, kNow).Raw(2, {1, 44, 0, 1, 0x80, 1, 0, 4}).Bytes(), false},
        {"fields of no bytes", Message(9, 0, 1, kNow).Template(300, {{8, 0}}).Bytes(), false},
        {"v9 options lengths not whole fields",
         Message(9, 0, 1, kNow).Raw(1, {1, 44, 0, 2, 0, 4, 0, 1, 0, 4, 0, 0}).Bytes(), false},
        {"ipfix options without scope",
         Message(10, 0, 1, kNow).Raw(3, {1, 44, 0, 1, 0, 0, 0, 1, 0, 4}).Bytes(), false},
        {"variable field past the set",
         Message(10, 0, 1, kNow)
             .Template(300, {{82, 65535}})
             .Data(300, {Record().N(1, 9)}, false)
             .Bytes(),
         true, 0, 0, false},
    };
    for (const auto& c : cases) {
        ClearTemplates();
        const Outcome o = Feed(c.bytes);
        EXPECT_EQ(o.learned, c.sound) << c.name;
        EXPECT_EQ(o.decoded, c.sound && c.records_sound) << c.name;
        EXPECT_EQ(o.flows.size(), c.flows) << c.name;
        EXPECT_EQ(o.counts.unknown_sets, c.unknown_sets) << c.name;
        if (!c.sound) {
            EXPECT_EQ(TemplatesHeld(), 0u) << c.name;
        }
    }
}

// One IPFIX record per way of stating a flow's start and end.
TEST_F(Decoder, IpfixTimesInEveryUnit) {
    const uint64_t ntp = uint64_t{kNow - 60 + 2208988800u} << 32 | 0x80000000u;
    const struct {
        uint16_t start, end, length;
        uint64_t first, last;
    } cases[] = {
        {150, 151, 4, kNow - 60, kNow},
        {152, 153, 8, (kNow - 60) * 1000ull + 999, kNow * 1000ull},
        {154, 155, 8, ntp, ntp},
        {156, 157, 8, ntp, ntp},
        {158, 159, 4, 60000000, 0},
        {22, 21, 4, 10000, 70000},  // uptime: from the options record's boot time
    };
    const uint64_t boot_ms = (kNow - 70) * 1000ull;
    for (const auto& c : cases) {
        ClearTemplates();
        const Outcome o = Feed(Message(10, 0, 1, kNow)
                                   .OptionsTemplate(400, {{149, 4}}, {{160, 8}})
                                   .Data(400, {Record().N(4, 1).N(8, boot_ms)})
                                   .Template(300, {{c.start, c.length}, {c.end, c.length}})
                                   .Data(300, {Record().N(c.length, c.first).N(c.length, c.last)})
                                   .Bytes());
        ASSERT_EQ(o.flows.size(), 1u) << c.start;
        EXPECT_EQ(o.flows[0].flow_begin, kNow - 60) << c.start;
        EXPECT_EQ(o.flows[0].flow_end, c.start == 154 || c.start == 156 ? kNow - 60 : kNow)
            << c.start;
        EXPECT_EQ(o.counts.data_records, 2u) << "options records count too";
    }
}

// A sequence of messages from one exporter: what each yields as the templates come and go
// (redefinition and withdrawal of one: the scenarios).
TEST_F(Decoder, TemplatesLiveByScopeRefreshWithdrawalAndExpiry) {
    const auto data = std::vector<Record>{Small("10.0.0.1", 1, 5)};
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* exporter;
        time_t now;
        size_t flows = 0, unknown_sets = 0;
    } steps[] = {
        {"learned", Message(10, 0, 1, kNow).Template(300, kSmall).Bytes(), "192.0.2.1", kNow, 0},
        {"used", Message(10, 0, 1, kNow).Data(300, data).Bytes(), "192.0.2.1", kNow, 1},
        {"other domain", Message(10, 0, 2, kNow).Data(300, data).Bytes(), "192.0.2.1", kNow, 0, 1},
        {"other version", Message(9, 0, 1, kNow).Data(300, data).Bytes(), "192.0.2.1", kNow, 0, 1},
        {"other exporter", Message(10, 0, 1, kNow).Data(300, data).Bytes(), "2001:db8::1", kNow, 0,
         1},
        {"again", Message(10, 0, 1, kNow).Template(300, kSmall).Template(301, kSmall).Bytes(),
         "192.0.2.1", kNow, 0},
        {"all withdrawn", Message(10, 0, 1, kNow).Withdraw(2).Data(301, data).Bytes(), "192.0.2.1",
         kNow, 0, 1},
        {"refreshed", Message(10, 0, 1, kNow).Template(300, kSmall).Bytes(), "192.0.2.1", kNow, 0},
        {"refreshed later", Message(10, 0, 1, kNow).Template(300, kSmall).Bytes(), "192.0.2.1",
         kNow + kTemplateLifetime - 1, 0},
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
