#!/usr/bin/env bash
# Soak test: 5000000 random commands through each program, standard output
# to /dev/null. Every command letter appears, with valid and malformed
# numbers, ids that share buckets, the id "tyhja", zero and huge amounts, and
# an "E" now and then. Reports the time, the peak memory and the exit status
# of each run, and fails on a crash or a non-zero exit.
# Usage: bench/soak.sh [BUILD_DIR] [COMMANDS]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
use_build "${1:-build}"
commands=${2:-5000000}
make_work_folder

printf 'p105;5;S1;Soak one\np1150;7;S2;Soak two\ntyhja;1;T;Blank marker\nbad;x;s;n\n' > "$work/soak.txt"
awk -v n="$commands" 'BEGIN {
    srand(7)
    split("p105 p1150 p651617 p55 p103 p920 p56186 tyhja", shared, " ")
    split("0 1 5 17 300 1000 4294967295 4294967296 -1 +7 5x abc 99999999999", amounts, " ")
    for (i = 0; i < n; ++i) {
        r = rand()
        id = rand() < 0.3 ? shared[1 + int(rand() * 8)] : sprintf("C%d", int(rand() * 20000))
        amount = rand() < 0.7 ? 1 + int(rand() * 500) : amounts[1 + int(rand() * 13)]
        if (r < 0.35)       printf "A %s %d.%d %s Soak candy %d\n", id, int(rand() * 9), int(rand() * 99), amount, i
        else if (r < 0.60)  printf "D %s %s\n", id, amount
        else if (r < 0.85)  printf "F %s\n", id
        else if (r < 0.95)  print "C"
        else if (r < 0.96)  print (rand() < 0.5 ? "R soak.txt" : "R missing.txt")
        else if (r < 0.97)  printf "G %d\n", int(rand() * 50)
        else if (r < 0.9702) printf "P %d %d\n", int(rand() * 30), int(rand() * 3)
        else if (r < 0.9712) print "E"
        else                print (rand() < 0.5 ? "a" : "Quit")
    }
}' > "$work/commands"

status=0
printf '%-16s %10s %14s %6s\n' program seconds peak-RSS-kB exit
for program in warehouse warehouse-small; do
    set +e
    (cd "$work" && /usr/bin/time -f '%e %M' -o "$work/time" "$build/$program" < commands > /dev/null 2> "$work/stderr")
    code=$?
    set -e
    read -r seconds peak < "$work/time" || true
    printf '%-16s %10s %14s %6s\n' "$program" "$seconds" "$peak" "$code"
    if [ "$code" -ne 0 ]; then
        status=1
        tail -n 5 "$work/stderr"
    fi
done
exit $status
