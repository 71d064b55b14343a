#!/bin/sh
# Benchmark of the catalogue's Subsonic API beside its own search API and file serving, in
# the same run of one service over 1,000,000 synthetic tracks (larkspin-catalog-fill) and one
# real MP3 file:
#   - search3 against the search API on the same kind of distinct one- and two-word queries
#     (larkspin-search-bench's distinct list; 50 songs a page as the search API's page, and
#     the API's 20 albums and 20 artists), each turn on a part of the list no turn before it
#     asked, so that no page or ranking kept from an earlier turn answers it; turns of 3 s
#     ordered ABBAABBA, as this machine's speed drifts within a minute;
#   - getAlbumList2 of each type that lists albums, distinct pages (size 50);
#   - stream of the local file against /tracks/ (the search API's own file serving), in the
#     same turns.
# wrk -t2 -c16 on the same two cores as the service. Prints requests a second, p50 and p99,
# and the ratios search3 / search and stream / /tracks/.
#   [KEEP=DIR] [DURATION=S] bench/catalog/run-subsonic-bench.sh BUILD_DIR [TRACKS]
# BUILD_DIR: a Release build with larkspin-catalog, larkspin-catalog-fill and
# larkspin-search-bench. Needs wrk and lame (for the MP3).
set -eu
BUILD=${1:?usage: run-subsonic-bench.sh BUILD_DIR [TRACKS]}
TRACKS=${2:-1000000}
HERE=$(cd "$(dirname "$0")" && pwd)
DURATION=${DURATION:-3}
WORK=$(mktemp -d /tmp/larkspin-subsonic-bench.XXXXXX)
PID=
cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

echo "== $TRACKS synthetic tracks"
# KEEP=DIR keeps the filled index in DIR for the next run, which then starts from a copy.
if [ -n "${KEEP:-}" ] && [ -s "$KEEP/index.sqlite" ]; then
    cp -r "$KEEP/index.sqlite" "$KEEP/index.sqlite.search" "$WORK/"
else
    "$BUILD/bench/catalog/larkspin-catalog-fill" "$WORK/index.sqlite" "$TRACKS"
    if [ -n "${KEEP:-}" ]; then
        mkdir -p "$KEEP"
        cp -r "$WORK/index.sqlite" "$WORK/index.sqlite.search" "$KEEP/"
    fi
fi
# The query lists (and a short in-process run, whose figures are not wanted here).
"$BUILD/bench/catalog/larkspin-search-bench" "$WORK/index.sqlite" "$WORK" 0.2 >/dev/null

# One real file of 4 MB, found by its own word.
mkdir -p "$WORK/music"
sox -n -r 44100 -c 2 "$WORK/tone.wav" synth 240 sine 440 2>/dev/null
lame --quiet -b 128 --tt "Benchfileword Tone" --ta "Bench Artist" --tl "Bench Album" \
    "$WORK/tone.wav" "$WORK/music/bench.mp3"
rm -f "$WORK/tone.wav"
echo "file: $(stat -c %s "$WORK/music/bench.mp3") bytes"

printf 'bench:benchpass\n' >"$WORK/users"
chmod 600 "$WORK/users"
XDG_DATA_HOME=$WORK/xdg "$BUILD/catalog/larkspin-catalog" --listen 127.0.0.1:0 \
    --port-file "$WORK/port" --db "$WORK/index.sqlite" --subsonic-users "$WORK/users" \
    "$WORK/music" 2>>"$WORK/service.log" &
PID=$!
while [ ! -s "$WORK/port" ]; do sleep 0.1; done
BASE="http://127.0.0.1:$(cat "$WORK/port")"
LOGIN="u=bench&p=benchpass&v=1.16.1&c=bench"

# The same queries as the search API's paths: /api/v0.2/ID/music/search/QUERY/START/50.
awk -F/ -v login="$LOGIN" '{
    printf "/rest/search3?%s&query=%s&songCount=50&songOffset=%s&albumCount=20&artistCount=20\n",
        login, $7, $8 }' "$WORK/distinct.txt" >"$WORK/search3.txt"
awk -v login="$LOGIN" 'BEGIN {
    split("alphabeticalByName alphabeticalByArtist newest random frequent recent", types, " ")
    for (i = 0; i < 100000; i++)
        printf "/rest/getAlbumList2?%s&type=%s&size=50&offset=%d\n", login, types[i % 6 + 1],
            (i * 50) % 200000 }' >"$WORK/albums.txt"

# The shelf of albums and artists is made at the first call (and after changes).
start=$(date +%s.%N)
curl -s "$BASE/rest/getAlbumList2?$LOGIN&type=newest&size=1" >/dev/null
echo "albums and artists grouped at the first call in $(awk "BEGIN {print $(date +%s.%N) - $start}") s;" \
    "resident $(awk '/VmRSS/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status")"
