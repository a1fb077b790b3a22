#!/usr/bin/env bash
# Usage: save_file.sh PROGRAM OTHER_PROGRAM
# What a transcript cannot show of "W": the bytes of the saved file, a file
# passed between the two programs, permission bits, and a save that fails
# half-way leaving the old file whole and nothing stray beside it.
set -u
program=$(realpath "$1")
other=$(realpath "$2")
data=$(realpath "$(dirname "$0")/data")
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

stock="R $data/format_corners.txt
R $data/odd_ids.txt
G 300
A GUM:1 3.25 10 Jenkki Purukumi"

# The same stock saved twice gives the same bytes.
printf '%s\nW first.txt\nW again.txt\n' "$stock" | "$program" > /dev/null
cmp -s first.txt again.txt || fail "saving the same stock twice differs"
[ "$(wc -l < first.txt)" -gt 300 ] || fail "first.txt holds too few lines"

# Passed to the other program and back, the stock comes back the same. The
# order of the lines may differ: a bucket's chain keeps the order of loading.
printf 'R first.txt\nW other.txt\n' | "$other" > /dev/null
printf 'R other.txt\nW back.txt\n' | "$program" > /dev/null
cmp -s <(sort first.txt) <(sort other.txt) || fail "$other saved other lines"
cmp -s <(sort first.txt) <(sort back.txt) || fail "stock changed on its way back"

# A new file gets the umask's bits; a replaced file keeps its own.
(umask 027 && printf 'W new.txt\n' | "$program" > /dev/null)
[ "$(stat -c %a new.txt)" = 640 ] || fail "new file has mode $(stat -c %a new.txt)"
chmod 604 first.txt
printf 'R first.txt\nW first.txt\n' | "$program" > /dev/null
[ "$(stat -c %a first.txt)" = 604 ] || fail "replaced file has mode $(stat -c %a first.txt)"

# A save cut off by the file-size limit leaves the old file as it was.
mkdir limited
printf 'old;1;s;Old stock\n' > limited/stock.txt
out=$( (ulimit -f 8 && printf 'G 2000\nW limited/stock.txt\nC\n' | "$program") )
status=$?
[ "$status" -eq 0 ] || fail "the run ended with status $status"
grep -qx 'Stock not saved: File too large.' <<< "$out" || fail "no failure line: $out"
grep -qx '1984 different kinds of candy.' <<< "$out" || fail "the run did not go on: $out"
[ "$(cat limited/stock.txt)" = 'old;1;s;Old stock' ] || fail "the old file changed"
[ "$(ls -A limited)" = stock.txt ] || fail "stray files left: $(ls -A limited)"

exit $failed
