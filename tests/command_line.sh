#!/usr/bin/env bash
# Usage: command_line.sh PROGRAM VERSION
# --help prints the usage and exits 0, --version the name and VERSION, and any
# other argument prints the usage on standard error and exits 2.
set -u
program=$1
version=$2
name=$(basename "$program")
failed=0
fail() { echo "FAIL: $*"; failed=1; }

help=$("$program" --help < /dev/null) || fail "--help exited $?"
grep -q "^Usage: $name " <<< "$help" || fail "--help printed: $help"
grep -q "W \[file\]" <<< "$help" || fail "--help does not list W"

[ "$("$program" --version < /dev/null)" = "$name $version" ] || fail "--version printed the wrong line"

grep -q -- "--store FILE" <<< "$help" || fail "--help does not describe --store"

for arguments in "--bogus" "extra" "--help extra" "--store" "--store a b"; do
    # shellcheck disable=SC2086
    out=$("$program" $arguments 2>&1 > /dev/null < /dev/null)
    status=$?
    [ "$status" -eq 2 ] || fail "'$arguments' exited $status"
    grep -q "^Usage: $name " <<< "$out" || fail "'$arguments' printed no usage on standard error"
done
exit $failed
