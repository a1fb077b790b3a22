#!/usr/bin/env bash
# Usage: store_clerks.sh CASE PROGRAM
# Several runs, and other programs, on one store, one case a run: no update
# is lost in a race for the last units; each run follows what others
# committed; another program's lock is waited for, and only a wait past the
# limit fails; the history says who changed what; no command harms the
# store's own files; a store removed or replaced during a run fails the
# run; rows that got past the checks are refused; an older store is brought
# up to date; and a store killed while it is made leaves no stray file.
set -u
case=$1
program=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
source "$here/../cases.sh"
source "$here/store_runs.sh"
scratch=$(mktemp -d) || exit 1
trap 'stop_runs; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
name=$(basename "$program")
clerk=$(id -un)
when='[0-9-]{10} [0-9:]{8}'

stock_of() { sqlite3 "$1" "SELECT amount FROM stock WHERE id = '$2'"; }

# The race for the last units: four runs withdraw one unit 300 times each
# from 1000; exactly 1000 withdrawals go through.
case_race_for_the_last_units() {
    printf 'A LAST:1 s 1000 n\n' | "$program" --store race.db > /dev/null
    for run in 1 2 3 4; do
        yes 'D LAST:1 1' | head -n 300 | "$program" --store race.db > "race$run.out" &
    done
    wait
    withdrawn=$(cat race*.out | grep -c '^Amount: ')
    refused=$(cat race*.out | grep -c -e '^Not enough candy available.$' -e '^Product not in warehouse.$')
    [ "$withdrawn" = 1000 ] && [ "$refused" = 200 ] ||
        fail "the race: $withdrawn withdrawals and $refused refusals, not 1000 and 200"
    [ -z "$(stock_of race.db LAST:1)" ] || fail "units are left after the race: $(stock_of race.db LAST:1)"
}

# A run follows what another run and another program commit meanwhile, and
# a client reads what the run has shown. The run a goes on.
case_follows_other_runs_and_programs() {
    start_run a shared.db
    tell a 'A x s 5 n' '> A x s 5 n'
    tell a 'F x' 'n 5 s'
    [ "$(stock_of shared.db x)" = 5 ] || fail "a client does not read what the run showed"
    printf 'D x 2\n' | "$program" --store shared.db > /dev/null
    sqlite3 shared.db "UPDATE stock SET amount = amount + 10, shelf = 't' WHERE id = 'x';
                       INSERT INTO stock VALUES ('y', 7, 'ys', 'yn')"
    tell a 'D x 1' 'Amount: 12 Shelf: t'
    tell a 'F y' 'yn 7 ys'
    sqlite3 shared.db "DELETE FROM stock WHERE id = 'y'"
    tell a 'F y' 'Product not in warehouse.'
    printf 'E\nA z s 1 n\n' | "$program" --store shared.db > /dev/null
    tell a 'C' '1 different kinds of candy.'
    tell a 'A x s 2 n' '> A x s 2 n'
    [ "$(stock_of shared.db x)" = 2 ] || fail "after another run's E, x holds $(stock_of shared.db x)"
}

# The history: each change with its clerk and command, another program's
# changes without, and a client reads it all: the history of what the case
# above did, which it does first.
case_history_of_changes() {
    case_follows_other_runs_and_programs
    printf 'H x\n' >&3
    tell a 'C' '2 different kinds of candy.'
    lines=$(between a.out 'H x' C)
    lines_match "$lines" "$when $clerk: A x s 5 n -> 5
$when $clerk: D x 2 -> 3
$when \\(another program\\) -> 13
$when $clerk: D x 1 -> 12
$when $clerk: E -> 0
$when $clerk: A x s 2 n -> 2" || fail "H x printed: $lines"
    printf 'H\n' >&3
    end_run || fail "the first run ended with status $?"
    lines=$(between a.out H Q)
    lines_match "$lines" "$when $clerk: A x s 5 n
$when $clerk: D x 2
$when \\(another program\\): x -> 13
$when \\(another program\\): y -> 7
$when $clerk: D x 1
$when \\(another program\\): y -> 0
$when $clerk: E
$when $clerk: A z s 1 n
$when $clerk: A x s 2 n" || fail "H printed: $lines"
    [ "$(sqlite3 shared.db "SELECT count(*) FROM history WHERE clerk = '$clerk' AND command = 'D x 1'
                            AND id = 'x' AND amount_before = 13 AND amount_after = 12")" = 1 ] ||
        fail "a client reads the history: $(sqlite3 shared.db 'SELECT * FROM history')"
}

