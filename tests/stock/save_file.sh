#!/usr/bin/env bash
# Usage: save_file.sh CASE PROGRAM OTHER_PROGRAM
# What a transcript cannot show of "W", one case a run: the bytes of the
# saved file, a file passed between the two programs, links, owners and
# permission bits, long names, and a save that fails half-way leaving the
# old file whole and nothing stray beside it.
set -u
case=$1
program=$(realpath "$2")
other=$(realpath "$3")
here=$(dirname "$(realpath "$0")")
data=$(realpath "$here/../data")
source "$here/../cases.sh"
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

stock="R $data/format_corners.txt
R $data/odd_ids.txt
G 300
A GUM:1 3.25 10 Jenkki Purukumi"

# first.txt: the stock saved.
first() { printf '%s\nW first.txt\n' "$stock" | "$program" > /dev/null; }

# The same stock saved twice gives the same bytes.
case_same_stock_same_bytes() {
    printf '%s\nW first.txt\nW again.txt\n' "$stock" | "$program" > /dev/null
    cmp -s first.txt again.txt || fail "saving the same stock twice differs"
    [ "$(wc -l < first.txt)" -gt 300 ] || fail "first.txt holds too few lines"
}

# Passed to the other program and back, the stock comes back the same. The
# order of the lines may differ: a bucket's chain keeps the order of loading.
case_passed_to_the_other_program_and_back() {
    first
    printf 'R first.txt\nW other.txt\n' | "$other" > /dev/null
    printf 'R other.txt\nW back.txt\n' | "$program" > /dev/null
    cmp -s <(sort first.txt) <(sort other.txt) || fail "$other saved other lines"
    cmp -s <(sort first.txt) <(sort back.txt) || fail "stock changed on its way back"
}

# A new file gets the umask's bits; a replaced file keeps its own.
case_new_file_takes_the_umask() {
    (umask 027 && printf 'W new.txt\n' | "$program" > /dev/null)
    [ "$(stat -c %a new.txt)" = 640 ] || fail "new file has mode $(stat -c %a new.txt)"
}
case_replaced_file_keeps_its_mode() {
    first
    chmod 604 first.txt
    printf 'R first.txt\nW first.txt\n' | "$program" > /dev/null
    [ "$(stat -c %a first.txt)" = 604 ] || fail "replaced file has mode $(stat -c %a first.txt)"
}

# A save cut off by the file-size limit leaves the old file as it was.
case_save_cut_off_leaves_the_old_file() {
    mkdir limited
    printf 'old;1;s;Old stock\n' > limited/stock.txt
    out=$( (ulimit -f 8 && printf 'G 2000\nW limited/stock.txt\nC\n' | GCOV_PREFIX=$scratch/counts "$program") )
    status=$?
    [ "$status" -eq 0 ] || fail "the run ended with status $status"
    grep -qx 'Stock not saved: File too large.' <<< "$out" || fail "no failure line: $out"
    grep -qx '1984 different kinds of candy.' <<< "$out" || fail "the run did not go on: $out"
    [ "$(cat limited/stock.txt)" = 'old;1;s;Old stock' ] || fail "the old file changed"
    [ "$(ls -A limited)" = stock.txt ] || fail "stray files left: $(ls -A limited)"
}

# A link is followed: the file it leads to is replaced, beside itself, and
# the link stays a link.
case_link_is_followed() {
    mkdir real
    printf 'old;1;s;n\n' > real/stock.txt
    ln -s real/stock.txt link.txt
    printf 'A new 5 1 n\nW link.txt\n' | "$program" > /dev/null
    [ -L link.txt ] || fail "the link was replaced by a file"
    [ "$(cat real/stock.txt)" = 'new;1;5;n' ] || fail "the linked file holds: $(cat real/stock.txt)"
    [ "$(ls -A real)" = stock.txt ] || fail "stray files beside the linked file: $(ls -A real)"
}

# A file with the longest name a folder allows saves.
case_longest_name_saves() {
    long=$(printf 'x%.0s' $(seq 255))
    printf 'A new 5 1 n\nW %s\n' "$long" | "$program" > /dev/null
    [ "$(cat "$long" 2> /dev/null)" = 'new;1;5;n' ] || fail "a 255-byte name was not saved"
}

# A file system that keeps no permission bits still takes a save.
case_save_without_permission_bits() {
    strace -o /dev/null true 2> /dev/null ||
        skip "strace cannot trace here: the save without permission bits is not tried"
    out=$(printf 'A a s 1 n\nW bits.txt\n' |
        ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=fchmod -e inject=fchmod:error=EPERM "$program")
    [ "$(cat bits.txt 2> /dev/null)" = 'a;1;s;n' ] || fail "a refused fchmod failed the save: $out"
}

# A file its user may not write is refused, as the shell's > refuses it, and
# a file owned by another keeps its owner when saved by one who may.
locked() {
    chmod 777 .
    printf 'old;1;s;n\n' > locked.txt
    chmod 444 locked.txt
    chown 65534:65534 locked.txt 2> /dev/null
}
case_read_only_file_refused() {
    locked
    # Root may write any file: the refusal is tried as nobody, with a copy of
    # the program that nobody can reach.
    as_other=("$program")
    if [ "$(id -u)" -eq 0 ]; then
        cp "$program" ./program-copy
        as_other=(setpriv --reuid=65534 --regid=65534 --clear-groups ./program-copy)
    fi
    out=$(printf 'A a s 1 n\nW locked.txt\n' | "${as_other[@]}")
    grep -qx 'Stock not saved: Permission denied.' <<< "$out" || fail "a read-only file was not refused: $out"
    [ "$(cat locked.txt)" = 'old;1;s;n' ] || fail "a read-only file was replaced"
}
case_replaced_file_keeps_its_owner() {
    [ "$(id -u)" -eq 0 ] || skip "not root: a file of another owner cannot be made"
    locked
    chmod 644 locked.txt
    printf 'A a s 1 n\nW locked.txt\n' | "$program" > /dev/null
    [ "$(stat -c %u:%g:%a locked.txt)" = 65534:65534:644 ] ||
        fail "the owner was not kept: $(stat -c %u:%g:%a locked.txt)"
}

run_case "$case"
