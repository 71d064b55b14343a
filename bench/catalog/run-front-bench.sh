#!/bin/sh
# Benchmark of larkspin-catalog's HTTP front over loopback, with requests that cost the index
# little: a 404, a small page, a repeated search (the ranking cache serves it), HEAD of a
# track, a 50 MiB track in turn with nginx serving the same file, and a repeated search while
# 500 connections trickle a request a byte a second and 5,000 more sit idle.
#   bench/catalog/run-front-bench.sh BUILD_DIR [OLD_SERVICE]
# BUILD_DIR: a Release build with larkspin-catalog and larkspin-slowclients. OLD_SERVICE: an
# earlier larkspin-catalog binary, measured side by side with the same requests.
# wrk runs from one address, so the services run with --max-per-client 10000.
set -eu
BUILD=${1:?usage: run-front-bench.sh BUILD_DIR [OLD_SERVICE]}
OLD=${2:-}
SERVICE=$BUILD/catalog/larkspin-catalog
SLOW=$BUILD/bench/catalog/larkspin-slowclients
DURATION=${DURATION:-6}
WORK=$(mktemp -d /tmp/larkspin-front-bench.XXXXXX)
PID=
NGINX=
cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    [ -n "$NGINX" ] && kill "$NGINX" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

RUN=0
start_service() { # binary, extra arguments
    bin=$1; shift
    RUN=$((RUN + 1))
    rm -f "$WORK/port"
    XDG_DATA_HOME=$WORK/xdg "$bin" --listen 127.0.0.1:0 --port-file "$WORK/port" \
        --db "$WORK/index-$RUN.sqlite" "$@" "$WORK/music" \
        2>>"$WORK/service.log" &
    PID=$!
    i=0
    while [ ! -s "$WORK/port" ]; do
        i=$((i + 1))
        if [ $i -gt 600 ] || ! kill -0 "$PID" 2>/dev/null; then
            echo "service did not start:"; tail -3 "$WORK/service.log"; PID=; exit 1
        fi
        sleep 0.1
    done
    PORT=$(cat "$WORK/port")
    BASE="http://127.0.0.1:$PORT"
}
stop_service() { kill "$PID"; wait "$PID" || true; PID=; }
rss() { awk '/VmRSS/ {printf "%.0f MB", $2 / 1024}' "/proc/$1/status"; }

# The music: a tone for HEAD, and the same tone repeated to 50 MiB for the transfer.
mkdir -p "$WORK/music" "$WORK/www"
sox -n -r 44100 -c 2 "$WORK/tone.wav" synth 30 sine 440 2>/dev/null
lame --quiet -b 128 --tt "Headword Tone" --ta "Bench Artist" "$WORK/tone.wav" "$WORK/music/head.mp3"
# The big file has no tags of its own: its name gives its title.
lame --quiet -b 128 "$WORK/tone.wav" "$WORK/plain.mp3"
while [ "$(stat -c %s "$WORK/www/big.mp3" 2>/dev/null || echo 0)" -lt 52428800 ]; do
    cat "$WORK/plain.mp3" >> "$WORK/www/big.mp3"
done
truncate -s 52428800 "$WORK/www/big.mp3"
cp "$WORK/www/big.mp3" "$WORK/music/Bench Artist - Bigword.mp3"

ID=0123456789abcdefghijklmnopqrstuvwxyz0123
# The 50 MiB transfer TRANSFERS times (20), each followed by nginx's of the same file where
# nginx runs, so that the machine's drift falls on both alike; the ranges of both.
TRANSFERS=${TRANSFERS:-20}
transfers() { # url of the service's copy
    : > "$WORK/ours"
    : > "$WORK/nginx.speeds"
    i=0
    while [ $i -lt "$TRANSFERS" ]; do
        curl -s -o /dev/null -w "%{speed_download}\n" "$1" >> "$WORK/ours"
        if [ -n "$NGINX" ]; then
            curl -s -o /dev/null -w "%{speed_download}\n" "http://127.0.0.1:$NPORT/big.mp3" \
                >> "$WORK/nginx.speeds"
        fi
        i=$((i + 1))
    done
    speeds "50 MiB track GET (curl)" "$WORK/ours"
    [ -n "$NGINX" ] && speeds "50 MiB file GET from nginx, in turn" "$WORK/nginx.speeds"
    return 0
}
speeds() { # label, file of bytes/s
    sort -n "$2" | awk -v label="$1" '{v[NR] = $1 / 1e6} END {
        printf "%-44s %4.0f-%4.0f MB/s (%d transfers; the middle half %.0f-%.0f)\n", label,
            v[1], v[NR], NR, v[int(NR / 4) + 1], v[int(3 * NR / 4)]}'
}
wrk_row() { # label, connections, url
    out=$(wrk -t2 -c"$2" -d"${DURATION}s" --latency "$3" 2>&1 || true)
    rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    p50=$(echo "$out" | awk '$1 == "50%" {print $2}')
    p99=$(echo "$out" | awk '$1 == "99%" {print $2}')
    errors=$(echo "$out" | awk '/Socket errors/ {print $0}' | sed 's/ *Socket errors: //')
    printf "%-44s %10s %9s %9s  %s\n" "$1" "$rps" "$p50" "$p99" "$errors"
}

