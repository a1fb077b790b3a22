#!/usr/bin/env bash
# Usage: store_postgres.sh CASE RECORD PROGRAM OTHER_PROGRAM TRANSCRIPTS DATA
#        store_postgres.sh start_server|stop_server RECORD
# The stock kept in PostgreSQL, one case a run, each in a database of its
# own on the server the suite shares (shared_server.sh; RECORD names it):
# transcripts read the same as without a store, and the stock comes back in
# either program; runs race for the last units and follow what others
# commit; the history; a lock held by another client; a server that cannot
# be reached, or that stops mid-run (on a server of the case's own); tables
# of another shape, a newer store.
set -u
case=$1
record=$2
here=$(dirname "$(realpath "$0")")
source "$here/../../cases.sh"
source "$here/shared_server.sh"
case $case in
    start_server) start_shared_server "$record"; exit ;;
    stop_server) stop_shared_server "$record"; exit ;;
esac
program=$(realpath "$3")
other=$(realpath "$4")
transcripts=$(realpath "$5")
data=$(realpath "$6")
source "$here/../store_runs.sh"
scratch=$(mktemp -d) || exit 1
trap 'stop_runs; stop_private_server; rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
name=$(basename "$program")
# The history's clerk is the server's login.
clerk=postgres
when='[0-9-]{10} [0-9:]{8}'

sql() { psql -X -q -A -t -v ON_ERROR_STOP=1 -d "$(postgres_uri_of "$1")" -c "$2"; }
stock_of() { sql "$1" "SELECT amount FROM stock WHERE id = '$2'"; }

