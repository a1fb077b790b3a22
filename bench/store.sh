#!/usr/bin/env bash
# What keeping the stock in a store costs, side by side in one run, for each
# program (best of RUNS, default 3):
#  - the 100000-command console script of bench/console.sh, with a fresh
#    store and without one (goal: at most 2.5 times);
#  - "G 1000000" with a fresh store and without one (goal: at most 3 times);
#  - starting on the products of "G 1000000" in the store and quitting,
#    against "R" of the same products from a stock file whose lines are in
#    random order (goal: at most 1.5 times);
#  - four runs at once on one fresh store, each with a quarter of the
#    console script, against one run of the whole script, both with a
#    store (goal: at most 3 times);
#  - the console script and "G 1000000" with a fresh store on PostgreSQL,
#    on a local server of the benchmark's own, against no store (goals: at
#    most 6 and 5 times).
# Exits 1 when a goal is missed.
# Usage: bench/store.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
use_build "${1:-build}"
runs=${RUNS:-3}
make_work_folder
cd "$work"
source "$OLDPWD/tests/postgres_server.sh"
start_postgres "$work/server" > /dev/null
trap 'stop_postgres; rm -rf "$work"' EXIT
fresh_uri=$(postgres_uri_of fresh)

write_console_script script
split -n l/4 -d script quarter.
printf 'G 1000000\n' > generate
printf 'Q\n' > quit
printf 'R shuffled.txt\nQ\n' > load

# The best wall-clock nanoseconds of $runs runs of a shell command; the store
# named fresh.db, and the database named fresh, are made anew before each
# run.
best_of() {
    local best="" start end
    for _ in $(seq "$runs"); do
        rm -f fresh.db fresh.db-wal fresh.db-shm
        psql -X -q -d "$postgres_uri" -c 'DROP DATABASE IF EXISTS fresh' -c 'CREATE DATABASE fresh' 2> /dev/null
        start=$(date +%s%N)
        sh -c "$1" > /dev/null
        end=$(date +%s%N)
        if [ -z "$best" ] || [ $((end - start)) -lt "$best" ]; then best=$((end - start)); fi
    done
    echo "$best"
}

missed=0
# Prints one comparison and notes a missed goal.
compare() {
    awk -v what="$1" -v with="$2" -v without="$3" -v goal="$4" 'BEGIN {
        ratio = with / without
        printf "  %-44s %9.3f s %9.3f s %7.2f   %s\n", what, with / 1e9, without / 1e9, ratio, ratio <= goal ? "ok" : "MISSED"
        exit ratio > goal
    }' || missed=1
}

echo "$(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
printf '  %-44s %11s %11s %7s\n' "" "with store" "without" ratio
for program in warehouse warehouse-small; do
    binary=$build/$program
    echo "$program"
    compare "100000 console commands (<= 2.5)" \
        "$(best_of "'$binary' --store fresh.db < script")" "$(best_of "'$binary' < script")" 2.5
    compare "G 1000000 (<= 3)" \
        "$(best_of "'$binary' --store fresh.db < generate")" "$(best_of "'$binary' < generate")" 3
    rm -f stocked.db
    "$binary" --store stocked.db < generate > /dev/null
    printf 'W saved.txt\n' | "$binary" --store stocked.db > /dev/null
    shuf --random-source=<(yes) saved.txt > shuffled.txt
    compare "start on G 1000000 / R (<= 1.5)" \
        "$(best_of "'$binary' --store stocked.db < quit")" "$(best_of "'$binary' < load")" 1.5
    together="for quarter in quarter.*; do '$binary' --store fresh.db < \$quarter & done; wait"
    compare "4 runs at once / 1 run, both stored (<= 3)" \
        "$(best_of "$together")" "$(best_of "'$binary' --store fresh.db < script")" 3
    compare "PostgreSQL: 100000 console commands (<= 6)" \
        "$(best_of "'$binary' --store '$fresh_uri' < script")" "$(best_of "'$binary' < script")" 6
    compare "PostgreSQL: G 1000000 (<= 5)" \
        "$(best_of "'$binary' --store '$fresh_uri' < generate")" "$(best_of "'$binary' < generate")" 5
done
exit $missed
