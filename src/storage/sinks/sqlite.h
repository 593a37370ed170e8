#pragma once
// The SQLite flow database: one row of table flows per record, committed at the end of every
// pass that wrote rows and after every 5001st row. This module alone holds the handle.
#include <sqlite3.h>

#include "storage/sink.h"

extern const Sink kSQLiteSink;

const char* GetBinaryLogFileName();
int IsBinaryLoggingEnabled();

// Creates table flows; Terminate(8, ...) when that fails.
void CreateDB(sqlite3* db);
// Empties table flows by dropping and re-creating it in one transaction (rotation, sink lock
// held); a drop that fails leaves the table as it was.
void EmptyFlowsTable();
