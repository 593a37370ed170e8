#!/bin/sh
# Installs, with apt-get, whatever nf5d needs that this machine lacks.
#   install-deps.sh build   compiler, CMake and the libraries nf5d links against
#   install-deps.sh test    the above plus GoogleTest, clang's sanitizer/fuzzer runtime, MariaDB,
#                           ClickHouse, man-db, dpkg-dev, lintian and systemd (systemd-analyze) for
#                           the packaging test, prometheus (promtool: metrics and alert rules),
#                           softflowd and tshark (the v9/IPFIX interoperability test)
set -eu

want="g++ cmake make pkg-config libsqlite3-dev libmariadb-dev libcurl4-openssl-dev prometheus-cpp-dev nlohmann-json3-dev"
if [ "${1:-build}" = test ]; then
    want="$want python3 googletest libgtest-dev clang-14 libclang-rt-14-dev sqlite3 mariadb-server mariadb-client clickhouse-server curl openssl procps man-db dpkg-dev lintian systemd prometheus softflowd tshark"
fi

missing=""
for pkg in $want; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing
