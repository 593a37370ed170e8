#!/bin/sh
# Throughput benchmark of nf5d: runs build/nf5d with its default sinks and with each sink alone,
# offers it NetFlow v5 traffic from build/nf5send at rising rates, and prints what it stored,
# what it lost, its peak resident memory and the CPU time it used. Then the dispatch: how fresh
# the sinks are while a steady stream goes on, the kernel drops and CPU per million flows of
# bursts with every sink off, and what idle daemons with 4 to 1024 workers cost. NetFlow v9 and
# IPFIX get a burst row each (every sink off, 150,000 datagrams/s; BENCH_EXPORT_RATE) and a line
# rate row each (the defaults at the flows/s of v5's). Last, the CPU time of `nf5stat loss` over a
# 3,000,000-row database. Numbers are printed, never asserted.
#
#   bench/run.sh                      (make bench builds first)
#   BENCH_RATES="1000 4000" BENCH_SECONDS=3 bench/run.sh
#   BENCH_STEADY_RATES=200 BENCH_STEADY_SECONDS=60 BENCH_BURST_RATES="100000 150000" bench/run.sh
#   BENCH_LONG=1 bench/run.sh         (storage cases at full length: 30 s and 60 s)
#   BENCH_ONLY=writers BENCH_LONG=1 bench/run.sh   (only the line rate and the sinks' ceilings)
#   BENCH_ONLY=clickhouse bench/run.sh (only the ClickHouse rows and ceiling; server on $NF5D_CLICKHOUSE_PORT)
#   BENCH_ONLY=export bench/run.sh     (only the NetFlow v9 and IPFIX rows, and v5's line rate)
#
# Every step offers datagrams of 1 to 30 flows at one rate for BENCH_SECONDS. A daemon is
# started afresh for each step and stopped with SIGTERM once it has read everything; its orderly
# shutdown stores whatever is still queued, so "stored" is final and "lost" counts what the
# kernel dropped because the daemon did not read it in time. The storage thread writes far fewer
# flows per second than the top rates offer, so those steps end with a long final pass.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${NF5D_BUILD_DIR:-$root/build}" && pwd)
nf5d=$build/nf5d
nf5send=$build/nf5send
nf5stat=$build/nf5stat
rates=${BENCH_RATES:-1000 4000 16000}
seconds=${BENCH_SECONDS:-2}
idle_seconds=10
steady_rates=${BENCH_STEADY_RATES:-200 3000}
steady_seconds=${BENCH_STEADY_SECONDS:-20}
burst_rates=${BENCH_BURST_RATES:-50000 100000 150000 200000}
metrics_rate=${BENCH_METRICS_RATE-150000}  # empty: no metrics run (a build without the switch)
export_rate=${BENCH_EXPORT_RATE:-150000}
send_args=""  # what nf5send sends besides v5: "--export 9" or "--export 10"
ticks=$(getconf CLK_TCK)

for tool in "$nf5d" "$nf5send" "$nf5stat"; do
    [ -x "$tool" ] || { echo "bench: $tool is missing (make build)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/nf5d-bench-XXXXXX")
