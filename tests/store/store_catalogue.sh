#!/usr/bin/env bash
# Usage: store_catalogue.sh WAREHOUSE sqlite|postgres CASE
# The shop's catalogue and what only the store's owner may do, on a store of
# the kind given (PostgreSQL on a server of the case's own, on a Unix
# socket), one behaviour a case. The store's owner is the login that made
# it; a clerk is another login that may change the stock (on SQLite the
# login nobody, on a file it may write; on PostgreSQL a login granted
# warehouse_clerk), a reader one granted warehouse_reader, and a second
# owner a login granted warehouse_owner.
set -u
warehouse=$(realpath "$1")
kind=$2
case=$3
here=$(dirname "$(realpath "$0")")
source "$here/../cases.sh"
scratch=$(mktemp -d) || exit 1
trap '[ "$kind" = sqlite ] || stop_postgres; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
export TZ=UTC0 PGTZ=UTC

if [ "$kind" = postgres ]; then
    source "$here/../postgres_server.sh"
    folder=$(mktemp -d -p /dev/shm 2> /dev/null || mktemp -d)
    trap 'stop_postgres; rm -rf "$scratch" "$folder"' EXIT
    start_postgres "$folder/server" -c fsync=off || { echo "FAIL: the server did not start"; exit 1; }
    make_database shop || exit 1
    store=$(postgres_uri_of shop)
    sql() { psql -X -q -A -t -v ON_ERROR_STOP=1 -d "$store" -c "$1"; }
    text() { echo "convert_from($1, 'UTF8')"; }
    yes_no() { echo "CASE WHEN $1 THEN 1 ELSE 0 END"; }
    as() { echo "${store/user=postgres/user=$1}"; }
    # The logins: made once the owner's first run has made the roles.
    logins() {
        sql "CREATE ROLE clerk LOGIN IN ROLE warehouse_clerk;
             CREATE ROLE reader LOGIN IN ROLE warehouse_reader;
             CREATE ROLE boss LOGIN IN ROLE warehouse_owner"
    }
    clerk() { "$warehouse" --store "$(as clerk)" "$@"; }
    reader() { "$warehouse" --store "$(as reader)" "$@"; }
else
    store=$scratch/shop/s.db
    mkdir -m 1777 shop
    chmod 755 "$scratch"
    sql() { sqlite3 -bail "$store" "$1"; }
    text() { echo "$1"; }
    yes_no() { echo "$1"; }
    logins() {
        [ "$(id -u)" = 0 ] && id nobody > /dev/null 2>&1 || skip "not root, or no login nobody"
        chmod 666 "$store"*
    }
    clerk() { runuser -u nobody -- "$warehouse" --store "$store" "$@"; }
    reader() { skip "an SQLite store has no logins that may only read"; }
fi
owner() { "$warehouse" --store "$store" "$@"; }

# Runs the owner's console with the commands, one a line; a run that does
# not end with status 0 fails the case.
run() {
    local out status
    out=$(printf '%s\n' "$@" | owner 2>&1)
    status=$?
    [ $status = 0 ] || fail "the run of $* ended with status $status: $out"
    printf '%s\n' "$out"
}
catalogue() {
    sql "SELECT $(text id), $(text name), $(text shelf), coalesce(CAST(price_cents AS text), ''),
                coalesce(CAST(cost_cents AS text), ''), coalesce(CAST(reorder_level AS text), ''),
                $(yes_no discontinued) FROM catalogue ORDER BY id"
}

# A product's first delivery makes its record, by A, R, G or another
# program's insert; the record stays when its units reach 0 and when the
# stock is emptied, and a later delivery or withdrawal leaves it as it is.
case_first_delivery_makes_the_record() {
    printf 'L:1;4;1.1;Loaded\n' > load.txt
    # G makes the same products each time.
    run 'A X s1 5 Ecks' 'R load.txt' 'G 2' > /dev/null
    sql "INSERT INTO stock VALUES ('Y', 2, 's2', 'Why')"
    sql "UPDATE catalogue SET price_cents = 350 WHERE id = 'X'"
    run 'D X 5' 'A X s9 1 Other' 'D Y 1' 'E' > /dev/null
    [ "$(sql 'SELECT count(*) FROM stock')" = 0 ] || fail "the stock was not emptied"
    [ "$(catalogue)" = 'L:1|Loaded|1.1||||0
SUK:098765retfg:1214:965|Tyrkisk Peber|8.97||||0
VHT:09876wZetfg:1212:965|Tyrkisk Peber|8.97||||0
X|Ecks|s1|350|||0
Y|Why|s2||||0' ] || fail "the catalogue after A, R, G, an insert, D to 0 and E:
$(catalogue)"
}

# A store of the version before the catalogue, with products in stock and
# products the history alone knows, gets their records from its owner's
# first run (tests/store/store_schema.sh checks each older version).
case_older_store_gets_its_records() {
    run 'A X s1 5 Ecks' 'A Z s3 1 Zed' 'D Z 1' > /dev/null
    if [ "$kind" = postgres ]; then
        sql "DROP TABLE catalogue, catalogue_changes; UPDATE store_version SET version = 5"
    else
        sql "DROP TRIGGER stock_catalogued; DROP TABLE catalogue; DROP TABLE catalogue_changes;
             PRAGMA user_version = 4"
    fi
    run C > /dev/null
    [ "$(catalogue)" = 'X|Ecks|s1||||0
Z||||||0' ] || fail "the records of an older store: $(catalogue)"
}

# E and G run for the store's owner alone; anyone else is told so in one
# line, and the run goes on.
case_only_the_owner_empties_or_fills() {
    run 'A X s 5 n' > /dev/null
    logins
    out=$(printf 'E\nG 3\nD X 1\n' | clerk 2>&1)
    status=$?
    [ $status = 0 ] && [ "$out" = "> E
Only the store's owner may empty the stock.
> G 3
Only the store's owner may add generated products to the stock.
> D X 1
Amount: 4 Shelf: s
> Q" ] || fail "a clerk's E and G: status $status, $out"
    [ "$(sql 'SELECT count(*) FROM stock')" = 1 ] || fail "a clerk's E or G changed the stock"
    out=$(run 'G 3' 'E' 'C')
    grep -qx '0 different kinds of candy.' <<< "$out" || fail "the owner's G and E: $out"
    if [ "$kind" = postgres ]; then
        out=$(printf 'G 2\nC\n' | "$warehouse" --store "$(as boss)" 2>&1)
        grep -qx '2 different kinds of candy.' <<< "$out" || fail "a login granted warehouse_owner: $out"
    fi
}

run_case "$case"
