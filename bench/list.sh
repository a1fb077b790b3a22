#!/usr/bin/env bash
# How long L takes at a terminal over the products of "G 2000000", for each
# program (goal: 1.5 s): one run types G and then ten L, half of them with a
# text, on a pseudo-terminal (script(1) gives it one), another only G; the
# difference of their best of RUNS (default 3), over ten, is one L. Exits 1
# when the goal is missed.
# Usage: bench/list.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
use_build "${1:-build}"
runs=${RUNS:-3}
make_work_folder
cd "$work"

printf 'G 2000000\nQ\nQ\n' > generate
{ echo 'G 2000000'; for _ in 1 2 3 4 5; do printf 'L\nL gum:0\n'; done; printf 'Q\nQ\n'; } > list

# The best wall-clock nanoseconds of $runs runs of the program at a
# terminal, with the keys of the file $2 typed.
best_at_terminal() {
    local best="" start end
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        script -qfec "$1" /dev/null < "$2" > out
        end=$(date +%s%N)
        if [ -z "$best" ] || [ $((end - start)) -lt "$best" ]; then best=$((end - start)); fi
    done
    echo "$best"
}

missed=0
for program in warehouse warehouse-small; do
    binary=$build/$program
    without=$(best_at_terminal "$binary" generate)
    with=$(best_at_terminal "$binary" list)
    grep -aq 'more; Enter shows the next screen' out || { echo "$program: L did not list a screen"; exit 1; }
    awk -v p="$program" -v with="$with" -v without="$without" 'BEGIN {
        each = (with - without) / 10 / 1e9
        printf "%-16s one L over 2000000 products: %.3f s   %s\n", p, each, each <= 1.5 ? "ok" : "MISSED"
        exit each > 1.5
    }' || missed=1
done
exit $missed
