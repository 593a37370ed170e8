#pragma once
// nf5stat's whole run, apart from main(), so tests can drive it with their own streams.
#include <cstdio>

namespace nf5stat {

constexpr int kExitOk = 0;
constexpr int kExitDatabase = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnknownExporter = 3;  // --probe names an exporter the table holds no flow of

// Parses the command line, runs the command against the database and prints the report on out;
// errors and the progress line go to err. Returns the exit status.
int RunStat(int argc, const char* const* argv, FILE* out, FILE* err);

}  // namespace nf5stat
