#!/usr/bin/env bash
# Usage: run_failures.sh CASE PROGRAM
# One case a run. Output that cannot be written, or input that cannot be
# read, ends the run with exit status 1 and a line on standard error, and
# runs no command it cut short; so does a refused command with --strict; a
# normal run exits 0. A stock file that cannot be read through is not
# loaded at all. A command that runs out of memory stops, and the run goes
# on.
set -u
case=$1
program=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/cases.sh"
scratch=$(mktemp -d) || exit 1
# Runs under a limit cannot write whole counts: a coverage build keeps them
# aside rather than spoil the suite's own, and its complaints about them,
# which the limit may cut mid-line, go nowhere.
limited() { GCOV_PREFIX=$scratch/counts GCOV_ERROR_FILE=/dev/null "$@"; }
trap 'rm -rf "$scratch"' EXIT
name=$(basename "$program")

# expect STATUS PATTERN COMMAND...: the run's exit status, and its standard
# error: one line matching PATTERN, or nothing when PATTERN is empty.
expect() {
    local status=$1 pattern=$2
    shift 2
    "$@" 2> "$scratch/all_err"
    local actual=$?
    # A coverage build cannot write its counts under a limit either; its
    # counts go aside (GCOV_PREFIX, below), and its complaint is no failure.
    grep -v '^libgcov profiling error' "$scratch/all_err" > "$scratch/err"
    [ "$actual" -eq "$status" ] || { echo "FAIL: $* exited $actual, not $status"; failed=1; }
    if [ -z "$pattern" ] && [ ! -s "$scratch/err" ]; then
        return
    fi
    [ "$(wc -l < "$scratch/err")" -eq 1 ] && grep -Eqx -- "$pattern" "$scratch/err" || {
        echo "FAIL: $*: standard error was: $(cat "$scratch/err")"
        failed=1
    }
}

full() { printf 'C\n' | "$program" > /dev/full; }
closed() { printf 'C\n' | "$program" >&-; }
folder() { "$program" < "$scratch" > /dev/null; }
normal() { printf 'C\n' | "$program" > /dev/null; }

case_output_full() { expect 1 "$name: cannot write standard output: No space left on device" full; }
case_output_closed() { expect 1 "$name: cannot write standard output: Bad file descriptor" closed; }
case_input_a_folder() { expect 1 "$name: cannot read standard input: Is a directory" folder; }
case_normal_run() { expect 0 "" normal; }

