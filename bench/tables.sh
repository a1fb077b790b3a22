#!/usr/bin/env bash
# The table comparison: runs the efficiency test's workload, "P n 1", over the
# program's own table (150000 and 15000 buckets) and over the tables a user
# would pick instead, for n from 1000 up in quarter decades, and records the
# seconds each takes and the heap memory it holds at the end. Every run checks
# its table's result lines against a reference table and fails on a
# difference. A table's sweep ends before a run that would pass the time
# budget if its time grew with the square of n, when a run is cut off at the
# budget, or at the largest n.
# Writes tables.csv and, when gnuplot is installed, tables.png into OUT_DIR.
# Usage: bench/tables.sh [--quick] [--plot] [--out OUT_DIR]
#   --quick   a budget of 1 second a run and n up to 10000, in about a minute
#   --plot    only draw tables.png again from the tables.csv in OUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
budget=60
largest=10000000
out=build-bench/tables
plot_only=false
while [ $# -gt 0 ]; do
    case $1 in
        --quick) budget=1; largest=10000 ;;
        --plot) plot_only=true ;;
        --out) out=$2; shift ;;
        *) echo "usage: $0 [--quick] [--plot] [--out OUT_DIR]" >&2; exit 2 ;;
    esac
    shift
done
.ci/install-deps bench
mkdir -p "$out"
csv=$out/tables.csv

# One point: the workload over $table for n. Google Benchmark repeats a fast
# run until it has measured enough; the wall-clock limit leaves room for that
# and for the reference run.
point() {
    local n=$1 status=0
    timeout $((budget * 3 + 10)) "build-bench/$binary" --table="$name" --n="$n" \
        --benchmark_min_time=0.2 > "$out/last.out" 2> "$out/last.log" || status=$?
    if [ "$status" -ne 0 ]; then
        [ "$status" -eq 124 ] || { cat "$out/last.log"; echo "$table: n=$n failed (status $status)"; } >&2
        return "$status"
    fi
    local row
    row=$(grep '^ROW ' "$out/last.out")
    echo "${row#ROW }" | tee -a "$csv" >&2
    echo "$row" | cut -d, -f3
}

if ! $plot_only; then
    cmake -S . -B build-bench -DWAREHOUSE_BENCH=ON -DWAREHOUSE_TESTS=OFF > /dev/null
    cmake --build build-bench -j --target tables_150000 tables_15000 > /dev/null
    echo "table,n,seconds,memory_bytes,lines" > "$csv"
    for table in warehouse warehouse-small refilling_chains unordered_map flat_map; do
        case $table in
            warehouse) binary=tables_150000; name=warehouse ;;
            warehouse-small) binary=tables_15000; name=warehouse ;;
            *) binary=tables_150000; name=$table ;;
        esac
        sweep_sizes "$largest" "$budget" point
    done
fi

if ! command -v gnuplot > /dev/null; then
    echo "gnuplot not found: install it (apt-get install gnuplot-nox) to draw $out/tables.png"
    exit 0
fi
gnuplot <<PLOT
set datafile separator ","
set terminal pngcairo size 1200,500 font ",11" noenhanced
set output "$out/tables.png"
set multiplot layout 1,2 title "Efficiency test workload P n 1 over five tables"
set logscale xy
set grid
set key top left
set xlabel "generated products n"
set ylabel "seconds"
tables = "warehouse warehouse-small refilling_chains unordered_map flat_map"
plot for [t in tables] "< grep '^".t.",' $csv" using 2:3 with linespoints title t
set ylabel "heap held at the end (MB)"
plot for [t in tables] "< grep '^".t.",' $csv" using 2:(\$4/1e6) with linespoints title t
unset multiplot
PLOT
echo "plot: $out/tables.png"