daemon_pid=
sampler_pid=
cleanup() {
    [ -n "$sampler_pid" ] && kill "$sampler_pid" 2>/dev/null || true
    [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# ---- the daemon -----------------------------------------------------------------------------

# A UDP port that no socket holds now (/proc/net/udp lists ports in hex).
free_port() {
    port=$((20000 + $$ % 20000))
    while grep -q ":$(printf '%04X' "$port") " /proc/net/udp; do port=$((port + 1)); done
    echo "$port"
}

# A TCP port that no socket holds now, for the metrics endpoint.
free_tcp_port() {
    port=$((40000 + $$ % 20000))
    while grep -q ":$(printf '%04X' "$port") " /proc/net/tcp; do port=$((port + 1)); done
    echo "$port"
}

# The "tx_queue:rx_queue" of the socket bound to the port, empty if none is.
socket_queues() {
    awk -v p=":$(printf '%04X' "$1")" '$2 ~ p"$" {print $5; exit}' /proc/net/udp
}

wait_bound() {
    tries=0
    until [ -n "$(socket_queues "$1")" ]; do
        kill -0 "$daemon_pid" 2>/dev/null || { echo "bench: nf5d did not start" >&2; exit 1; }
        tries=$((tries + 1))
        [ "$tries" -lt 200 ] || { echo "bench: nf5d did not bind port $1" >&2; exit 1; }
        sleep 0.05
    done
}

# Waits until the daemon has read every datagram waiting in its socket.
wait_drained() {
    while [ "$(socket_queues "$1" | cut -d: -f2)" != 00000000 ]; do
        kill -0 "$daemon_pid" 2>/dev/null || { echo "bench: nf5d ended early" >&2; exit 1; }
        sleep 0.05
    done
}

# Keeps the daemon's latest peak resident memory and CPU ticks in $1 until it exits, so the
# figures cover its whole life, final storage pass included.
sample() {
    while [ -r "/proc/$daemon_pid/stat" ]; do
        hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$daemon_pid/status" 2>/dev/null) || break
        cpu=$(sed 's/^.*) //' "/proc/$daemon_pid/stat" 2>/dev/null | awk '{print $12 + $13}') || break
        [ -n "$hwm" ] && [ -n "$cpu" ] && echo "$hwm $cpu" >"$1.tmp" && mv "$1.tmp" "$1"
        sleep 0.2
    done
}

# start DIR PORT SWITCHES...: the daemon in DIR, in the foreground of its own process.
start() {
    dir=$1 port=$2
    shift 2
    mkdir -p "$dir"
    (cd "$dir" && exec "$nf5d" -p "$port" "$@" >stdout 2>stderr) &
    daemon_pid=$!
    wait_bound "$port"
    sample "$dir/usage" &
    sampler_pid=$!
}

stop() {
    kill -TERM "$daemon_pid"
    wait "$daemon_pid" || echo "bench: nf5d ended with status $?" >&2
    wait "$sampler_pid" 2>/dev/null || true
    daemon_pid= sampler_pid=
}

# ---- the sinks ------------------------------------------------------------------------------

mysql_ready() {
    command -v mariadb >/dev/null 2>&1 &&
        mariadb --no-defaults -h 127.0.0.1 -P 3306 -u nf5test FLOWDB -e 'SELECT 1' >/dev/null 2>&1
}

mysql_query() {
    mariadb --no-defaults -h 127.0.0.1 -P 3306 -u nf5test -N -B FLOWDB -e "$1"
}

clickhouse_url=http://127.0.0.1:${NF5D_CLICKHOUSE_PORT:-8123}/

clickhouse_query() { curl -sS --fail "$clickhouse_url" --data-binary "$1"; }

clickhouse_ready() { clickhouse_query 'SELECT count() FROM FLOWDB.FLOWS' >/dev/null 2>&1; }

# stored SINK DIR: the flows the sink holds after the run.
stored() {
    case $1 in
        text) echo $(($(wc -l <"$2/netflow.log") - 1)) ;;  # less its "Begin Logging" line
        sqlite)
            if command -v sqlite3 >/dev/null 2>&1; then
                # The largest key, not a count: it reads one page, so polling while the daemon
                # writes barely delays its commits (a reader holds them off in this journal mode).
                sqlite3 -cmd '.timeout 2000' "$2/netflow.db" 'SELECT coalesce(max(RECNUM), 0) FROM flows'
            else
                echo "?"
            fi
            ;;
        mysql) mysql_query 'SELECT COUNT(*) FROM FLOWS' ;;
        clickhouse) clickhouse_query 'SELECT count() FROM FLOWDB.FLOWS' ;;
    esac
}

# ---- the table ------------------------------------------------------------------------------

# divide A B FORMAT
divide() { awk -v a="$1" -v b="$2" -v f="$3" 'BEGIN {printf f, a / b}'; }

row_format="%-14s %8s %9s %10s %10s %9s %9s %8s\n"

header() {
    printf "$row_format" sinks "dgrams/s" "flows/s" offered stored lost "VmHWM MiB" "CPU s"
    printf "$row_format" -------------- -------- --------- ---------- ---------- --------- \
        --------- --------
}

