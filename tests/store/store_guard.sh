#!/usr/bin/env bash
# Usage: store_guard.sh CASE PROGRAM
# What nobody may do to a store in SQLite, by mistake or on purpose, one
# case a run: write over its live log through a link, share it under two
# names and lose updates, keep its lock after running out of memory, or
# record in its history a command that changed nothing, or a clerk the
# system does not know.
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
login=$(id -un)
stock() { sqlite3 "$1" "SELECT group_concat(id || '=' || amount, ',') FROM (SELECT * FROM stock ORDER BY id)"; }

# The store real/target.db, made by a run of COMMANDS.
target() { mkdir -p real && printf "$1" | "$program" --store real/target.db > /dev/null; }

# The store's own files are refused by whatever name reaches them, and what
# the run showed is what a killed run leaves.
case_refuses_its_files_through_a_link() {
    target 'A K1 1.0 5 Kay1\n'
    ln -s real/target.db link.db
    start_run a link.db
    while IFS='|' read -r command reply; do
        tell a "$command" "$reply"
    done << CASES
A K2 1.0 7 Kay2|> A K2 1.0 7 Kay2
D K1 1|Amount: 4 Shelf: 1.0
W real/target.db-wal|Stock not saved: that is a file of the store.
W ../$(basename "$scratch")/real/./target.db-shm|Stock not saved: that is a file of the store.
R real/target.db-wal|Not loaded: that is a file of the store.
W real/target.db-journal|Stock not saved: that is a file of the store.
A K3 1.0 9 Kay3|> A K3 1.0 9 Kay3
C|3 different kinds of candy.
CASES
    kill -9 "$run"
    wait "$run" 2> /dev/null
    [ "$(stock real/target.db)" = "K1=4,K2=7,K3=9" ] || fail "after a kill the store holds $(stock real/target.db)"
}

# A store with two names would keep a log beside each: refused at the
# start, by either name, untouched.
case_refuses_a_store_with_two_names() {
    target 'A K1 1.0 5 Kay1\n'
    ln real/target.db hard.db
    before=$(md5sum < real/target.db)
    for store in hard.db real/target.db; do
        out=$(printf 'C\n' | "$program" --store "$store" 2>&1)
        status=$?
        [ $status = 1 ] && [ "$out" = "$name: store $store: the store file has 2 names (hard links): runs on different names would not see each other's changes; keep one and remove the others" ] ||
            fail "a store with two names, as $store: status $status, $out"
    done
    [ "$before" = "$(md5sum < real/target.db)" ] || fail "a store with two names was changed"
}

# The history holds what happened: a command refused, a file not loaded, a
# withdrawal that leaves a product as another command found it, leave
# nothing; the clerk is the system's login, whatever the environment says.
case_history_leaves_out_what_changed_nothing() {
    target 'A K1 1.0 5 Kay1\n'
    target 'A K2 1.0 7 Kay2\nD K1 1\nA K3 1.0 9 Kay3\n'
    printf 'D K1 9\nR missing.txt\nD nothing 1\nA K1 1.0 0 Kay1\n' |
        USER=mallory LOGNAME=mallory "$program" --store real/target.db --clerk maija > /dev/null
    out=$(printf 'H\n' | "$program" --store real/target.db | sed -n '2,$p' | sed '$d')
    lines_match "$out" "[0-9-]{10} [0-9:]{8} $login: A K1 1.0 5 Kay1
[0-9-]{10} [0-9:]{8} $login: A K2 1.0 7 Kay2
[0-9-]{10} [0-9:]{8} $login: D K1 1
[0-9-]{10} [0-9:]{8} $login: A K3 1.0 9 Kay3" || fail "commands that changed nothing are in the history: $out"
}

# Each command of a script's block is recorded, even one whose change a
# later command of the block took back, or emptied away.
case_history_of_a_block() {
    printf 'A LAK:2 s 45 n\nD LAK:2 45\nA LAK:4 s 5 n\nE\nH LAK:2\nH LAK:4\n' |
        "$program" --store block.db > block.out
    lines_match "$(between block.out 'H LAK:2' Q)" "[0-9-]{10} [0-9:]{8} $login: A LAK:2 s 45 n -> 45
[0-9-]{10} [0-9:]{8} $login: D LAK:2 45 -> 0
> H LAK:4
[0-9-]{10} [0-9:]{8} $login: A LAK:4 s 5 n -> 5
[0-9-]{10} [0-9:]{8} $login: E -> 0" || fail "a block's commands in the history: $(cat block.out)"
}

# A name given with --clerk stands beside the system's login.
case_history_names_a_given_clerk() {
    target 'A K2 1.0 7 Kay2\n'
    printf 'D K2 1\n' | USER=mallory "$program" --store real/target.db --clerk maija > /dev/null
    out=$(printf 'H K2\n' | "$program" --store real/target.db | sed -n 3p)
    grep -Eqx "[0-9-]{10} [0-9:]{8} maija \\($login\\): D K2 1 -> 6" <<< "$out" ||
        fail "a named clerk: $out"
}

# Another login's run is recorded as its own, whatever its environment says.
case_history_takes_the_runs_login() {
    [ "$(id -u)" = 0 ] && id nobody > /dev/null 2>&1 || skip "not root, or no login nobody"
    target 'A K3 1.0 9 Kay3\n'
    chmod 755 "$scratch"
    mkdir -m 1777 open && cp real/target.db open/s.db && chmod 666 open/s.db
    printf 'D K3 1\n' | runuser -u nobody -- env USER=root "$program" --store open/s.db > /dev/null
    [ "$(sqlite3 open/s.db "SELECT clerk FROM history WHERE command = 'D K3 1'")" = nobody ] ||
        fail "another login's run is not recorded as its own: $(sqlite3 open/s.db 'SELECT * FROM history')"
}