measure() { # name, binary, extra arguments
    echo "== $1"
    name=$1; shift
    start_service "$@"
    search="$BASE/api/v0.2/$ID/music/search/headword/0/50"
    track=$(curl -s "$search" | sed -n 's/.*<location>http:\/\/[^/]*\([^<]*\)<.*/\1/p')
    big=$(curl -s "$BASE/api/v0.2/$ID/music/search/bigword/0/50" \
        | sed -n 's/.*<location>http:\/\/[^/]*\([^<]*\)<.*/\1/p')
    printf "%-44s %10s %9s %9s  %s\n" "request" "req/s" "p50" "p99" "socket errors"
    wrk_row "404, -c16" 16 "$BASE/nothing"
    wrk_row "small page (/tos/, 1 kB), -c16" 16 "$BASE/tos/"
    wrk_row "404, -c1000" 1000 "$BASE/nothing"
    wrk_row "repeated search, rare word, -c16" 16 "$search"
    # wrk waits for a body after HEAD; ab -i knows better.
    out=$(ab -q -i -k -c16 -n 100000 "$BASE$track" 2>&1 || true)
    printf "%-44s %10s %9s %9s  %s\n" "HEAD of a track, -c16 (ab -i -k)" \
        "$(echo "$out" | awk '/Requests per second/ {print $4}')" \
        "$(echo "$out" | awk '$1 == "50%" {print $2 "ms"}')" \
        "$(echo "$out" | awk '$1 == "99%" {print $2 "ms"}')" \
        "$(echo "$out" | awk '/Failed requests/ {print $3 " failed"}')"
    transfers "$BASE$big"
    echo "resident after the runs: $(rss "$PID")"
    stop_service
}

# nginx serves the same 50 MiB file beside the service, the two transfers taking turns.
if [ ! -x /usr/sbin/nginx ]; then
    echo "nginx is not installed (Debian nginx-light): no comparison for the 50 MiB file"
else
    NPORT=$(( $$ % 20000 + 30000 ))
    mkdir -p "$WORK/nginx/logs"
    cat > "$WORK/nginx/nginx.conf" <<CONF
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    server { listen 127.0.0.1:$NPORT; root $WORK/www; }
}
CONF
    /usr/sbin/nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -g "daemon off; user root;" &
    NGINX=$!
    sleep 1
fi

measure "this front" "$SERVICE" --max-per-client 10000

echo "== under attack: 500 connections trickling a byte a second, 5,000 idle"
start_service "$SERVICE"
search="$BASE/api/v0.2/$ID/music/search/headword/0/50"
"$SLOW" "$PORT" 500 5000 $((DURATION + 14)) > "$WORK/slow.log" &
SLOWPID=$!
sleep 6
tail -1 "$WORK/slow.log"
wrk_row "repeated search during the attack, -c16" 16 "$search"
tail -1 "$WORK/slow.log"
echo "resident during the attack: $(rss "$PID") (peak $(awk '/VmHWM/ {printf "%.0f MB", $2 / 1024}' "/proc/$PID/status"))"
wait "$SLOWPID" || true
stop_service

if [ -n "$OLD" ]; then
    measure "the old front ($OLD)" "$OLD"
    echo "== the old front under attack"
    start_service "$OLD"
    search="$BASE/api/v0.2/$ID/music/search/headword/0/50"
    "$SLOW" "$PORT" 500 5000 $((DURATION + 14)) > "$WORK/slow.log" &
    SLOWPID=$!
    sleep 6
    wrk_row "repeated search during the attack, -c16" 16 "$search"
    echo "resident during the attack: $(rss "$PID")"
    wait "$SLOWPID" || true
    stop_service
fi
