#!/usr/bin/env bash
# What a clerk's withdrawals cost on a store, for two builds side by side
# (such as before and after a change of the store): a store of 5000
# products for each build, on SQLite and on PostgreSQL (a local server of
# the benchmark's own), then a script of 50000 "D id 1" piped into a run of
# each, the builds taking turns, best of RUNS (default 9). It reports the
# processor time (user and system) of the runs, which a machine shared with
# other work disturbs less than the wall clock.
# Usage: bench/withdrawals.sh BUILD_DIR OTHER_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
first=$(realpath "$1")/warehouse
second=$(realpath "$2")/warehouse
runs=${RUNS:-9}
source tests/postgres_server.sh
work=$(mktemp -d -p /dev/shm 2> /dev/null || mktemp -d)
trap 'stop_postgres; rm -rf "$work"' EXIT
start_postgres "$work/server" > /dev/null
cd "$work"
awk 'BEGIN { for (i = 0; i < 5000; ++i) printf "A P%04d s 1000000 Candy %d\n", i, i }' > fill
awk 'BEGIN { srand(7); for (i = 0; i < 50000; ++i) printf "D P%04d 1\n", int(rand() * 5000) }' > withdraw
for which in first second; do
    "${!which}" --store $which.db < fill > /dev/null
    make_database $which
    "${!which}" --store "$(postgres_uri_of $which)" < fill > /dev/null
done
declare -A best
for _ in $(seq "$runs"); do
    for which in first second; do
        for kind in sqlite postgres; do
            store=$which.db
            [ $kind = sqlite ] || store=$(postgres_uri_of $which)
            took=$( { /usr/bin/time -f '%U %S' "${!which}" --store "$store" < withdraw > /dev/null; } 2>&1 |
                awk '{ printf "%d", ($1 + $2) * 1000 }')
            [ -n "${best[$which$kind]:-}" ] && [ "${best[$which$kind]}" -le "$took" ] ||
                best[$which$kind]=$took
        done
    done
done
printf '%-40s %12s %16s\n' build 'SQLite (s)' 'PostgreSQL (s)'
for which in first second; do
    awk -v build="${!which}" -v s="${best[${which}sqlite]}" -v p="${best[${which}postgres]}" \
        'BEGIN { printf "%-40s %12.2f %16.2f\n", build, s / 1000, p / 1000 }'
done