# Output that fails while a save names the products it leaves out: the save
# still ends cleanly, with nothing stray beside the file.
case_output_fails_during_a_save() {
    mkdir "$scratch/save"
    save() (
        cd "$scratch/save" && ulimit -f 1 &&
            for i in $(seq 10 60); do echo "A p;$i s 1 n"; done | sed '$a W out.txt' |
            limited "$program" > transcript
    )
    expect 1 "$name: cannot write standard output: File too large" save
    [ "$(ls -A "$scratch/save")" = "out.txt
transcript" ] || { echo "FAIL: the save left: $(ls -A "$scratch/save")"; failed=1; }
}

# Read errors injected by a tracer: one in standard input cuts a withdrawal
# of 100 down to "D x 1", which must not run; one in the second block of a
# stock file must leave the stock as it was.
tracer() { strace -o /dev/null true 2> /dev/null || skip "strace cannot trace here: read errors are not tried"; }
case_read_error_cuts_a_command() {
    tracer
    printf 'A x s 100 n\nD x 1' > "$scratch/cut"
    cut() {
        ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P "$scratch/cut" -e trace=read \
            -e inject=read:error=EIO:when=2 "$program" < "$scratch/cut" > "$scratch/out"
    }
    expect 1 "$name: cannot read standard input: Input/output error" cut
    grep -q Amount "$scratch/out" && { echo "FAIL: the cut-short withdrawal ran"; failed=1; }
}
case_read_error_in_a_stock_file() {
    tracer
    printf 'G 5000\nW %s\n' "$scratch/big.txt" | "$program" > /dev/null
    [ "$(wc -l < "$scratch/big.txt")" -gt 4000 ] || { echo "FAIL: the stock file to load was not saved"; failed=1; }
    printf 'R %s\nC\n' "$scratch/big.txt" > "$scratch/load"
    out=$(ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P "$scratch/big.txt" -e trace=read \
        -e inject=read:error=EIO:when=2 "$program" < "$scratch/load")
    grep -qx '0 different kinds of candy.' <<< "$out" && grep -qx 'Tiedostoa ei l.*ydy.' <<< "$out" ||
        { echo "FAIL: a stock file cut short by a read error: $out"; failed=1; }
}

# --strict: each line is checked whole, as at a terminal, and the first
# line refused ends a script with status 1 and a line naming it and the
# reason; nothing of that line runs, what ran before it stays, and in a
# store. Without --strict the same input runs to its end.
case_strict_ends_at_a_refused_line() {
    while IFS='|' read -r commands reason; do
        rm -f "$scratch"/strict.db*
        strict() { printf "A kept s 1 n\n$commands" | "$program" --strict --store "$scratch/strict.db" > "$scratch/out"; }
        expect 1 "$name: input line 2: $reason" strict
        grep -Eqx '(> )?Q' "$scratch/out" && { echo "FAIL: --strict ran on after: $reason"; failed=1; }
        [ "$(sqlite3 "$scratch/strict.db" "SELECT amount FROM stock WHERE id = 'kept'")" = 1 ] ||
            { echo "FAIL: --strict lost what ran before: $reason"; failed=1; }
        printf "A kept s 1 n\n$commands" | "$program" 2>&1 | tail -n 1 | grep -Eqx '(> )?Q' ||
            { echo "FAIL: without --strict, the run did not go on: $reason"; failed=1; }
    done << 'CASES'
D kept -1\nC|'-1' is not a whole number of units \(D id amount\)
D kept 5.5\nC|'5.5' is not a whole number of units \(D id amount\)
D kept 1x\nC|'1x' is not a whole number of units \(D id amount\)
D kept +1\nC|'\+1' is not a whole number of units \(D id amount\)
D kept 1 more\nC|'more' is left over \(D id amount\)
f\nC|'f' is not a command
F|the id is missing \(F id\)
R missing.txt\nC|the stock file missing.txt was not loaded
W /nonexistent/x.txt\nC|the stock was not saved whole to /nonexistent/x.txt
CASES
}
# What standard error shows at a terminal cannot drive it: the reason a
# script stopped quotes the script's own bytes, and a usage error the
# command line's; their control bytes show as \xNN there. A script's
# standard error, not a terminal, keeps every byte.
case_messages_at_a_terminal_are_inert() {
    command -v script > /dev/null || { echo "SKIP: no script(1) to give a terminal"; exit 77; }
    cd "$scratch" || return
    while IFS='|' read -r input arguments shown; do
        printf "$input" > input
        script -qec "'$program' $(printf -- "$arguments") < input > /dev/null" /dev/null < /dev/null > tty 2>&1
        ! grep -q $'\x1b' tty && grep -qF -- "$shown" tty ||
            { echo "FAIL: $input $arguments: the terminal got: $(od -c tty | head -n 5)"; failed=1; }
        printf "$input" | "$program" $(printf -- "$arguments") 2> raw > /dev/null
        grep -q $'\x1b' raw || { echo "FAIL: $input $arguments: a script's error lost its bytes"; failed=1; }
    done << 'CASES'
A k s 5x\033]0;title\007\033[2J n\n|--strict|'5x\x1B]0;title\x07\x1B[2J' is not a whole number
R evil\033[31mred.txt\n|--strict|the stock file evil\x1B[31mred.txt was not loaded
C\n|--bad\033[31m|'--bad\x1B[31m'
CASES
}

# The line is counted across blocks of input.
case_strict_counts_lines_across_blocks() {
    far() { { yes C | head -n 150000; echo f; } | "$program" --strict > /dev/null; }
    expect 1 "$name: input line 150001: 'f' is not a command" far
}

# Out of memory: G stops with a line, and C counts what it added, which a
# store holds too; R loads nothing; a store's held output is shown early
# rather than grow. A sanitizer's runtime cannot start under a limit of
# address space at all.
memory_limit() {
    (ulimit -v 100000 && limited "$program" --version > /dev/null 2>&1) ||
        skip "the program cannot start under a memory limit here: out of memory is not tried"
}
# out_of_memory [--store FILE]: R and G out of memory, in a run with those
# options; kinds is the number of kinds the run showed last.
out_of_memory() {
    local store=$*
    awk 'BEGIN { for (i = 0; i < 600000; ++i) printf "product-number-%07d;1;s;n\n", i }' > "$scratch/many.txt"
    # shellcheck disable=SC2086
    out=$( (ulimit -v 70000 && printf 'A kept s 1 n\nR %s\nC\nG 3000000\nC\n' "$scratch/many.txt" |
        limited "$program" $store) 2>&1)
    status=$?
    [ "$status" -eq 0 ] || { echo "FAIL: out of memory ($store): status $status, $(tail -n 3 <<< "$out")"; failed=1; }
    [ "$(grep -A3 -x "> R $scratch/many.txt" <<< "$out" | sed 1d)" = "Out of memory: command stopped.
> C
1 different kinds of candy." ] ||
        { echo "FAIL: R out of memory ($store) did not load nothing: $(head -n 6 <<< "$out")"; failed=1; }
    kinds=$(sed -n 's/ different kinds of candy.$//p' <<< "$out" | tail -n 1)
    [ "${kinds:-0}" -gt 1 ] || { echo "FAIL: G out of memory ($store): $(tail -n 3 <<< "$out")"; failed=1; }
}
case_out_of_memory_stops_a_command() {
    memory_limit
    out_of_memory
}
case_out_of_memory_stops_a_command_in_a_store() {
    memory_limit
    out_of_memory --store "$scratch/oom.db"
    [ "$(sqlite3 "$scratch/oom.db" 'SELECT count(*) FROM stock')" = "$kinds" ] ||
        { echo "FAIL: out of memory, the store does not hold the $kinds kinds shown"; failed=1; }
}
case_store_holds_back_little_output() {
    memory_limit
    name=$(head -c 100000 /dev/zero | tr '\0' 'n')
    shown=$( { echo "A big s 1 $name"; yes 'F big' | head -n 2000; } |
        (ulimit -v 100000 && limited "$program" --store "$scratch/held.db") | wc -l)
    [ "$shown" = 4002 ] || { echo "FAIL: a store held back much output: $shown lines shown"; failed=1; }
}
# Out of memory at the start: a line on standard error and status 1,
# never an abort, at every limit from the least the program starts
# under at all, with and without a store, until the run goes through.
case_out_of_memory_at_the_start() {
    memory_limit
    for limit in $(seq 4000 3000 80000); do
        (ulimit -v "$limit" && limited "$program" --version > /dev/null 2>&1) || continue
        through=0
        for store in "" "--store $scratch/start.db"; do
            # shellcheck disable=SC2086
            err=$( (ulimit -v "$limit" && printf 'F X\nQ\n' | limited "$program" $store > /dev/null) 2>&1)
            status=$?
            case $status in
                0) through=$((through + 1)) ;;
                1) [ "$(wc -l <<< "$err")" = 1 ] && grep -q "^$(basename "$program"): out of memory" <<< "$err" ||
                       { echo "FAIL: out of memory at $limit kB ($store): $err"; failed=1; } ;;
                *) echo "FAIL: at $limit kB ($store) the run ended with status $status: $err"; failed=1 ;;
            esac
        done
        [ "$through" = 2 ] && break
    done
}

run_case "$case"
