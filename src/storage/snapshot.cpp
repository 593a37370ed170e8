#include "storage/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "common/messages.h"
#include "common/terminate.h"
#include "storage/queue.h"

namespace {

constexpr const char* kCopyName = "%s%s";
constexpr const char* kSnapshotSuffix = ".snapshot";
constexpr const char* kPreviousSuffix = ".previous";
constexpr const char* kSnapshotBegun = "Begun creation of DB snapshot";
constexpr const char* kSnapshotDone = "Succesfully completed DB File snapshot creation";
constexpr const char* kSnapshotSkipped = "Binary logging is disabled, no DB snapshot created";
constexpr const char* kRotationBegun = "Begun rotation of DB file";
constexpr const char* kRotationDone = "Completed rotation of DB File";
constexpr const char* kRotationSkipped = "Binary logging is disabled, DB file not rotated";
constexpr const char* kCopyFailed = "Can't create snapshot";
// A copy cut short is no copy, and its status says so: the copy keeps no journal to roll back.
constexpr const char* kNoJournal = "PRAGMA journal_mode=OFF";

// Copy results, which become exit statuses.
constexpr int kCopied = 0;
constexpr int kReadError = 2;
constexpr int kNoDest = 11;
constexpr int kShortWrite = 12;

// Pause between two attempts while another program holds the database locked for writing.
constexpr useconds_t kBusyPauseMicros = 10000;

// Set by the main thread, taken by the SQLite writer.
std::atomic<unsigned> requests{0};

void Ask(unsigned request, bool database_on, const char* skipped, const char* begun) {
    if (!database_on) {
        notify(skipped);
        return;
    }
    // Said before the request is visible, so that it always precedes the completion; a request
    // still waiting is not made twice.
    if ((requests.load() & request) != 0) return;
    notify(begun);
    requests.fetch_or(request);
    WakeQueueReaders();
}

bool IsReadError(int rc) {
    const int primary = rc & 0xff;
    return rc == SQLITE_IOERR_READ || rc == SQLITE_IOERR_SHORT_READ || primary == SQLITE_CORRUPT ||
           primary == SQLITE_NOTADB;
}

// dest is created (or emptied) with mode 0600 before SQLite opens it, and must be a plain file:
// SQLite would wait forever on a FIFO.
bool MakeEmptyFile(const char* dest) {
    const int fd = open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return false;
    struct stat info {};
    const bool made = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && fchmod(fd, 0600) == 0;
    close(fd);
    return made;
}

// The whole database in one step, so the copy is one consistent state of it.
int CopyPages(sqlite3* db, sqlite3* copy) {
    sqlite3_exec(copy, kNoJournal, nullptr, nullptr, nullptr);
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db, "main");
    if (backup == nullptr) return kNoDest;
    int rc;
    while (IsSQLiteBusy(rc = sqlite3_backup_step(backup, -1))) usleep(kBusyPauseMicros);
    sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE) return kCopied;
    return IsReadError(rc) ? kReadError : kShortWrite;
}

// A cut name could be the database file's own, which the copy would then empty.
void CopyOrTerminate(sqlite3* db, const char* file, const char* suffix) {
    char name[kMessageSize];
    const int length = std::snprintf(name, sizeof name, kCopyName, file, suffix);
    if (length < 0 || static_cast<size_t>(length) >= sizeof name) Terminate(kNoDest, kCopyFailed);
    const int status = BackupDatabase(db, name);
    if (status != kCopied) Terminate(status, kCopyFailed);
}

}  // namespace

void AskForSnapshot(bool database_on) {
    Ask(kSnapshotAsked, database_on, kSnapshotSkipped, kSnapshotBegun);
}

void AskForRotation(bool database_on) {
    Ask(kRotationAsked, database_on, kRotationSkipped, kRotationBegun);
}

unsigned TakeDatabaseRequests() { return requests.exchange(0); }
void DropRotationRequests() { requests.fetch_and(~unsigned{kRotationAsked}); }
bool DatabaseRequested() { return requests.load() != 0; }

int BackupDatabase(sqlite3* db, const char* dest) {
    if (!MakeEmptyFile(dest)) return kNoDest;
    sqlite3* copy = nullptr;
    int status = kNoDest;
    if (sqlite3_open_v2(dest, &copy, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        status = CopyPages(db, copy);
    sqlite3_close(copy);
    return status;
}

void WriteSnapshot(sqlite3* db, const char* file) {
    CopyOrTerminate(db, file, kSnapshotSuffix);
    notify(kSnapshotDone);
}

void WriteRotationCopy(sqlite3* db, const char* file) { CopyOrTerminate(db, file, kPreviousSuffix); }

void ReportRotationDone() { notify(kRotationDone); }
