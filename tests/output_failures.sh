#!/usr/bin/env bash
# Usage: output_failures.sh PROGRAM
# Output that cannot be written, or input that cannot be read, ends the run
# with exit status 1 and a line on standard error; a normal run exits 0.
set -u
program=$1
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
failed=0
name=$(basename "$program")

# expect STATUS PATTERN COMMAND...: the run's exit status, and its standard
# error: one line matching PATTERN, or nothing when PATTERN is empty.
expect() {
    local status=$1 pattern=$2
    shift 2
    "$@" 2> "$scratch/err"
    local actual=$?
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
exit $failed
