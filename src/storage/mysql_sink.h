#pragma once
// The MySQL export: the rows of a pass go to FLOWDB.FLOWS in multi-row INSERTs inside one
// transaction, committed at the end of the pass.
#include "storage/sink.h"

extern const Sink kMySQLSink;
