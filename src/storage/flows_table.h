#pragma once
// The layout of table flows in the SQLite flow database, as the daemon creates it and as
// every reader (nf5stat and its tests) expects it: RECNUM first, then a column per flow field.
#include <string_view>

#include "common/flow.h"

constexpr const char* kCreateFlowsTable =
    "CREATE TABLE flows (RECNUM INTEGER PRIMARY KEY,PROBE CHAR,TIME_RECEIVED INTEGER, "
    "FLOW_VERSION INTEGER, SEQUENCE INTEGER, SOURCE_IP CHAR, SOURCE_PORT INTEGER, DEST_IP CHAR, "
    "DEST_PORT INTEGER, NEXT_HOP CHAR, PROTOCOL INTEGER, TCP_FLAGS INTEGER, TOS INTEGER, "
    "BYTES INTEGER, PACKETS INTEGER, FLOW_BEGIN INTEGER, FLOW_END INTEGER, SOURCE_AS INTEGER, "
    "DEST_AS INTEGER, SOURCE_MASK INTEGER, DEST_MASK INTEGER)";

// The layout as the field table has it: after the key, each field's column and type in order,
// and nothing else. The text itself is kept as the table has always been created.
constexpr bool LayoutFollowsFields(std::string_view layout) {
    constexpr std::string_view kKey = "CREATE TABLE flows (RECNUM INTEGER PRIMARY KEY,";
    if (!layout.starts_with(kKey)) return false;
    layout.remove_prefix(kKey.size());
    for (const FlowField& field : kFlowFields) {
        while (layout.starts_with(' ')) layout.remove_prefix(1);
        const std::string_view column = field.column;
        const std::string_view type = field.kind == FieldKind::kAddress ? " CHAR" : " INTEGER";
        if (!layout.starts_with(column) || !layout.substr(column.size()).starts_with(type))
            return false;
        layout.remove_prefix(column.size() + type.size() + 1);  // and its ',' or ')'
    }
    return layout.empty();
}
static_assert(LayoutFollowsFields(kCreateFlowsTable), "table flows has a column per flow field");
