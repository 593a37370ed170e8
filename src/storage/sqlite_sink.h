#pragma once
// The SQLite flow database: table flows, rows inserted in batch transactions of 5001.
#include <sqlite3.h>

#include "parser/flow.h"

extern sqlite3* sqlitedb;

// SQLite half of InitStorage: opens (creating the file and table if missing) when enabled.
void InitSQLite();
void CreateDB(sqlite3* db);
void SQLWrite(const FlowItem* i);
// Commits the open batch, if any, so a close loses no accepted row.
void CommitSQLiteBatch();
// Commits the open batch and closes the handle, if one is open.
void CloseSQLite();
