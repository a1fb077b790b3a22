# Sourced by the tests and benchmarks that need a PostgreSQL server of their
# own: a server made with initdb in a scratch folder, listening on a Unix
# socket in that folder only, trusting the logins made there.
#
# start_postgres FOLDER [SERVER OPTIONS...] starts it and sets postgres_uri
# to the URI of its database "postgres"; postgres_uri_of NAME gives the URI
# of another; make_database NAME makes one; stop_postgres [MODE] stops the
# server (fast, or as pg_ctl's MODE says), and start_postgres_again starts
# it as it was.
# Root may not run the server: it then runs as the user postgres, which the
# Debian package makes.

# The folder of the server's programs: Debian keeps them out of the PATH.
postgres_bin=$(ls -d /usr/lib/postgresql/*/bin 2> /dev/null | sort -V | tail -n 1)
[ -n "$postgres_bin" ] || postgres_bin=$(dirname "$(command -v initdb 2> /dev/null || echo /)")

# Runs a command as the user the server runs as.
as_server() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

start_postgres() {
    postgres_folder=$1
    shift
    [ -x "$postgres_bin/initdb" ] || { echo "no PostgreSQL server is installed"; return 1; }
    mkdir -p "$postgres_folder" || return 1
    [ "$(id -u)" -ne 0 ] || chown postgres "$postgres_folder" || return 1
    chmod 755 "$(dirname "$postgres_folder")"
    as_server "$postgres_bin/initdb" -D "$postgres_folder/data" --auth=trust --username=postgres \
        --encoding=UTF8 --no-sync > "$postgres_folder/initdb.log" 2>&1 ||
        { cat "$postgres_folder/initdb.log"; return 1; }
    printf '%s' "-c listen_addresses='' -c unix_socket_directories='$postgres_folder' $*" \
        > "$postgres_folder/options"
    start_postgres_again || return 1
    postgres_uri=$(postgres_uri_of postgres)
}

start_postgres_again() {
    as_server "$postgres_bin/pg_ctl" -D "$postgres_folder/data" -l "$postgres_folder/server.log" \
        -o "$(cat "$postgres_folder/options")" -w -t 30 start > /dev/null ||
        { cat "$postgres_folder/server.log"; return 1; }
}

postgres_uri_of() {
    echo "postgresql:///$1?host=$postgres_folder&user=postgres"
}

make_database() {
    psql -X -q -d "$postgres_uri" -c "CREATE DATABASE \"$1\"" > /dev/null
}

stop_postgres() {
    [ -n "${postgres_folder:-}" ] && [ -d "$postgres_folder/data" ] || return 0
    as_server "$postgres_bin/pg_ctl" -D "$postgres_folder/data" -m "${1:-fast}" -w stop > /dev/null 2>&1
}
