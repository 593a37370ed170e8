// The text flow log. A pass opens the file at its first enabled record, so an external rename
// takes effect at the next pass, writes its lines through one large buffer, and syncs the data
// to disk before it closes the file.
#include "storage/sinks/textlog.h"

#include <cstdio>
#include <utility>

#include "common/memory.h"
#include "common/messages.h"
#include "common/terminate.h"
#include "storage/queue.h"
#include "storage/render.h"

namespace {

constexpr const char* kReportLine = "ASCII logging: %s\n";
constexpr size_t kWriteBufferSize = size_t{1} << 20;

SinkSetting setting{nullptr, {0}};

// Its writer only: the file while a pass writes it, and its buffer.
struct TextLog {
    FILE* file;
    char* write_buffer;
};
TextLog textlog{};

void OpenForPass() {
    textlog.file = OpenLogForAppend(setting.name);
    textlog.write_buffer = static_cast<char*>(allocate_mem(kWriteBufferSize));
    std::setvbuf(textlog.file, textlog.write_buffer, _IOFBF, kWriteBufferSize);
}

// Renders times through caches that live for one batch: the flows of a datagram share their
// receive time.
size_t Write(const FlowItem* flows, size_t count, Patience /*patience*/) {
    if (textlog.file == nullptr) OpenForPass();
    FieldTimes times;
    char line[kMessageSize];
    for (size_t n = 0; n < count; ++n) {
        std::fwrite(line, 1, RenderTextLine(flows[n], &times, line, sizeof line), textlog.file);
    }
    return count;
}

void ReleaseBuffer() {
    release_mem(textlog.write_buffer, kWriteBufferSize);
    textlog.write_buffer = nullptr;
}

// Only the data reaches the disk: the file's times need not for the lines to survive a crash.
// A line that cannot be kept (a full disk) ends the process rather than pass for stored; the
// file is let go first, so that the close on the way out finds nothing left to fail on.
bool Commit(Patience /*patience*/) {
    if (textlog.file == nullptr) return true;
    CloseLogOrTerminate(std::exchange(textlog.file, nullptr));
    ReleaseBuffer();
    return true;
}

// The process ends with its own status: what cannot be kept now is not reported again.
size_t Close() {
    if (textlog.file == nullptr) return 0;
    CloseLog(std::exchange(textlog.file, nullptr));
    ReleaseBuffer();
    return 0;
}

void Report() { std::printf(kReportLine, ReportedName(setting)); }

}  // namespace

const Sink kTextLogSink{.name = "text",
                        .setting = &setting,
                        .name_switch = 'l',
                        .off_switch = 'x',
                        .default_name = "./netflow.log",
                        .help = "-l Enable ASCII logging, defaults to ",
                        .off_help = "-x Disable text logging",
                        .report = Report,
                        .report_when_off = true,
                        .check_refusal = "Main, can't access to Text Log File, check permissions",
                        .check_creates = true,
                        .write = Write,
                        .commit = Commit,
                        .close = Close};

// Its writer, woken, takes the switch at once: while off it holds back no flow, so the flows that
// come once it is on would otherwise wait for its deadline, or pass it by.
void SwitchTextFlag() {
    ToggleSink(setting);
    WakeQueueReaders();
}
