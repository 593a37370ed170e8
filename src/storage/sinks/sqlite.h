#pragma once
// The SQLite flow database: one row of table flows per record, committed at the end of every
// pass that wrote rows and after every 5001st row. This module alone holds the handle, and its
// writer makes the snapshots and rotations asked for.
#include <sqlite3.h>

#include "storage/sink.h"

extern const Sink kSQLiteSink;

const char* GetBinaryLogFileName();
int IsBinaryLoggingEnabled();

// Creates table flows; Terminate(8, ...) when that fails.
void CreateDB(sqlite3* db);

// SIGUSR1's and SIGWINCH's work: ask the SQLite writer for a snapshot or a rotation.
void CreateSnapshot();
void RotateDB();
