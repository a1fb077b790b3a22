#!/usr/bin/env bash
# Usage: store_schema.sh WAREHOUSE WAREHOUSE_WEB|- FIXTURES sqlite|postgres CASE
# The versions of a store's shape and the kind of each change, on a store of
# the kind given (PostgreSQL on a server of the test's own, on a Unix
# socket), one behaviour a CASE:
#   upgrade        each older version's fixture, brought up to date by a run,
#                  keeps its stock and history, its entries get their
#                  kinds, and its products their records in the catalogue
#                  (those the history alone knows with no name or shelf),
#                  and it has a new store's tables, indexes and triggers
#                  (on SQLite, the count of other programs' changes to the
#                  catalogue starts at 0); the owner's view refuses it
#                  before and reads it after (on PostgreSQL a clerk's run
#                  first works with it as it is);
#   newer          a store of the version after this one is refused, as it
#                  is, by the console and by the owner's view;
#   commands       every kind of command writes its kind;
#   other_program  another program's changes, in plain SQL, are other;
#   day_page       the owner's day report counts by kind, not by the text.
# The versions are the program's own: the version of a store it makes.
set -u
warehouse=$(realpath "$1")
web=$2
[ "$web" = - ] || web=$(realpath "$web")
fixtures=$(realpath "$3")
kind=$4
case=$5
here=$(dirname "$(realpath "$0")")
scratch=$(mktemp -d) || exit 1
view_pid=
trap 'stop_view; [ "$kind" = sqlite ] || stop_postgres; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
# Failures are kept in a file: a check may run in a subshell. The file is
# there from the start, so that a scratch folder lost mid-case, and every
# failure with it, is a failure too.
: > "$scratch/failures"
fail() { echo "FAIL: $*" | tee -a "$scratch/failures" >&2; }
export TZ=UTC0 PGTZ=UTC

# What differs between the kinds: where a store is, the SQL client, and the
# SQL that reads bytes and times as text.
if [ "$kind" = postgres ]; then
    source "$here/../postgres_server.sh"
    start_postgres "$scratch/server" -c fsync=off || { echo "FAIL: the server did not start"; exit 1; }
    new_store() { make_database "$1" && postgres_uri_of "$1"; }
    sql() { psql -X -q -A -t -v ON_ERROR_STOP=1 -d "$1" -c "$2"; }
    load() { psql -X -q -v ON_ERROR_STOP=1 -d "$1" -f "$2" > /dev/null; }
    version_of() { sql "$1" 'SELECT max(version) FROM store_version'; }
    set_version() { sql "$1" "UPDATE store_version SET version = $2"; }
    shape_of() {
        sql "$1" "SELECT table_name, column_name, data_type, is_nullable, column_default
                  FROM information_schema.columns WHERE table_schema = current_schema()
                  ORDER BY table_name, ordinal_position"
    }
    # Each index's name, table and columns, one a line.
    indexes_of() {
        sql "$1" "SELECT indexdef FROM pg_indexes WHERE schemaname = current_schema() ORDER BY indexname"
    }
    triggers_of() { sql "$1" "SELECT tgname FROM pg_trigger WHERE NOT tgisinternal ORDER BY 1"; }
    # The indexes from which the owner's view totals the lots of a window.
    totals_indexes='CREATE INDEX catalogue_costs ON public.catalogue USING btree (id) INCLUDE (cost_cents)
CREATE INDEX lots_by_date ON public.lots USING btree (best_before, lot) INCLUDE (id, units)'
    text() { echo "convert_from($1, 'UTF8')"; }
    time_of() { echo "to_char($1::timestamptz AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.MS')"; }
    now="'2026-04-01 10:00:00+00'"
    xid=", xid"
    this_xid=", pg_current_xact_id()"
    oldest=2
    viewed=6  # the first version with the catalogue that the view reads