# step NAME SINK RATE SWITCHES...: one run of the daemon at one rate, one row of the table.
step() {
    name=$1 sink=$2 rate=$3
    shift 3
    dir=$work/$name-$rate
    port=$(free_port)
    [ "$sink" = mysql ] && mysql_query 'DELETE FROM FLOWS'
    start "$dir" "$port" "$@"
    "$nf5send" -p "$port" -c $((rate * seconds)) -r "$rate" --seed 1 >"$dir/sent"
    wait_drained "$port"
    stop
    offered=$(awk '/^flows:/ {print $2}' "$dir/sent")
    kept=$(stored "$sink" "$dir")
    lost=$( [ "$kept" = "?" ] && echo "?" || echo $((offered - kept)) )
    read -r hwm cpu <"$dir/usage"
    printf "$row_format" "$name" "$rate" "$(divide "$offered" "$seconds" %d)" "$offered" "$kept" \
        "$lost" "$(divide "$hwm" 1024 %.1f)" "$(divide "$cpu" "$ticks" %.2f)"
    rm -rf "$dir"
}

# ---- the dispatch ---------------------------------------------------------------------------

# now: seconds since the epoch, with fractions.
now() { date +%s.%N; }

# steady RATE SECONDS: the default sinks while an exporter sends RATE datagrams of 10 flows a
# second. Once a second, while the stream goes on, it counts the flows readable in the text log
# and the database against those sent so far; it prints the share readable when the stream ends
# and how far each sink fell behind at worst, in seconds of traffic.
steady() {
    rate=$1 secs=$2
    dir=$work/steady-$rate
    port=$(free_port)
    start "$dir" "$port" -z
    "$nf5send" -p "$port" -c $((rate * secs)) -r "$rate" -f 10 >"$dir/sent" &
    sender=$!
    began=$(now)
    worst_text=0 worst_db=0 text=0 db=0 sent=0
    while sleep 1 && kill -0 "$sender" 2>/dev/null; do
        sent=$(awk -v a="$began" -v b="$(now)" -v r="$rate" -v n=$((rate * secs * 10)) \
            'BEGIN {s = int((b - a) * r) * 10; print (s < n ? s : n)}')
        text=$(($(wc -l <"$dir/netflow.log") - 1))
        db=$(sqlite3 -cmd '.timeout 2000' "$dir/netflow.db" 'SELECT COUNT(*) FROM flows' \
            2>/dev/null || echo 0)
        worst_text=$(awk -v w="$worst_text" -v s="$sent" -v k="$text" -v r="$rate" \
            'BEGIN {l = (s - k) / (r * 10); print (l > w ? l : w)}')
        worst_db=$(awk -v w="$worst_db" -v s="$sent" -v k="$db" -v r="$rate" \
            'BEGIN {l = (s - k) / (r * 10); print (l > w ? l : w)}')
    done
    wait "$sender"
    stop
    printf "steady %5d dgrams/s x 10 flows, %3d s: readable as it ends: text %3d%%, database %3d%%;" \
        "$rate" "$secs" "$(divide "$((100 * text))" "$sent" %d)" "$(divide "$((100 * db))" "$sent" %d)"
    printf " furthest behind: text %.1f s, database %.1f s\n" "$worst_text" "$worst_db"
    rm -rf "$dir"
}

# cpu_ticks: user + system clock ticks the daemon has used so far.
cpu_ticks() { sed 's/^.*) //' "/proc/$daemon_pid/stat" | awk '{print $12 + $13}'; }

# burst RATE [SWITCHES...]: every sink off, 5 s of RATE datagrams of 30 flows a second; prints
# the rate reached, the datagrams the kernel dropped and the CPU time per million flows read.
burst() {
    rate=$1
    shift
    dir=$work/burst-$rate
    port=$(free_port)
    start "$dir" "$port" -x -y -z "$@"
    ticks_before=$(cpu_ticks)
    began=$(now)
    # shellcheck disable=SC2086  # send_args is a list of words
    "$nf5send" -p "$port" -c $((rate * 5)) -r "$rate" -f 30 --pool 1000 $send_args >"$dir/sent"
    took=$(awk -v a="$began" -v b="$(now)" 'BEGIN {print b - a}')
    wait_drained "$port"
    drops=$(socket_drops "$port")
    used=$(($(cpu_ticks) - ticks_before))
    stop
    received=$(($(awk '/^flows:/ {print $2}' "$dir/sent") - drops * 30))
    printf "burst  %6d dgrams/s x 30 flows, 5 s%s%s: sent at %6d/s, kernel drops %7d, %.2f CPU s per million flows received\n" \
        "$rate" "${send_args:+ $send_args}" "${1:+ ($*)}" "$(divide $((rate * 5)) "$took" %d)" "$drops" \
        "$(awk -v u="$used" -v t="$ticks" -v f="$received" 'BEGIN {print u / t / (f / 1e6)}')"
    rm -rf "$dir"
}

