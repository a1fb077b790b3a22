#!/usr/bin/env bash
# What stock-taking costs: a delivery note of 100000 dated lines, then a
# count sheet of 100000 lines, each a difference (every product one unit
# fewer, two in three with a reason), on a store of 100000 products, on
# SQLite and on PostgreSQL (a local server of the benchmark's own); the
# wall-clock, user and system seconds of each job.
# Usage: bench/stock_take.sh [BUILD_DIR]
set -u
cd "$(dirname "$0")/.."
W=$(realpath "${1:-build}")/warehouse
here=$PWD
work=$(mktemp -d -p /dev/shm 2> /dev/null || mktemp -d)
trap 'stop_postgres; rm -rf "$work"' EXIT
cd "$work" || exit 1
awk 'BEGIN { for (i = 0; i < 100000; i++) printf "P%06d;%d;s%03d;Product %d\n", i, 10 + i % 7, i % 500, i }' > stock.txt
awk 'BEGIN { print "id,counted,reason"; for (i = 0; i < 100000; i++) printf "P%06d,%d,%s\n", i, 9 + i % 7, (i % 3 ? "damaged" : "") }' > count.csv
awk 'BEGIN { print "id,amount,best_before"; for (i = 0; i < 100000; i++) printf "P%06d,3,2027-%02d-%02d\n", i, 1 + i % 12, 1 + i % 28 }' > note.csv
printf 'R stock.txt\n' | "$W" --store s.db > /dev/null
echo "SQLite:"
/usr/bin/time -f "  --deliveries of 100000 lines: %e s wall, %U s user, %S s system" "$W" --store s.db --deliveries note.csv > /dev/null
/usr/bin/time -f "  --count of 100000 lines: %e s wall, %U s user, %S s system" "$W" --store s.db --count count.csv
source "$here/tests/postgres_server.sh"
start_postgres "$work/server" -c fsync=off > /dev/null || exit 1
make_database shop
uri=$(postgres_uri_of shop)
printf 'R stock.txt\n' | "$W" --store "$uri" > /dev/null
echo "PostgreSQL:"
/usr/bin/time -f "  --deliveries of 100000 lines: %e s wall, %U s user, %S s system" "$W" --store "$uri" --deliveries note.csv > /dev/null
/usr/bin/time -f "  --count of 100000 lines: %e s wall, %U s user, %S s system" "$W" --store "$uri" --count count.csv
psql -X -A -t -d "$uri" -c "SELECT count(*), count(reason) FROM history WHERE kind = 'count'"
