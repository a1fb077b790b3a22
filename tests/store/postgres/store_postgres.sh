#!/usr/bin/env bash
# Usage: store_postgres.sh CASE RECORD PROGRAM OTHER_PROGRAM TRANSCRIPTS DATA
#        store_postgres.sh start_server|stop_server RECORD
# The stock kept in PostgreSQL, one case a run, each in a database of its
# own on the server the suite shares (shared_server.sh; RECORD names it):
# transcripts read the same as without a store, and the stock comes back in
# either program; runs race for the last units and follow what others
# commit; the history; a lock held by another client; a server that cannot
# be reached, or that stops mid-run (on a server of the case's own); tables
# of another shape, a newer store.
set -u
case=$1
record=$2
here=$(dirname "$(realpath "$0")")
source "$here/../../cases.sh"
source "$here/shared_server.sh"
case $case in
    start_server) start_shared_server "$record"; exit ;;
    stop_server) stop_shared_server "$record"; exit ;;
esac
program=$(realpath "$3")
other=$(realpath "$4")
transcripts=$(realpath "$5")
data=$(realpath "$6")
source "$here/../store_runs.sh"
scratch=$(mktemp -d) || exit 1
trap 'stop_runs; stop_private_server; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
name=$(basename "$program")
# The history's clerk is the server's login.
clerk=postgres
when='[0-9-]{10} [0-9:]{8}'

sql() { psql -X -q -A -t -v ON_ERROR_STOP=1 -d "$(postgres_uri_of "$1")" -c "$2"; }
stock_of() { sql "$1" "SELECT amount FROM stock WHERE id = '$2'"; }

# Every transcript without an efficiency test reads the same with a store,
# and the stock it leaves is there for the next run, in one program or the
# other, which then empties it for the next transcript.
case_transcripts() {
    use_shared_server "$record"
    case_database
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
}

case_efficiency_test_refused() {
    use_shared_server "$record"
    case_database
    out=$(printf 'P 3 1\n' | "$program" --store "$uri" 2>&1)
    grep -qx 'The efficiency test empties the stock: it is not run on a stored stock.' <<< "$out" ||
        fail "P was not refused: $out"
}

# The race for the last units: exactly 1000 of 1200 withdrawals go through.
case_race_for_the_last_units() {
    use_shared_server "$record"
    case_database
    printf 'A LAST:1 s 1000 n\n' | "$program" --store "$uri" > /dev/null
    for run in 1 2 3 4; do
        yes 'D LAST:1 1' | head -n 300 | "$program" --store "$uri" > "race$run.out" &
    done
    wait
    withdrawn=$(cat race*.out | grep -c '^Amount: ')
    refused=$(cat race*.out | grep -c -e '^Not enough candy available.$' -e '^Product not in warehouse.$')
    [ "$withdrawn" = 1000 ] && [ "$refused" = 200 ] ||
        fail "the race: $withdrawn withdrawals and $refused refusals, not 1000 and 200"
}

# A run follows another run and another client. The run a goes on.
case_follows_other_runs_and_clients() {
    use_shared_server "$record"
    case_database
    start_run a "$uri"
    tell a 'A x s 5 n' '> A x s 5 n'
    [ "$(stock_of "$db" x)" = 5 ] || fail "a client does not read what the run showed"
    printf 'D x 2\n' | "$program" --store "$uri" > /dev/null
    sql "$db" "UPDATE stock SET amount = amount + 10, shelf = 't' WHERE id = 'x';
               INSERT INTO stock VALUES ('y', 7, 'ys', 'yn')"
    tell a 'D x 1' 'Amount: 12 Shelf: t'
    tell a 'F y' 'yn 7 ys'
    sql "$db" "DELETE FROM stock WHERE id = 'y'; UPDATE stock SET id = 'x2' WHERE id = 'x'"
    tell a 'F y' 'Product not in warehouse.'
    tell a 'F x2' 'n 12 t'
    printf 'G 80000\n' | "$program" --store "$uri" > /dev/null
    tell a 'C' "$(sql "$db" 'SELECT count(*) FROM stock') different kinds of candy."
}

# The history says who did what: the history of what the case above did,
# which it does first.
case_history_of_changes() {
    case_follows_other_runs_and_clients
    printf 'H x\nH\n' >&3
    tell a 'F x2' 'n 12 t'
    end_run || fail "the run that followed ended with status $?"
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
}

# A lock another client holds is waited for; past the wait, the run fails
# and does not show the command, whatever wait the URI's own options name.
# The store holds x2.
hold() {
    sql "$db" "BEGIN; LOCK TABLE stock IN EXCLUSIVE MODE; SELECT pg_sleep($1); COMMIT" > /dev/null 2> holder.err &
    for _ in $(seq 200); do
        [ "$(sql "$db" "SELECT count(*) FROM pg_locks WHERE mode = 'ExclusiveLock' AND relation = 'stock'::regclass
                        AND database = (SELECT oid FROM pg_database WHERE datname = current_database())")" = 1 ] && break
        sleep 0.01
    done
}
locked_store() {
    use_shared_server "$record"
    case_database
    printf 'A x2 t 12 n\n' | "$program" --store "$uri" > /dev/null
}
case_waits_for_a_lock() {
    locked_store
    start_run c "$uri"
    tell c 'F x2' 'n 12 t'
    hold 1
    tell c 'A waited s 1 n' '> A waited s 1 n'
    end_run || fail "a held lock was not waited for: $(cat c.err)"
    wait
}
case_lock_held_past_the_wait() {
    locked_store
    start_run d "$uri&options=-c%20lock_timeout%3D0" --wait 1
    tell d 'F x2' 'n 12 t'
    hold 2
    printf 'A late s 1 n\n' >&3
    end_run
    status=$?
    [ $status = 1 ] && grep -q 'locked by another run or program for 1 s; the command did not run' d.err &&
        ! grep -q 'A late' d.out || fail "a lock held past the wait: status $status, $(cat d.err)"
    end_sleepers "$uri"
    wait
}

# Tables of another shape, and a store of a newer version, are refused
# untouched; a server that cannot be reached, at once and in one line.
refused() {
    local where=$1 reason=$2
    started=$(date +%s)
    out=$(printf 'C\n' | "$program" --store "$where" 2>&1)
    status=$?
    [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && grep -Eq "^$name: store .*: $reason" <<< "$out" ||
        fail "$where: status $status, $out"
    [ $(($(date +%s) - started)) -le 15 ] || fail "$where took more than 15 s"
}
case_refuses_tables_of_another_shape() {
    use_shared_server "$record"
    case_database
    sql "$db" 'CREATE TABLE stock (x integer); INSERT INTO stock VALUES (7)'
    refused "$uri" 'its tables stock, history or store_version have another shape: not a store'
    [ "$(sql "$db" 'SELECT x FROM stock')" = 7 ] || fail "tables of another shape were changed"
}
case_refuses_a_newer_store() {
    use_shared_server "$record"
    case_database
    printf 'C\n' | "$program" --store "$uri" > /dev/null
    sql "$db" 'UPDATE store_version SET version = version + 1'
    refused "$uri" 'a store of a newer version of this program'
}
case_server_out_of_reach() {
    refused "postgresql:///gone?host=$scratch/nowhere&user=postgres" 'cannot connect: .*No such file or directory.*'
}

# A server that stops mid-run: the next command ends the run with the
# reason, and whatever the run showed is there once the server is back. The
# case stops a server of its own.
case_server_stops_mid_run() {
    start_private_server
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
}

run_case "$case"
