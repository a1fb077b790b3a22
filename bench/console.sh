#!/usr/bin/env bash
# Console throughput: pipes a script of 100000 "A", "F" and "D" commands over
# a few thousand ids into each program, standard output to /dev/null, and
# compares the time with replaying the same output at one write(2) per line
# and per prompt, the least that flushing every line costs; and times a run
# with no input at all, which only builds and releases the table.
# Usage: bench/console.sh [BUILD_DIR]   (default: build, made by "make")
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
use_build "${1:-build}"
commands=100000  # as write_console_script makes them
runs=${RUNS:-5}
make_work_folder

write_console_script "$work/script"

# The best wall-clock seconds of $runs runs of a command.
best_of() {
    local best=""
    for _ in $(seq $runs); do
        local start end took
        start=$(date +%s%N)
        "$@" > /dev/null
        end=$(date +%s%N)
        took=$(( end - start ))
        if [ -z "$best" ] || [ "$took" -lt "$best" ]; then best=$took; fi
    done
    echo "$best"
}

run_program() { "$1" < "$work/script"; }

run_idle() { "$1" < /dev/null; }

printf '%-16s %10s %14s %12s %8s %10s\n' program seconds commands/s floor-s ratio idle-ms
for program in warehouse warehouse-small; do
    "$build/$program" < "$work/script" > "$work/$program.out"
    ns=$(best_of run_program "$build/$program")
    floor=$(best_of "$build/replay" "$work/$program.out")
    idle=$(best_of run_idle "$build/$program")
    echo "$idle" > "$work/$program.idle"
    awk -v p=$program -v ns=$ns -v f=$floor -v n=$commands -v i=$idle 'BEGIN {
        printf "%-16s %10.3f %14.0f %12.3f %8.2f %10.2f\n", p, ns / 1e9, n / (ns / 1e9), f / 1e9, ns / f, i / 1e6
    }'
done
# Starting and stopping: building and releasing the table, nothing else.
awk -v l="$(cat "$work/warehouse.idle")" -v s="$(cat "$work/warehouse-small.idle")" 'BEGIN {
    printf "warehouse starts and stops in %.2f times what warehouse-small takes\n", l / s
}'