# Every transcript without an efficiency test reads the same with a store,
# and the stock it leaves is there for the next run, in one program or the
# other, which then empties it for the next transcript.
case_transcripts() {
    use_shared_server "$record"
    case_database
    # One client for all the counts: a client started per query costs more than
    # the runs it checks.
    coproc counting { psql -X -q -A -t -d "$uri"; }
    # Kept aside: bash forgets them once the client has ended.
    counting_pid=$counting_PID
    counting_in=${counting[1]}
    counting_out=${counting[0]}
    stored_count() {
        echo 'SELECT count(*) FROM stock;' >&"$counting_in"
        read -r -t 10 count_read <&"$counting_out" && echo "$count_read"
    }
    reader=$other
    for input in "$transcripts"/*.in; do
        grep -q '^P' "$input" && continue
        story=$(basename "$input" .in)
        rm -rf work && cp -R "$data" work
        (cd work && "$program" --store "$uri" < "$input" > ../out 2> ../err)
        cmp -s out "${input%.in}.out" || fail "$story: the transcript differs with a store: $(cat err)"
        stored=$(stored_count)
        count=$(printf 'C\nE\n' | "$reader" --store "$uri" | sed -n 's/ different kinds of candy.$//p')
        [ "$count" = "$stored" ] || fail "$story: $(basename "$reader") found $count kinds, not $stored"
        reader=$([ "$reader" = "$other" ] && echo "$program" || echo "$other")
    done
    exec {counting_in}>&-
    wait "$counting_pid" 2> /dev/null
}

case_efficiency_test_refused() {
    use_shared_server "$record"
    case_database
    out=$(printf 'P 3 1\n' | "$program" --store "$uri" 2>&1)
    grep -qx 'The efficiency test empties the stock: it is not run on a stored stock.' <<< "$out" ||
        fail "P was not refused: $out"
}

# The race for the last units: exactly 1000 of 1200 withdrawals go through.
case_race_for_the_last_units() {
    use_shared_server "$record"
    case_database
    printf 'A LAST:1 s 1000 n\n' | "$program" --store "$uri" > /dev/null
    for run in 1 2 3 4; do
        yes 'D LAST:1 1' | head -n 300 | "$program" --store "$uri" > "race$run.out" &
    done
    wait
    withdrawn=$(cat race*.out | grep -c '^Amount: ')
    refused=$(cat race*.out | grep -c -e '^Not enough candy available.$' -e '^Product not in warehouse.$')
    [ "$withdrawn" = 1000 ] && [ "$refused" = 200 ] ||
        fail "the race: $withdrawn withdrawals and $refused refusals, not 1000 and 200"
}

# Clients whose transactions each take numbers for their commands at once,
# many commands and one, never share a number: each is taken with the
# sequence moved past it in one step. (Taken apart, another's numbers fell
# among those of a transaction whose move came last, a few in ten
# thousand; the clients' own transactions make many chances.)
case_concurrent_transactions_share_no_number() {
    use_shared_server "$record"
    case_database
    printf 'A C:%d s 5 n\n' 1 2 3 4 | "$program" --store "$uri" > /dev/null
    # Ten commands, the entry numbered by the last; or one, and no entry
    # of it: the entry is numbered with the transaction's first number.
    local commands='["61","62","63","64","65","66","67","68","69","6a"]' client told rest
    for client in 1 2 3 4; do  # each on a product of its own, not to wait
        told='["78"]' rest=
        [ $((client % 2)) = 0 ] || { told=$commands; rest=9; }
        for _ in $(seq 1200); do
            echo "BEGIN; SELECT set_config('warehouse.commands', '$told', true);
                  SELECT set_config('warehouse.rest', '$rest', true);
                  UPDATE stock SET amount = amount + 1 WHERE id = 'C:$client'; COMMIT;"
        done > "client$client.sql"
        psql -X -q -d "$uri" -f "client$client.sql" > /dev/null 2>&1 &
    done
    wait
    [ "$(sql "$db" "SELECT count(*) FROM history")" = 4804 ] ||
        fail "$(sql "$db" "SELECT count(*) FROM history") entries, not 4804"
    [ "$(sql "$db" "SELECT count(*) FROM (SELECT command_no FROM history
                    GROUP BY command_no HAVING count(DISTINCT xid) > 1) shared")" = 0 ] ||
        fail "numbers shared by transactions: $(sql "$db" "SELECT command_no, xid FROM history
            WHERE command_no IN (SELECT command_no FROM history GROUP BY command_no
                                 HAVING count(DISTINCT xid) > 1) ORDER BY command_no")"
}

# No login but the owner's holds up the history's numbering: a login with
# no role in the store takes, one after the other, each lock the numbering
# could wait for, and keeps what it got while a run changes the stock
# within a wait of 1 s.
case_strangers_hold_up_no_clerk() {
    use_shared_server "$record"
    case_database
    printf 'A x s 50 n\n' | "$program" --store "$uri" > /dev/null
    psql -X -q -d "$postgres_uri" -c "DO \$\$ BEGIN CREATE ROLE stranger LOGIN;
        EXCEPTION WHEN duplicate_object OR unique_violation THEN NULL; END \$\$" > /dev/null
    local hold holder started out status
    while read -r hold; do
        psql -X -q -v ON_ERROR_STOP=1 -d "${uri/user=postgres/user=stranger}" \
            -c "BEGIN; $hold; SELECT pg_sleep(5); COMMIT" < /dev/null > /dev/null 2>&1 &
        holder=$!
        for _ in $(seq 300); do
            kill -0 $holder 2> /dev/null || break
            [ "$(sql "$db" "SELECT count(*) FROM pg_stat_activity WHERE usename = 'stranger'
                            AND query LIKE '%pg_sleep%' AND wait_event = 'PgSleep'")" = 1 ] && break
            sleep 0.01
        done
        started=$(date +%s%N)
        out=$(printf 'D x 1\n' | "$program" --store "$uri" --wait 1 2>&1)
        status=$?
        [ $status = 0 ] && [ $(($(date +%s%N) - started)) -lt 3000000000 ] ||
            fail "a stranger's $hold held up a run: status $status, $out"
        end_sleepers "$uri"
        wait $holder
    done << HOLDS
SELECT pg_advisory_lock(1464357702)
SELECT pg_advisory_lock(1464357701)
LOCK TABLE history_numbering IN SHARE UPDATE EXCLUSIVE MODE
LOCK TABLE history_numbering IN ACCESS SHARE MODE
LOCK TABLE history IN ACCESS SHARE MODE
HOLDS
    [ "$(stock_of "$db" x)" = 45 ] || fail "x holds $(stock_of "$db" x), not 45"
}

# A run follows another run and another client. The run a goes on.
case_follows_other_runs_and_clients() {
    use_shared_server "$record"
    case_database
    start_run a "$uri"
    tell a 'A x s 5 n' '> A x s 5 n'
    [ "$(stock_of "$db" x)" = 5 ] || fail "a client does not read what the run showed"
    printf 'D x 2\n' | "$program" --store "$uri" > /dev/null
    sql "$db" "UPDATE stock SET amount = amount + 10, shelf = 't' WHERE id = 'x';
               INSERT INTO stock VALUES ('y', 7, 'ys', 'yn')"
    tell a 'D x 1' 'Amount: 12 Shelf: t'
    tell a 'F y' 'yn 7 ys'
    sql "$db" "DELETE FROM stock WHERE id = 'y'; UPDATE stock SET id = 'x2' WHERE id = 'x'"
    tell a 'F y' 'Product not in warehouse.'
    tell a 'F x2' 'n 12 t'
    printf 'G 80000\n' | "$program" --store "$uri" > /dev/null
    tell a 'C' "$(sql "$db" 'SELECT count(*) FROM stock') different kinds of candy."
}

# The history says who did what: the history of what the case above did,
# which it does first.
case_history_of_changes() {
    case_follows_other_runs_and_clients
    printf 'H x\nH\n' >&3
    tell a 'F x2' 'n 12 t'
    end_run || fail "the run that followed ended with status $?"
    lines=$(between a.out 'H x' H)
    lines_match "$lines" "$when $clerk: A x s 5 n -> 5
$when $clerk: D x 2 -> 3
$when $clerk \\(another program\\) -> 13
$when $clerk: D x 1 -> 12
$when $clerk \\(another program\\) -> 0
$when $clerk: G 80000 \\(changed too many products to list them one by one\\)" ||
        fail "H x printed: $lines"
    lines=$(between a.out H 'F x2')
    lines_match "$lines" "$when $clerk: A x s 5 n
$when $clerk: D x 2
$when $clerk \\(another program\\): x -> 13, y -> 7
$when $clerk: D x 1
$when $clerk \\(another program\\): y -> 0, x -> 0, x2 -> 12
$when $clerk: G 80000" || fail "H printed: $lines"
}

# A lock another client holds is waited for; past the wait, the run fails
# and does not show the command, whatever wait the URI's own options name.
# The store holds x2.
hold() {
    sql "$db" "BEGIN; LOCK TABLE stock IN EXCLUSIVE MODE; SELECT pg_sleep($1); COMMIT" > /dev/null 2> holder.err &
    for _ in $(seq 200); do
        [ "$(sql "$db" "SELECT count(*) FROM pg_locks WHERE mode = 'ExclusiveLock' AND relation = 'stock'::regclass
                        AND database = (SELECT oid FROM pg_database WHERE datname = current_database())")" = 1 ] && break
        sleep 0.01
    done
}
locked_store() {
    use_shared_server "$record"
    case_database
    printf 'A x2 t 12 n\n' | "$program" --store "$uri" > /dev/null
}
case_waits_for_a_lock() {
    locked_store
    start_run c "$uri"
    tell c 'F x2' 'n 12 t'
    hold 1
    tell c 'A waited s 1 n' '> A waited s 1 n'
    end_run || fail "a held lock was not waited for: $(cat c.err)"
    wait
}
case_lock_held_past_the_wait() {
    locked_store
    start_run d "$uri&options=-c%20lock_timeout%3D0" --wait 1
    tell d 'F x2' 'n 12 t'
    hold 2
    printf 'A late s 1 n\n' >&3
    end_run
    status=$?
    [ $status = 1 ] && grep -q 'locked by another run or program for 1 s; the command did not run' d.err &&
        ! grep -q 'A late' d.out || fail "a lock held past the wait: status $status, $(cat d.err)"
    end_sleepers "$uri"
    wait
}

# Tables of another shape, and a store of a newer version, are refused
# untouched; a server that cannot be reached, at once and in one line.
refused() {
    local where=$1 reason=$2
    started=$(date +%s)
    out=$(printf 'C\n' | "$program" --store "$where" 2>&1)
    status=$?
    [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && grep -Eq "^$name: store .*: $reason" <<< "$out" ||
        fail "$where: status $status, $out"
    [ $(($(date +%s) - started)) -le 15 ] || fail "$where took more than 15 s"
}
case_refuses_tables_of_another_shape() {
    use_shared_server "$record"
    case_database
    sql "$db" 'CREATE TABLE stock (x integer); INSERT INTO stock VALUES (7)'
    refused "$uri" 'its tables stock, history or store_version have another shape: not a store'
    [ "$(sql "$db" 'SELECT x FROM stock')" = 7 ] || fail "tables of another shape were changed"
}
case_refuses_a_newer_store() {
    use_shared_server "$record"
    case_database
    printf 'C\n' | "$program" --store "$uri" > /dev/null
    sql "$db" 'UPDATE store_version SET version = version + 1'
    refused "$uri" 'a store of a newer version of this program'
}
case_server_out_of_reach() {
    refused "postgresql:///gone?host=$scratch/nowhere&user=postgres" 'cannot connect: .*No such file or directory.*'
}

# A server that stops mid-run: the next command ends the run with the
# reason, and whatever the run showed is there once the server is back. The
# case stops a server of its own.
case_server_stops_mid_run() {
    start_private_server
    make_database stopped
    uri=$(postgres_uri_of stopped)
    start_run b "$uri"
    tell b 'A kept s 5 n' '> A kept s 5 n'
    tell b 'D kept 2' 'Amount: 3 Shelf: s'
    stop_postgres
    printf 'A lost s 1 n\n' >&3
    end_run
    status=$?
    [ $status = 1 ] && grep -Eq "^$name: store postgresql://[^ ]*: .+" b.err ||
        fail "a server that stopped: status $status, $(cat b.err)"
    grep -q 'A lost' b.out && fail "the command the server did not commit was shown"
    start_postgres_again > /dev/null
    [ "$(stock_of stopped kept)" = 3 ] || fail "after the server came back, kept holds $(stock_of stopped kept)"
}

# Sets new to the case's store, made by a run of this version, and old to
# a store of the version $1, loaded from its fixture, its stock emptied.
old_and_new() {
    new=$uri
    old_db=${db}_v$1
    psql -X -q -d "$postgres_uri" -c "DROP DATABASE IF EXISTS \"$old_db\" WITH (FORCE)" \
        -c "CREATE DATABASE \"$old_db\"" > /dev/null
    old=$(postgres_uri_of "$old_db")
    psql -X -q -v ON_ERROR_STOP=1 -d "$old" -f "$here/../fixtures/postgres_v$1.sql" > /dev/null ||
        { fail "the fixture of version $1 did not load"; return 1; }
    echo Q | "$program" --store "$new" > /dev/null
    psql -X -q -d "$old" -c "DELETE FROM stock" > /dev/null
}

# Runs each transaction given on both stores, old and new, in turn.
on_both() {
    local statements store
    for statements in "$@"; do
        for store in "$old" "$new"; do
            psql -X -q -v ON_ERROR_STOP=1 -d "$store" -c "BEGIN; $statements COMMIT;" > /dev/null 2>&1 ||
                fail "a transaction did not run on $store: $statements"
        done
    done
}

# Makes the login $1 a clerk of both stores, old and new, by its grants
# alone: the old one stays of its version, which a clerk does not change.
clerk_of_both() {
    local store
    psql -X -q -d "$postgres_uri" -c "DO \$\$ BEGIN CREATE ROLE $1 LOGIN;
        EXCEPTION WHEN duplicate_object OR unique_violation THEN NULL; END \$\$" > /dev/null
    for store in "$old" "$new"; do
        psql -X -q -d "$store" -c "GRANT SELECT ON stock, history, store_version TO $1;
            GRANT INSERT, UPDATE, DELETE ON stock TO $1" > /dev/null
    done
}

# The history that version 9's functions write is the one version 7's wrote
# (the functions of the fixture of version 7, on a database of their own)
# for the same statements: claims that hold, that break the chain, that
# name a command the transaction does not have, a rest, a clerk's name, a
# second flush, a statement of both new and changed rows, a rename, a
# delete, an empty stock, and another program's changes with no settings;
# then two clerks' runs at once on each.
case_history_paths_agree() {
    use_shared_server "$record"
    case_database
    old_and_new 7 || return
    [ "$(psql -X -A -t -d "$new" -c 'SELECT max(version) FROM store_version')" -ge 9 ] ||
        fail "the new store is older than version 9"
    hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
    # tell ECHOES KINDS CLAIMS REST [FLUSH] [CLERK]: the settings a run
    # sends, from echoes and kinds split on |, and claims as
    # command:id:before:after separated by spaces.
    tell() {
        local echoes="" kinds="" e k commands="" ids="" befores="" afters="" c
        IFS='|' read -ra e <<< "$1"
        IFS='|' read -ra k <<< "$2"
        for c in "${e[@]}"; do echoes+="${echoes:+,}\"$(hex "$c")\""; done
        for c in "${k[@]}"; do kinds+="${kinds:+,}\"$c\""; done
        for c in $3; do
            IFS=: read -r command id before after <<< "$c"
            commands+="${commands:+,}$command"; ids+="${ids:+,}\"$(hex "$id")\""
            befores+="${befores:+,}$before"; afters+="${afters:+,}$after"
        done
        printf "SELECT set_config('warehouse.commands', '[%s]', true), set_config('warehouse.kinds', '[%s]', true),
            set_config('warehouse.claimed_commands', '{%s}', true), set_config('warehouse.claimed_ids', '{%s}', true),
            set_config('warehouse.claimed_befores', '{%s}', true), set_config('warehouse.claimed_afters', '{%s}', true),
            set_config('warehouse.rest', '%s', true), set_config('warehouse.flush', '%s', true),
            set_config('warehouse.clerk', '%s', true);\n" \
            "$echoes" "$kinds" "$commands" "$ids" "$befores" "$afters" "$4" "${5:-1}" "${6:-}"
    }
    upsert() { echo "INSERT INTO stock SELECT id::bytea, amount, 's', 'n' FROM (VALUES $1) v(id, amount) ON CONFLICT (id) DO UPDATE SET amount = excluded.amount;"; }
    transactions=(
        "$(tell 'A P1 s 5 n|A P2 s 7 n|D P1 2' 'delivery|delivery|withdrawal' '0:P1:0:5 1:P2:0:7 2:P1:5:3' '')$(upsert "('P1', 3), ('P2', 7)")"
        "$(tell 'D P2 1' 'withdrawal' '0:P2:7:6' '')$(upsert "('P2', 4)")"
        "$(tell 'D P1 1' 'withdrawal' '5:P1:3:2' '0')$(upsert "('P1', 2)")"
        "$(tell 'D P1 1' 'withdrawal' '0:P1:2:1' '-1' 1 maija)$(upsert "('P1', 1)")"
        "UPDATE stock SET amount = amount + 1 WHERE id = 'P2'; UPDATE stock SET name = 'renamed' WHERE id = 'P1';"
        "$(tell 'A P3 s 1 n|A P3 s 2 n|D P2 1' 'delivery|delivery|withdrawal' '0:P3:0:1 1:P3:1:3 2:P2:5:4' '')$(upsert "('P3', 3), ('P2', 4)")
         $(tell 'D P3 3|A P4 s 9 n' 'withdrawal|delivery' '0:P3:3:0 1:P4:0:9' '' 2)DELETE FROM stock WHERE id = 'P3';$(upsert "('P4', 9)")"
        "$(tell 'D P4 2|D P4 2' 'withdrawal|withdrawal' '0:P4:9:7 1:P4:6:5' '')$(upsert "('P4', 5)")"
        "$(tell 'D P1 1' 'withdrawal' '0:P1:1:0' '' 1 pekka)DELETE FROM stock WHERE id = 'P1';"
        "INSERT INTO stock VALUES ('Q1', 2, 's', 'n'); DELETE FROM stock WHERE id = 'P2';"
        "$(tell 'E' 'empty' '' '0')TRUNCATE stock;"
        "$(tell 'E' 'empty' '' '3')INSERT INTO stock VALUES ('Q2', 1, 's', 'n'); TRUNCATE stock;"
    )
    on_both "${transactions[@]}"
    local store
    # Two clerks at once, each on products of their own, through a login
    # that does not own the stores: the old one stays of version 7.
    clerk_of_both paths_clerk
    local clerk_script
    for store in "${old/user=postgres/user=paths_clerk}" "${new/user=postgres/user=paths_clerk}"; do
        for clerk_name in anna ben; do
            clerk_script=$(for i in $(seq 40); do
                printf 'A %s:%d s %d n\nD %s:%d %d\n' "$clerk_name" $((i % 7)) $((i % 5 + 1)) "$clerk_name" $((i % 3)) $((i % 4 + 1))
            done)
            printf '%s\n' "$clerk_script" | "$program" --store "$store" --clerk "$clerk_name" > /dev/null 2>&1 &
        done
        wait
    done
    # The entries made since the old store was emptied, numbered from the
    # first, each clerk's in order.
    entries() {
        psql -X -A -t -d "$1" -c "SELECT command_no - min(command_no) OVER (),
                coalesce(convert_from(command, 'UTF8'), '-'), coalesce(convert_from(id, 'UTF8'), '-'),
                amount_before, amount_after, coalesce(named_clerk, '-'), kind
            FROM history WHERE seq > (SELECT coalesce(max(seq), 0) FROM history h
                                      WHERE h.id = 'LAK:2' AND amount_after = 0)
              AND coalesce(named_clerk, '') NOT IN ('anna', 'ben')
            ORDER BY seq"
    }
    clerk_entries() {
        psql -X -A -t -d "$1" -c "SELECT convert_from(command, 'UTF8'), convert_from(id, 'UTF8'),
                amount_before, amount_after, kind, clerk = session_user
            FROM history WHERE named_clerk = '$2' ORDER BY seq"
    }
    [ "$(psql -X -A -t -d "$old" -c 'SELECT max(version) FROM store_version')" = 7 ] ||
        fail "the clerks' runs brought the old store up to date"
    local old_entries new_entries
    old_entries=$(entries "$old")
    new_entries=$(entries "$new")
    [ "$(wc -l <<< "$new_entries")" -ge 20 ] || fail "too few entries to compare: $new_entries"
    [ "$old_entries" = "$new_entries" ] || fail "the histories differ:
$(diff <(echo "$old_entries") <(echo "$new_entries"))"
    for clerk_name in anna ben; do
        old_entries=$(clerk_entries "$old" $clerk_name)
        new_entries=$(clerk_entries "$new" $clerk_name)
        [ "$(wc -l <<< "$new_entries")" -ge 60 ] || fail "$clerk_name has too few entries: $new_entries"
        [ "$old_entries" = "$new_entries" ] || fail "$clerk_name's histories differ:
$(diff <(echo "$old_entries") <(echo "$new_entries"))"
    done
    psql -X -q -d "$postgres_uri" -c "DROP DATABASE IF EXISTS \"$old_db\" WITH (FORCE)" > /dev/null
}

# Version 13's history function writes what version 12's did (the
# functions of the fixture of version 12, on a database of their own): a
# list of commands with an element holding a comma, so that a claim may
# name a command past its last element; claims in capitals; a rest whose
# command is null; then a clerk's run whose round inserts, updates and
# deletes, each statement told only its own products' claims, on each.
case_history_agrees_with_version_12() {
    use_shared_server "$record"
    case_database
    old_and_new 12 || return
    hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
    # settings COMMANDS KINDS CLAIMED_COMMANDS IDS BEFORES AFTERS REST: as
    # written, but for the marks <text>, which stand for text's bytes in
    # hexadecimal.
    settings() {
        local told=() value
        for value in "$@"; do
            while [[ $value =~ \<([^>]*)\> ]]; do
                value=${value/"${BASH_REMATCH[0]}"/$(hex "${BASH_REMATCH[1]}")}
            done
            told+=("$value")
        done
        printf "SELECT set_config('warehouse.commands', '%s', true), set_config('warehouse.kinds', '%s', true),
            set_config('warehouse.claimed_commands', '%s', true), set_config('warehouse.claimed_ids', '%s', true),
            set_config('warehouse.claimed_befores', '%s', true), set_config('warehouse.claimed_afters', '%s', true),
            set_config('warehouse.rest', '%s', true), set_config('warehouse.flush', '1', true);" "${told[@]}"
    }
    local transactions=(
        "$(settings '["<A P1 s 5 n>","4e,4f","<D P1 2>"]' '["delivery","delivery","withdrawal"]' \
                    '{0,2,3}' '{"<P1>","<P1>","<P2>"}' '{0,5,0}' '{5,3,7}' '')
         INSERT INTO stock VALUES ('P1', 3, 's', 'n'), ('P2', 7, 's', 'n');"
        "$(settings '["<A j s 2 n>","<D P2 1>"]' '["delivery","withdrawal"]' \
                    '{0,1}' '{"6A","5032"}' '{0,7}' '{2,6}' '')
         INSERT INTO stock VALUES ('j', 2, 's', 'n'); UPDATE stock SET amount = 6 WHERE id = 'P2';"
        "$(settings '["null","<D j 1>"]' '["other","withdrawal"]' '{1}' '{"<j>"}' '{2}' '{1}' '0')
         UPDATE stock SET amount = amount - 1 WHERE id IN ('j', 'P1');"
    )
    on_both "${transactions[@]}"
    local store
    clerk_of_both v12_clerk
    for store in "$old" "$new"; do
        store=${store/user=postgres/user=v12_clerk}
        printf 'A x:%d s 5 n\n' 1 2 3 4 | "$program" --store "$store" > /dev/null 2>&1
        printf 'D x:1 5\nD x:2 2\nA x:8 s 3 n\nD x:3 5\nA x:2 s 1 n\nD x:8 1\nA x:1 s 4 n\n' |
            "$program" --store "$store" > /dev/null 2>&1
    done
    [ "$(psql -X -A -t -d "$old" -c 'SELECT max(version) FROM store_version')" = 12 ] ||
        fail "the clerk's runs brought the store of version 12 up to date"
    entries() {
        psql -X -A -t -d "$1" -c "SELECT command_no - min(command_no) OVER (),
                coalesce(encode(command, 'escape'), '-'), coalesce(encode(id, 'escape'), '-'),
                amount_before, amount_after, kind
            FROM history WHERE seq > (SELECT coalesce(max(seq), 0) FROM history h
                                      WHERE h.id = 'LAK:2' AND amount_after = 0)
            ORDER BY seq"
    }
    local old_entries new_entries
    old_entries=$(entries "$old")
    new_entries=$(entries "$new")
    grep -qx '3|-|P2|0|7|other' <<< "$new_entries" && grep -qx '5|A j s 2 n|j|0|2|delivery' <<< "$new_entries" &&
        [ "$(grep -c '^[0-9]*|[AD] x:' <<< "$new_entries")" = 11 ] ||
        fail "version 13's history is not the one expected: $new_entries"
    [ "$old_entries" = "$new_entries" ] || fail "the histories differ:
$(diff <(echo "$old_entries") <(echo "$new_entries"))"
    psql -X -q -d "$postgres_uri" -c "DROP DATABASE IF EXISTS \"$old_db\" WITH (FORCE)" > /dev/null
}

run_case "$case"
