#!/bin/sh
# Runs the datagram parser fuzzer for SECONDS (default 60) over a scratch copy of fuzz/corpus, so
# the repository is never modified. Exits non-zero if the fuzzer finds anything; the scratch
# directory, with the failing input and the fuzzer's log, is then kept and named.
#   scripts/fuzz.sh [SECONDS]      PARSER_FUZZ=path overrides build-fuzz/parser_fuzz
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
fuzzer=${PARSER_FUZZ:-build-fuzz/parser_fuzz}
if [ ! -x "$fuzzer" ]; then
    echo "fuzz.sh: $fuzzer is not built (make build-fuzz)" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/nf5d-fuzz.XXXXXX")
mkdir "$work/corpus" "$work/artifacts" "$work/tmp"
cp fuzz/corpus/* "$work/corpus/"

# Datagrams are at most 16384 bytes, the receive buffer's size.
if TMPDIR="$work/tmp" "$fuzzer" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
        -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/fuzz.log" 2>&1; then
    grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs)' "$work/fuzz.log" || true
    rm -rf "$work"
    exit 0
fi
tail -n 40 "$work/fuzz.log" >&2
echo "fuzz.sh: the fuzzer found a failure; input and log kept in $work" >&2
exit 1
