#include "storage/snapshot.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "common/memory.h"
#include "common/messages.h"
#include "entry/settings.h"
#include "storage/queue.h"
#include "storage/sqlite_sink.h"
#include "storage/terminate.h"

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

constexpr const char* kBeginRotation = "BEGIN IMMEDIATE TRANSACTION";
constexpr const char* kDropTable = "DROP TABLE FLOWS";
constexpr const char* kCommitRotation = "COMMIT";
constexpr const char* kRollbackRotation = "ROLLBACK";

// FileCopy results, which the callers turn into exit statuses.
constexpr int kCopied = 0;
constexpr int kReadError = 2;
constexpr int kNoSource = 10;
constexpr int kNoDest = 11;
constexpr int kShortWrite = 12;

constexpr size_t kCopyBufferSize = 131072;
// Pause between attempts while another process holds the database file locked.
constexpr useconds_t kBusyPauseMicros = 1000;

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

// Lock held. Closing commits the open batch first, so the copy holds every accepted row.
void CloseCopyReopen(const char* copy) {
    CloseSQLite();
    const int status = FileCopy(GetBinaryLogFileName(), copy);
    if (status != kCopied) Terminate(status, kCopyFailed);
    sqlitedb = OpenFlowDatabase();
}

bool IsBusy(int result) {
    const int primary = result & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Waits out another process (a report reading the file) instead of failing on its lock.
int ExecWaitingOutLocks(const char* sql) {
    int result;
    while (IsBusy(result = sqlite3_exec(sqlitedb, sql, nullptr, nullptr, nullptr))) {
        usleep(kBusyPauseMicros);
    }
    return result;
}

// Lock held. The drop and the re-creation form one transaction, so no reader, and no later
// insert, ever meets the file without table flows. A drop that fails leaves the table as it was.
void EmptyFlowsTable() {
    ExecWaitingOutLocks(kBeginRotation);
    if (ExecWaitingOutLocks(kDropTable) != SQLITE_OK) {
        ExecWaitingOutLocks(kRollbackRotation);
        return;
    }
    CreateDB(sqlitedb);
    const int committed = ExecWaitingOutLocks(kCommitRotation);
    if (committed != SQLITE_OK && sqlite3_get_autocommit(sqlitedb) == 0) {
        ExecWaitingOutLocks(kRollbackRotation);
    }
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
    // The last buffered bytes reach the file only now; a full disk may refuse them here.
    if (std::fclose(out) != 0 && status == kCopied) status = kShortWrite;
    std::fclose(in);
    release_mem(buffer, kCopyBufferSize);
    sync();
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
        StoreLock lock;
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
        StoreLock lock;
        CloseCopyReopen(previous);
        EmptyFlowsTable();
        sync();
    }
    notify(kRotationDone);
}
