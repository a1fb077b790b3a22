#!/usr/bin/env bash
# Usage: round_trips.sh PROGRAM
# What a run on a PostgreSQL store costs in exchanges with the server,
# counted by a proxy between them: at most 4 before the first prompt, 2 for
# a command that changes the stock or might, 1 for one that only reads; a
# command that reads goes on while another client holds the writers' lock;
# and a run that names no PostgreSQL store maps no PostgreSQL client library.
set -u
program=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
scratch=$(mktemp -d) || exit 1
source "$here/../store_runs.sh"
trap 'kill "$proxy" 2> /dev/null; stop_runs; stop_postgres; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }
proxy=

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
out=$(libraries_of)
[ -z "$out" ] || fail "a run without a store maps: $out"
out=$(libraries_of --store plain.db)
[ -z "$out" ] || fail "a run on an SQLite store maps: $out"

source "$here/../../postgres_server.sh"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start_postgres "$scratch/server" -c fsync=off -c listen_addresses=127.0.0.1 -c port="$port" ||
    { echo "FAIL: the server did not start"; exit 1; }
export PGPORT=$port
make_database counted
printf 'A Z s 100 n\nA W s 1 n\n' | "$program" --store "$(postgres_uri_of counted)" > /dev/null
out=$(libraries_of --store "$(postgres_uri_of counted)")
grep -q libpq <<< "$out" || fail "a run on PostgreSQL does not map its client library: $out"

python3 "$here/../../exchange_proxy.py" "$port" 0 counts > proxy.out &
proxy=$!
for _ in $(seq 500); do [ -s proxy.out ] && break; sleep 0.01; done
uri="postgresql://postgres@127.0.0.1:$(cat proxy.out)/counted"
count() { cat counts; }

start_run a "$uri"
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

# Readers wait for nobody: another client holds the writers' lock, and a
# command that reads answers at once.
psql -X -q -d "$(postgres_uri_of counted)" \
    -c 'BEGIN' -c 'LOCK TABLE stock IN SHARE ROW EXCLUSIVE MODE' -c 'SELECT pg_sleep(5)' -c 'COMMIT' &
holder=$!
for _ in $(seq 500); do
    [ "$(psql -X -A -t -d "$(postgres_uri_of counted)" -c "SELECT count(*) FROM pg_locks
         WHERE mode = 'ShareRowExclusiveLock' AND relation = 'stock'::regclass")" = 1 ] && break
    sleep 0.01
done
started=$(date +%s%N)
tell a 'F Y' 'n 5 s'
[ $(($(date +%s%N) - started)) -lt 2000000000 ] || fail "a read waited for the writers' lock"
wait "$holder"
end_run || fail "the counted run ended with status $?"
exit $failed
