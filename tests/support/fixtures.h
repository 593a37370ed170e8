#pragma once
// Test support: the daemon's settings and a sample flow record.
#include <cstdint>
#include <string>
#include <vector>

#include "common/flow.h"
#include "common/settings.h"
#include "entry/settings.h"

namespace testsupport {

// Sets the settings as the daemon's command line would: "nf5d" followed by switches.
StartupOptions UseSwitches(std::vector<std::string> switches);

// An IPv4 or IPv6 address from its text, as FlowItem holds it.
NetAddress Address(const char* text);

// The flow of the text log's documented example line (Sat Dec  5 2026, UTC).
FlowItem ExampleFlow();

// The port of the private MariaDB server of the MySQL tests ($NF5D_MARIADB_PORT, default 3306).
// Also points the client library of this process and its children (nf5d -m) at it: call it
// before the first connection, since the library reads its port once.
unsigned UseTestMySQLPort();

}  // namespace testsupport