location=$(curl -s "$BASE/api/v0.2/0123456789012345678901234567890123456789/music/search/benchfileword/0/1" \
    | sed -n 's:.*<location>\([^<]*\)</location>.*:\1:p')
TRACKPATH=/${location#*://*/}
SONG=$(curl -s "$BASE/rest/search3?$LOGIN&f=json&query=benchfileword" \
    | sed -n 's/.*"song":\[{"id":"\([^"]*\)".*/\1/p')
[ -n "$SONG" ] && [ "$TRACKPATH" != / ] || { echo "the bench file is not indexed" >&2; exit 1; }
for i in $(seq 1 200); do echo "$TRACKPATH"; done >"$WORK/file.txt"
for i in $(seq 1 200); do echo "/rest/stream?$LOGIN&id=$SONG"; done >"$WORK/stream.txt"

FAILED=
# label, list, offset[, wrap]
cpu_ticks() {
    awk '{print $14 + $15}' "/proc/$PID/stat"
}
row() {
    before=$(cpu_ticks)
    out=$(wrk -t2 -c16 -d"${DURATION}s" --timeout 5s --latency -s "$HERE/paths.lua" "$BASE" \
        -- "$WORK/$2.txt" "$3" ${4:+wrap} 2>&1 || true)
    RATE=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    requests=$(echo "$out" | awk '/requests in/ {print $1}')
    # The service's processor time a request, in microseconds: less at the mercy of whatever
    # else runs on the machine than the rate.
    COST=$(awk "BEGIN {printf \"%.0f\", ($(cpu_ticks) - $before) * 1000000 / $(getconf CLK_TCK) / $requests}")
    verdict=
    if echo "$out" | grep -q "list ended"; then
        verdict="FAILED: the list ran out"
    elif echo "$out" | grep -q "Non-2xx"; then
        verdict="FAILED: $(echo "$out" | awk '/Non-2xx/ {print $NF}') answers not 2xx"
    fi
    [ -n "$verdict" ] && FAILED="$FAILED
  $1: $verdict"
    printf "%-44s %10s %9s %9s %12s %8s  %s\n" "$1" "$RATE" \
        "$(echo "$out" | awk '$1 == "50%" {print $2}')" \
        "$(echo "$out" | awk '$1 == "99%" {print $2}')" \
        "$(echo "$out" | awk '/Transfer\/sec/ {print $2}')" "$COST" "$verdict"
}

# Both warmed first on the end of their lists, which no turn reaches.
wrk -t2 -c16 -d3s -s "$HERE/paths.lua" "$BASE" -- "$WORK/distinct.txt" 90000 >/dev/null 2>&1 || true
wrk -t2 -c16 -d3s -s "$HERE/paths.lua" "$BASE" -- "$WORK/search3.txt" 95000 >/dev/null 2>&1 || true

echo "== the service (wrk -t2 -c16, ${DURATION} s each)"
printf "%-44s %10s %9s %9s %12s %8s\n" "workload" "req/s" "p50" "p99" "transfer/s" "CPU µs"
# Turns ordered ABBAABBA, each on its own part of the list: A the first kind, B the second.
# Prints each turn and the ratio of B's requests a second to A's over all of them.
turns() { # label A, list A, label B, list B, step (list entries between turns, or 0)
    sumA=0
    sumB=0
    costA=0
    costB=0
    i=0
    for who in A B B A A B B A; do
        offset=$((i * $5))
        if [ "$who" = A ]; then
            row "$1 [$offset, ...)" "$2" "$offset" ${6:-}
            sumA=$(awk "BEGIN {print $sumA + $RATE}")
            costA=$(awk "BEGIN {print $costA + $COST}")
        else
            row "$3 [$offset, ...)" "$4" "$offset" ${6:-}
            sumB=$(awk "BEGIN {print $sumB + $RATE}")
            costB=$(awk "BEGIN {print $costB + $COST}")
        fi
        i=$((i + 1))
    done
    RATIO=$(awk "BEGIN {printf \"%.2f (processor time a request: %.2f)\", $sumB / $sumA, $costB / $costA}")
}
turns "search API, distinct queries" distinct "search3, distinct queries" search3 11000
echo "search3 / search API: $RATIO"
row "getAlbumList2, six types, distinct pages" albums 0
turns "/tracks/ file (4 MB)" file "stream of the same file" stream 0 wrap
echo "stream / tracks: $RATIO"
echo "resident at the end: $(awk '/VmRSS/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status")"
if [ -n "$FAILED" ]; then
    echo "FAILED:$FAILED"
    exit 1
fi
