#!/usr/bin/env bash
# What the PostgreSQL console script of bench/store.sh costs, piece by piece,
# against the run without a store: the whole run; the run with the stock's
# triggers turned off (the run's own work and its writes of the stock, with
# no history); and the history's entries of a whole run inserted bare into a
# fresh store's history, a statement a transaction as the run makes them,
# with the history's indexes and with its key alone. Medians of RUNS
# (default 5) wall-clock seconds, each on a database made anew by an empty
# run, so that the store's making is not timed.
# Usage: bench/postgres_floor.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
source bench/common.sh
use_build "${1:?usage: bench/postgres_floor.sh BUILD_DIR}"
runs=${RUNS:-5}
make_work_folder
cd "$work"
chmod 755 "$work"
source "$here/tests/postgres_server.sh"
start_postgres "$work/server" > /dev/null
trap 'stop_postgres; rm -rf "$work"' EXIT
write_console_script script
fresh=$(postgres_uri_of fresh)

sql() { psql -X -q -v ON_ERROR_STOP=1 -d "$1" "${@:2}"; }

made_anew() {
    sql "$postgres_uri" -c 'DROP DATABASE IF EXISTS fresh' -c 'CREATE DATABASE fresh' 2> /dev/null
    "$build/warehouse" --store "$fresh" < /dev/null > /dev/null
}

milliseconds() {
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}

median() {
    tr ' ' '\n' <<< "$1" | grep . | sort -n |
        awk '{ t[NR] = $1 } END { print NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'
}

# The entries of one whole run, each with the number of its transaction.
made_anew
"$build/warehouse" --store "$fresh" < script > /dev/null
sql "$fresh" -c "\\copy (SELECT command_no, changed_at, clerk, command, id, amount_before,
    amount_after, named_clerk, xid, kind, dense_rank() OVER (ORDER BY xid)
    FROM history ORDER BY seq) TO '$work/entries'"
transactions=$(sql "$fresh" -At -c 'SELECT count(DISTINCT xid) FROM history')
entries=$(wc -l < entries)

without_store() { "$build/warehouse" < script; }
whole_run() { "$build/warehouse" --store "$fresh" < script; }
insert_entries() {
    for transaction in $(seq "$transactions"); do
        echo "INSERT INTO history (command_no, changed_at, clerk, command, id,
              amount_before, amount_after, named_clerk, xid, kind)
              SELECT command_no, changed_at, clerk, command, id, amount_before,
                     amount_after, named_clerk, xid, kind
              FROM entries WHERE transaction = $transaction;"
    done | sql "$fresh"
}
with_entries() {
    made_anew
    sql "$fresh" -c 'CREATE TABLE entries (command_no bigint, changed_at timestamptz,
        clerk text, command bytea, id bytea, amount_before bigint, amount_after bigint,
        named_clerk text, xid xid8, kind text, transaction integer)' \
        -c "\\copy entries FROM '$work/entries'" "$@"
}

declare -A times
for _ in $(seq "$runs"); do
    times[none]+="$(milliseconds without_store) "
    made_anew
    times[whole]+="$(milliseconds whole_run) "
    made_anew
    sql "$fresh" -c 'ALTER TABLE stock DISABLE TRIGGER USER'
    times[untriggered]+="$(milliseconds whole_run) "
    with_entries
    times[entries]+="$(milliseconds insert_entries) "
    with_entries -c 'DROP INDEX history_by_id, history_by_time, history_by_xid, history_by_command'
    times[keyed]+="$(milliseconds insert_entries) "
done
report() { printf '%-62s %6s ms\n' "$1" "$(median "${times[$2]}")"; }
report "the script without a store" none
report "the script on PostgreSQL" whole
report "the same with the stock's triggers off (no history)" untriggered
report "its $entries entries inserted bare, $transactions statements" entries
report "the same into the history with its key alone" keyed
