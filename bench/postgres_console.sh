#!/usr/bin/env bash
# The PostgreSQL console workload of bench/store.sh (its 100000-command
# console script on a fresh database of a local server of the benchmark's
# own), for builds taking turns, best and median of RUNS (default 3)
# wall-clock seconds: a change of the store's triggers side by side with
# the build before it.
# Usage: bench/postgres_console.sh BUILD_DIR [OTHER_BUILD_DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
source bench/common.sh
runs=${RUNS:-3}
make_work_folder
cd "$work"
source "$here/tests/postgres_server.sh"
start_postgres "$work/server" > /dev/null
trap 'stop_postgres; rm -rf "$work"' EXIT
write_console_script script
declare -A best times
builds=()
for build in "$@"; do builds+=("$(realpath "$build")"); done
for _ in $(seq "$runs"); do
    for build in "${builds[@]}"; do
        psql -X -q -d "$postgres_uri" -c 'DROP DATABASE IF EXISTS fresh' -c 'CREATE DATABASE fresh' 2> /dev/null
        start=$(date +%s%N)
        "$build/warehouse" --store "$(postgres_uri_of fresh)" < script > /dev/null
        end=$(date +%s%N)
        took=$((end - start))
        [ -n "${best[$build]:-}" ] && [ "${best[$build]}" -le "$took" ] || best[$build]=$took
        times[$build]+="$took "
    done
done
for build in "${builds[@]}"; do
    median=$(tr ' ' '\n' <<< "${times[$build]}" | grep . | sort -n | awk '{ t[NR] = $1 }
        END { print NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }')
    awk -v b="$build" -v t="${best[$build]}" -v m="$median" \
        'BEGIN { printf "%-30s %6.3f s, median %6.3f s\n", b, t / 1e9, m / 1e9 }'
done
