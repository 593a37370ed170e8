// libFuzzer target for the parser, through RouteDatagram. Every input is parsed as a datagram
// from one fixed sender. The number of records it stores is checked against what its bytes
// allow, and the storage queue is drained now and then with every sink disabled, after which all
// tracked memory must have come back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/memory.h"
#include "common/settings.h"
#include "entry/settings.h"
#include "sched/workers.h"
#include "storage/pass.h"
#include "storage/queue.h"

namespace {

// The receive loop never hands the parser more than its buffer holds.
constexpr size_t kMaxDatagram = 16384;
// The trash log lives in a private directory and is emptied now and then, so disk use stays small.
constexpr unsigned kTrashTruncateEvery = 4096;
// A storage pass ends in sync(), which can take far longer than thousands of parses on a busy
// machine, so the queue is drained in batches: once this many records wait in it (a few MB),
// and every so many inputs anyway, so the memory check runs often enough.
constexpr uint32_t kRecordsPerPass = 16384;
constexpr unsigned kInputsPerPass = 8192;

std::string trash_dir;
std::string trash_path;
StartupOptions options{};
sockaddr_in sender{};
unsigned inputs = 0;
unsigned long held_at_start = 0;  // tracked bytes held once the settings are read
uint32_t stored_at_last_pass = 0;

void RemoveTrashDir() {
    unlink(trash_path.c_str());
    rmdir(trash_dir.c_str());
}

// Under $TMPDIR when set (scripts/fuzz.sh points it into its scratch directory), so that a run
// that aborts leaves nothing behind elsewhere.
void MakeTrashDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/parser_fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("parser_fuzz: mkdtemp");
        std::abort();
    }
    trash_dir = pattern;
    trash_path = trash_dir + "/trash.log";
}

// Text, SQLite and MySQL sinks off; the trash log on, so its formatting is fuzzed too.
void ConfigureSettings() {
    std::string args[] = {"parser_fuzz", "-x", "-y", "-t", trash_path};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                    args[3].data(), args[4].data(), nullptr};
    ReadSettings(5, argv, &options);
}

// The records a datagram of these bytes must yield: all of them, or none if it is rejected.
size_t ExpectedRecords(const uint8_t* data, size_t size) {
    if (size < 24) return 0;
    const unsigned version = data[0] << 8 | data[1];
    const size_t count = static_cast<size_t>(data[2] << 8 | data[3]);
    if (version != 5 || count != (size - 24) / 48) return 0;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InitMemoryManager();
    MakeTrashDir();
    std::atexit(RemoveTrashDir);
    ConfigureSettings();
    sender.sin_family = AF_INET;
    sender.sin_port = htons(2055);
    inet_pton(AF_INET, "192.0.2.1", &sender.sin_addr);
    held_at_start = GetMallocTotal();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxDatagram) return 0;
    ++inputs;
    if (inputs % kTrashTruncateEvery == 0) truncate(trash_path.c_str(), 0);

    const uint32_t stored_before = GetStorageWrittenCount();
    // An exact-size copy, so that a read past the datagram hits the sanitizer's redzone.
    std::vector<char> datagram(data, data + size);
    RouteDatagram(datagram.data(), reinterpret_cast<const sockaddr*>(&sender),
                  static_cast<int>(size));
    const size_t stored = GetStorageWrittenCount() - stored_before;
    if (stored != ExpectedRecords(data, size)) {
        std::fprintf(stderr, "parser_fuzz: %zu records stored, %zu expected\n", stored,
                     ExpectedRecords(data, size));
        std::abort();
    }

    if (GetStorageWrittenCount() - stored_at_last_pass >= kRecordsPerPass ||
        inputs % kInputsPerPass == 0) {
        StoragePass();
        stored_at_last_pass = GetStorageWrittenCount();
        if (GetMallocTotal() != held_at_start) {
            std::fprintf(stderr, "parser_fuzz: tracked memory not returned after a storage pass\n");
            std::abort();
        }
    }
    return 0;
}
