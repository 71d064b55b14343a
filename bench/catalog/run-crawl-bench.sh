#!/bin/sh
# Benchmark of the catalogue's web crawler over a loopback web that nginx serves: HOSTS hosts
# (127.0.0.2 onwards, one port), each with a robots.txt that allows all, nginx's directory
# listings of TRACKS tagged MP3s in DIRS directories and an RSS feed with an enclosure for
# every track (larkspin-crawl-web writes it; every track has a title of its own). The
# service starts with a fresh index, every root listing and feed as seeds, --crawl-delay 0
# and each connection count of CONNECTIONS; /status.json is read every second for pages and
# tracks per second, while wrk -t1 -c4 runs distinct searches for words of the titles, each
# connection pausing SEARCH_PAUSE ms before each request. Then a crawl of the pages alone
# (robots.txt disallows the MP3s; status read every 0.1 s), and a politeness run with the
# default delay and connections over the first 20 hosts, checked against nginx's access log
# and the established connections per host (ss, every 0.1 s). Last, servers that ignore
# ranges: RANGE_HOSTS hosts of RANGE_TRACKS MP3s of RANGE_SECONDS s at 128 kbit/s (larger than
# the 1 MiB the crawler reads of a file sent whole), crawled once with nginx answering ranges
# and once with max_ranges 0 (every GET answered 200 with the whole file): tracks/s, GETs
# and the bytes nginx sent per track ($body_bytes_sent, which counts what the sockets'
# buffers took of a transfer the crawler cut short, not what it read).
#   bench/catalog/run-crawl-bench.sh BUILD_DIR
# BUILD_DIR: a Release build with larkspin-catalog and larkspin-crawl-web. Environment:
# HOSTS (200), TRACKS (1000 a host), DIRS (100 a host: album-sized listings of 10 tracks; 10
# gives listings of 100), CONNECTIONS ("32 64 128"; "none" skips the crawls), PAGE_CONNECTIONS
# (32, for the pages alone), SEARCH_PAUSE (10, so at most 400 searches/s; 0: as fast as
# answered), POLITE_HOSTS (20), POLITE_SECONDS (35),
# LIMIT (600 s at most per crawl), RANGE_HOSTS (20; 0 skips), RANGE_TRACKS (20 a host),
# RANGE_SECONDS (90), KEEP (1: keep the logs). Needs nginx, wrk, lame, sox, jq and ss.
#
# NODES=N runs only a comparison of shared crawls instead: the web crawled by one node alone
# (its state in SQLite), by one node and by N nodes sharing a private PostgreSQL 15 cluster
# (--crawl-state; the cluster runs as postgres or nobody when the script runs as root), each
# node with an index of its own, every seed given to every node, --crawl-delay 0 and the
# first of CONNECTIONS a node. The status of every node is read every second: pages/s and
# tracks/s (tracks as committed in the nodes' indexes, summed) until all tracks are in or
# nothing moved for 10 s. Its defaults are smaller: HOSTS 40, TRACKS 250, DIRS 25.
set -eu
BUILD=${1:?usage: run-crawl-bench.sh BUILD_DIR}
HERE=$(cd "$(dirname "$0")" && pwd)
NODES=${NODES:-}
if [ -n "$NODES" ]; then
    HOSTS=${HOSTS:-40}
    TRACKS=${TRACKS:-250}
    DIRS=${DIRS:-25}
