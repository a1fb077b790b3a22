#!/usr/bin/env bash
# Usage: run_failures.sh PROGRAM
# Output that cannot be written, or input that cannot be read, ends the run
# with exit status 1 and a line on standard error, and runs no command it
# cut short; a normal run exits 0. A stock file that cannot be read through
# is not loaded at all. A command that runs out of memory stops, and the run
# goes on.
set -u
program=$(realpath "$1")
scratch=$(mktemp -d) || exit 1
# Runs under a limit cannot write whole counts: a coverage build keeps them
# aside rather than spoil the suite's own.
limited() { GCOV_PREFIX=$scratch/counts "$@"; }
trap 'rm -rf "$scratch"' EXIT
failed=0
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

expect 1 "$name: cannot write standard output: No space left on device" full
expect 1 "$name: cannot write standard output: Bad file descriptor" closed
expect 1 "$name: cannot read standard input: Is a directory" folder
expect 0 "" normal

# Output that fails while a save names the products it leaves out: the save
# still ends cleanly, with nothing stray beside the file.
mkdir "$scratch/save"
save() (
    cd "$scratch/save" && ulimit -f 1 &&
        for i in $(seq 10 60); do echo "A p;$i s 1 n"; done | sed '$a W out.txt' |
        limited "$program" > transcript
)
expect 1 "$name: cannot write standard output: File too large" save
[ "$(ls -A "$scratch/save")" = "out.txt
transcript" ] || { echo "FAIL: the save left: $(ls -A "$scratch/save")"; failed=1; }

# Read errors injected by a tracer: one in standard input cuts a withdrawal
# of 100 down to "D x 1", which must not run; one in the second block of a
# stock file must leave the stock as it was.
if strace -o /dev/null true 2> /dev/null; then
    printf 'A x s 100 n\nD x 1' > "$scratch/cut"
    cut() {
        ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P "$scratch/cut" -e trace=read \
            -e inject=read:error=EIO:when=2 "$program" < "$scratch/cut" > "$scratch/out"
    }
    expect 1 "$name: cannot read standard input: Input/output error" cut
    grep -q Amount "$scratch/out" && { echo "FAIL: the cut-short withdrawal ran"; failed=1; }

    printf 'G 5000\nW %s\n' "$scratch/big.txt" | "$program" > /dev/null
    [ "$(wc -l < "$scratch/big.txt")" -gt 4000 ] || { echo "FAIL: the stock file to load was not saved"; failed=1; }
    printf 'R %s\nC\n' "$scratch/big.txt" > "$scratch/load"
    out=$(ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P "$scratch/big.txt" -e trace=read \
        -e inject=read:error=EIO:when=2 "$program" < "$scratch/load")
    grep -qx '0 different kinds of candy.' <<< "$out" && grep -qx 'Tiedostoa ei l.*ydy.' <<< "$out" ||
        { echo "FAIL: a stock file cut short by a read error: $out"; failed=1; }
else
    echo "strace cannot trace here: read errors are not tried"
fi

# Out of memory: G stops with a line, and C counts what it added. A
# sanitizer's runtime cannot start under a limit of address space at all.
if (ulimit -v 100000 && limited "$program" --version > /dev/null 2>&1); then
    out=$( (ulimit -v 100000 && printf 'G 3000000\nC\n' | limited "$program") 2>&1)
    status=$?
    [ "$status" -eq 0 ] || { echo "FAIL: out of memory, the run ended with status $status"; failed=1; }
    grep -qx 'Out of memory: command stopped.' <<< "$out" &&
        grep -Eqx '[1-9][0-9]* different kinds of candy.' <<< "$out" ||
        { echo "FAIL: out of memory: $(tail -n 3 <<< "$out")"; failed=1; }
else
    echo "the program cannot start under a memory limit here: out of memory is not tried"
fi
exit $failed