# A run follows another program's change of a product's id, and another
# run's command of very many products, which the history keeps as one entry.
case_follows_a_changed_id_and_a_large_command() {
    start_run f follow.db
    tell f 'A old s 3 n' '> A old s 3 n'
    sqlite3 follow.db "UPDATE stock SET id = 'new' WHERE id = 'old'"
    tell f 'F new' 'n 3 s'
    tell f 'F old' 'Product not in warehouse.'
    printf 'G 80000\n' | "$program" --store follow.db > /dev/null
    tell f 'C' "$(sqlite3 follow.db 'SELECT count(*) FROM stock') different kinds of candy."
    printf 'H old\n' >&3
    tell f 'F new' 'n 3 s'
    end_run || fail "the run that followed ended with status $?"
    lines=$(between f.out 'H old' 'F new')
    lines_match "$lines" "$when $clerk: A old s 3 n -> 3
$when \\(another program\\) -> 0
$when $clerk: G 80000 \\(changed too many products to list them one by one\\)" ||
        fail "H old printed: $lines"
}

case_history_needs_a_store() {
    [ "$(printf 'H\n' | "$program")" = "> H
History is kept only in a store: start with --store FILE.
> Q" ] || fail "H without a store"
}

# Another program's lock is waited for by a command that changes the stock
# (one that reads goes on at once); past the wait limit the run fails,
# showing nothing of the command it could not run. The store shared.db
# holds x. The lock is held for as many seconds as hold is told, or until
# the file release appears, whichever comes first.
hold() {
    rm -f held release
    printf '%s\n' 'touch held' "exec timeout $1 sh -c 'until [ -e release ]; do sleep 0.01; done'" > holding.sh
    printf 'BEGIN IMMEDIATE;\n.shell sh holding.sh\nCOMMIT;\n' | sqlite3 shared.db &
    for _ in $(seq 200); do [ -e held ] && break; sleep 0.01; done
}
locked_store() { printf 'A x s 2 n\n' | "$program" --store shared.db > /dev/null; }
case_waits_for_a_lock() {
    locked_store
    hold 1
    out=$(printf 'A waited s 1 n\n' | "$program" --store shared.db 2>&1)
    [ $? = 0 ] && [ "$(stock_of shared.db waited)" = 1 ] || fail "a held lock was not waited for: $out"
    wait
}
case_lock_held_past_the_wait() {
    locked_store
    hold 2
    out=$(printf 'F x\nA late s 1 n\n' | "$program" --store shared.db --wait 1 2>&1)
    status=$?
    [ $status = 1 ] && [ "$out" = "> F x
n 2 s
> $name: store shared.db: locked by another run or program for 1 s; the command did not run" ] ||
        fail "a lock held past the wait: status $status, $out"
    touch release
    wait
}

# No command writes or reads a file of the store, whatever its name: the
# store's own, a link, a hard link to its log, its log and the log's index.
case_refuses_the_stores_own_files() {
    printf 'A x s 2 n\nA z s 1 n\nA waited s 1 n\n' | "$program" --store shared.db > /dev/null
    ln -s shared.db link.db
    before=$(sqlite3 shared.db 'SELECT count(*) FROM history')
    start_run b shared.db
    tell b C '3 different kinds of candy.'
    ln shared.db-wal hard-wal
    while IFS='|' read -r command reply; do
        tell b "$command" "$reply"
    done << 'CASES'
W shared.db|Stock not saved: that is a file of the store.
W link.db|Stock not saved: that is a file of the store.
W hard-wal|Stock not saved: that is a file of the store.
W shared.db-wal|Stock not saved: that is a file of the store.
W ./shared.db-shm|Stock not saved: that is a file of the store.
R shared.db|Not loaded: that is a file of the store.
R link.db|Not loaded: that is a file of the store.
C|3 different kinds of candy.
CASES
    end_run || fail "the run that was refused its files ended with status $?"
    rm -f hard-wal
    [ "$(sqlite3 shared.db 'SELECT count(*) FROM history')" = "$before" ] || fail "the refused commands changed the store"
}

# A store removed, moved away or replaced during a run: the next command
# fails the run with the reason.
lost_mid_run() {
    local action=$1 reason=$2
    rm -rf gone && mkdir gone
    printf 'A q s 1 n\n' | "$program" --store gone/s.db > /dev/null
    start_run c gone/s.db
    tell c 'F q' 'n 1 s'
    eval "$action"
    printf 'A q s 1 n\n' >&3
    end_run
    status=$?
    [ $status = 1 ] && [ "$(cat c.err)" = "$name: store gone/s.db: $reason" ] ||
        fail "$action: status $status, $(cat c.err)"
    grep -q 'A q s 1 n' c.out && fail "$action: the command that failed was shown"
}
case_store_removed_mid_run() {
    lost_mid_run 'rm -rf gone' 'the store file was removed during the run'
}
case_store_moved_mid_run() {
    lost_mid_run 'mv gone/s.db gone/t.db' 'the store file is no longer where it was'
}
case_store_replaced_mid_run() {
    "$program" --store another.db < /dev/null > /dev/null
    lost_mid_run 'cp another.db gone/other.db && mv gone/other.db gone/s.db' \
        "another file took the store's place during the run"
}

# Rows that got past the store's checks make it damaged: refused, untouched.
case_damaged_rows_refused() {
    "$program" --store empty.db < /dev/null > /dev/null
    while IFS= read -r row; do
        cp empty.db bad.db
        sqlite3 bad.db "PRAGMA ignore_check_constraints = 1; INSERT INTO stock VALUES ($row)"
        before=$(md5sum < bad.db)
        out=$(printf 'C\n' | "$program" --store bad.db 2>&1)
        status=$?
        [ $status = 1 ] && grep -q "^$name: store bad.db: damaged: a row of the stock" <<< "$out" ||
            fail "the row ($row): status $status, $out"
        [ "$before" = "$(md5sum < bad.db)" ] || fail "the row ($row): the store was changed"
    done << 'ROWS'
'a', 2.7, 's', 'n'
'a', '7abc', 's', 'n'
'a', 4294967296, 's', 'n'
'a', 0, 's', 'n'
X'41', 1, 's', 'n'
'a', 1, X'41', 'n'
'a', 1, 's', X'41'
ROWS
}

# A store of the first version, without history, is brought up to date.
# The version of a store this program makes.
current_version() {
    "$program" --store made.db < /dev/null > /dev/null && sqlite3 made.db 'PRAGMA user_version'
}
case_older_store_brought_up_to_date() {
    sqlite3 old.db "CREATE TABLE stock (id TEXT NOT NULL PRIMARY KEY, amount INTEGER NOT NULL,
                    shelf TEXT NOT NULL, name TEXT NOT NULL) WITHOUT ROWID;
                    INSERT INTO stock VALUES ('kept', 4, 's', 'n');
                    PRAGMA application_id = 1464357701; PRAGMA user_version = 1"
    out=$(printf 'D kept 1\nH kept\n' | "$program" --store old.db 2>&1)
    grep -q "^Amount: 3 Shelf: s$" <<< "$out" && grep -q ": D kept 1 -> 3$" <<< "$out" &&
        [ "$(sqlite3 old.db 'PRAGMA user_version')" = "$(current_version)" ] || fail "an older store: $out"
}

# Killed while it makes a new store, at the moment the store would appear,
# a run leaves no file at all, hidden or not; let be, it makes one that
# opens.
case_killed_while_making_a_store() {
    strace -o /dev/null true 2> /dev/null || skip "strace cannot trace here"
    mkdir new
    { strace -f -o /dev/null -e trace=link,linkat -e inject=link,linkat:signal=KILL \
        "$program" --store new/s.db < /dev/null > /dev/null; } 2> /dev/null
    [ -z "$(ls -A new)" ] || fail "a run killed as it made a store left: $(ls -A new)"
    [ "$(printf 'C\n' | "$program" --store new/s.db 2>&1)" = "> C
0 different kinds of candy.
> Q" ] || fail "a new store does not open"
}

run_case "$case"
