#!/usr/bin/env bash
# Usage: round_trips.sh CASE RECORD PROGRAM
#        round_trips.sh start_server|stop_server RECORD
# What a run on a PostgreSQL store costs in exchanges with the server,
# counted by a proxy between them, one case a run, each in a database of
# its own on the server the suite shares (shared_server.sh; RECORD names
# it), which listens on a local TCP port too: at most 4 before the first
# prompt, 2 for a command that changes the stock or might, 1 for one that
# only reads; a command that reads goes on while another client holds the
# writers' lock; and a run that names no PostgreSQL store maps no
# PostgreSQL client library.
set -u
case=$1
record=$2
here=$(dirname "$(realpath "$0")")
source "$here/../../cases.sh"
source "$here/shared_server.sh"
case $case in
    start_server)
        port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        export PGPORT=$port
        start_shared_server "$record" -c listen_addresses=127.0.0.1 -c port="$port" &&
            echo "$port" > "$postgres_folder/../port"
        exit ;;
    stop_server) stop_shared_server "$record"; exit ;;
esac
program=$(realpath "$3")
source "$here/../store_runs.sh"
scratch=$(mktemp -d) || exit 1
proxy=
trap 'kill "$proxy" 2> /dev/null; stop_runs; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
name=$(basename "$program")

# The client libraries a run maps once it waits at its first prompt.
libraries_of() {
    rm -f m.in && mkfifo m.in
    "$program" "$@" < m.in > m.out 2>&1 &
    local pid=$!
    exec 4> m.in
    for _ in $(seq 1000); do [ "$(cat m.out)" = '> ' ] && break; sleep 0.01; done
    grep -oE 'lib(pq|gnutls|ldap|ssl)[^/ ]*\.so[.0-9]*' "/proc/$pid/maps" | sort -u
    exec 4>&-
    wait "$pid"
}

case_no_client_library_without_postgres() {
    out=$(libraries_of)
    [ -z "$out" ] || fail "a run without a store maps: $out"
    out=$(libraries_of --store plain.db)
    [ -z "$out" ] || fail "a run on an SQLite store maps: $out"
}

# The case's store on the shared server, which already holds Z and W.
counted() {
    use_shared_server "$record"
    case_database
    printf 'A Z s 100 n\nA W s 1 n\n' | "$program" --store "$uri" > /dev/null
}

case_client_library_on_postgres() {
    counted
    out=$(libraries_of --store "$uri")
    grep -q libpq <<< "$out" || fail "a run on PostgreSQL does not map its client library: $out"
}

case_exchanges_per_command() {
    counted
    python3 "$here/../../exchange_proxy.py" "$PGPORT" 0 counts > proxy.out &
    proxy=$!
    for _ in $(seq 500); do [ -s proxy.out ] && break; sleep 0.01; done
    count() { cat counts; }
    start_run a "postgresql://postgres@127.0.0.1:$(cat proxy.out)/$db"
    for _ in $(seq 1000); do [ "$(cat a.out)" = '> ' ] && break; sleep 0.01; done
    [ "$(count)" -le 4 ] || fail "the start took $(count) round trips"
    while IFS='|' read -r most command reply; do
        before=$(count)
        tell a "$command" "$reply"
        took=$(($(count) - before))
        [ "$took" -le "$most" ] || fail "$command took $took round trips, not at most $most"
    done << 'CASES'
2|D Z 1|Amount: 99 Shelf: s
2|A Y s 5 n|> A Y s 5 n
2|D Z 1000|Amount: 99 Shelf: s
2|D W 1|Amount: 0 Shelf: s
1|F Z|n 99 s
1|C|2 different kinds of candy.
1|L Y|Y  5  s  n
1|H none|No history of none.
CASES
    before=$(count)
    printf 'H\n' >&3
    for _ in $(seq 1000); do
        tail -n 2 a.out | grep -q ': D W 1$' && [ "$(tail -c 2 a.out)" = '> ' ] && break
        sleep 0.01
    done
    [ $(($(count) - before)) -le 1 ] || fail "H took $(($(count) - before)) round trips, not at most 1"
    end_run || fail "the counted run ended with status $?"
}

# Readers wait for nobody: another client holds the writers' lock, and a
# command that reads answers at once.
case_reads_pass_the_writers_lock() {
    counted
    printf 'A Y s 5 n\n' | "$program" --store "$uri" > /dev/null
    start_run a "$uri"
    tell a 'F Z' 'n 100 s'
    psql -X -q -d "$uri" \
        -c 'BEGIN' -c 'LOCK TABLE stock IN SHARE ROW EXCLUSIVE MODE' -c 'SELECT pg_sleep(5)' -c 'COMMIT' \
        > /dev/null 2> holder.err &
    holder=$!
    for _ in $(seq 500); do
        [ "$(psql -X -A -t -d "$uri" -c "SELECT count(*) FROM pg_locks
             WHERE mode = 'ShareRowExclusiveLock' AND relation = 'stock'::regclass
             AND database = (SELECT oid FROM pg_database WHERE datname = current_database())")" = 1 ] && break
        sleep 0.01
    done
    started=$(date +%s%N)
    tell a 'F Y' 'n 5 s'
    [ $(($(date +%s%N) - started)) -lt 2000000000 ] || fail "a read waited for the writers' lock"
    end_sleepers "$uri"
    wait "$holder"
    end_run || fail "the counted run ended with status $?"
}

run_case "$case"
