#!/bin/sh
# Benchmark of larkspin-catalog over loopback: 1,000,000 synthetic tracks, wrk for searches,
# ab for HEAD requests, and the indexing rate of real MP3 files.
#   bench/catalog/run-bench.sh BUILD_DIR [TRACKS]
# BUILD_DIR should be a Release build with the larkspin-catalog and larkspin-catalog-fill
# targets built. Prints requests per second, p50 and p99 per request kind.
set -eu
BUILD=${1:?usage: run-bench.sh BUILD_DIR [TRACKS]}
TRACKS=${2:-1000000}
SERVICE=$BUILD/catalog/larkspin-catalog
FILL=$BUILD/bench/catalog/larkspin-catalog-fill
DURATION=${DURATION:-6}
WORK=$(mktemp -d /tmp/larkspin-catalog-bench.XXXXXX)
PID=
cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

start_service() { # args: extra arguments
    rm -f "$WORK/port"
    XDG_DATA_HOME=$WORK/xdg "$SERVICE" --listen 127.0.0.1:0 --port-file "$WORK/port" \
        --db "$WORK/index.sqlite" "$@" 2>>"$WORK/service.log" &
    PID=$!
    i=0
    while [ ! -s "$WORK/port" ]; do
        i=$((i + 1)); [ $i -gt 3000 ] && { echo "service did not start"; exit 1; }
        sleep 0.1
    done
    PORT=$(cat "$WORK/port")
}
stop_service() { kill "$PID"; wait "$PID" || true; PID=; }

echo "== real MP3 files: indexing rate"
mkdir -p "$WORK/music"
sox -n -r 16000 -c 1 "$WORK/tone.wav" synth 2 sine 440 2>/dev/null
lame --quiet -b 32 --tt "Benchreal Track" --ta "Bench Artist" "$WORK/tone.wav" "$WORK/one.mp3"
for d in 0 1 2 3 4 5 6 7 8 9; do
    mkdir -p "$WORK/music/$d"
    for f in $(seq 1 300); do cp "$WORK/one.mp3" "$WORK/music/$d/Bench Artist - Benchreal $d $f.mp3"; done
done
sync
start_service "$WORK/music"
grep "scan done" "$WORK/service.log" | tail -1
stop_service

echo "== filling the index with $TRACKS synthetic tracks"
"$FILL" "$WORK/index.sqlite" "$TRACKS"
# A few real files as well, for HEAD requests.
mkdir -p "$WORK/few"; cp "$WORK/one.mp3" "$WORK/few/Bench Artist - Headword.mp3"
start_service "$WORK/few"
ID=0123456789abcdefghijklmnopqrstuvwxyz0123
API="http://127.0.0.1:$PORT/api/v0.2/$ID/music/search"
count() { curl -s "$API/$1/0/1" | sed -n 's/.*total="\([0-9]*\)".*/\1/p'; }
TRACK=$(curl -s "$API/headword/0/1" | sed -n 's/.*<location>http:\/\/[^/]*\([^<]*\)<.*/\1/p')

printf "%-34s %8s %10s %9s %9s\n" "request" "matches" "req/s" "p50" "p99"
run_wrk() { # name, query, start
    url="$API/$2/$3/50"
    curl -s "$url" > /dev/null # first request ranks and caches; measured below are the rest
    out=$(wrk -t2 -c16 -d"${DURATION}s" --latency "$url")
    rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    p50=$(echo "$out" | awk '$1 == "50%" {print $2}')
    p99=$(echo "$out" | awk '$1 == "99%" {print $2}')
    printf "%-34s %8s %10s %9s %9s\n" "$1" "$(count "$2")" "$rps" "$p50" "$p99"
}
first_time() { # name, query: time of the uncached first search
    t=$(curl -s -o /dev/null -w "%{time_total}" "$API/$2/0/50")
    printf "%-34s %8s %10s %9s\n" "$1" "$(count "$2")" "-" "${t}s"
}
first_time "first search, 100k word (uncached)" river
first_time "first search, 1k word (uncached)" harbor
first_time "first search, 2 words (uncached)" "harbor%20river"
run_wrk "search rare word" zephyr 0
run_wrk "search middle word" harbor 0
run_wrk "search 100k word" river 0
run_wrk "search two words" "harbor%20river" 0
run_wrk "search two middle words" "amber%20river" 0
run_wrk "deep page (start 10000)" river 10000
run_wrk "first page (start 0)" river 0

out=$(ab -q -i -k -c16 -n 40000 "http://127.0.0.1:$PORT$TRACK")
rps=$(echo "$out" | awk '/Requests per second/ {print $4}')
p50=$(echo "$out" | awk '$1 == "50%" {print $2 "ms"}')
p99=$(echo "$out" | awk '$1 == "99%" {print $2 "ms"}')
printf "%-34s %8s %10s %9s %9s\n" "HEAD track (ab -i -k)" "-" "$rps" "$p50" "$p99"
