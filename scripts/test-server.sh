# Shared by mariadb-test.sh and clickhouse-test.sh (sourced): liveness of a server process, the
# wait for its start and its orderly stop. The caller defines say, answers, server_pid,
# start_wait and stop_wait.

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

# await_start NAME PID LOG...: waits up to start_wait seconds until the server answers; ends the
# script, with the logs' tails, if it ends first or does not answer in time.
await_start() {
    name=$1 started=$2
    shift 2
    waited=0
    until answers; do
        if ! kill -0 "$started" 2>/dev/null; then
            tail -n 30 "$@" >&2 || true
            say "$name ended during start-up"
            exit 1
        fi
        if [ "$waited" -ge "$start_wait" ]; then
            tail -n 30 "$@" >&2 || true
            say "$name did not answer within ${start_wait}s"
            kill -TERM "$started" 2>/dev/null || true
            exit 1
        fi
        sleep 1
        waited=$((waited + 1))
    done
}
