# Shared by mariadb-test.sh and clickhouse-test.sh (sourced): liveness of a server process and
# its orderly stop. The caller defines say, server_pid and stop_wait.

# A zombie has ended as far as we are concerned: its parent reaps it.
running() {
    [ -r "/proc/$1/stat" ] || return 1
    state=$(sed 's/^.*) //' "/proc/$1/stat" | cut -c1)
    [ "$state" != Z ]
}

# stop NAME: SIGTERM to the server, then waits up to stop_wait seconds for it to end.
stop() {
    if ! pid=$(server_pid); then
        say "not running"
        rm -f "$pidfile"
        return 0
    fi
    say "stopping $1 ($pid)"
    kill -TERM "$pid"
    waited=0
    while running "$pid"; do
        if [ "$waited" -ge "$stop_wait" ]; then
            say "$1 ($pid) did not stop within ${stop_wait}s"
            exit 1
        fi
        sleep 1
        waited=$((waited + 1))
    done
    say "stopped"
}
