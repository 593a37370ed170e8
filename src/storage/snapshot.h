#pragma once
// Copies of the SQLite database file. A signal only asks for one; the SQLite writer makes it
// between two writes, so reception never waits for the database or its readers.
#include <sqlite3.h>

// Main thread (CreateSnapshot and RotateDB): asks the SQLite writer for a snapshot or a rotation,
// or says that there is no database to copy.
void AskForSnapshot(bool database_on);
void AskForRotation(bool database_on);

// Whether a SQLite result says another connection holds a lock. Result codes may come back
// extended (SQLITE_BUSY_SNAPSHOT, ...); the low byte is the class.
inline bool IsSQLiteBusy(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

enum DatabaseRequest : unsigned { kSnapshotAsked = 1, kRotationAsked = 2 };
// SQLite writer: the requests made since it last looked.
unsigned TakeDatabaseRequests();
bool DatabaseRequested();
void DropRotationRequests();

// Copies what is committed in db into the file dest with SQLite's online backup, under a shared
// lock that readers share; returns 0, or the exit status of a failed copy: 2 (reading db),
// 11 (dest cannot be created), 12 (dest cannot be written).
int BackupDatabase(sqlite3* db, const char* dest);
// SQLite writer, nothing left uncommitted in db: the snapshot, or the rotation's copy, of the
// database file `file`; Terminate with the copy's status when it fails.
void WriteSnapshot(sqlite3* db, const char* file);
void WriteRotationCopy(sqlite3* db, const char* file);
// Once the rotation has emptied the table.
void ReportRotationDone();
