#include "storage/snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "common/memory.h"
#include "common/messages.h"
#include "common/terminate.h"
#include "storage/pass.h"
#include "storage/sinks/sqlite.h"

namespace {

constexpr const char* kSnapshotName = "%s.snapshot";
constexpr const char* kPreviousName = "%s.previous";
constexpr const char* kSnapshotBegun = "Begun creation of DB snapshot";
constexpr const char* kSnapshotDone = "Succesfully completed DB File snapshot creation";
constexpr const char* kSnapshotSkipped = "Binary logging is disabled, no DB snapshot created";
constexpr const char* kRotationBegun = "Begun rotation of DB file";
constexpr const char* kRotationDone = "Completed rotation of DB File";
constexpr const char* kRotationSkipped = "Binary logging is disabled, DB file not rotated";
constexpr const char* kCopyFailed = "Can't create snapshot";

// FileCopy results, which the callers turn into exit statuses.
constexpr int kCopied = 0;
constexpr int kReadError = 2;
constexpr int kNoSource = 10;
constexpr int kNoDest = 11;
constexpr int kShortWrite = 12;

constexpr size_t kCopyBufferSize = 131072;

int CopyStream(FILE* in, FILE* out, char* buffer) {
    for (;;) {
        const size_t got = std::fread(buffer, 1, kCopyBufferSize, in);
        if (got == 0) return std::ferror(in) == 0 && std::feof(in) != 0 ? kCopied : kReadError;
        if (std::fwrite(buffer, 1, got, out) != got) return kShortWrite;
    }
}

// A cut name could be the database file's own, which the copy would then truncate.
void RequireWholeName(int length) {
    if (length < 0 || static_cast<size_t>(length) >= kMessageSize) Terminate(kNoDest, kCopyFailed);
}

// Sink lock held. The open batch is committed first, waiting out readers, so the copy holds
// every row stored before the signal; a commit that fails ends the process before any report of
// success.
void CloseCopyReopen(const char* copy) {
    kSQLiteSink.commit(Patience::kUntilDone);
    kSQLiteSink.close();
    const int status = FileCopy(GetBinaryLogFileName(), copy);
    if (status != kCopied) Terminate(status, kCopyFailed);
    kSQLiteSink.open();
}

}  // namespace

int FileCopy(const char* source, const char* dest) {
    chmod(source, 0400);
    FILE* in = std::fopen(source, "rb");
    if (in == nullptr) return kNoSource;
    FILE* out = std::fopen(dest, "w+b");
    if (out == nullptr) {
        std::fclose(in);
        return kNoDest;
    }
    chmod(source, 0200);

    char* buffer = static_cast<char*>(allocate_mem(kCopyBufferSize));
    int status = CopyStream(in, out, buffer);
    // The last buffered bytes reach the file only now, and the disk at the fsync; a full disk
    // may refuse them at either.
    const bool flushed = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
    if ((std::fclose(out) != 0 || !flushed) && status == kCopied) status = kShortWrite;
    std::fclose(in);
    release_mem(buffer, kCopyBufferSize);
    chmod(source, 0600);
    chmod(dest, 0600);
    return status;
}

// Binary logging off: the file, if any, is not the daemon's to copy or empty.
void CreateSnapshot() {
    if (IsBinaryLoggingEnabled() != 1) {
        notify(kSnapshotSkipped);
        return;
    }
    notify(kSnapshotBegun);
    char snapshot[kMessageSize];
    RequireWholeName(
        std::snprintf(snapshot, sizeof snapshot, kSnapshotName, GetBinaryLogFileName()));
    {
        SinkLock lock;
        CloseCopyReopen(snapshot);
    }
    notify(kSnapshotDone);
}

// Records queued but not yet written stay in the queue and go into the emptied table.
void RotateDB() {
    if (IsBinaryLoggingEnabled() != 1) {
        notify(kRotationSkipped);
        return;
    }
    notify(kRotationBegun);
    char previous[kMessageSize];
    RequireWholeName(
        std::snprintf(previous, sizeof previous, kPreviousName, GetBinaryLogFileName()));
    {
        SinkLock lock;
        CloseCopyReopen(previous);
        EmptyFlowsTable();
    }
    notify(kRotationDone);
}
