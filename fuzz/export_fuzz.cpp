// libFuzzer target for the NetFlow v9 and IPFIX decoder with its template state. An input is a
// short exchange from one exporter: datagrams, each preceded by its length in two bytes
// (big-endian; the last takes what is left). Each datagram goes the daemon's way: the receive
// loop learns its templates and makes its plan, then a worker judges and decodes it by the plan.
// The flows handed over must be the ones the decoder counts, the records the ones the receive
// loop counted, and the template memory must keep its bounds. Templates are forgotten between inputs, so each input stands alone.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "parser/templates.h"
#include "parser/v9ipfix.h"

namespace {

constexpr size_t kMaxDatagram = 16384;
constexpr time_t kStart = 1700000000;

NetAddress Exporter() {
    NetAddress address{};
    address.family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::1", address.bytes);
    return address;
}

void Count(const FlowItem* /*flows*/, size_t count, void* context) {
    *static_cast<size_t*>(context) += count;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "export_fuzz: %s\n", what);
    std::abort();
}

// One datagram, as the receive loop and then a worker take it; time moves on a minute each.
void Exchange(const uint8_t* data, size_t size, time_t now) {
    const std::vector<uint8_t> datagram(data, data + size);  // exact size, for ASan
    const NetAddress exporter = Exporter();
    ExportCounts learned;
    ExportPlan plan;
    LearnFromExport(datagram, exporter, now, &learned, &plan);
    ExpireTemplates(now);  // the plan keeps what it found
    size_t handed = 0;
    ExportCounts decoded;
    const FlowItem shared{};
    if (CheckExport(datagram, plan)) {
        DecodeExport(datagram, plan, shared, Count, &handed, &decoded);
        if (decoded.data_records != learned.data_records)
            Fail("the worker counts other records than the receive loop");
    }
    if (handed != decoded.flows) Fail("flows handed over differ from flows counted");
    if (TemplatesHeld() > kMaxTemplatesHeld || TemplatesHeld(exporter) > kMaxTemplatesPerExporter)
        Fail("template bounds exceeded");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ClearTemplates();
    time_t now = kStart;
    while (size >= 2) {
        size_t length = static_cast<size_t>(data[0] << 8 | data[1]);
        data += 2;
        size -= 2;
        if (length > size) length = size;
        if (length <= kMaxDatagram) Exchange(data, length, now);
        data += length;
        size -= length;
        now += 60;
    }
    return 0;
}
