# Sourced by the PostgreSQL suites whose cases share one server, which
# CTest starts before the first of them and stops after the last (a
# fixture, tests/CMakeLists.txt): the suite's start_server entry runs
# start_shared_server, each case use_shared_server and then case_database
# for a database of its own, and the stop_server entry stop_shared_server.
# RECORD, a file in the build folder, names the server's folder for them.
#
# The servers' folders are in memory (/dev/shm) where the machine has it:
# there initdb takes a third of the time it takes on disk, and a new
# database a fifth. A case that must have a server to itself (it stops the
# server, or needs one the store's roles were never made on) starts one
# with start_private_server.

source "$(dirname "${BASH_SOURCE[0]}")/../../postgres_server.sh"

in_memory_folder() { mktemp -d -p /dev/shm 2> /dev/null || mktemp -d; }

# start_shared_server RECORD [SERVER OPTIONS...]: a server started, and
# RECORD naming its folder. A server that RECORD names from before (a run
# stopped before its stop_server entry) is stopped first. The store's roles
# are made at once: the first runs of the cases' stores, at the same time,
# would each try to make them, and one would fail.
start_shared_server() {
    local record=$1 folder
    shift
    stop_shared_server "$record"
    folder=$(in_memory_folder) || return 1
    echo "$folder" > "$record"
    start_postgres "$folder/server" -c fsync=off "$@" || return 1
    psql -X -q -v ON_ERROR_STOP=1 -d "$postgres_uri" -c 'CREATE ROLE warehouse_reader NOLOGIN' \
        -c 'CREATE ROLE warehouse_clerk NOLOGIN IN ROLE warehouse_reader' \
        -c 'CREATE ROLE warehouse_owner NOLOGIN IN ROLE warehouse_clerk' > /dev/null
}

stop_shared_server() {
    local record=$1
    [ -f "$record" ] || return 0
    postgres_folder=$(cat "$record")/server
    stop_postgres
    rm -rf "$(dirname "$postgres_folder")" "$record"
}

# use_shared_server RECORD: postgres_uri_of and make_database use the
# server RECORD names (and its port, where it listens on one of its own).
use_shared_server() {
    [ -f "$1" ] || { echo "FAIL: no server: $1 is missing (the suite's start_server entry makes it)"; exit 1; }
    postgres_folder=$(cat "$1")/server
    postgres_uri=$(postgres_uri_of postgres)
    [ ! -f "$postgres_folder/../port" ] || export PGPORT=$(cat "$postgres_folder/../port")
}

# case_database: a new database of this case's own on the shared server,
# named after the case and the program; db is its name and uri its URI. It
# stays until the server is stopped (a database dropped costs a
# checkpoint); one that a run of the same case left on the same server is
# dropped first.
case_database() {
    db=${case}_${name}
    [ "${#db}" -le 63 ] || { echo "FAIL: the database name $db is longer than 63 bytes"; exit 1; }
    make_database "$db" 2> /dev/null ||
        { psql -X -q -d "$postgres_uri" -c "DROP DATABASE IF EXISTS \"$db\" WITH (FORCE)" > /dev/null &&
            make_database "$db"; } || { echo "FAIL: the database $db was not made"; exit 1; }
    uri=$(postgres_uri_of "$db")
}

# start_private_server: a server of this case's own, for postgres_uri_of
# and make_database; stop_private_server stops it and removes its folder.
private_folder=
start_private_server() {
    private_folder=$(in_memory_folder) || exit 1
    start_postgres "$private_folder/server" -c fsync=off || { echo "FAIL: the server did not start"; exit 1; }
}
stop_private_server() {
    [ -n "$private_folder" ] || return 0
    stop_postgres
    rm -rf "$private_folder"
}

# end_sleepers URI: the clients of that database that sleep (pg_sleep,
# holding a lock for a case) are woken: their statement is cancelled, and
# their transaction with it, so that the case need not wait out the rest
# of their sleep once it has what it checks.
end_sleepers() {
    psql -X -q -A -t -d "$1" -c "SELECT count(pg_cancel_backend(pid)) FROM pg_stat_activity
        WHERE datname = current_database() AND pid <> pg_backend_pid() AND query LIKE '%pg_sleep%'" > /dev/null
}