else
    new_store() { echo "$scratch/$1.db"; }
    sql() { sqlite3 -bail "$1" "$2"; }
    load() { sqlite3 -bail "$1" < "$2"; }
    version_of() { sql "$1" 'PRAGMA user_version'; }
    set_version() { sql "$1" "PRAGMA user_version = $2"; }
    shape_of() {
        sql "$1" "SELECT t.name, c.* FROM sqlite_schema t, pragma_table_info(t.name) c
                  WHERE t.type = 'table' ORDER BY t.name, c.cid"
    }
    indexes_of() {
        sql "$1" "SELECT m.name || ' ' || (SELECT group_concat(name) FROM pragma_index_info(m.name))
                  FROM sqlite_schema m WHERE type = 'index' AND sql IS NOT NULL ORDER BY 1"
    }
    triggers_of() { sql "$1" "SELECT name FROM sqlite_schema WHERE type = 'trigger' ORDER BY 1"; }
    totals_indexes='lots_by_date best_before,lot,id,units'
    text() { echo "$1"; }
    time_of() { echo "$1"; }
    now="'2026-04-01 10:00:00.000'"
    xid=
    this_xid=
    oldest=1
    viewed=5  # the first version with the catalogue that the view reads
fi

# Runs the console on the store with the commands, one a line, and prints
# what it says; a run that does not end with status 0 fails the test.
run() {
    local out status
    out=$(printf '%s\n' "$@" | "$warehouse" --store "$store" 2>&1)
    status=$?
    [ $status = 0 ] || fail "the run of $* ended with status $status: $out"
    printf '%s\n' "$out"
}
stock_rows() { sql "$1" "SELECT $(text id), amount, $(text shelf), $(text name) FROM stock ORDER BY id"; }
history_rows() {
    sql "$1" "SELECT seq, command_no, $(time_of changed_at), clerk, $(text command), $(text id),
              amount_before, amount_after FROM history ORDER BY seq"
}
# The dated lots, none where the store is older than they are.
lots_rows() { sql "$1" "SELECT lot, $(text id), best_before, units FROM lots ORDER BY lot" 2> /dev/null; }
# Every command of the history with the kind of its entries, once each.
kinds_of() { sql "$1" "SELECT DISTINCT coalesce($(text command), ''), kind FROM history" | LC_ALL=C sort; }
# Checks that the kinds of the history of $1 are those of the lines "command|kind" in $2.
kinds_are() {
    local expected
    expected=$(grep -v '^$' <<< "$2" | LC_ALL=C sort -u)
    [ "$(kinds_of "$1")" = "$expected" ] || fail "$3: the kinds are
$(kinds_of "$1")
not
$expected"
}

# The owner's view of the store in $1: refused (with its words in refused),
# or serving (with its address in url).
start_view() {
    "$web" --store "$1" --listen 127.0.0.1:0 > view.out 2> view.err &
    view_pid=$!
    for _ in $(seq 200); do
        url=$(grep -o 'http://[^ ]*' view.out) && url=${url%/} && return 0
        if ! kill -0 "$view_pid" 2> /dev/null; then
            wait "$view_pid"
            refused=$(cat view.err)
            view_pid=
            return 1
        fi
        sleep 0.05
    done
    refused="the view neither served nor ended"
    return 1
}
# Stops the view, which must end with status 0 and nothing on standard
# error (a sanitizer's report).
stop_view() {
    [ -n "$view_pid" ] || return 0
    kill "$view_pid" 2> /dev/null
    wait "$view_pid"
    local status=$?
    view_pid=
    [ $status = 0 ] && [ ! -s view.err ] || fail "the view ended with status $status: $(cat view.err)"
}
fetch() {
    python3 -c 'import sys, urllib.error, urllib.request
try:
    sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode())
except urllib.error.HTTPError as error:
    print(error)' "$1" | tr -d '\r'
}

# A store the program makes: its version is the current one.
new=$(new_store current)
store=$new
run C > /dev/null
current=$(version_of "$store")
[ "$current" -gt "$oldest" ] || fail "a new store is of version '$current'"
# The owner's view reads a day's entries and a week's through this one,
# and totals the lots of a window from the others.
grep -q '^history_by_time \|INDEX history_by_time ' <<< "$(indexes_of "$store")" ||
    fail "a new store has no index of the history by time: $(indexes_of "$store")"
