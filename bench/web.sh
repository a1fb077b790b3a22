#!/usr/bin/env bash
# How fast the owner's view answers over a large store, on SQLite and on
# PostgreSQL (a local server of the benchmark's own). The store is filled
# through warehouse: R of a stock file of 1000000 distinct products (as
# bench/stockfile.sh writes it: 1 to 999 units each), then 200000 commands
# that each change one product (deliveries, withdrawals, some down to 0),
# whose history the benchmark then spreads over 100 days, as a shop's would
# be. (On PostgreSQL the rewritten history is then vacuumed, as the server
# would in time: a table all of whose rows were just rewritten is not what
# a shop's looks like.) The catalogue then gets a price and a cost for all
# but one product in a hundred, and a reorder level for one in ten. Last,
# 2000000 lots: two of every product with 2 units or more, a third of
# some, each a third of its units or fewer, best before a day from a week
# ago to 358 days ahead, spread by the id. Each address is asked RUNS times (default 5) in a row;
# the median and the slowest are printed, against the goal:
#   /, a middle page, /low, /reorder        0.3 s
#   /?q=text                                1.5 s
#   a day's report                          0.3 s
#   a week's report (/days)                 1 s
#   /expiring (14 days), its second page    0.3 s
# and the size of each page's HTML, against 300 KB.
#   /stock.csv, streamed whole              (its peak memory is printed)
# and four searches at once, against one. The view reads the stock's worth
# and what to order before it serves (the time it took to start is
# printed), and carries them across each change; it keeps the last
# window's lot totals while the store is unchanged: /, /reorder and
# /expiring are also timed each after a clerk's delivery. Exits 1 when a
# goal is missed.
# Usage: bench/web.sh [BUILD_DIR]   (BACKENDS="sqlite postgres" by default)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
use_build "${1:-build}"
# The program is built beside warehouse.
web_program=$build/warehouse-web
[ -x "$web_program" ] || { echo "no $web_program: build with WAREHOUSE_WEB=ON"; exit 1; }
runs=${RUNS:-5}
make_work_folder
cd "$work"
source "$OLDPWD/tests/postgres_server.sh"
web_pid=
cleanup() {
    [ -z "$web_pid" ] || kill "$web_pid" 2> /dev/null || true
    stop_postgres
    rm -rf "$work"
}
trap cleanup EXIT

# The 200000 commands over ids of the stock ($1, one a line): a delivery, a
# withdrawal of a few units, or, for one in fifty, a withdrawal of the
# units the product came with, which takes it to 0 when nothing changed it
# before (and is refused otherwise).
write_commands() {
    awk -v n=200000 'BEGIN { srand(7) } { ids[NR] = $0 } END {
        for (i = 0; i < n; ++i) {
            id = ids[1 + int(rand() * NR)]
            r = rand()
            if (r < 0.3) printf "A %s 1.%02d %d Delivered\n", id, int(rand() * 100), 1 + int(rand() * 200)
            else if (r < 0.98) printf "D %s %d\n", id, 1 + int(rand() * 20)
            else { split(id, part, ":"); printf "D %s %d\n", id, 1 + part[2] % 999 }
        }
    }' "$1"
}

# Fills the store $1, and spreads its history over the 100 days before now
# with the statement $3 run by the function $2, which runs SQL on it; $4
# lists the ids in stock; $5 sets the catalogue's prices; $6 makes the
# lots.
fill() {
    printf 'R stock.txt\nQ\n' | "$build/warehouse" --store "$1" > /dev/null
    "$2" "$4" | awk 'NR % 50 == 0' > ids
    { write_commands ids; echo Q; } | "$build/warehouse" --store "$1" > /dev/null
    "$2" "$3"
    "$2" "$5"
    "$2" "$6"
}

# The lots: $1 is a store's number of a day from today, made of an SQL
# number ($2 gives it), and $3 a number of the id. Each of the three
# statements adds one lot to each product that has units for it; the third
# stops at 2000000 in all.
lots_of() {
    local lot="INSERT INTO lots (id, best_before, units, received_at)
               SELECT id, $($1 "(($3) * 7 + \$k * 131) % 365 - 7"), amount / 3, $2 FROM stock
               WHERE amount >= 3"
    echo "${lot//\$k/0}; ${lot//\$k/1}; ${lot//\$k/2}
          LIMIT 2000000 - (SELECT count(*) FROM lots)"
}

