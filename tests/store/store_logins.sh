# Sourced by the store's scripts of what only its owner may do (usage:
# SCRIPT WAREHOUSE sqlite|postgres CASE): the store of the kind given in a
# scratch folder, on PostgreSQL on a server of the case's own, its logins
# (owner, clerk, reader and a login granted warehouse_owner) and how each
# runs the program; sql and its helpers in the dialect of the store; run, the
# owner's console that must end with status 0.
warehouse=$(realpath "$1")
kind=$2
case=$3
here=$(dirname "$(realpath "$0")")
source "$here/../cases.sh"
scratch=$(mktemp -d) || exit 1
program=$warehouse
source "$here/store_runs.sh"
trap 'stop_runs; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
export TZ=UTC0 PGTZ=UTC
# A folder every login may write in: the SQLite store's, and the files the
# cases' logins write.
mkdir -m 1777 shop

if [ "$kind" = postgres ]; then
    source "$here/../postgres_server.sh"
    folder=$(mktemp -d -p /dev/shm 2> /dev/null || mktemp -d)
    trap 'stop_runs; stop_postgres; rm -rf "$scratch" "$folder"' EXIT
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
