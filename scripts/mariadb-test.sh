#!/bin/sh
# A private MariaDB server for nf5d's MySQL tests, on 127.0.0.1:3306 (or $NF5D_MARIADB_PORT),
# with its own data directory (never the system service's).
#   mariadb-test.sh start   initialise the data directory if needed, start the server, wait until
#                           it answers, load sql/mysql-flows.sql and the test account
#   mariadb-test.sh stop    shut the server down and wait for it to end
# Both are idempotent. The data lives in $NF5D_MARIADB_DIR (default: build-mariadb/ in the
# checkout). Tests read and clear FLOWDB.FLOWS as 'nf5test'@'127.0.0.1' (no password, every
# privilege on FLOWDB), since 'collector' may only insert.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
base=${NF5D_MARIADB_DIR:-$root/build-mariadb}
port=${NF5D_MARIADB_PORT:-3306}
data=$base/data
sock=$base/mysqld.sock
pidfile=$base/mysqld.pid
errlog=$base/mysqld.err
ready=$base/initialised
me=$(id -un)
start_wait=90
stop_wait=60

say() { echo "mariadb-test: $*" >&2; }
. "$root/scripts/test-server.sh"

# The server's pid, if the pid file names a live mariadbd (a stale file or a reused pid is not).
server_pid() {
    [ -s "$pidfile" ] || return 1
    pid=$(cat "$pidfile")
    [ -r "/proc/$pid/comm" ] && [ "$(cat "/proc/$pid/comm")" = mariadbd ] || return 1
    echo "$pid"
}


client() {
    mariadb --no-defaults --protocol=socket --socket="$sock" -u "$me" "$@"
}

answers() {
    mariadb-admin --no-defaults --protocol=socket --socket="$sock" -u "$me" \
        --connect-timeout=2 ping >/dev/null 2>&1
}

initialise() {
    [ -f "$ready" ] && return 0
    # A half-made data directory (an interrupted run) is not worth repairing.
    rm -rf "$data"
    mkdir -p "$data"
    say "initialising $data"
    mariadb-install-db --no-defaults --datadir="$data" --user="$me" --skip-test-db \
        --skip-name-resolve --auth-root-authentication-method=socket >"$base/install.log" 2>&1 || {
        cat "$base/install.log" >&2
        say "mariadb-install-db failed"
        exit 1
    }
    touch "$ready"
}

# Another server (the distribution's own service, say) listening on our port would make ours fail.
port_taken() {
    awk -v hex=":$(printf %04X "$port")" '$2 ~ hex "$" && $4 == "0A" {found = 1} END {exit !found}' \
        /proc/net/tcp /proc/net/tcp6
}

launch() {
    if port_taken; then
        say "another server already listens on port $port; stop it (service mariadb stop) and retry"
        exit 1
    fi
    rm -f "$pidfile" "$sock"
    say "starting mariadbd on 127.0.0.1:$port"
    setsid mariadbd --no-defaults --datadir="$data" --socket="$sock" --pid-file="$pidfile" \
        --log-error="$errlog" --user="$me" --port="$port" --bind-address=127.0.0.1 \
        --skip-name-resolve --innodb-buffer-pool-size=64M --innodb-log-file-size=16M \
        --innodb-flush-log-at-trx-commit=2 </dev/null >>"$base/mysqld.out" 2>&1 &
    started=$!
    await_start mariadbd "$started" "$errlog"
}

# The schema twice: for a collector on this host, and for one on the "remote" host 127.0.0.3
# with a password, which the tests give in an option file.
load_schema() {
    client <"$root/sql/mysql-flows.sql"
    client -e "SET @collector_host='127.0.0.3', @collector_password='nf5d-remote';
               SOURCE $root/sql/mysql-flows.sql"
    client <<'EOF'
CREATE USER IF NOT EXISTS 'nf5test'@'127.0.0.1';
GRANT ALL PRIVILEGES ON FLOWDB.* TO 'nf5test'@'127.0.0.1';
EOF
}

start() {
    command -v mariadbd >/dev/null || PATH=$PATH:/usr/sbin
    command -v mariadbd >/dev/null || { say "mariadbd is not installed (scripts/install-deps.sh test)"; exit 1; }
    mkdir -p "$base"
    if server_pid >/dev/null && answers; then
        say "already running"
    else
        initialise
        launch
    fi
    load_schema
    say "ready (socket $sock)"
}


case "${1:-}" in
    start) start ;;
    stop) stop mariadbd ;;
    *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