while read -r index; do
    grep -qxF "$index" <<< "$(indexes_of "$store")" ||
        fail "a new store lacks the index $index: $(indexes_of "$store")"
done <<< "$totals_indexes"

case $case in
upgrade)
    # What every fixture holds, once up to date; and its first day, as the
    # owner's view reports it.
    fixture_kinds='G 2|generate
E|empty
A GUM:1 3.25 10 Jenkki|delivery
D GUM:1 3|withdrawal
R varasto.txt|load
|other
R|load'
    # Delivered counts deliveries alone: the fixtures' generated products
    # and loads show in the net only.
    fixture_day=$'\xef\xbb\xbf''id,name,delivered,withdrawn,net,takings
"GEN:1","",0,0,1,
"GEN:2","",0,0,1,
"GUM:1","Jenkki",10,3,8,
"LAK:2","Salmiakki",0,0,5,'
    [ "$kind" = sqlite ] || psql -X -q -d "$postgres_uri" -c 'CREATE ROLE clerk LOGIN'
    if [ "$kind" = postgres ]; then
        # A store whose roles stood before it noted its changes: its
        # owner's next run grants the readers, as the owner's view, the notes.
        sql "$new" "REVOKE SELECT ON store_changes FROM warehouse_reader"
        printf 'C\n' | "$warehouse" --store "$new" > /dev/null
        [ "$(sql "$new" "SELECT has_table_privilege('warehouse_reader', 'store_changes', 'SELECT')")" = t ] ||
            fail "the owner's run left the readers without the notes of the store's changes"
    fi
    for version in $(seq "$oldest" $((current - 1))); do
        fixture=$fixtures/${kind}_v$version.sql
        [ -f "$fixture" ] || { fail "no fixture for version $version: $fixture"; continue; }
        store=$(new_store "v$version")
        load "$store" "$fixture" || { fail "$fixture did not load"; continue; }
        if [ "$web" != - ] && [ "$version" -ge "$viewed" ]; then
            # Its entries say their kinds already: the view reads it as it is.
            start_view "$store" && stop_view ||
                fail "the view refused a store of version $version: $refused"
        elif [ "$web" != - ] && start_view "$store"; then
            fail "the owner's view read a store of version $version"
            stop_view
        elif [ "$web" != - ]; then
            grep -q "brings it up to date" <<< "$refused" ||
                fail "the view refused a store of version $version with: $refused"
        fi
        expected_kinds=$fixture_kinds
        [ "$version" -gt 1 ] || expected_kinds=
        # A store that a run can use as it is works for a clerk, whose run
        # leaves it at its version.
        if [ "$kind" = postgres ] && [ "$version" -ge 3 ]; then
            sql "$store" "GRANT SELECT ON stock, history, store_version TO clerk;
                          GRANT INSERT, UPDATE, DELETE ON stock TO clerk"
            out=$(printf 'A NEW:1 s 2 n\n' | "$warehouse" --store "${store/user=postgres/user=clerk}" 2>&1)
            [ "$(version_of "$store")" = "$version" ] &&
                [ "$(sql "$store" "SELECT clerk FROM history WHERE id = 'NEW:1'")" = clerk ] ||
                fail "a clerk's run on a store of version $version: $out"
            expected_kinds+=$'\nA NEW:1 s 2 n|delivery'
        fi
        stock=$(stock_rows "$store")
        history=$( [ "$version" -eq 1 ] || history_rows "$store")
        lots=$(lots_rows "$store")
        out=$(run 'F GUM:1' C)
        [ "$(version_of "$store")" = "$current" ] ||
            fail "version $version was brought to $(version_of "$store"), not $current: $out"
        grep -qx 'Jenkki 8 3.25' <<< "$out" || fail "version $version upgraded, F GUM:1 shows: $out"
        [ "$(shape_of "$store")" = "$(shape_of "$new")" ] ||
            fail "version $version brought up to date has the tables $(shape_of "$store"), not those of a new store"
        [ "$(indexes_of "$store")" = "$(indexes_of "$new")" ] ||
            fail "version $version brought up to date has the indexes $(indexes_of "$store"), not those of a new store"
        [ "$(triggers_of "$store")" = "$(triggers_of "$new")" ] ||
            fail "version $version brought up to date has the triggers $(triggers_of "$store"), not those of a new store"
        [ "$(stock_rows "$store")" = "$stock" ] || fail "version $version: the stock changed"
        [ "$(lots_rows "$store")" = "$lots" ] || fail "version $version: the lots changed:
