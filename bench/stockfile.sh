#!/usr/bin/env bash
# Stock file loading: writes a file of 1000000 distinct products whose ids are
# shaped like generated ones (24 characters, ":" at positions 3, 15 and 20)
# and times "R" on it in each program, next to a run that only starts and
# stops, which is the cost of building and releasing the table.
# Usage: bench/stockfile.sh [BUILD_DIR] [PRODUCTS]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
use_build "${1:-build}"
products=${2:-1000000}
runs=3
make_work_folder

awk -v n="$products" 'BEGIN {
    split("LKS GUM SMK MIX SUK TIK VHT", prefix, " ")
    for (i = 0; i < n; ++i)
        printf "%s:%011d:%04d:%03d;%d;%d.%02d;Product %d\n", prefix[i % 7 + 1], i, i % 10000, i % 1000, 1 + i % 999, i % 10, i % 100, i
}' > "$work/stock.txt"
printf 'R stock.txt\nC\n' > "$work/load"
printf 'C\n' > "$work/idle"

best_of() {
    local best=""
    for _ in $(seq $runs); do
        local start end
        start=$(date +%s%N)
        (cd "$work" && "$@" > /dev/null)
        end=$(date +%s%N)
        if [ -z "$best" ] || [ $(( end - start )) -lt "$best" ]; then best=$(( end - start )); fi
    done
    echo "$best"
}

echo "$products products, $(du -h "$work/stock.txt" | cut -f1) file"
printf '%-16s %10s %10s %14s\n' program load-s idle-s products/s
for program in warehouse warehouse-small; do
    count=$(cd "$work" && "$build/$program" < load | sed -n 's/^> C$//;s/^\([0-9]*\) different.*/\1/p')
    [ "$count" = "$products" ] || { echo "$program loaded $count products" >&2; exit 1; }
    load=$(best_of sh -c "'$build/$program' < load")
    idle=$(best_of sh -c "'$build/$program' < idle")
    awk -v p=$program -v l=$load -v i=$idle -v n=$products 'BEGIN {
        printf "%-16s %10.3f %10.3f %14.0f\n", p, l / 1e9, i / 1e9, n / ((l - i) / 1e9)
    }'
done
