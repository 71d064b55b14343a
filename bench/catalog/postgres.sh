# A private PostgreSQL cluster for the benchmarks, sourced by them: start_postgres and
# stop_postgres use $WORK (the run's temporary folder) and $PGBIN (PostgreSQL's bin folder),
# and set $PGDATA and $AS. The cluster listens only on a Unix socket in $WORK/pg.
PGDATA=
AS=

# PostgreSQL refuses to run as root: its cluster belongs to postgres (or nobody), which may
# only pass through $WORK. The cluster trusts whoever reaches its socket, so the socket's
# directory admits no one else.
#   start_postgres [-c SETTING=VALUE ...]: returns 1, showing PostgreSQL's log, if it fails.
start_postgres() {
    if [ "$(id -u)" -eq 0 ]; then
        owner=postgres
        id -u "$owner" >/dev/null 2>&1 || owner=nobody
        AS="runuser -u $owner --"
        chmod 711 "$WORK"
        mkdir -m 700 "$WORK/pg" && chown "$owner" "$WORK/pg" || return 1
    else
        mkdir -m 700 "$WORK/pg" || return 1
    fi
    $AS "$PGBIN/initdb" -D "$WORK/pg/data" -U larkspin -A trust -E UTF8 --locale=C.UTF-8 \
        >"$WORK/pg/initdb.log" 2>&1 || { cat "$WORK/pg/initdb.log"; return 1; }
    PGDATA=$WORK/pg/data
    $AS "$PGBIN/pg_ctl" -D "$PGDATA" -l "$WORK/pg/server.log" -w start -o \
        "-c listen_addresses='' -c unix_socket_directories='$WORK/pg' $*" \
        >/dev/null || { cat "$WORK/pg/server.log"; return 1; }
}

stop_postgres() {
    if [ -n "$PGDATA" ]; then
        $AS "$PGBIN/pg_ctl" -D "$PGDATA" -m fast -w stop >/dev/null 2>&1 || true
    fi
    PGDATA=
}