sqlite_sql() { sqlite3 sqlite.db "$1"; }
sqlite_day() { echo "date('now', 'localtime', ($1) || ' days')"; }
postgres_day() { echo "current_date + CAST($1 AS integer)"; }
postgres_sql() { psql -X -q -A -t -d "$(postgres_uri_of shop)" -c "$1"; }
awk -v n=1000000 'BEGIN {
    split("LKS GUM SMK MIX SUK TIK VHT", prefix, " ")
    for (i = 0; i < n; ++i)
        printf "%s:%011d:%04d:%03d;%d;%d.%02d;Product %d\n", prefix[i % 7 + 1], i, i % 10000, i % 1000, 1 + i % 999, i % 10, i % 100, i
}' > stock.txt
# The catalogue's prices, by the last three digits of the id ($1: that
# number in the store's SQL).
catalogue_prices() {
    echo "UPDATE catalogue SET price_cents = CASE WHEN $1 % 100 = 0 THEN NULL ELSE 100 + $1 END,
          cost_cents = 60 + $1 / 2, reorder_level = CASE WHEN $1 % 10 = 0 THEN 50 + $1 % 7 ELSE NULL END"
}
SQLITE_SPREAD="UPDATE history SET changed_at = strftime('%Y-%m-%d %H:%M:%f', 'now', '-' || (100 - seq * 100 / (SELECT max(seq) + 1 FROM history)) || ' days', '-' || (seq % 7) || ' hours')"
POSTGRES_SPREAD="UPDATE history SET changed_at = now() - (100 - seq * 100 / (SELECT max(seq) + 1 FROM history)) * interval '1 day' - (seq % 7) * interval '1 hour'"

# Starts the view of store $1, sets url, and prints how long it took to
# serve: it reads the first page's figures and what to order before.
start_web() {
    local started
    started=$(date +%s%N)
    "$web_program" --store "$1" --listen 127.0.0.1:0 > web.out 2> web.err &
    web_pid=$!
    for _ in $(seq 3000); do
        url=$(grep -o 'http://[^ ]*' web.out || true)
        if [ -n "$url" ]; then
            awk -v ns=$(( $(date +%s%N) - started )) -v backend="$backend" \
                'BEGIN { printf "%s: the view served after %.2f s\n", backend, ns / 1e9 }'
            return 0
        fi
        kill -0 "$web_pid" 2> /dev/null || break
        sleep 0.01
    done
    cat web.err
    exit 1
}

# A clerk's delivery of a product new to the store, a change after which
# the view reads the stock's worth and what to order anew.
deliveries=0
clerk_delivers() {
    deliveries=$((deliveries + 1))
    printf 'A BENCH:%d 1.1 1 Bench\nQ\n' "$deliveries" | "$build/warehouse" --store "$store" > /dev/null
}

missed=0
# Asks for $2 RUNS times; prints the median and the slowest against the
# goal $3 (seconds; "-" for none) under the label $1. With a command $4,
# runs it before each request, untimed.
time_address() {
    local label=$1 address=$2 goal=$3 prepare=${4:-} times
    times=$(for _ in $(seq "$runs"); do
        [ -z "$prepare" ] || "$prepare"
        curl -s -o /dev/null -w '%{time_total}\n' "$url$address"
    done | sort -n)
    awk -v label="$label" -v goal="$goal" '{ t[NR] = $1 } END {
        median = t[int((NR + 1) / 2)]
        verdict = goal == "-" ? "" : (t[NR] <= goal ? "ok" : "MISSED")
        printf "| %s | %s | %.3f | %.3f | %s | %s |\n", backend, label, median, t[NR], goal, verdict
        exit verdict == "MISSED"
    }' backend="$backend" <<< "$times" || missed=1
}

