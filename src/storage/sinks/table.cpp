#include "storage/sink.h"
#include "storage/sinks/clickhouse.h"
#include "storage/sinks/mysql.h"
#include "storage/sinks/sqlite.h"
#include "storage/sinks/textlog.h"
#include "storage/sinks/trashlog.h"

const Sink* const kSinks[] = {&kTextLogSink, &kSQLiteSink, &kMySQLSink, &kTrashLogSink,
                              &kClickHouseSink};
const size_t kSinkCount = sizeof kSinks / sizeof kSinks[0];
static_assert(sizeof kSinks / sizeof kSinks[0] <= kMaxSinks, "raise kMaxSinks");