$(lots_rows "$store")"
        [ "$(history_rows "$store")" = "$history" ] || fail "version $version: the history changed:
$(history_rows "$store")"
        kinds_are "$store" "$expected_kinds" "version $version brought up to date"
        expected_catalogue='GUM:1|Jenkki|3.25
LAK:2|Salmiakki|4.10'
        [ "$version" -eq 1 ] || expected_catalogue=$'GEN:1||\nGEN:2||\n'$expected_catalogue
        [[ "$expected_kinds" != *NEW:1* ]] || expected_catalogue+=$'\nNEW:1|n|s'
        catalogue=$(sql "$store" "SELECT $(text id), $(text name), $(text shelf) FROM catalogue ORDER BY id")
        [ "$catalogue" = "$expected_catalogue" ] ||
            fail "version $version brought up to date has the catalogue
$catalogue"
        if [ "$kind" = sqlite ]; then
            # Another program's changes to the catalogue are counted from
            # 0: an update and a replace, which changes nothing the records
            # show.
            sql "$store" "UPDATE catalogue SET cost_cents = cost_cents WHERE id = 'GUM:1';
                          INSERT OR REPLACE INTO catalogue SELECT * FROM catalogue WHERE id = 'LAK:2'"
            counted=$(sql "$store" 'SELECT times FROM catalogue_changed')
            [ "$counted" = 2 ] || fail "version $version brought up to date counted $counted changes to the catalogue, not 2"
        fi
        # The runs write kinds from now on.
        run 'D GUM:1 1' > /dev/null
        kinds_are "$store" "$expected_kinds"$'\nD GUM:1 1|withdrawal' "version $version, then D"
        [ "$version" -gt 1 ] && [ "$web" != - ] || continue
        if start_view "$store"; then
            day=$(fetch "$url/day/2026-03-02.csv")
            [ "$day" = "$fixture_day" ] || fail "version $version, its day in the view: $day"
            # The lots it had, less the unit D took from GUM:1's first.
            if [ -n "$lots" ]; then
                totals=$(fetch "$url/expiring?days=3650" |
                         grep -o 'lots-count">[0-9]*</span> lots, <span id="units">[0-9]*' | tr -dc '0-9,')
                expected=$(awk -F '|' '{ units += $4; taken = taken || $2 == "GUM:1" }
                                       END { printf "%d,%d", NR, units - (taken ? 1 : 0) }' <<< "$lots")
                [ "$totals" = "$expected" ] ||
                    fail "version $version, its lots' totals in the view: $totals, not $expected"
            fi
            stop_view
        else
            fail "the view refused version $version brought up to date: $refused"
        fi
    done
    ;;
newer)
    run 'A X s 5 n' > /dev/null
    set_version "$store" $((current + 1))
    history=$(history_rows "$store")
    before=$( [ "$kind" = postgres ] || md5sum < "$store")
    out=$(printf 'C\n' | "$warehouse" --store "$store" 2>&1)
    status=$?
    [ $status = 1 ] && grep -q "a store of a newer version of this program" <<< "$out" ||
        fail "the console on a store of version $((current + 1)): status $status, $out"
    [ "$(version_of "$store")" = $((current + 1)) ] && [ "$(history_rows "$store")" = "$history" ] &&
        [ "$before" = "$( [ "$kind" = postgres ] || md5sum < "$store")" ] ||
        fail "the console changed a store of a newer version"
    if [ "$web" != - ]; then
        if start_view "$store"; then
            fail "the owner's view read a store of version $((current + 1))"
        else
            grep -q "a store of a newer version of this program" <<< "$refused" ||
                fail "the view refused a newer store with: $refused"
        fi
    fi
    ;;
