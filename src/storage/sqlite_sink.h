#pragma once
// The SQLite flow database: table flows, rows inserted in batch transactions of 5001.
#include <sqlite3.h>

#include "parser/flow.h"

extern sqlite3* sqlitedb;

// Opens GetBinaryLogFileName() (creating the file) with a short busy timeout set on the handle;
// Terminate(8, "Can't open/create database") when it cannot. For every open of sqlitedb.
sqlite3* OpenFlowDatabase();

// SQLite half of InitStorage: opens (creating the file and table if missing) when enabled.
void InitSQLite();
// Creates table flows; Terminate(8, ...) when that fails.
void CreateDB(sqlite3* db);
// Inserts one row; returns once the row is accepted, waiting out other connections' locks.
void SQLWrite(const FlowItem* i);
// Commits the open batch, if any, so a close loses no accepted row, and restarts the batch
// count. Never terminates (CloseStorage calls it from Terminate): a failure is notified.
void CommitSQLiteBatch();
// Commits the open batch and closes the handle, if one is open.
void CloseSQLite();