fi
HOSTS=${HOSTS:-200}
TRACKS=${TRACKS:-1000}
DIRS=${DIRS:-100}
PAGES=$((DIRS + 2)) # a host's root listing, its directories' listings and its feed
CONNECTIONS=${CONNECTIONS:-32 64 128}
PAGE_CONNECTIONS=${PAGE_CONNECTIONS:-32}
SEARCH_PAUSE=${SEARCH_PAUSE:-10}
POLITE_HOSTS=${POLITE_HOSTS:-20}
POLITE_SECONDS=${POLITE_SECONDS:-35}
LIMIT=${LIMIT:-600}
RANGE_HOSTS=${RANGE_HOSTS:-20}
RANGE_TRACKS=${RANGE_TRACKS:-20}
RANGE_SECONDS=${RANGE_SECONDS:-90}
NGINX=${NGINX:-/usr/sbin/nginx}
SERVICE=$BUILD/catalog/larkspin-catalog
WORK=$(mktemp -d /tmp/larkspin-crawl-bench.XXXXXX)
PID= NGINX_PID= WRK_PID= SS_PID= NODE_PIDS=
PGBIN=/usr/lib/postgresql/15/bin
. "$HERE/postgres.sh"
cleanup() {
    set +e
    for p in $WRK_PID $SS_PID $PID $NODE_PIDS $NGINX_PID; do
        kill "$p" 2>/dev/null && wait "$p" 2>/dev/null
    done
    stop_postgres
    if [ -n "${KEEP:-}" ]; then echo "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'cleanup; trap - EXIT; exit 130' INT TERM
ulimit -n "$(ulimit -Hn)"
now() { date +%s.%N; }

# A port free on every loopback address.
PORT=$((20000 + $$ % 20000))
while ss -Htln "sport = :$PORT" | grep -q .; do PORT=$((PORT + 1)); done

echo "== the web: $HOSTS hosts x $TRACKS tracks on port $PORT"
sox -n -r 16000 -c 1 "$WORK/tone.wav" synth 1 sine 440 2>/dev/null
lame --quiet -b 32 "$WORK/tone.wav" "$WORK/one.mp3"
start=$(now)
"$BUILD/bench/catalog/larkspin-crawl-web" "$WORK/one.mp3" "$WORK" "$PORT" "$HOSTS" "$TRACKS" "$DIRS"
echo "written in $(awk "BEGIN {printf \"%.1f\", $(now) - $start}") s," \
    "$(du -sh "$WORK/web" | cut -f1), MP3s of $(stat -c %s "$WORK/web/127.0.0.2/d0/track-0000.mp3") bytes"

start_nginx() { # args: the robots.txt rule, "Allow: /" by default; the web; "noranges"
    web=${2:-$WORK/web}
    ranges=
    [ "${3:-}" = noranges ] && ranges="max_ranges 0;"
    mkdir -p "$WORK/nginx/tmp"
    printf "User-agent: *\n%s\n" "${1:-Allow: /}" >"$WORK/robots.txt"
    rm -f "$WORK/access.log"
    {
        [ "$(id -u)" = 0 ] && echo "user root;" # else the workers would run as nobody
        cat <<EOF
worker_processes 1;
worker_rlimit_nofile $(ulimit -n);
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 16384; }
http {
    include /etc/nginx/mime.types;
    client_body_temp_path $WORK/nginx/tmp/body;
    proxy_temp_path $WORK/nginx/tmp/proxy;
    fastcgi_temp_path $WORK/nginx/tmp/fastcgi;
    uwsgi_temp_path $WORK/nginx/tmp/uwsgi;
    scgi_temp_path $WORK/nginx/tmp/scgi;
    log_format crawl '\$msec \$host \$connection \$status \$request_time \$body_bytes_sent "\$request"';
    access_log $WORK/access.log crawl buffer=256k;
    keepalive_requests 1000000;
    keepalive_timeout 120s;
    server {
        listen $PORT backlog=4096;
        root $web/\$host;
        autoindex on;
        $ranges
        # One file for all hosts, outside the listings (a listed robots.txt would be a page).
        location = /robots.txt { alias $WORK/robots.txt; }
    }
}
EOF
    } >"$WORK/nginx/nginx.conf"
    "$NGINX" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/error.log" &
    NGINX_PID=$!
    i=0
    until curl -s -o /dev/null "http://127.0.0.1:$PORT/"; do # no host of the web
        i=$((i + 1)); [ $i -gt 100 ] && { cat "$WORK/nginx/error.log"; exit 1; }
        sleep 0.1
    done
}
stop_nginx() { kill -QUIT "$NGINX_PID"; wait "$NGINX_PID" || true; NGINX_PID=; }

