#!/usr/bin/env bash
# Usage: web_run.sh WAREHOUSE WAREHOUSE_WEB sqlite|postgres TEST.py [CASE]
# Fills a store of that kind through warehouse with web_fill.in, one run a
# command, starts two views of it, one on the loopback without a key and
# one on every address with its key, and runs the Python test TEST.py
# against them, with the CASE it names. On
# PostgreSQL the views log in as a user that is only granted the role
# warehouse_reader, on a server the test makes and stops
# (postgres_server.sh). Everything it starts is stopped on the way out.
# The clock is set (TZ) so that it is about noon here, and the test's
# commands all fall on one local day.
set -u
warehouse=$1
web=$2
kind=$3
test=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
# Stops the views, which must then end with status 0 and nothing on
# standard error (a sanitizer's report, a leak) but their log of the store
# that could not be read, and what else was started.
cleanup() {
    local status=$? view=0
    for pid in "${pids[@]}"; do
        kill "$pid" 2> /dev/null
        wait "$pid"
        local ended=$?
        if [ "$ended" -ne 0 ] || grep -qv "^${web##*/}: store " "$work/view.$view.err"; then
            echo "FAIL: the view ended with status $ended:"
            cat "$work/view.$view.err"
            status=1
        fi
        view=$((view + 1))
    done
    [ "$kind" != postgres ] || stop_postgres
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT

# Debian's python3 has python3-selenium; another one first on the PATH may
# not.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

hour=$(date -u +%H)
export TZ="TST$((10#$hour - 12))"

if [ "$kind" = postgres ]; then
    source "$here/../postgres_server.sh"
    start_postgres "$work/server" || exit 1
    make_database shop || exit 1
    store=$(postgres_uri_of shop)
    reader="postgresql:///shop?host=$postgres_folder&user=owner"
else
    store=$work/store.db
    reader=$store
fi
# One run a command, as clerks at the counter would.
while IFS= read -r command; do
    printf '%s\n' "$command" | "$warehouse" --store "$store" > /dev/null ||
        { echo "filling the store failed at: $command"; exit 1; }
done < "$here/web_fill.in"
if [ "$kind" = postgres ]; then
    # The store makes the role where its first run may; else this does.
    psql -X -q -d "$store" -c "DO \$\$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles
            WHERE rolname = 'warehouse_reader') THEN CREATE ROLE warehouse_reader; END IF; END \$\$" \
        -c "GRANT SELECT ON stock, history, store_version, catalogue, catalogue_changes, lots TO warehouse_reader" \
        -c "CREATE ROLE owner LOGIN IN ROLE warehouse_reader" || exit 1
fi

# Starts a view listening on $1 (with the options that follow) and sets url
# to the first address it prints once it serves.
start_view() {
    local out=$work/view.${#pids[@]}
    "$web" --store "$reader" --listen "$@" > "$out" 2> "$out.err" &
    pids+=($!)
    for _ in $(seq 200); do
        url=$(grep -o 'http://[^ ]*' "$out")
        [ -n "$url" ] && return 0
        kill -0 "${pids[-1]}" 2> /dev/null || break
        sleep 0.05
    done
    cat "$out.err"
    echo "the view on $1 did not start"
    exit 1
}

start_view 127.0.0.1:0
export PLAIN_URL=$url
start_view 0.0.0.0:0 --key-file "$work/key"
# It prints the machine's own addresses; the test reaches it on the loopback.
export KEYED_URL=http://127.0.0.1:${url#http://*:}
export KEY_FILE=$work/key VIEW_OUT=$work/view.1 VIEW_LOG=$work/view.0.err
export WAREHOUSE=$warehouse WAREHOUSE_WEB=$web VIEWED_STORE=$store WAREHOUSE_KIND=$kind
"$python" "$here/$test" "${@:5}"
