#!/usr/bin/env bash
# Usage: backup.sh CASE RECORD PROGRAM
#        backup.sh start_server|stop_server RECORD
# Backups and restores, one case a run; the PostgreSQL cases each in a
# database of their own on the server the suite shares (shared_server.sh;
# RECORD names it): a backup taken while four clerks work is a state the
# history reached, on either kind of store; a backup restored onto the other
# kind reads the same; a restore refuses a store that holds anything, and
# changes nothing, and a backup of a store it would refuse fails; a failed
# backup leaves no file; a backup replaces files only, through links; a
# clerk may back up a PostgreSQL store, and only its owner restore into it.
set -u
case=$1
record=$2
here=$(dirname "$(realpath "$0")")
source "$here/../cases.sh"
source "$here/postgres/shared_server.sh"
case $case in
    start_server) start_shared_server "$record"; exit ;;
    stop_server) stop_shared_server "$record"; exit ;;
esac
program=$(realpath "$3")
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
export TZ=UTC

# new_store KIND NAME: a store of that kind that does not exist yet, by name.
new_store() {
    if [ "$1" = sqlite ]; then
        echo "$scratch/$2.db"
        return
    fi
    local db=backup_${case}_$2
    db=${db:0:63}
    psql -X -q -d "$postgres_uri" -c "DROP DATABASE IF EXISTS \"$db\" WITH (FORCE)" \
        -c "CREATE DATABASE \"$db\"" > /dev/null 2>&1 || fail "the database $db was not made"
    postgres_uri_of "$db"
}

# history STORE: the history's entries, a line each, in order; a backup's
# or an SQLite store's by sqlite3, a PostgreSQL store's by psql.
history() {
    if [[ $1 == postgresql:* ]]; then
        psql -X -A -t -d "$1" -c "SELECT seq, command_no, convert_from(id, 'UTF8'), amount_before,
            amount_after, kind, convert_from(command, 'UTF8') FROM history ORDER BY seq"
    else
        sqlite3 "$1" "SELECT seq, command_no, id, amount_before, amount_after, kind, command
            FROM history ORDER BY seq"
    fi
}

# reads STORE: what L, H and a product's H print of it.
reads() { printf 'L\nH\nH P1\nH LAK:55102330:0512:330\n' | "$program" --store "$1" 2>&1; }

