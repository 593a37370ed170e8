#!/bin/sh
# A private ClickHouse server for nf5d's ClickHouse tests, HTTP on 127.0.0.1:8123 (or
# $NF5D_CLICKHOUSE_PORT) and HTTPS on the port after it, and no other port, with its own
# configuration and data (never the system service's). Its certificate, for 127.0.0.1, is signed
# by a CA of its own: ca.pem in its folder.
#   clickhouse-test.sh start   write the configuration, start the server, wait until it answers,
#                              load sql/clickhouse-flows.sql
#   clickhouse-test.sh stop    shut the server down and wait for it to end
# Both are idempotent. Everything lives in $NF5D_CLICKHOUSE_DIR (default: build-clickhouse/ in
# the checkout). Tests read and clear FLOWDB.FLOWS as 'default' (no password); the daemon may
# also log in as 'collector' with the password 'nf5d-test'.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
base=${NF5D_CLICKHOUSE_DIR:-$root/build-clickhouse}
port=${NF5D_CLICKHOUSE_PORT:-8123}
tls_port=$((port + 1))
pidfile=$base/clickhouse.pid
url=http://127.0.0.1:$port/
start_wait=90
stop_wait=60

say() { echo "clickhouse-test: $*" >&2; }
. "$root/scripts/test-server.sh"


server_pid() {
    [ -s "$pidfile" ] || return 1
    pid=$(cat "$pidfile")
    [ -r "/proc/$pid/comm" ] && grep -q clickhouse "/proc/$pid/comm" && running "$pid" || return 1
    echo "$pid"
}

answers() { [ "$(curl -s --max-time 2 "${url}ping" 2>/dev/null)" = "Ok." ]; }

# A CA, and the server's key and certificate for 127.0.0.1 signed by it.
make_certificates() {
    [ -s "$base/server.pem" ] && return
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=nf5d test CA" \
        -keyout "$base/ca.key" -out "$base/ca.pem" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$base/server.key" \
        -out "$base/server.csr" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\n' >"$base/server.ext"
    openssl x509 -req -days 3650 -in "$base/server.csr" -CA "$base/ca.pem" -CAkey "$base/ca.key" \
        -CAcreateserial -extfile "$base/server.ext" -out "$base/server.pem" 2>/dev/null
}

# The server's own files: the minimal configuration 18.16 and later releases both read.
configure() {
    mkdir -p "$base/data" "$base/tmp" "$base/user_files" "$base/format_schemas"
    make_certificates
    cat >"$base/config.xml" <<EOF
<?xml version="1.0"?>
<yandex>
    <logger>
        <level>warning</level>
        <log>$base/server.log</log>
        <errorlog>$base/server.err.log</errorlog>
        <console>0</console>
    </logger>
    <listen_host>127.0.0.1</listen_host>
    <http_port>$port</http_port>
    <https_port>$tls_port</https_port>
    <openSSL>
        <server>
            <certificateFile>$base/server.pem</certificateFile>
            <privateKeyFile>$base/server.key</privateKeyFile>
            <verificationMode>none</verificationMode>
            <loadDefaultCAFile>false</loadDefaultCAFile>
        </server>
    </openSSL>
    <path>$base/data/</path>
    <tmp_path>$base/tmp/</tmp_path>
    <user_files_path>$base/user_files/</user_files_path>
    <format_schema_path>$base/format_schemas/</format_schema_path>
    <users_config>$base/users.xml</users_config>
    <default_profile>default</default_profile>
    <default_database>default</default_database>
    <mark_cache_size>268435456</mark_cache_size>
</yandex>
EOF
    cat >"$base/users.xml" <<'EOF'
<?xml version="1.0"?>
<yandex>
    <profiles><default></default></profiles>
    <quotas><default></default></quotas>
    <users>
        <default>
            <password></password>
            <networks><ip>127.0.0.1</ip></networks>
            <profile>default</profile>
            <quota>default</quota>
        </default>
        <collector>
            <password>nf5d-test</password>
            <networks><ip>127.0.0.1</ip></networks>
            <profile>default</profile>
            <quota>default</quota>
        </collector>
    </users>
</yandex>
EOF
}

# Another server on our port would answer in place of ours.
port_taken() {
    awk -v hex=":$(printf %04X "$port")" '$2 ~ hex "$" && $4 == "0A" {found = 1} END {exit !found}' \
        /proc/net/tcp /proc/net/tcp6
}

launch() {
    if port_taken; then
        say "another server already listens on port $port; stop it or set NF5D_CLICKHOUSE_PORT"
        exit 1
    fi
    configure
    say "starting clickhouse-server on 127.0.0.1:$port"
    setsid clickhouse-server --config-file="$base/config.xml" </dev/null >>"$base/server.out" 2>&1 &
    started=$!
    echo "$started" >"$pidfile"
    await_start clickhouse-server "$started" "$base/server.err.log" "$base/server.out"
}

# The schema file's statements one request each (the HTTP interface takes one at a time).
load_schema() {
    sed 's/--.*$//' "$root/sql/clickhouse-flows.sql" | tr '\n' ' ' | tr ';' '\n' |
        while read -r statement; do
            [ -n "$statement" ] || continue
            curl -sS --fail-with-body "$url" --data-binary "$statement" >&2 || exit 1
        done
}

start() {
    command -v clickhouse-server >/dev/null || PATH=$PATH:/usr/sbin
    command -v clickhouse-server >/dev/null ||
        { say "clickhouse-server is not installed (scripts/install-deps.sh test)"; exit 1; }
    mkdir -p "$base"
    if server_pid >/dev/null && answers; then
        say "already running"
    else
        launch
    fi
    load_schema
    say "ready ($url)"
}


case "${1:-}" in
    start) start ;;
    stop) stop clickhouse-server ;;
    *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