for backend in ${BACKENDS:-sqlite postgres}; do
    if [ "$backend" = sqlite ]; then
        store=sqlite.db
        fill "$store" sqlite_sql "$SQLITE_SPREAD" "SELECT id FROM stock ORDER BY id" \
             "$(catalogue_prices "CAST(substr(id, -3) AS integer)")" \
             "$(lots_of sqlite_day "strftime('%Y-%m-%d %H:%M:%f', 'now')" \
                        "CAST(substr(id, 5, 11) AS integer)")"
    else
        start_postgres "$work/server" > /dev/null
        make_database shop
        store=$(postgres_uri_of shop)
        fill "$store" postgres_sql "$POSTGRES_SPREAD" "SELECT encode(id, 'escape') FROM stock ORDER BY id" \
             "$(catalogue_prices "CAST(encode(substring(id from length(id) - 2), 'escape') AS integer)")" \
             "$(lots_of postgres_day "now()" \
                        "CAST(encode(substring(id from 5 for 11), 'escape') AS bigint)")"
        postgres_sql "VACUUM ANALYZE"
    fi
    start_web "$store"
    middle=$(sed -n '10000p' ids)
    day=$(date -d '-50 days' +%F)
    kinds=$(curl -s "$url" | grep -o 'id="kinds">[0-9]*' | grep -o '[0-9]*$')
    entries=$("${backend}_sql" "SELECT count(*) FROM history")
    on_day=$(curl -s "${url}day/$day/commands.csv" | tail -n +2 | wc -l)
    echo "$backend: $kinds kinds, $entries history entries, $on_day commands on $day"
    echo "| store | request | median (s) | slowest (s) | goal (s) | |"
    echo "|---|---|---|---|---|---|"
    time_address "/" "" 0.3
    time_address "/ after a clerk's change" "" 0.3 clerk_delivers
    time_address "/ a middle page" "?after=$middle" 0.3
    time_address "/?sort=amount" "?sort=amount" 0.3
    time_address "/low" "low" 0.3
    time_address "/?q=product (every product)" "?q=product" 1.5
    time_address "/?q=zz (none)" "?q=zz" 1.5
    time_address "/reorder" "reorder" 0.3
    time_address "/reorder after a clerk's change" "reorder" 0.3 clerk_delivers
    time_address "/day/$day" "day/$day" 0.3
    time_address "/days, a week" "days?from=$(date -d '-56 days' +%F)&to=$day" 1
    time_address "/product/$middle" "product/$middle" 0.3
    time_address "/stock.csv" "stock.csv" -
    lots=$("${backend}_sql" "SELECT count(*) FROM lots")
    listed=$(curl -s "${url}expiring" | grep -o 'id="lots-count">[0-9]*' | grep -o '[0-9]*$')
    echo "$backend: $lots lots, $listed of them expired or best before 14 days from today"
    time_address "/expiring" "expiring" 0.3
    time_address "/expiring after a clerk's change" "expiring" 0.3 clerk_delivers
    time_address "/expiring, the second page" "expiring?days=14&page=2" 0.3
    time_address "/expiring?days=0 (expired)" "expiring?days=0" 0.3
    time_address "/expiring?days=0 after a clerk's change" "expiring?days=0" 0.3 clerk_delivers
    time_address "/expiring.csv" "expiring.csv" -
    for address in "" "low" "reorder" "expiring" "day/$day" "days?from=$(date -d '-56 days' +%F)&to=$day"; do
        bytes=$(curl -s "$url$address" | wc -c)
        verdict=ok
        [ "$bytes" -le 300000 ] || { verdict=MISSED; missed=1; }
        echo "| $backend | /$address HTML | $bytes bytes | | 300000 | $verdict |"
    done
    rss=$(awk '/VmHWM/ { print $2 }' "/proc/$web_pid/status")
    size=$(curl -s "${url}stock.csv" | wc -c)
    echo "/stock.csv: $size bytes; the server's peak resident memory: $((rss / 1024)) MiB"
    start=$(date +%s%N)
    curl -s -o /dev/null "$url?q=product"
    one=$(( $(date +%s%N) - start ))
    start=$(date +%s%N)
    searches=()
    for _ in 1 2 3 4; do
        curl -s -o /dev/null "$url?q=product" &
        searches+=($!)
    done
    wait "${searches[@]}"
    four=$(( $(date +%s%N) - start ))
    awk -v one="$one" -v four="$four" 'BEGIN {
        printf "four searches at once: %.3f s, one alone: %.3f s\n", four / 1e9, one / 1e9 }'
    kill "$web_pid"
    wait "$web_pid" 2> /dev/null || true
    web_pid=
done
exit $missed