commands)
    # Each command's own way of writing: a change of a few products, a whole
    # stock emptied, a command of too many products to list.
    printf 'L:1;4;1.1;Loaded\nL:2;3;1.2;Loaded\n' > load.txt
    printf 'L:1;9;1.1;Loaded\n' > again.txt
    run 'A X s 5 n' 'D X 2' 'R load.txt' 'G 3' > /dev/null
    run 'R again.txt' 'E' 'G 80000' > /dev/null
    run 'E' 'A Y s 1 n' > /dev/null
    kinds_are "$store" 'A X s 5 n|delivery
D X 2|withdrawal
R load.txt|load
R again.txt|load
G 3|generate
G 80000|generate
E|empty
A Y s 1 n|delivery' "the commands"
    [ "$(sql "$store" "SELECT kind FROM history WHERE id IS NULL ORDER BY seq")" = 'generate
empty' ] || fail "G 80000 and the E after it were not one entry each of many products"
    ;;
other_program)
    run 'A X s 5 n' > /dev/null
    sql "$store" "UPDATE stock SET amount = 9 WHERE id = 'X'"
    sql "$store" "INSERT INTO stock VALUES ('Y', 2, 's', 'n')"
    sql "$store" "DELETE FROM stock"
    if [ "$kind" = postgres ]; then
        # Settings of a run's, without its commands, make no kind.
        run 'A Z s 1 n' > /dev/null
        sql "$store" "BEGIN; SELECT set_config('warehouse.kinds', '[\"delivery\"]', true),
                      set_config('warehouse.rest', '0', true); UPDATE stock SET amount = 2; COMMIT" > /dev/null
        sql "$store" "BEGIN; SELECT set_config('warehouse.kinds', '[\"delivery\"]', true),
                      set_config('warehouse.rest', '0', true); TRUNCATE stock; COMMIT" > /dev/null
    fi
    others=$(sql "$store" "SELECT count(*) FROM history WHERE command IS NULL AND kind = 'other'")
    wrong=$(sql "$store" "SELECT count(*) FROM history WHERE (command IS NULL) <> (kind = 'other')")
    [ "$kind" = postgres ] && expected=6 || expected=4
    [ "$others" = "$expected" ] && [ "$wrong" = 0 ] ||
        fail "another program's entries: $others of kind other, not $expected, and $wrong wrong"
    ;;
day_page)
    [ "$web" != - ] || exit 77
    # Rows whose text reads as another kind than theirs.
    sql "$store" "INSERT INTO history (command_no, changed_at, clerk, command, id, amount_before,
                                       amount_after, kind$xid) VALUES
                  (101, $now, 'ann', 'A X s 5 n', 'X', 10, 5, 'withdrawal'$this_xid),
                  (102, $now, 'bob', 'D Y 3', 'Y', 10, 13, 'delivery'$this_xid),
                  (103, $now, 'carl', 'R', 'Z', 0, 7, 'other'$this_xid),
                  (104, $now, 'dana', 'E', 'W', 0, 4, 'generate'$this_xid)"
    if start_view "$store"; then
        day=$(fetch "$url/day/2026-04-01.csv")
        clerks=$(fetch "$url/day/2026-04-01/clerks.csv")
        # W's kind is generate: no delivery, whatever its text.
        [ "$day" = $'\xef\xbb\xbf''id,name,delivered,withdrawn,net,takings
"W","",0,0,4,
"X","",0,5,-5,
"Y","",3,0,3,
"Z","",0,0,7,' ] || fail "the day's products by kind: $day"
        [ "$clerks" = $'\xef\xbb\xbf''clerk,commands,delivered,withdrawn,takings
"ann",1,0,5,0.00
"bob",1,3,0,0.00
"carl",1,0,0,0.00
"dana",1,0,0,0.00' ] || fail "the day's clerks by kind: $clerks"
    else
        fail "the view refused the store: $refused"
    fi
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
[ -f "$scratch/failures" ] && [ ! -s "$scratch/failures" ]
