#include "storage/clickhouse_sink.h"
#include "storage/mysql_sink.h"
#include "storage/sink.h"
#include "storage/sqlite_sink.h"
#include "storage/textlog.h"

const Sink* const kSinks[] = {&kTextLogSink, &kSQLiteSink, &kMySQLSink, &kClickHouseSink};
const size_t kSinkCount = sizeof kSinks / sizeof kSinks[0];
static_assert(sizeof kSinks / sizeof kSinks[0] <= kMaxSinks, "raise kMaxSinks");
