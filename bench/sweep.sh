#!/usr/bin/env bash
# Efficiency test sweep: runs "P n 1" in both programs for n from 1000 up in
# steps of a quarter decade (1000, 1778, 3162, 5623, 10000, ...; standard
# output to /dev/null) and records the seconds and the
# peak memory growth that each run reports. The sweep of a program stops
# before a run that would pass the time budget (a minute) if the time grew
# with the square of n, or when a run is cut off at the budget.
# Writes sweep.csv and, when gnuplot is installed, sweep.png into OUT_DIR.
# Usage: bench/sweep.sh [--quick] [--build DIR] [--out OUT_DIR]
#   --quick   a budget of 2 seconds a run instead of 60
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
budget=60
build=build
out=build/sweep
while [ $# -gt 0 ]; do
    case $1 in
        --quick) budget=2 ;;
        --build) build=$2; shift ;;
        --out) out=$2; shift ;;
        *) echo "usage: $0 [--quick] [--build DIR] [--out OUT_DIR]" >&2; exit 2 ;;
    esac
    shift
done
use_build "$build"
mkdir -p "$out"
csv=$out/sweep.csv
echo "program,buckets,n,seconds,memory_growth_kb" > "$csv"

# One point: P n 1 in $program, cut off at the budget. Past the budget the
# growing chains outgrow the processor's caches and the time climbs faster
# than the square of n, so it cannot be foreseen.
point() {
    local n=$1 status=0 report
    report=$(echo "P $n 1" | timeout "$budget" "$build/$program" 2>&1 >/dev/null) || status=$?
    if [ "$status" -ne 0 ]; then
        [ "$status" -eq 124 ] || echo "$program: P $n 1 failed with status $status: $report" >&2
        return "$status"
    fi
    local seconds=${report%% sec,*}
    local growth
    growth=$(echo "$report" | awk '{print $3}')
    echo "$program,$buckets,$n,$seconds,$growth" | tee -a "$csv" >&2
    echo "$seconds"
}

for program in warehouse warehouse-small; do
    case $program in warehouse) buckets=150000 ;; *) buckets=15000 ;; esac
    sweep_sizes 100000000 "$budget" point
done

if ! command -v gnuplot >/dev/null; then
    echo "gnuplot not found: install it (apt-get install gnuplot-nox) to draw $out/sweep.png"
    exit 0
fi
gnuplot <<PLOT
set datafile separator ","
set terminal pngcairo size 1200,500 font ",11"
set output "$out/sweep.png"
set multiplot layout 1,2 title "Efficiency test P n 1: time and peak memory growth"
set logscale xy
set grid
set key top left
set xlabel "generated products n"
set ylabel "seconds"
plot "< grep ',150000,' $csv" using 3:4 with linespoints title "warehouse (150000 buckets)", \
     "< grep ',15000,' $csv" using 3:4 with linespoints title "warehouse-small (15000 buckets)", \
     "< grep ',150000,' $csv" using 3:(\$3*\$3*1e-10) with lines dashtype 2 lc "gray" title "n^2 slope"
set ylabel "peak memory growth (kB)"
plot "< grep ',150000,' $csv" using 3:5 with linespoints title "warehouse (150000 buckets)", \
     "< grep ',15000,' $csv" using 3:5 with linespoints title "warehouse-small (15000 buckets)"
unset multiplot
PLOT
echo "plot: $out/sweep.png"