# socket_drops PORT: datagrams the kernel dropped at the socket bound to PORT.
socket_drops() {
    awk -v p=":$(printf '%04X' "$1")" '$2 ~ p"$" {print $13; exit}' /proc/net/udp
}

# thread_wakeups: one line per thread of the daemon, its context switches so far.
thread_wakeups() {
    for status in /proc/"$daemon_pid"/task/*/status; do
        awk '/ctxt_switches/ {n += $2} END {print FILENAME, n}' "$status"
    done
}

# idle WORKERS: CPU time and the busiest thread's wake-ups per second of a daemon that receives
# nothing for 10 s.
idle() {
    dir=$work/idle-$1
    start "$dir" "$(free_port)" -n "$1"
    sleep 1
    thread_wakeups >"$dir/before"
    ticks_before=$(cpu_ticks)
    sleep "$idle_seconds"
    used=$(($(cpu_ticks) - ticks_before))
    thread_wakeups >"$dir/after"
    stop
    busiest=$(awk 'NR == FNR {b[$1] = $2; next} {d = $2 - b[$1]; if (d > m) m = d} END {print m + 0}' \
        "$dir/before" "$dir/after")
    printf "idle   %4d workers: %.2f CPU s in %d s (%.3f%% of a core), busiest thread woke %.1f times/s\n" \
        "$1" "$(divide "$used" "$ticks" %f)" "$idle_seconds" \
        "$(awk -v u="$used" -v t="$ticks" -v s="$idle_seconds" 'BEGIN {print 100 * u / t / s}')" \
        "$(divide "$busiest" "$idle_seconds" %f)"
    rm -rf "$dir"
}

# ---- storage at line rate ---------------------------------------------------------------------
# BENCH_LONG=1 runs these at their full lengths (30 s, 60 s); otherwise 5 s each.

long_or_short() { [ "${BENCH_LONG:-0}" = 1 ] && echo "$1" || echo 5; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.1f", b - a}'; }

# wait_stored SINK DIR COUNT: polls until the sink holds COUNT flows (at most 120 s).
wait_stored() {
    tries=0
    while [ "$(stored "$1" "$2")" != "$3" ] && [ "$tries" -lt 1200 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
}

# held_within SINK DIR COUNT SECONDS: the seconds after now until the sink held COUNT flows, or
# "never" once SECONDS have passed.
held_within() {
    from=$(now)
    while [ "$(stored "$1" "$2")" != "$3" ]; do
        [ "$(elapsed "$from" "$(now)" | cut -d. -f1)" -lt "$4" ] || { echo never; return; }
        sleep 0.1
    done
    elapsed "$from" "$(now)"
}

# Defaults at 10,000 datagrams of 30 flows per second: the time from the end of the stream until
# every flow is in the text log and in the database (the target: within one pass interval, 5 s),
# and what each sink holds once the daemon has stopped. line_rate VERSION: v9 or IPFIX (9, 10)
# instead of v5.
line_rate() {
    secs=$(long_or_short 30)
    dir=$work/line-rate
    port=$(free_port)
    if [ -n "${1:-}" ]; then
        start "$dir" "$port" --netflow v5,v9,ipfix
        set -- --export "$1"
    else
        start "$dir" "$port"
    fi
    "$nf5send" -p "$port" -c $((10000 * secs)) -r 10000 -f 30 --seed 1 "$@" >"$dir/sent"
    offered=$(awk '/^flows:/ {print $2}' "$dir/sent")
    text_after=$(held_within text "$dir" "$offered" 15)
    db_after=$(held_within sqlite "$dir" "$offered" 15)
    stop
    read -r hwm cpu <"$dir/usage"
    echo "line rate (defaults${1:+ $*}, 300k flows/s for ${secs} s): offered $offered;" \
        "every flow in the text log after $text_after s, in sqlite after $db_after s;" \
        "stored at the end: text $(stored text "$dir"), sqlite $(stored sqlite "$dir");" \
        "VmHWM $(divide "$hwm" 1024 %.1f) MiB, CPU $(divide "$cpu" "$ticks" %.1f) s"
    rm -rf "$dir"
}

# ceiling SINK SWITCHES...: the sink alone, offered 600k flows/s for 10 s; the flows per second it
# wrote from 2 s into the stream to its end, while the queue held more than it had written.
ceiling() {
    sink=$1
    shift
    dir=$work/ceiling-$sink
    port=$(free_port)
    start "$dir" "$port" "$@"
    "$nf5send" -p "$port" -c 200000 -r 20000 -f 30 --seed 1 >"$dir/sent" &
    sender=$!
    sleep 2
    first=$(stored "$sink" "$dir")
    began=$(now)
    wait "$sender"
    last=$(stored "$sink" "$dir")
    ended=$(now)
    stop
    echo "ceiling ($sink only, 600k flows/s offered for 10 s): $(awk -v a="$first" -v b="$last" \
        -v s="$(elapsed "$began" "$ended")" 'BEGIN {printf "%d", (b - a) / s}') flows/s written"
    rm -rf "$dir"
}

# BENCH_ONLY=writers: the storage targets alone.
if [ "${BENCH_ONLY:-}" = writers ]; then
    echo "nf5d storage targets: 4 workers; $(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
    line_rate
    ceiling text -y -z
    ceiling sqlite -x -z
    exit 0
fi

# MySQL only: rows per second into the private MariaDB.
mysql_export() {
    mysql_ready || { echo "(mysql export skipped: no server on 127.0.0.1:3306)"; return; }
    dir=$work/mysql-export
    port=$(free_port)
    mysql_query 'DELETE FROM FLOWS'
    start "$dir" "$port" -x -y -z -m 127.0.0.1
    began=$(now)
    "$nf5send" -p "$port" -c 10000 -r 5000 -f 30 --seed 1 >"$dir/sent"
    offered=$(awk '/^flows:/ {print $2}' "$dir/sent")
    wait_stored mysql "$dir" "$offered"
    done_at=$(now)
    stop
    echo "mysql export: $offered rows in $(elapsed "$began" "$done_at") s," \
        "$(awk -v n="$offered" -v a="$began" -v b="$done_at" 'BEGIN {printf "%d", n / (b - a)}') rows/s"
    rm -rf "$dir"
}

# ClickHouse only at 500,000 flows/s (16,667 datagrams of 30 flows a second), then the defaults
# plus ClickHouse at the defaults' 300,000: flows stored, lost (the kernel's drops and the bounds),
# and how long after the stream the daemon had stored the last one and ended.
clickhouse_rows() {
    clickhouse_ready || { echo "(clickhouse skipped: no server at $clickhouse_url)"; return; }
    secs=$(long_or_short 30)
    for run in "clickhouse-only 16667 -x -y -z" "defaults+clickhouse 10000"; do
        set -- $run
        name=$1 rate=$2
        shift 2
        dir=$work/$name
        port=$(free_port)
        clickhouse_query 'TRUNCATE TABLE FLOWDB.FLOWS'
        start "$dir" "$port" "$@" --clickhouse "$clickhouse_url"
        began=$(now)
        "$nf5send" -p "$port" -c $((rate * secs)) -r "$rate" -f 30 --pool 1000 --seed 1 >"$dir/sent"
        sent_at=$(now)
        offered=$(awk '/^flows:/ {print $2}' "$dir/sent")
        wait_drained "$port"
        stop  # the orderly stop stores every flow read
        done_at=$(now)
        kept=$(stored clickhouse "$dir")
        read -r hwm cpu <"$dir/usage"
        echo "$name ($((rate * 30)) flows/s offered for ${secs} s): offered $offered, stored $kept," \
            "lost $((offered - kept)), last row $(elapsed "$sent_at" "$done_at") s after the stream," \
            "$(awk -v n="$kept" -v a="$began" -v b="$done_at" 'BEGIN {printf "%d", n / (b - a)}') rows/s," \
            "VmHWM $(divide "$hwm" 1024 %.1f) MiB, CPU $(divide "$cpu" "$ticks" %.2f) s"
        [ "$name" = clickhouse-only ] || echo "  text $(stored text "$dir"), sqlite $(stored sqlite "$dir")"
        rm -rf "$dir"
    done
    clickhouse_query 'TRUNCATE TABLE FLOWDB.FLOWS'
    ceiling clickhouse -x -y -z --clickhouse "$clickhouse_url"
}

# SQLite only at twice the lossless rate: peak memory stays bounded, the excess is lost.
overload() {
    secs=$(long_or_short 60)
    dir=$work/overload
    port=$(free_port)
    start "$dir" "$port" -x -z
    "$nf5send" -p "$port" -c $((20000 * secs)) -r 20000 -f 30 --seed 1 >"$dir/sent"
    wait_drained "$port"
    stop
    offered=$(awk '/^flows:/ {print $2}' "$dir/sent")
    kept=$(stored sqlite "$dir")
    read -r hwm cpu <"$dir/usage"
    echo "overload (sqlite only, 600k flows/s for ${secs} s): offered $offered, stored $kept," \
        "refused or dropped $((offered - kept)), VmHWM $(divide "$hwm" 1024 %.1f) MiB"
    rm -rf "$dir"
}

# ---- nf5stat ---------------------------------------------------------------------------------

# Seconds in the "XmY.Zs" form of the shell's `times`.
times_seconds() { echo "$1" | awk -F'[ms]' '{print $1 * 60 + $2}'; }

# nf5stat loss over 3,000,000 rows in the table nf5d creates: three exporters taking turns,
# 100,000 datagrams of 30 flows, 1,000 a second. Prints the CPU time (user + system, which other
# load on the machine hardly moves) and the time elapsed.
stat_loss() {
    command -v sqlite3 >/dev/null 2>&1 || { echo "(nf5stat loss skipped: no sqlite3)"; return; }
    dir=$work/stat-loss
    start "$dir" "$(free_port)" -x -z
    stop
    sqlite3 "$dir/netflow.db" "WITH RECURSIVE d(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM d
        WHERE n < 99999), f(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM f WHERE i < 29)
        INSERT INTO flows SELECT NULL, '192.0.2.' || (1 + n % 3), 1700000000 + n / 1000, 5,
        n / 3 * 30, '10.0.' || i || '.' || n % 250, 1024 + i, '10.1.' || n % 7 || '.' || n % 200,
        80, '0.0.0.0', 6, 0, 0, 100 + i, 1, 1699999990 + n / 1000, 1700000000 + n / 1000, 0, 0,
        24, 24 FROM d, f"
    began=$(now)
    cpu=$( (cd "$dir" && "$nf5stat" loss >/dev/null && times) | tail -n 1)
    took=$(elapsed "$began" "$(now)")
    echo "nf5stat loss, 3,000,000 rows: $(awk -v u="$(times_seconds "${cpu% *}")" \
        -v s="$(times_seconds "${cpu#* }")" 'BEGIN {printf "%.2f", u + s}') CPU s, $took s elapsed"
    rm -rf "$dir"
}
if [ "${BENCH_ONLY:-}" = clickhouse ]; then
    clickhouse_rows
    exit 0
fi

# NetFlow v9 and IPFIX: a 5-s burst each with every sink off, IPv6 flows among them.
export_bursts() {
    for version in 9 10; do
        send_args="--export $version --ipv6 25"
        burst "$export_rate" --netflow v9,ipfix
    done
    send_args=""
}
if [ "${BENCH_ONLY:-}" = export ]; then
    export_bursts
    for version in "" 9 10; do line_rate $version; done
    exit 0
fi

echo "nf5d benchmark: ${seconds} s per step, 1-30 flows per datagram, 4 workers; $(nproc) CPUs"
header
for rate in $rates; do step defaults sqlite "$rate"; done
for rate in $rates; do step text-only text "$rate" -y -z; done
for rate in $rates; do step sqlite-only sqlite "$rate" -x -z; done
if mysql_ready; then
    for rate in $rates; do step mysql-only mysql "$rate" -x -y -z -m 127.0.0.1; done
else
    echo "(mysql-only skipped: no server with the test account on 127.0.0.1:3306;" \
        "scripts/mariadb-test.sh start)"
fi
echo
for rate in $steady_rates; do steady "$rate" "$steady_seconds"; done
for rate in $burst_rates; do burst "$rate"; done
[ -z "$metrics_rate" ] || burst "$metrics_rate" --metrics "$(free_tcp_port)"  # endpoint on
burst 1500 -n 1024
export_bursts
for workers in 4 64 1024; do idle "$workers"; done
echo
line_rate
ceiling text -y -z
ceiling sqlite -x -z
line_rate 9
line_rate 10
mysql_export
clickhouse_rows
overload
stat_loss