start_service() { # args: extra arguments
    rm -rf "$WORK/db" "$WORK/port"
    mkdir -p "$WORK/db"
    XDG_DATA_HOME=$WORK/db "$SERVICE" --listen 127.0.0.1:0 --port-file "$WORK/port" \
        --db "$WORK/db/index.sqlite" --crawl-allow-private "$@" 2>"$WORK/service.log" &
    PID=$!
    i=0
    while [ ! -s "$WORK/port" ]; do
        i=$((i + 1)); [ $i -gt 300 ] && { cat "$WORK/service.log"; exit 1; }
        sleep 0.02
    done
    BASE="http://127.0.0.1:$(cat "$WORK/port")"
}
stop_service() { kill "$PID"; wait "$PID" || true; PID=; }

# CPU seconds of a process, and of its busiest thread.
cpu() { awk '{t += $14 + $15} END {printf "%.1f", t / 100}' "/proc/$1/stat"; }
busiest() {
    for t in /proc/"$1"/task/*/stat; do awk '{print ($14 + $15) / 100}' "$t"; done |
        sort -n | tail -1
}

TOTAL=$((HOSTS * TRACKS))

# shared_crawl NAME N [--crawl-state URI]: N nodes crawl the web; prints a row to the summary.
shared_crawl() {
    name=$1 n=$2
    shift 2
    start_nginx
    NODE_PIDS= ports=
    t0=$(now)
    i=0
    while [ $i -lt "$n" ]; do
        rm -rf "$WORK/node$i"
        mkdir -p "$WORK/node$i"
        XDG_DATA_HOME=$WORK/node$i "$SERVICE" --listen 127.0.0.1:0 --port-file "$WORK/node$i/port" \
            --db "$WORK/node$i/index.sqlite" --crawl-allow-private --crawl-delay 0 \
            --crawl-connections "${CONNECTIONS%% *}" --crawl-list "$WORK/seeds.txt" "$@" \
            2>"$WORK/node$i/service.log" &
        NODE_PIDS="$NODE_PIDS $!"
        i=$((i + 1))
    done
    for i in $(seq 0 $((n - 1))); do
        j=0
        while [ ! -s "$WORK/node$i/port" ]; do
            j=$((j + 1)); [ $j -gt 500 ] && { cat "$WORK/node$i/service.log"; exit 1; }
            sleep 0.02
        done
        ports="$ports $(cat "$WORK/node$i/port")"
    done
    : >"$WORK/shared-samples"
    moved=$(now) last=
    while :; do
        sleep 1
        t=$(now)
        line=$(for port in $ports; do
            curl -s --max-time 5 "http://127.0.0.1:$port/status.json" |
                jq -r '[.crawl.pages, .tracks_indexed, .crawl.requests] | @tsv'
        done | awk '{p += $1; k += $2; r += $3} END {print p + 0, k + 0, r + 0}')
        printf "%s %s\n" "$(awk "BEGIN {print $t - $t0}")" "$line" >>"$WORK/shared-samples"
        set -- $line
        [ "$2" -ge "$TOTAL" ] && break
        [ "$line" != "$last" ] && moved=$t last=$line
        awk "BEGIN {exit !($t - $moved > 10)}" && break
        awk "BEGIN {exit !($t - $t0 > $LIMIT)}" && { echo "stopped after $LIMIT s"; break; }
    done
    for p in $NODE_PIDS; do kill "$p"; wait "$p" || true; done
    NODE_PIDS=
    stop_nginx
    awk -v name="$name" -v total="$TOTAL" '
        { if ($2 > p) { p = $2; lastp = $1 } if ($3 > k) { k = $3; lastk = $1 } r = $4 }
        END {
            printf "%-22s %7d pages in %6.1f s: %6.0f pages/s; %7d of %d tracks in %6.1f s:" \
                " %6.0f tracks/s; %d requests\n", name, p, lastp, p / lastp, k, total, lastk,
                k / lastk, r
        }' "$WORK/shared-samples" | tee -a "$WORK/shared-summary"
}

if [ -n "$NODES" ]; then
    [ -x "$PGBIN/pg_ctl" ] || { echo "PostgreSQL 15 is not installed ($PGBIN)"; exit 1; }
    start_postgres || exit 1
    : >"$WORK/shared-summary"
    echo "== one node, its crawl state in SQLite"
    shared_crawl "1 node, SQLite" 1
    for n in 1 "$NODES"; do
        echo "== $n node(s) sharing the crawl through PostgreSQL"
        "$PGBIN/createdb" -h "$WORK/pg" -U larkspin "crawl$n"
        shared_crawl "$n node(s), PostgreSQL" "$n" \
            --crawl-state "postgresql://larkspin@/crawl$n?host=$WORK/pg"
    done
    echo "== summary ($HOSTS hosts, $TOTAL tracks, $((HOSTS * PAGES)) pages, --crawl-delay 0," \
        "${CONNECTIONS%% *} connections a node)"
    cat "$WORK/shared-summary"
    exit 0
fi

SUMMARY=$WORK/summary
: >"$SUMMARY"
for conns in $CONNECTIONS; do
    [ "$conns" = none ] && continue
    echo "== crawl: --crawl-connections $conns, --crawl-delay 0," \
        "searches beside it (wrk -t1 -c4, $SEARCH_PAUSE ms pause)"
    start_nginx
    t0=$(now)
    start_service --crawl-list "$WORK/seeds.txt" --crawl-delay 0 --crawl-connections "$conns"
    wrk -t1 -c4 -d3600s --timeout 5s --latency -s "$HERE/pacedpaths.lua" "$BASE" \
        -- "$WORK/queries.txt" "$SEARCH_PAUSE" >"$WORK/wrk.out" 2>&1 &
    WRK_PID=$!
    : >"$WORK/samples"
    moved=$t0 last=-1
    while :; do
        sleep 1
        t=$(now)
        line=$(curl -s --max-time 5 "$BASE/status.json" | jq -r '[.crawl.requests, .crawl.pages,
            .crawl.tracks, .crawl.errors, .crawl.queued, .tracks_indexed] | @tsv') || continue
        rss=$(awk '/VmRSS/ {print $2}' "/proc/$PID/status")
        printf "%s\t%s\t%s\n" "$(awk "BEGIN {print $t - $t0}")" "$line" "$rss" >>"$WORK/samples"
        set -- $line
        # The tracks committed to the index count, not those written into a batch not yet
        # committed: the run ends once all are searchable.
        [ "$6" -ge "$TOTAL" ] && break
        [ "$1" -gt 0 ] && [ "$5" -eq 0 ] && [ "$6" -ge "$3" ] && break
        [ "$1" != "$last" ] && moved=$t last=$1
        awk "BEGIN {exit !($t - $moved > 30)}" && { echo "no request for 30 s: stopped"; break; }
        awk "BEGIN {exit !($t - $t0 > $LIMIT)}" && { echo "stopped after $LIMIT s"; break; }
    done
    kill -INT "$WRK_PID"; wait "$WRK_PID" || true; WRK_PID=
    curl -s "$BASE/status.json" >"$WORK/status-$conns.json"
    hwm=$(awk '/VmHWM/ {printf "%.0f", $2 / 1024}' "/proc/$PID/status")
    cpu_service=$(cpu "$PID") cpu_thread=$(busiest "$PID") cpu_nginx=0
    for p in $(pgrep -P "$NGINX_PID") "$NGINX_PID"; do
        cpu_nginx=$(awk "BEGIN {print $cpu_nginx + $(cpu "$p")}")
    done
    stop_service
    stop_nginx
    # Per-second rates; steady state is from 10 % to 90 % of the tracks, by interpolation.
    awk -v total="$TOTAL" -v conns="$conns" -v hwm="$hwm" -v cs="$cpu_service" \
        -v ct="$cpu_thread" -v cn="$cpu_nginx" '
        function at(level, i) { # the time the track count reached level
            for (i = 1; i <= n; ++i)
                if (k[i] >= level)
                    return s[i - 1] + (s[i] - s[i - 1]) * (level - k[i - 1]) / (k[i] - k[i - 1])
            return -1
        }
        { ++n; s[n] = $1; r[n] = $2; p[n] = $3; w[n] = $4; k[n] = $7; e[n] = $5; rss[n] = $8 }
        END {
            s[0] = 0; r[0] = p[0] = k[0] = 0
            for (i = 1; i <= n; ++i) {
                dt = s[i] - s[i - 1]
                if ((p[i] - p[i - 1]) / dt > peakp) peakp = (p[i] - p[i - 1]) / dt
                if ((k[i] - k[i - 1]) / dt > peakk) peakk = (k[i] - k[i - 1]) / dt
                if (p[i] > p[i - 1]) lastp = s[i]
                if (k[i] > k[i - 1]) lastk = s[i]
            }
            t10 = at(0.1 * total); t90 = at(0.9 * total)
            steady = (t90 > t10 && t10 >= 0) ? 0.8 * total / (t90 - t10) : 0
            printf "%d tracks of %d committed in %.0f s (%d written), %d pages, %d requests," \
                " %d errors\n", k[n], total, lastk, w[n], p[n], r[n], e[n]
            printf "tracks/s: whole run %.0f, steady (10-90 %%) %.0f, best second %.0f\n", \
                k[n] / lastk, steady, peakk
            printf "pages/s: %d pages in the first %.0f s (%.0f/s), best second %.0f; " \
                "requests/s whole run %.0f\n", p[n], lastp, p[n] / lastp, peakp, r[n] / lastk
            printf "peak resident %d MB; CPU: service %.0f s (busiest thread %.0f s), nginx %.0f s\n", \
                hwm, cs, ct, cn
            printf "%d\t%d\t%.0f\t%.0f\t%.0f\t%.0f\t%d\t%d\t%.0f\t%.0f\n", conns, k[n], lastk, \
                k[n] / lastk, steady, p[n] / lastp, hwm, e[n], ct, cn > "/dev/stderr"
        }' "$WORK/samples" 2>"$WORK/row"
    mv "$WORK/access.log" "$WORK/access-$conns.log"
    connections=$(awk '$2 != "127.0.0.1" {print $3}' "$WORK/access-$conns.log" | sort -u | wc -l)
    requests=$(awk '$2 != "127.0.0.1"' "$WORK/access-$conns.log" | wc -l)
    notok=$(awk '$2 != "127.0.0.1" && $4 != 200 && $4 != 206' "$WORK/access-$conns.log" | wc -l)
    echo "nginx: $requests requests over $connections connections, $notok answered other than 200"
    echo "errors by kind: $(jq -r '[.crawl.hosts[].errors | to_entries[]] | group_by(.key)
        | map("\(.[0].key) \(map(.value) | add)") | join(", ")' "$WORK/status-$conns.json")"
    p50=$(awk '$1 == "50%" {print $2}' "$WORK/wrk.out")
    p99=$(awk '$1 == "99%" {print $2}' "$WORK/wrk.out")
    rate=$(awk '/Requests\/sec/ {printf "%.0f", $2}' "$WORK/wrk.out")
    bad=$(sed -n 's/ *Socket errors: //p; s/ *Non-2xx or 3xx responses: /non-2xx /p;
        s/^list wrapped round: /the query list wrapped round: /p' "$WORK/wrk.out" | tr '\n' ' ')
    echo "searches during the crawl: $rate/s, p50 $p50, p99 $p99 ${bad:+($bad)}"
    printf "%s\t%s\t%s\t%s\n" "$(cat "$WORK/row")" "$p50" "$p99" "$connections" >>"$SUMMARY"
done

echo "== pages alone: robots.txt disallows /*.mp3\$, --crawl-delay 0, $PAGE_CONNECTIONS connections"
start_nginx 'Disallow: /*.mp3$'
t0=$(now)
start_service --crawl-list "$WORK/seeds.txt" --crawl-delay 0 --crawl-connections "$PAGE_CONNECTIONS"
: >"$WORK/page-samples"
while :; do
    sleep 0.1
    t=$(now)
    line=$(curl -s --max-time 5 "$BASE/status.json" | jq -r '[.crawl.requests, .crawl.pages,
        .crawl.queued] | @tsv') || continue
    printf "%s\t%s\n" "$(awk "BEGIN {print $t - $t0}")" "$line" >>"$WORK/page-samples"
    set -- $line
    [ "$2" -ge $((HOSTS * PAGES)) ] && [ "$3" -eq 0 ] && break
    awk "BEGIN {exit !($t - $t0 > $LIMIT)}" && { echo "stopped after $LIMIT s"; break; }
done
pagehwm=$(awk '/VmHWM/ {printf "%.0f", $2 / 1024}' "/proc/$PID/status")
stop_service
stop_nginx
# From the first request to the sample that saw the last page.
pagerate=$(awk '$2 > 0 && !first {first = $1} $3 > pages {pages = $3; last = $1}
    END {printf "%d pages in %.2f s: %.0f pages/s", pages, last - first, pages / (last - first)}' \
    "$WORK/page-samples")
echo "$pagerate (with the MP3s refused by robots.txt), peak resident $pagehwm MB"

RANGE_SUMMARY=
if [ "$RANGE_HOSTS" -gt 0 ]; then
    echo "== ranges ignored: $RANGE_HOSTS hosts x $RANGE_TRACKS MP3s of $RANGE_SECONDS s"
    sox -n -r 44100 -c 2 "$WORK/long.wav" synth "$RANGE_SECONDS" sine 440 2>/dev/null
    lame --quiet -b 128 "$WORK/long.wav" "$WORK/long.mp3"
    rm -f "$WORK/long.wav"
    mkdir -p "$WORK/ranged"
    "$BUILD/bench/catalog/larkspin-crawl-web" "$WORK/long.mp3" "$WORK/ranged" "$PORT" \
        "$RANGE_HOSTS" "$RANGE_TRACKS" 2
    rangetotal=$((RANGE_HOSTS * RANGE_TRACKS))
    for mode in ranges noranges; do
        start_nginx "Allow: /" "$WORK/ranged/web" "$mode"
        t0=$(now) prev=
        start_service --crawl-list "$WORK/ranged/seeds.txt" --crawl-delay 0
        while :; do
            sleep 0.2
            line=$(curl -s --max-time 5 "$BASE/status.json" | jq -r '[.crawl.requests,
                .crawl.pages, .crawl.queued, .tracks_indexed] | @tsv') || continue
            set -- $line
            [ "$4" -ge "$rangetotal" ] && break
            # A host's root listing, its 2 directories and its feed; nothing queued, and
            # nothing moved since the last look (the status lags by 0.1 s, commits by 0.25).
            [ "$2" -ge $((RANGE_HOSTS * 4)) ] && [ "$3" -eq 0 ] && [ "$line" = "$prev" ] && break
            prev=$line
            awk "BEGIN {exit !($(now) - $t0 > $LIMIT)}" && { echo "stopped after $LIMIT s"; break; }
        done
        took=$(awk "BEGIN {print $(now) - $t0}")
        pages=$2 tracks=$4
        stop_service
        stop_nginx
        row=$(awk -v tracks="$tracks" -v took="$took" -v pages="$pages" -v mode="$mode" '
            $2 != "127.0.0.1" && $(NF - 1) ~ /\.mp3$/ { bytes += $6; if ($(NF - 2) == "\"GET") ++gets }
            END {
                t = tracks ? tracks : 1
                printf "%s\t%d\t%.1f\t%.0f\t%.0f\t%.0f\t%.2f\n", mode, tracks, took,
                    tracks / took, pages / took, bytes / t / 1024, gets / t
            }' "$WORK/access.log")
        echo "$row" | awk -F '\t' '{printf "%s: %d tracks in %s s, %s tracks/s, %s pages/s," \
            " %s KiB sent a track, %s GETs a track\n", $1, $2, $3, $4, $5, $6, $7}'
        RANGE_SUMMARY="$RANGE_SUMMARY$row
"
    done
fi

echo "== politeness: $POLITE_HOSTS hosts, default delay and connections, $POLITE_SECONDS s"
start_nginx
head -n $((POLITE_HOSTS * 2)) "$WORK/seeds.txt" >"$WORK/polite-seeds.txt"
(while :; do
    ss -Htn state established "( sport = :$PORT )" | awk '{split($3, a, ":"); print a[1]}' |
        sort | uniq -c | sort -rn | head -1
    sleep 0.1
done >"$WORK/ss.out") &
SS_PID=$!
start_service --crawl-list "$WORK/polite-seeds.txt"
sleep "$POLITE_SECONDS"
kill "$SS_PID"; wait "$SS_PID" 2>/dev/null || true; SS_PID=
stop_service
stop_nginx
# A request starts at $msec - $request_time; both have millisecond steps, so two starts
# count as within one second when they are less than 0.998 s apart.
polite=$(awk '$2 != "127.0.0.1" {printf "%s %.3f %.3f %s\n", $2, $1 - $5, $1, $3}' \
    "$WORK/access.log" | sort -k1,1 -k2,2n | awk -v gap=1e9 '
    function flush(   i, j, m, c, x, y) {
        if (n == 0) return
        j = 1
        for (i = 1; i <= n; ++i) {
            while (st[i] - st[j] >= 0.998) ++j
            if (i - j + 1 > win) win = i - j + 1
            if (i > 1 && st[i] - st[i - 1] < gap) gap = st[i] - st[i - 1]
            if (i > 1 && st[i] - st[i - 1] < 0.998) ++short
            c = 0 # requests still open when this one started
            for (m = 1; m < i; ++m) if (en[m] > st[i]) ++c
            if (c + 1 > open) open = c + 1
        }
        # A connection spans its first start to its last end at least.
        for (x in cs) {
            c = 0
            for (y in cs) if (y != x && cs[y] <= cs[x] && ce[y] > cs[x]) ++c
            if (c + 1 > conns) conns = c + 1
        }
        hosts++; total += n; n = 0; delete cs; delete ce
    }
    $1 != host { flush(); host = $1 }
    { ++n; st[n] = $2; en[n] = $3
      if (!($4 in cs) || $2 < cs[$4]) cs[$4] = $2
      if (!($4 in ce) || $3 > ce[$4]) ce[$4] = $3 }
    END {
        flush()
        printf "%d %d %d %d %d %.3f %d\n", hosts, total, win, open, conns, gap == 1e9 ? 0 : gap,
            short
    }')
set -- $polite
sspeak=$(awk 'NF {if ($1 > m) m = $1} END {print m + 0}' "$WORK/ss.out")
echo "$2 requests to $1 hosts; per host at most $3 starting within 1 s, $4 open at once," \
    "$5 connections in use at once (log), $sspeak established at once (ss);" \
    "shortest gap between two requests to one host $6 s ($7 of $(($2 - $1)) gaps under 0.998 s)"
if [ "$3" -le 1 ] && [ "$4" -le 2 ] && [ "$5" -le 2 ] && [ "$sspeak" -le 2 ]; then
    verdict=PASS
else
    verdict=FAIL
fi
echo "politeness: $verdict"

echo "== summary ($HOSTS hosts, $TOTAL tracks, $((HOSTS * PAGES)) pages;" \
    "searches wrk -t1 -c4, $SEARCH_PAUSE ms pause)"
printf "%6s %8s %7s %9s %9s %8s %8s %7s %8s %8s %7s %7s\n" conns tracks seconds "tracks/s" \
    steady "pages/s" "peak MB" errors "crawl s" "nginx s" p50 p99
while IFS="$(printf '\t')" read -r c k t w s p m e ct cn p50 p99 nc; do
    printf "%6s %8s %7s %9s %9s %8s %8s %7s %8s %8s %7s %7s\n" "$c" "$k" "$t" "$w" "$s" "$p" \
        "$m" "$e" "$ct" "$cn" "$p50" "$p99"
done <"$SUMMARY"
echo "(crawl s: CPU seconds of the service's busiest thread; nginx s: nginx's CPU seconds)"
echo "pages alone: $pagerate"
echo "politeness ($POLITE_HOSTS hosts, ${POLITE_SECONDS} s, defaults): at most $3 request/s and" \
    "$sspeak connections per host: $verdict"
if [ -n "$RANGE_SUMMARY" ]; then
    echo "MP3s of $(stat -c %s "$WORK/long.mp3") bytes, $RANGE_HOSTS x $RANGE_TRACKS:"
    printf "%10s %7s %8s %9s %8s %13s %12s\n" server tracks seconds "tracks/s" "pages/s" \
        "KiB sent/trk" "GETs a track"
    printf "%s" "$RANGE_SUMMARY" | while IFS="$(printf '\t')" read -r m k t w p b g; do
        printf "%10s %7s %8s %9s %8s %13s %12s\n" "$m" "$k" "$t" "$w" "$p" "$b" "$g"
    done
    echo "(sent: nginx's \$body_bytes_sent for the MP3s, over the tracks; of a transfer the" \
        "crawler cut short it counts what the sockets' buffers took, not what was read)"
fi
