#!/usr/bin/env bash
# Usage: store_postgres.sh PROGRAM OTHER_PROGRAM TRANSCRIPTS DATA
# The stock kept in PostgreSQL, on a server of the test's own: transcripts
# read the same as without a store, and the stock comes back in either
# program; runs race for the last units and follow what others commit;
# the history; a lock held by another client; a server that cannot be
# reached, or that stops mid-run; tables of another shape, a newer store.
set -u
program=$(realpath "$1")
other=$(realpath "$2")
transcripts=$(realpath "$3")
data=$(realpath "$4")
here=$(dirname "$(realpath "$0")")
scratch=$(mktemp -d) || exit 1
source "$here/../store_runs.sh"
trap 'stop_runs; stop_postgres; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }
name=$(basename "$program")
# The history's clerk is the server's login.
clerk=postgres

source "$here/../../postgres_server.sh"
start_postgres "$scratch/server" -c fsync=off || { echo "FAIL: the server did not start"; exit 1; }
sql() { psql -X -q -A -t -v ON_ERROR_STOP=1 -d "$(postgres_uri_of "$1")" -c "$2"; }
stock_of() { sql "$1" "SELECT amount FROM stock WHERE id = '$2'"; }

# Every transcript without an efficiency test reads the same with a store,
# and the stock it leaves is there for the next run, in one program or the
# other, which then empties it for the next transcript.
make_database transcripts
uri=$(postgres_uri_of transcripts)
# One client for all the counts: a client started per query costs more than
# the runs it checks.
coproc counting { psql -X -q -A -t -d "$uri"; }
# Kept aside: bash forgets them once the client has ended.
counting_pid=$counting_PID
counting_in=${counting[1]}
counting_out=${counting[0]}
stored_count() {
    echo 'SELECT count(*) FROM stock;' >&"$counting_in"
    read -r -t 10 count_read <&"$counting_out" && echo "$count_read"
}
reader=$other
for input in "$transcripts"/*.in; do
    grep -q '^P' "$input" && continue
    story=$(basename "$input" .in)
    rm -rf work && cp -R "$data" work
    (cd work && "$program" --store "$uri" < "$input" > ../out 2> ../err)
    cmp -s out "${input%.in}.out" || fail "$story: the transcript differs with a store: $(cat err)"
    stored=$(stored_count)
    count=$(printf 'C\nE\n' | "$reader" --store "$uri" | sed -n 's/ different kinds of candy.$//p')
    [ "$count" = "$stored" ] || fail "$story: $(basename "$reader") found $count kinds, not $stored"
    reader=$([ "$reader" = "$other" ] && echo "$program" || echo "$other")
done
exec {counting_in}>&-
wait "$counting_pid" 2> /dev/null
out=$(printf 'P 3 1\n' | "$program" --store "$uri" 2>&1)
grep -qx 'The efficiency test empties the stock: it is not run on a stored stock.' <<< "$out" ||
    fail "P was not refused: $out"

# The race for the last units: exactly 1000 of 1200 withdrawals go through.
make_database race
uri=$(postgres_uri_of race)
printf 'A LAST:1 s 1000 n\n' | "$program" --store "$uri" > /dev/null
for run in 1 2 3 4; do
    yes 'D LAST:1 1' | head -n 300 | "$program" --store "$uri" > "race$run.out" &
done
wait
withdrawn=$(cat race*.out | grep -c '^Amount: ')
refused=$(cat race*.out | grep -c -e '^Not enough candy available.$' -e '^Product not in warehouse.$')
[ "$withdrawn" = 1000 ] && [ "$refused" = 200 ] ||
    fail "the race: $withdrawn withdrawals and $refused refusals, not 1000 and 200"

# A run follows another run and another client, and the history says who
# did what.
make_database shared
uri=$(postgres_uri_of shared)
start_run a "$uri"
tell a 'A x s 5 n' '> A x s 5 n'
[ "$(stock_of shared x)" = 5 ] || fail "a client does not read what the run showed"
printf 'D x 2\n' | "$program" --store "$uri" > /dev/null
sql shared "UPDATE stock SET amount = amount + 10, shelf = 't' WHERE id = 'x';
            INSERT INTO stock VALUES ('y', 7, 'ys', 'yn')"
tell a 'D x 1' 'Amount: 12 Shelf: t'
tell a 'F y' 'yn 7 ys'
sql shared "DELETE FROM stock WHERE id = 'y'; UPDATE stock SET id = 'x2' WHERE id = 'x'"
tell a 'F y' 'Product not in warehouse.'
tell a 'F x2' 'n 12 t'
printf 'G 80000\n' | "$program" --store "$uri" > /dev/null
tell a 'C' "$(sql shared 'SELECT count(*) FROM stock') different kinds of candy."
printf 'H x\nH\n' >&3
tell a 'F x2' 'n 12 t'
end_run || fail "the run that followed ended with status $?"
when='[0-9-]{10} [0-9:]{8}'
lines=$(between a.out 'H x' H)
lines_match "$lines" "$when $clerk: A x s 5 n -> 5
$when $clerk: D x 2 -> 3
$when $clerk \\(another program\\) -> 13
$when $clerk: D x 1 -> 12
$when $clerk \\(another program\\) -> 0
$when $clerk: G 80000 \\(changed too many products to list them one by one\\)" ||
    fail "H x printed: $lines"
lines=$(between a.out H 'F x2')
lines_match "$lines" "$when $clerk: A x s 5 n
$when $clerk: D x 2
$when $clerk \\(another program\\): x -> 13, y -> 7
$when $clerk: D x 1
$when $clerk \\(another program\\): y -> 0, x -> 0, x2 -> 12
$when $clerk: G 80000" || fail "H printed: $lines"

# A lock another client holds is waited for; past the wait, the run fails
# and does not show the command, whatever wait the URI's own options name.
hold() {
    sql shared "BEGIN; LOCK TABLE stock IN EXCLUSIVE MODE; SELECT pg_sleep($1); COMMIT" > /dev/null &
    for _ in $(seq 200); do
        [ "$(sql shared "SELECT count(*) FROM pg_locks WHERE mode = 'ExclusiveLock' AND relation = 'stock'::regclass")" = 1 ] && break
        sleep 0.01
    done
}
start_run c "$uri"
tell c 'F x2' 'n 12 t'
hold 1
tell c 'A waited s 1 n' '> A waited s 1 n'
end_run || fail "a held lock was not waited for: $(cat c.err)"
start_run d "$uri&options=-c%20lock_timeout%3D0" --wait 1
tell d 'F x2' 'n 12 t'
hold 2
printf 'A late s 1 n\n' >&3
end_run
status=$?
[ $status = 1 ] && grep -q 'locked by another run or program for 1 s; the command did not run' d.err &&
    ! grep -q 'A late' d.out || fail "a lock held past the wait: status $status, $(cat d.err)"
wait

# Tables of another shape, and a store of a newer version, are refused
# untouched; a server that cannot be reached, at once and in one line.
make_database other
sql other 'CREATE TABLE stock (x integer); INSERT INTO stock VALUES (7)'
make_database newer
printf 'C\n' | "$program" --store "$(postgres_uri_of newer)" > /dev/null
sql newer 'UPDATE store_version SET version = version + 1'
while IFS='|' read -r where reason; do
    started=$(date +%s)
    out=$(printf 'C\n' | "$program" --store "$where" 2>&1)
    status=$?
    [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && grep -Eq "^$name: store .*: $reason" <<< "$out" ||
        fail "$where: status $status, $out"
    [ $(($(date +%s) - started)) -le 15 ] || fail "$where took more than 15 s"
done << CASES
$(postgres_uri_of other)|its tables stock, history or store_version have another shape: not a store
$(postgres_uri_of newer)|a store of a newer version of this program
postgresql:///gone?host=$scratch/nowhere&user=postgres|cannot connect: .*No such file or directory.*
CASES
[ "$(sql other 'SELECT x FROM stock')" = 7 ] || fail "tables of another shape were changed"

# A server that stops mid-run: the next command ends the run with the
# reason, and whatever the run showed is there once the server is back.
make_database stopped
uri=$(postgres_uri_of stopped)
start_run b "$uri"
tell b 'A kept s 5 n' '> A kept s 5 n'
tell b 'D kept 2' 'Amount: 3 Shelf: s'
stop_postgres
printf 'A lost s 1 n\n' >&3
end_run
status=$?
[ $status = 1 ] && grep -Eq "^$name: store postgresql://[^ ]*: .+" b.err ||
    fail "a server that stopped: status $status, $(cat b.err)"
grep -q 'A lost' b.out && fail "the command the server did not commit was shown"
start_postgres_again > /dev/null
[ "$(stock_of stopped kept)" = 3 ] || fail "after the server came back, kept holds $(stock_of stopped kept)"
exit $failed
