#!/bin/sh
# Runs each fuzzer for SECONDS (default 60) over a scratch copy of its corpus, so the repository is
# never modified: the datagram parser (fuzz/corpus) and the v9/IPFIX decoder with its templates
# (fuzz/corpus-export). Exits non-zero if a fuzzer finds anything; its scratch directory, with the
# failing input and the fuzzer's log, is then kept and named.
#   scripts/fuzz.sh [SECONDS]      FUZZ_DIR=path overrides build-fuzz
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
dir=${FUZZ_DIR:-build-fuzz}

# fuzz NAME CORPUS: one fuzzer's run.
fuzz() {
    fuzzer=$dir/$1
    if [ ! -x "$fuzzer" ]; then
        echo "fuzz.sh: $fuzzer is not built (make build-fuzz)" >&2
        return 2
    fi
    work=$(mktemp -d "${TMPDIR:-/tmp}/nf5d-fuzz.XXXXXX")
    mkdir "$work/corpus" "$work/artifacts" "$work/tmp"
    cp "$2"/* "$work/corpus/"
    # Datagrams are at most 16384 bytes, the receive buffer's size; an exchange holds a few.
    if TMPDIR="$work/tmp" "$fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
            -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/fuzz.log" 2>&1; then
        echo "$1: $(grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs)' "$work/fuzz.log" || true)"
        rm -rf "$work"
        return 0
    fi
    tail -n 40 "$work/fuzz.log" >&2
    echo "fuzz.sh: $1 found a failure; input and log kept in $work" >&2
    return 1
}

status=0
fuzz parser_fuzz fuzz/corpus || status=1
fuzz export_fuzz fuzz/corpus-export || status=1
exit $status