# A backup taken while four clerks feed commands is a state the history
# reached: its stock is what its own history replays to, each entry taking
# a product from the units the one before left, and its history is the
# start of the history the store ends with. The clerks stop half-way until
# a backup has caught some of their work, so at least one falls between
# their first command and their last, however slow the machine.
consistent_during_clerks() {
    local kind=$1 store clerk backups=0 between=0 total
    store=$(new_store "$kind" clerks)
    printf 'A P1 1.1 10 Start\n' | "$program" --store "$store" > /dev/null || fail "the store was not made"
    for clerk in 1 2 3 4; do
        RANDOM=$clerk
        for _ in $(seq 160); do
            if [ $((RANDOM % 3)) = 0 ]; then
                echo "D P$((RANDOM % 6 + 1)) $((RANDOM % 5 + 1))"
            else
                echo "A P$((RANDOM % 6 + 1)) 1.$clerk $((RANDOM % 9 + 1)) Candy $clerk"
            fi
        done > "clerk$clerk.in"
        # Fed ten lines at a time, so that the clerks work as the backups
        # are taken.
        (fed=0
        while mapfile -t -n 10 lines && [ ${#lines[@]} -gt 0 ]; do
            printf '%s\n' "${lines[@]}"
            sleep 0.02
            fed=$((fed + 10))
            for _ in $(seq 3000); do
                [ "$fed" != 80 ] || [ -e go_on ] && break
                sleep 0.02
            done
        done < "clerk$clerk.in") | "$program" --store "$store" --clerk "clerk$clerk" > "clerk$clerk.out" 2>&1 &
    done
    while [ -n "$(jobs -r)" ] && [ "$backups" -lt 200 ]; do
        backups=$((backups + 1))
        "$program" --store "$store" --backup "b$backups.db" || fail "backup $backups failed"
        [ "$backups" -lt 3 ] || [ "$(sqlite3 "b$backups.db" 'SELECT count(*) FROM history')" -lt 2 ] ||
            touch go_on
        sleep 0.02
    done
    wait
    history "$store" > final
    total=$(wc -l < final)
    for backup in $(seq "$backups"); do
        b=b$backup.db
        stock=$(sqlite3 "$b" "SELECT id, amount FROM stock ORDER BY id")
        replayed=$(sqlite3 "$b" "SELECT id, amount_after FROM history h
            WHERE seq = (SELECT max(seq) FROM history WHERE id = h.id) AND amount_after > 0 ORDER BY id")
        [ "$stock" = "$replayed" ] || fail "$b: its stock $stock is not its history's $replayed"
        broken=$(sqlite3 "$b" "SELECT count(*) FROM (SELECT amount_before,
            lag(amount_after, 1, 0) OVER (PARTITION BY id ORDER BY seq) AS previous FROM history)
            WHERE amount_before <> previous")
        [ "$broken" = 0 ] || fail "$b: $broken entries do not start from the units the one before left"
        history "$b" > taken
        cmp -s taken <(head -n "$(wc -l < taken)" final) || fail "$b: its history is not the start of the store's"
        [ "$(wc -l < taken)" -gt 1 ] && [ "$(wc -l < taken)" -lt "$total" ] && between=$((between + 1))
    done
    [ "$between" -gt 0 ] || fail "none of $backups backups fell between the first and the last of $total entries"
    for clerk in 1 2 3 4; do
        ! grep -v '^>\|^Amount\|^Not enough\|^Product not' "clerk$clerk.out" | grep -q . ||
            fail "clerk $clerk: $(grep -v '^>' "clerk$clerk.out" | head -n 3)"
    done
}

case_consistent_during_clerks_sqlite() { consistent_during_clerks sqlite; }
case_consistent_during_clerks_postgres() {
    use_shared_server "$record"
    consistent_during_clerks postgres
}

# fill STORE: commands of every kind, by a named clerk and not, with a
# product emptied and the stock emptied once.
fill() {
    printf 'R %s\nD LAK:55102330:0512:330 20\nA P1 1.1 5 Uusi\nD P1 5\nE\n' \
        "$here/../data/varasto.txt" | "$program" --store "$1" > /dev/null
    printf 'R %s\nD LAK:55102330:0512:330 3\nA P1 1.2 7 Uusi\nG 40\n' \
        "$here/../data/varasto.txt" | "$program" --store "$1" --clerk maija > /dev/null
}

# A backup of one kind of store restored onto the other kind reads the
# same: the stock, the history, a product's history; and the restored store
# goes on past the restored entries, as the original does (each kind numbers
# its commands in its own way, but always upward).
restored_reads_the_same() {
    local store restored out
    store=$(new_store "$1" original)
    restored=$(new_store "$2" restored)
    fill "$store"
    "$program" --store "$store" --backup copy.db || fail "the backup failed"
    # Every table of the store's, but those of the kind's own workings, is
    # in the backup, every row of it: a table added to the stores and not
    # to the backup's list is missed here.
    if [ "$1" = postgres ]; then
        for table in $(psql -X -A -t -d "$store" -c "SELECT tablename FROM pg_tables
            WHERE schemaname = current_schema() AND tablename NOT IN ('store_version', 'history_numbering', 'store_changes')"); do
            [ "$(psql -X -A -t -d "$store" -c "SELECT count(*) FROM $table")" = \
                "$(sqlite3 copy.db "SELECT count(*) FROM $table" 2>&1)" ] || fail "the backup's $table differs"
        done
    fi
    out=$("$program" --store "$restored" --restore copy.db 2>&1) || fail "the restore failed: $out"
    reads "$store" > original.out
    reads "$restored" > restored.out
    cmp -s original.out restored.out || fail "the restored store reads otherwise: $(diff original.out restored.out | head -n 5)"
    [ "$(wc -l < original.out)" -gt 40 ] || fail "too little read: $(cat original.out)"
    last=$(history "$restored" | tail -n 1 | cut -d '|' -f 2)
    printf 'D P1 1\n' | "$program" --store "$store" > /dev/null
    printf 'D P1 1\n' | "$program" --store "$restored" > /dev/null
    [ "$(history "$store" | tail -n 1 | cut -d '|' -f 1,3-)" = "$(history "$restored" | tail -n 1 | cut -d '|' -f 1,3-)" ] ||
        fail "the next entry differs: $(history "$store" | tail -n 1) and $(history "$restored" | tail -n 1)"
    [ "$(history "$restored" | tail -n 1 | cut -d '|' -f 2)" -gt "$last" ] ||
        fail "the next command is not numbered past $last: $(history "$restored" | tail -n 1)"
}

case_sqlite_restored_onto_postgres_reads_the_same() {
    use_shared_server "$record"
    restored_reads_the_same sqlite postgres
}
case_postgres_restored_onto_sqlite_reads_the_same() {
    use_shared_server "$record"
    restored_reads_the_same postgres sqlite
}

# A restore refuses a store that holds stock, history alone after E, or a
# catalogue alone: one line, status 1, and the store as it was.
restore_refuses_a_store_that_holds_anything() {
    local store before out status
    printf 'id,name,shelf\nP9,Nine,s\n' > records.csv
    for holds in stock history catalogue; do
        store=$(new_store "$1" "$holds")
        case $holds in
            stock) printf 'A P1 1.1 5 Old\n' | "$program" --store "$store" > /dev/null ;;
            history) printf 'A P1 1.1 5 Old\nE\n' | "$program" --store "$store" > /dev/null ;;
            catalogue) "$program" --store "$store" --catalogue-in records.csv > /dev/null ;;
        esac
        printf 'A P2 1.1 3 Backed\n' | "$program" --store "$scratch/source.db" > /dev/null
        "$program" --store "$scratch/source.db" --backup copy.db || fail "the backup failed"
        before=$(reads "$store"; history "$store")
        out=$("$program" --store "$store" --restore copy.db 2>&1)
        status=$?
        [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && grep -q 'it is not empty (it holds stock, history or a catalogue)' <<< "$out" ||
            fail "$1 holding $holds: status $status, $out"
        [ "$(reads "$store"; history "$store")" = "$before" ] || fail "$1 holding $holds was changed"
    done
}

case_restore_refuses_a_store_that_holds_anything_sqlite() { restore_refuses_a_store_that_holds_anything sqlite; }
case_restore_refuses_a_store_that_holds_anything_postgres() {
    use_shared_server "$record"
    restore_refuses_a_store_that_holds_anything postgres
}

# A backup whose rows no store's own writes leave, made by hand or
# damaged, is refused before anything is made: one line that names the
# row, status 1, no store file left behind on SQLite and nothing changed on
# PostgreSQL. Each case is one edit of a good backup.
restore_refuses_rows_no_store_leaves() {
    local source target out status edit
    source=$scratch/source.db
    printf 'A P1 1.1 5 Candy\nA P2 1.2 3 Toffee\nD P1 2\n' | "$program" --store "$source" > /dev/null
    printf 'id,price\nP1,1.20\n' > prices.csv
    "$program" --store "$source" --catalogue-in prices.csv || fail "the prices were not taken"
    "$program" --store "$source" --backup good.db || fail "the backup failed"
    while IFS='|' read -r edit why; do
        cp good.db hostile.db
        # As a hand would edit it: past the triggers that record the edit.
        sqlite3 hostile.db '.dbconfig enable_trigger off' "$edit" > /dev/null || fail "$edit: the edit failed"
        target=$(new_store "$1" "t$RANDOM")
        out=$("$program" --store "$target" --restore hostile.db 2>&1)
        status=$?
        [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && grep -q -- "$why" <<< "$out" ||
            fail "$edit: status $status, $out"
        if [ "$1" = sqlite ]; then
            [ -z "$(ls "$target"* 2> /dev/null)" ] || fail "$edit: left $(ls "$target"*)"
            # A store so edited is refused a backup, for the same reason:
            # a backup that no restore takes fails when it is made.
            cp "$source" hostile_store.db
            sqlite3 hostile_store.db '.dbconfig enable_trigger off' "$edit" > /dev/null
            out=$("$program" --store hostile_store.db --backup refused.db 2>&1)
            status=$?
            [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && grep -q -- "$why" <<< "$out" ||
                fail "$edit: the backup of such a store: status $status, $out"
            [ -z "$(ls refused.db* 2> /dev/null)" ] || fail "$edit: the backup left $(ls refused.db*)"
        else
            [ "$(history "$target" 2> /dev/null)" = "" ] || fail "$edit: the store was changed"
        fi
    done << 'CASES'
UPDATE history SET amount_after = 'many' WHERE seq = 1|history seq 1: amount_after holds
UPDATE history SET amount_before = 2.5 WHERE seq = 2|history seq 2: amount_before holds
UPDATE history SET command_no = 0 WHERE seq = 1|history entry 1: units or a command number
UPDATE history SET amount_before = -4 WHERE seq = 3|history entry 3: units or a command number
UPDATE history SET amount_after = 4294967296 WHERE seq = 2|history entry 2: units or a command number
UPDATE history SET changed_at = 'yesterday' WHERE seq = 2|history seq 2: changed_at holds
UPDATE history SET changed_at = '2026-02-30 10:00:00.000' WHERE seq = 1|history seq 1: changed_at holds
UPDATE history SET clerk = x'41' WHERE seq = 1|history seq 1: clerk holds
UPDATE catalogue_changes SET changed_at = 20261210 WHERE seq = 1|catalogue_changes seq 1: changed_at holds
UPDATE stock SET amount = 4 WHERE id = 'P1'|product P1: the stock does not hold
DELETE FROM stock WHERE id = 'P2'|product P2: the stock does not hold
INSERT INTO history (command_no, changed_at, id, amount_before, amount_after, kind) VALUES (9, '2026-01-01 00:00:00.000', 'P9', 0, 6, 'delivery')|product P9: the stock does not hold
INSERT INTO lots (id, best_before, units, received_at) VALUES ('P2', '2027-02-29', 1, '2026-01-01 00:00:00.000')|lots lot 1: best_before holds
INSERT INTO lots (id, best_before, units, received_at) VALUES ('P2', '2027-01-31', 2, '2026-01-01 00:00:00.000'), ('P2', '2027-03-01', 2, '2026-01-01 00:00:00.000')|product P2: its dated lots hold more
INSERT INTO lots (id, best_before, units, received_at) VALUES ('P7', '2027-01-31', 1, '2026-01-01 00:00:00.000')|product P7: its dated lots hold more
INSERT INTO lots (lot, id, best_before, units, received_at) VALUES (-4, 'P2', '2027-01-31', 1, '2026-01-01 00:00:00.000')|lot -4: a number that no delivery gives
INSERT INTO lots (id, best_before, units, received_at) VALUES ('P2', '0000-12-31', 1, '2026-01-01 00:00:00.000')|lots lot 1: best_before holds
UPDATE history SET changed_at = '0000-06-01 10:00:00.000' WHERE seq = 1|history seq 1: changed_at holds
PRAGMA ignore_check_constraints = ON; UPDATE stock SET amount = 0 WHERE id = 'P1'|product P1: units that no product holds
PRAGMA ignore_check_constraints = ON; INSERT INTO lots (id, best_before, units, received_at) VALUES ('P2', '2027-01-31', -1, '2026-01-01 00:00:00.000')|lot 1: units that no lot holds
PRAGMA ignore_check_constraints = ON; UPDATE catalogue SET cost_cents = -5 WHERE id = 'P2'|record P2: a price, cost or level below 0
UPDATE history SET command_no = 9223372036854775807|history entry 1: a number past those a store can go on from
UPDATE history SET seq = 9223372036854775807 WHERE seq = 3|history entry 9223372036854775807: a number past
INSERT INTO lots (lot, id, best_before, units, received_at) VALUES (9223372036854775807, 'P2', '2027-01-31', 1, '2026-01-01 00:00:00.000')|lot 9223372036854775807: a number past
UPDATE catalogue_changes SET seq = 4611686018427387904|catalogue change 4611686018427387904: a number past
CASES
    # And the good backup itself goes in.
    target=$(new_store "$1" restored)
    out=$("$program" --store "$target" --restore good.db 2>&1) || fail "the good backup was refused: $out"
    [ "$(reads "$target")" = "$(reads "$source")" ] || fail "the good backup reads otherwise"
}

case_restore_refuses_rows_no_store_leaves_sqlite() { restore_refuses_rows_no_store_leaves sqlite; }
case_restore_refuses_rows_no_store_leaves_postgres() {
    use_shared_server "$record"
    restore_refuses_rows_no_store_leaves postgres
}

# A backup that fails, to a place that cannot be written or from a store
# that is none, says so in one line, exits 1, and leaves no file, not even
# a temporary one.
case_failed_backup_leaves_no_file() {
    local out status
    printf 'A P1 1.1 5 Candy\n' | "$program" --store store.db > /dev/null
    mkdir target && touch a_file && echo 'not;a;store' > stock.txt
    while IFS='|' read -r from to; do
        out=$("$program" --store "$from" --backup "$to" 2>&1)
        status=$?
        [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && [ -n "$out" ] ||
            fail "$from to $to: status $status, $out"
        [ "$to" = "$from" ] || [ ! -e "$to" ] || fail "$from to $to: the file is there"
        [ -z "$(ls -A target)" ] || fail "$from to $to: left $(ls -A target)"
    done << 'CASES'
store.db|/proc/no/such/folder/b.db
store.db|a_file/b.db
store.db|/proc/b.db
stock.txt|target/b.db
missing.db|target/b.db
store.db|store.db
CASES
    [ "$(printf 'C\n' | "$program" --store store.db)" = '> C
1 different kinds of candy.
> Q' ] || fail "the store was changed"
}

# A backup is made beside its place and renamed into it: it goes through
# links to the file they lead to, as W writes through them, and takes the
# place of nothing else (a pipe, a folder, a device), nor of the logs that
# SQLite keeps beside the store, there or not yet; a restore reads files
# only.
case_backup_goes_through_links_and_replaces_only_files() {
    local out status
    printf 'A P1 1.1 5 Candy\n' | "$program" --store store.db > /dev/null
    mkfifo pipe && mkdir folder && touch real.db
    ln -s real.db link.db && ln -s folder/new.db dangling.db && ln -s pipe pipe_link
    ln -s store.db store_link.db
    while IFS='|' read -r to lands; do
        out=$("$program" --store store.db --backup "$to" 2>&1)
        status=$?
        if [ "$lands" = - ]; then
            [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] || fail "$to: status $status, $out"
        else
            [ $status = 0 ] || fail "$to: status $status, $out"
            [ "$(reads "$lands")" = "$(reads store.db)" ] || fail "$to: $lands is no copy"
            [ -L "$to" ] || fail "$to: the link was replaced"
        fi
    done << 'CASES'
link.db|real.db
dangling.db|folder/new.db
pipe|-
pipe_link|-
folder|-
store.db-wal|-
store.db-journal|-
CASES
    # Nor of the store's logs when the store is named through a link.
    for to in store.db-wal store.db-shm "$PWD/store.db-journal"; do
        out=$("$program" --store store_link.db --backup "$to" 2>&1)
        status=$?
        [ $status = 1 ] && [ ! -e "$to" ] || fail "$to, the store through a link: status $status, $out"
    done
    [ -p pipe ] && [ -d folder ] || fail "the pipe or the folder was replaced"
    # Nor is a restore read from anything but a file: a pipe held it.
    for from in pipe folder; do
        out=$(timeout 10 "$program" --store restored.db --restore "$from" 2>&1)
        status=$?
        [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && [ ! -e restored.db ] ||
            fail "a restore from $from: status $status, $out"
    done
    [ -z "$(ls -A folder | grep -v '^new.db$')" ] && [ ! -e store.db-wal ] && [ ! -e store.db-journal ] ||
        fail "left $(ls -A . folder)"
}

# Another login that may only read an SQLite store (not write it, though,
# as SQLite's readers must, make its log's index in its folder, as in the
# folder of a group) backs it up all the same; in a folder it may not
# write, it is told what it lacks, not that the store is damaged. One that
# may write an empty store, but does not own it, may not restore into it.
case_reader_backs_up_and_only_the_owner_restores_sqlite() {
    [ "$(id -u)" = 0 ] && id nobody > /dev/null 2>&1 || skip "not root, or no login nobody"
    local out status
    chmod 755 "$scratch"
    mkdir -m 1777 open
    printf 'A P1 1.1 5 Candy\n' | "$program" --store open/store.db > /dev/null
    chmod 644 open/store.db*
    out=$(runuser -u nobody -- "$program" --store open/store.db --backup open/copy.db 2>&1) ||
        fail "a reader's backup failed: $out"
    [ "$(reads open/copy.db)" = "$(reads open/store.db)" ] || fail "the reader's backup reads otherwise"
    mkdir -m 755 closed
    cp open/store.db closed/store.db
    out=$(runuser -u nobody -- "$program" --store closed/store.db --backup open/closed.db 2>&1) &&
        fail "a reader backed up a store in a folder it may not write: $out"
    [ "$(wc -l <<< "$out")" = 1 ] && grep -q "a folder it may write" <<< "$out" &&
        ! grep -q damaged <<< "$out" || fail "a reader in a folder it may not write was told: $out"
    [ ! -e open/closed.db ] || fail "the refused backup left its file"
    printf 'C\n' | "$program" --store open/empty.db > /dev/null
    chmod 666 open/empty.db*
    out=$(runuser -u nobody -- "$program" --store open/empty.db --restore open/copy.db 2>&1)
    status=$?
    [ $status = 1 ] && grep -q "only the store's owner" <<< "$out" ||
        fail "another login restored: status $status, $out"
    [ "$(history open/empty.db)" = "" ] || fail "another login's restore changed the store"
}

# A clerk of a PostgreSQL store, who may not write its history, backs it up
# all the same; restoring into a store is its owner's alone.
case_clerk_backs_up_postgres() {
    use_shared_server "$record"
    local store empty clerk clerk_uri out status
    store=$(new_store postgres store)
    empty=$(new_store postgres empty)
    fill "$store"
    printf 'C\n' | "$program" --store "$empty" > /dev/null
    clerk=backup_clerk
    psql -X -q -d "$postgres_uri" -c "DROP ROLE IF EXISTS $clerk" \
        -c "CREATE ROLE $clerk LOGIN IN ROLE warehouse_clerk" > /dev/null 2>&1
    clerk_uri=${store/user=postgres/user=$clerk}
    out=$("$program" --store "$clerk_uri" --backup copy.db 2>&1) || fail "the clerk's backup failed: $out"
    [ "$(reads copy.db)" = "$(reads "$store")" ] || fail "the clerk's backup reads otherwise"
    out=$("$program" --store "${empty/user=postgres/user=$clerk}" --restore copy.db 2>&1)
    status=$?
    [ $status = 1 ] && grep -q "only the store's owner" <<< "$out" ||
        fail "a clerk restored: status $status, $out"
    [ "$(history "$empty")" = "" ] || fail "the clerk's restore changed the store"
    out=$("$program" --store "$empty" --restore copy.db 2>&1) || fail "the owner's restore failed: $out"
    psql -X -q -d "$postgres_uri" -c "DROP OWNED BY $clerk CASCADE" -c "DROP ROLE $clerk" > /dev/null 2>&1
}

run_case "$case"
