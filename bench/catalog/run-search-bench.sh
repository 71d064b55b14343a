#!/bin/sh
# Benchmark of the catalogue's search at 1,000,000 synthetic tracks (larkspin-catalog-fill):
# the engine in-process next to the old design's FTS5 ranking of the same rows, then the
# service under wrk -t2 with three workloads: distinct queries (none repeated, so no cache
# helps) at -c16 and -c64, a Zipf repeat pattern over 50,000 queries (the page cache serves
# the popular ones), and short prefixes. Prints the resident memory after the -c64 run.
#   bench/catalog/run-search-bench.sh BUILD_DIR [TRACKS]
# BUILD_DIR: a Release build with larkspin-catalog, larkspin-catalog-fill and
# larkspin-search-bench. PostgreSQL is not installed by the project and is not compared.
set -eu
BUILD=${1:?usage: run-search-bench.sh BUILD_DIR [TRACKS]}
TRACKS=${2:-1000000}
HERE=$(cd "$(dirname "$0")" && pwd)
DURATION=${DURATION:-8}
WORK=$(mktemp -d /tmp/larkspin-search-bench.XXXXXX)
PID=
cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

echo "== $TRACKS synthetic tracks"
"$BUILD/bench/catalog/larkspin-catalog-fill" "$WORK/index.sqlite" "$TRACKS"
rm -rf "$WORK/index.sqlite.search"
start=$(date +%s.%N)
"$BUILD/bench/catalog/larkspin-catalog-fill" "$WORK/index.sqlite" 0 > /dev/null
echo "search index built from the tracks table in $(awk "BEGIN {print $(date +%s.%N) - $start}") s:" \
    "$(du -sh "$WORK/index.sqlite.search" | cut -f1) (tracks table $(du -sh "$WORK/index.sqlite" | cut -f1))"

echo "== in-process, the same machine, nothing else running"
"$BUILD/bench/catalog/larkspin-search-bench" "$WORK/index.sqlite" "$WORK" "$DURATION" --fts
rm -f "$WORK/fts.sqlite"

XDG_DATA_HOME=$WORK/xdg "$BUILD/catalog/larkspin-catalog" --listen 127.0.0.1:0 \
    --port-file "$WORK/port" --db "$WORK/index.sqlite" 2>"$WORK/service.log" &
PID=$!
while [ ! -s "$WORK/port" ]; do sleep 0.1; done
BASE="http://127.0.0.1:$(cat "$WORK/port")"

echo "== the service (wrk -t2, ${DURATION} s each)"
printf "%-40s %10s %9s %9s  %s\n" "workload" "req/s" "p50" "p99" "errors"
row() { # label, connections, list
    out=$(wrk -t2 -c"$2" -d"${DURATION}s" --timeout 5s --latency -s "$HERE/paths.lua" "$BASE" \
        -- "$WORK/$3.txt" 2>&1 || true)
    printf "%-40s %10s %9s %9s  %s\n" "$1" \
        "$(echo "$out" | awk '/Requests\/sec/ {print $2}')" \
        "$(echo "$out" | awk '$1 == "50%" {print $2}')" \
        "$(echo "$out" | awk '$1 == "99%" {print $2}')" \
        "$(echo "$out" | sed -n 's/ *Socket errors: //p; s/ *Non-2xx or 3xx responses: /non-2xx /p' | tr '\n' ' ')"
}
row "distinct queries, -c16" 16 distinct
row "distinct queries, -c64" 64 distinct
echo "resident after -c64: $(awk '/VmRSS/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status")" \
    "(peak $(awk '/VmHWM/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status"))"
row "Zipf over 50,000 queries, -c16" 16 zipf
row "short prefixes (1-3 letters), -c16" 16 prefix
echo "resident at the end: $(awk '/VmRSS/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status")"
