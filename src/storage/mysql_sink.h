#pragma once
// The MySQL export: one INSERT into FLOWDB.FLOWS per record.
#include <mysql.h>

#include "parser/flow.h"

extern MYSQL* mysqlconn;

// MySQL half of InitStorage: connects when a server was named with -m; Terminate(13, ...) when
// the connection fails.
void InitMySQL();
// Inserts one row; Terminate(14, ...) when the server refuses it.
void MySQLWrite(const FlowItem* i);
// Sends COMMIT (result ignored) when connected, then sync(). Nothing calls it.
void CommitData();
// Closes the connection when MySQL logging is enabled and one is open; clears mysqlconn.
void CloseMySQL();
