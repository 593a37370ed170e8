#pragma once
// The MySQL export: one INSERT into FLOWDB.FLOWS per record.
#include <mysql.h>

#include "parser/flow.h"

extern MYSQL* mysqlconn;

// MySQL half of InitStorage: connects when a server was named with -m.
void InitMySQL();
void MySQLWrite(const FlowItem* i);
void CommitData();
void CloseMySQL();