# Clerks with logins of their own share a store in a folder of their group
# (group-writable, set-group-id): the store and the files beside it are the
# group's to read and write, and nobody else's to read, whatever the umask.
# Elsewhere a run that may not write a store says which file, whose it is
# and what it allows.
logins() {
    [ "$(id -u)" = 0 ] && command -v useradd > /dev/null || skip "not root: logins of their own are not tried"
    chmod 755 "$scratch"
    # Names of this run's own: the cases of both programs may run at once.
    shop=wh-shop-$$ maija=wh-maija-$$ pekka=wh-pekka-$$
    groupadd "$shop"
    useradd -M -N -G "$shop" "$maija" && useradd -M -N -G "$shop" "$pekka"
    trap 'stop_runs; userdel "$maija"; userdel "$pekka"; groupdel "$shop"; rm -rf "$scratch"' EXIT
    maija() { runuser -u "$maija" -- "$program" "$@"; }
    pekka() { runuser -u "$pekka" -- "$program" "$@"; }
}
case_group_shares_a_store() {
    logins
    mkdir shop && chgrp "$shop" shop && chmod 2775 shop
    printf 'A S s 5 n\n' | maija --store shop/s.db > /dev/null
    printf '#!/bin/sh\nexec runuser -u %s -- "%s" "$@"\n' "$maija" "$program" > as-maija
    chmod +x as-maija
    program=$scratch/as-maija start_run m shop/s.db
    tell m 'F S' 'n 5 s'
    [ "$(printf 'D S 1\n' | pekka --store shop/s.db | sed -n 2p)" = 'Amount: 4 Shelf: s' ] ||
        fail "another login of the group could not change the store"
    for file in shop/s.db shop/s.db-wal shop/s.db-shm; do
        [ "$(stat -c '%a %G' "$file")" = "660 $shop" ] || fail "$file: $(stat -c '%a %G' "$file")"
        runuser -u nobody -- cat "$file" > /dev/null 2>&1 && fail "a login outside the group reads $file"
    done
    end_run
}
case_store_another_login_may_not_write() {
    logins
    mkdir private && chown "$maija" private
    printf 'A S s 5 n\n' | maija --store private/s.db > /dev/null
    out=$(printf 'C\n' | pekka --store private/s.db 2>&1)
    [ "$out" = "$name: store private/s.db: permission denied: private/s.db is $maija's, group $(stat -c %G private/s.db), mode 0640, and $pekka may not write it" ] ||
        fail "a store another login may not write: $out"
}

# Out of memory while catching up: the run that cannot hold the stock lets
# the lock go at once and ends with a line that says so; the others go on.
case_out_of_memory_while_catching_up() {
    (ulimit -v 100000 && "$program" --version > /dev/null 2>&1) ||
        skip "the program cannot start under a memory limit here"
    printf 'A X s 5 n\n' | "$program" --store oom.db > /dev/null
    start_run b oom.db
    tell b 'C' '1 different kinds of candy.'
    idle=$(awk '/^VmPeak:/ { print $2 }' "/proc/$run/status")
    end_run
    printf '#!/bin/sh\nulimit -v %s && exec "%s" "$@"\n' $((idle + 20000)) "$program" > limited
    chmod +x limited
    program=$scratch/limited start_run b oom.db
    tell b 'C' '1 different kinds of candy.'
    printf 'G 600000\n' | "$program" --store oom.db > /dev/null
    printf 'D X 1\n' >&3
    for _ in $(seq 1000); do kill -0 "$run" 2> /dev/null || break; sleep 0.01; done
    timeout 5 sqlite3 oom.db 'BEGIN IMMEDIATE; COMMIT' ||
        fail "the lock was kept by a run that ran out of memory"
    end_run
    status=$?
    [ $status = 1 ] && [ "$(cat b.err)" = "$name: store oom.db: out of memory: the stock does not fit in this run's memory" ] ||
        fail "out of memory while catching up: status $status, $(cat b.err)"
    [ "$(printf 'D X 1\n' | "$program" --store oom.db --wait 1 | sed -n 2p)" = 'Amount: 4 Shelf: s' ] ||
        fail "after a run ran out of memory, another could not withdraw"
}

# Only a login that may write the store can hold up its clerks: a login
# that may only read it holds a flock of it, shared or exclusive, and a
# clerk's change goes through at once all the same.
case_a_reader_holds_up_no_clerk() {
    [ "$(id -u)" = 0 ] && id nobody > /dev/null 2>&1 && command -v runuser > /dev/null ||
        skip "not root, no login nobody or no runuser"
    target 'A K3 1.0 9 Kay3\n'
    chmod 755 "$scratch" real && chmod 644 real/target.db
    amount=9
    for hold in -x -s; do
        rm -f done
        runuser -u nobody -- flock "$hold" real/target.db \
            sh -c 'for i in $(seq 600); do [ -e done ] && exit; sleep 0.05; done' &
        holder=$!
        until ! flock -n -x real/target.db true; do sleep 0.05; done
        out=$(printf 'D K3 1\n' | timeout 10 "$program" --store real/target.db --wait 1 2>&1 | sed -n 2p)
        amount=$((amount - 1))
        [ "$out" = "Amount: $amount Shelf: 1.0" ] || fail "a reader's flock $hold held up a clerk: $out"
        touch done
        wait "$holder"
    done
}

run_case "$case"
