#!/bin/sh
# Checks the layering, builds the three configurations, starts a private MariaDB and a private
# ClickHouse server, runs every test in each configuration and a short fuzzing run, then stops
# the servers.
set -eu
cd "$(dirname "$0")/.."

# The layering first: it needs no build and fails fast.
scripts/check-layers.py
make --no-print-directory build build-asan build-tsan build-fuzz

trap 'scripts/mariadb-test.sh stop; scripts/clickhouse-test.sh stop' EXIT
scripts/mariadb-test.sh start
scripts/clickhouse-test.sh start
# The servers were just started: a MySQL or ClickHouse test that finds none fails instead of
# skipping.
export NF5D_REQUIRE_MYSQL=1 NF5D_REQUIRE_CLICKHOUSE=1

# Tests mostly wait on the daemon's timers, so they overlap well beyond the core count.
status=0
for dir in build build-asan build-tsan; do
    echo "=== tests: $dir"
    ctest --test-dir "$dir" -j 4 --output-on-failure || status=1
done
echo "=== fuzz: parser and v9/IPFIX decoder, 30 s each"
scripts/fuzz.sh 30 || status=1
exit $status
