#!/usr/bin/env bash
# Usage: store.sh CASE PROGRAM OTHER_PROGRAM TRANSCRIPTS DATA
# The stock kept in a store (--store FILE), one case a run: transcripts read
# the same with a store as without; the stock comes back byte for byte in
# either program and reads from a plain SQLite client; bad stores are
# refused untouched; a store that fails mid-run shows nothing it did not
# commit.
set -u
case=$1
program=$(realpath "$2")
other=$(realpath "$3")
transcripts=$(realpath "$4")
data=$(realpath "$5")
source "$(dirname "$(realpath "$0")")/../cases.sh"
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
name=$(basename "$program")

# Every transcript without an efficiency test reads the same with a store,
# and the stock it leaves is there for the next run.
case_transcripts() {
    for input in "$transcripts"/*.in; do
        grep -q '^P' "$input" && continue
        story=$(basename "$input" .in)
        rm -rf work && cp -R "$data" work
        (cd work && "$program" --store ../t.db < "$input" > ../out 2> ../err)
        cmp -s out "${input%.in}.out" || fail "$story: the transcript differs with a store"
        [ -s err ] && [ ! -f "${input%.in}.err" ] && fail "$story: $(cat err)"
        count=$(printf 'C\n' | "$program" --store t.db | sed -n 's/ different kinds of candy.$//p')
        [ "$count" = "$(sqlite3 t.db 'SELECT count(*) FROM stock')" ] || fail "$story: the stock did not come back"
        rm -f t.db
    done
}

# The store odd.db: products with odd bytes, and those of odd_ids.txt. What
# the run that made it found of them is in the file expected.
odd=$(printf 'A semi;colon s;1 5 cr\r\nA tyhja 2.2 7 Blank marker\nA \xff\xfe x 3 high bytes\nR %s\n' "$data/odd_ids.txt")
finds=$(printf 'F semi;colon\nF tyhja\nF \xff\xfe\nF p1150\nF p651617\nC\n')
odd_store() {
    printf '%s\n%s\n' "$odd" "$finds" | "$program" --store odd.db | sed -n '/^> F semi/,$p' > expected
}

# Odd bytes come back as they were stored, in both programs, and a SQLite
# client reads the products.
case_odd_bytes() {
    odd_store
    for reader in "$program" "$other"; do
        printf '%s\n' "$finds" | "$reader" --store odd.db | sed -n '/^> F semi/,$p' > got
        cmp -s expected got || fail "$(basename "$reader") found other products: $(diff expected got)"
    done
    grep -q 'cr' expected || fail "the odd products were not found at all"
    [ "$(sqlite3 odd.db "SELECT amount, shelf, name FROM stock WHERE id = 'tyhja'")" = '9|2.2|Blank marker' ] ||
        fail "a SQLite client reads: $(sqlite3 odd.db 'SELECT * FROM stock')"
}

# P would empty the stock: with a store it is refused and changes nothing.
case_efficiency_test_refused() {
    odd_store
    out=$(printf 'P 3 1\nC\n' | "$program" --store odd.db 2>&1)
    grep -qx 'The efficiency test empties the stock: it is not run on a stored stock.' <<< "$out" ||
        fail "P was not refused: $out"
    [ "$(sqlite3 odd.db 'SELECT count(*) FROM stock')" -gt 5 ] || fail "P changed the stored stock"
}

# Bad stores: one line naming the file and what is wrong, status 1, and the
# file as it was, with no journal beside it.
refused() {
    local file=$1 reason=$2
    before=$( [ -f "$file" ] && md5sum < "$file")
    files=$(ls -A)
    out=$(printf 'C\n' | "$program" --store "$file" 2>&1)
    status=$?
    [ "$status" -eq 1 ] || fail "$file: status $status"
    grep -Eqx "$name: store $file: $reason" <<< "$out" || fail "$file: $out"
    [ "$before" = "$( [ -f "$file" ] && md5sum < "$file")" ] || fail "$file was changed"
    [ "$files" = "$(ls -A)" ] || fail "$file: files left: $(ls -A)"
}
case_refuses_a_stock_file() {
    printf 'GUM:1;5;3.25;Jenkki\n' > stock.txt
    refused stock.txt 'a stock file, not a store \(load it with R\)'
}
case_refuses_random_bytes() {
    head -c 4096 /dev/urandom > random.bin
    refused random.bin 'not a store'
}
case_refuses_another_programs_database() {
    sqlite3 other.db 'CREATE TABLE t (x); INSERT INTO t VALUES (1)'
    refused other.db 'a database of another program, not a store'
}
case_refuses_a_newer_store() {
    odd_store
    cp odd.db newer.db && sqlite3 newer.db "PRAGMA user_version = $(($(sqlite3 odd.db 'PRAGMA user_version') + 1))"
    refused newer.db 'a store of a newer version of this program'
}
case_refuses_a_truncated_store() {
    odd_store
    cp odd.db truncated.db && truncate -s 5000 truncated.db
    refused truncated.db 'damaged: .*'
}
case_refuses_a_damaged_store() {
    odd_store
    cp odd.db damaged.db && printf 'XXXXXXXXXXXXXXXX' | dd of=damaged.db bs=1 seek=4096 conv=notrunc 2> /dev/null
    refused damaged.db 'damaged: .*'
}
case_refuses_a_folder() {
    mkdir folder
    refused folder 'a folder, not a store'
}
case_refuses_a_missing_folder() {
    refused missing/stock.db 'cannot create it: No such file or directory'
}

# A store that fails mid-run (here the file-size limit): the output of what
# was not committed is not shown, and the next run starts from what was.
# The first block of input holds A and C, the second G, whose commit fails.
case_full_store_mid_run() {
    odd_store
    { printf 'A before s 1 n\nC\n' && head -c 300000 /dev/zero | tr '\0' '\n' && printf 'G 20000\nC\n'; } > input
    # (A coverage build keeps its counts aside, where the limit spoils nothing.)
    out=$( (ulimit -f 64 && GCOV_PREFIX=$scratch/counts "$program" --store odd.db < input 2> err) )
    status=$?
    [ "$status" -eq 1 ] || fail "a full store: status $status"
    grep -v '^libgcov' err | grep -Eqx "$name: store odd.db: .*" || fail "a full store: $(cat err)"
    grep -q 'G 20000' <<< "$out" && fail "a full store showed the uncommitted G"
    grep -q '^> C$' <<< "$out" || fail "a full store did not show what it committed: $out"
    [ "$(sqlite3 odd.db "SELECT count(*) FROM stock WHERE id = 'before'")" = 1 ] || fail "the committed add was lost"
    [ "$(sqlite3 odd.db "SELECT count(*) FROM stock WHERE name = 'Tyrkisk Peber'")" = 0 ] ||
        fail "half of a failed G was stored"
}

# A store whose history holds the last command number a store gives, or
# one past it (edited by hand): the next change ends the run with a line
# that says so, and leaves the store as it was; the one before the last
# number still takes a command.
case_command_numbers_used_up() {
    local last=4611686018427387903 number status
    for number in $((last - 1)) $last 9223372036854775807; do
        rm -f used.db*
        printf 'A X s 1 n\n' | "$program" --store used.db > /dev/null
        sqlite3 used.db '.dbconfig enable_trigger off' "UPDATE history SET command_no = $number" > /dev/null
        printf 'A X s 1 n\n' | "$program" --store used.db > /dev/null 2> err
        status=$?
        if [ "$number" = $((last - 1)) ]; then
            [ $status = 0 ] && [ "$(sqlite3 used.db 'SELECT max(command_no) FROM history')" = $last ] ||
                fail "the last number was not given: status $status, $(cat err)"
        else
            [ $status = 1 ] && [ "$(cat err)" = "$name: store used.db: its history has used up the command numbers" ] ||
                fail "after $number: status $status, $(cat err)"
            [ "$(sqlite3 used.db 'SELECT count(*) || max(command_no) FROM history')" = "1$number" ] ||
                fail "after $number the history holds $(sqlite3 used.db 'SELECT command_no FROM history')"
        fi
    done
}

run_case "$case"
