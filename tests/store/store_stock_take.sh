#!/usr/bin/env bash
# Usage: store_stock_take.sh WAREHOUSE sqlite|postgres CASE
# Stock-taking and dated lots, and who may do what of them, on a store of
# the kind given (PostgreSQL on a server of the case's own, on a Unix
# socket), one behaviour a case. The store's owner is the login that made
# it; a clerk is another login that may change the stock (on SQLite the
# login nobody, on a file it may write; on PostgreSQL a login granted
# warehouse_clerk), a reader one granted warehouse_reader, and a second
# owner a login granted warehouse_owner.
set -u
source "$(dirname "$(realpath "$0")")/store_logins.sh"
# The lots as "id|best_before|units", first expiring first.
lots() { sql "SELECT $(text id), CAST(best_before AS text), units FROM lots ORDER BY id, best_before, lot"; }
stock() { sql "SELECT $(text id), amount, $(text shelf), $(text name) FROM stock ORDER BY id"; }
# Everything a job may change, to compare before and after one refused.
everything() { stock; lots; sql "SELECT count(*) FROM history"; sql "SELECT count(*) FROM catalogue"; }
# The count entries as "id|before|after|reason|clerk|command".
count_entries() {
    sql "SELECT $(text id), amount_before, amount_after, coalesce(reason, ''), clerk,
                $(text command) FROM history WHERE kind = 'count' ORDER BY id"
}
# The products whose lots do not add up: more dated units than units, or
# lots of a product out of stock. Empty when they all do.
lots_beyond_stock() {
    sql "SELECT $(text l.id), sum(l.units), coalesce(max(s.amount), 0) FROM lots l
         LEFT JOIN stock s ON s.id = l.id GROUP BY l.id
         HAVING sum(l.units) > coalesce(max(s.amount), 0)"
}
me=$( [ "$kind" = postgres ] && echo postgres || id -un)
# The stock as "id:amount" and the lots as "id:best_before:units", on one line.
stock_and_lots() {
    { sql "SELECT $(text id) || ':' || amount FROM stock ORDER BY id"
      sql "SELECT $(text id) || ':' || best_before || ':' || units FROM lots ORDER BY id, best_before, lot"
    } | paste -sd ' '
}
# The entries past seq $1 as "id:before>after", on one line; and those of
# them that are not another program's: of a kind, clerk or command.
entries_past() {
    sql "SELECT $(text id) || ':' || amount_before || '>' || amount_after FROM history
         WHERE seq > $1 ORDER BY seq" | paste -sd ' '
    sql "SELECT seq FROM history WHERE seq > $1 AND (kind <> 'other' OR clerk IS NOT NULL
         OR command IS NOT NULL)"
}
# The owner's backup of the store, restored into a new store of the kind,
# which must hold the stock, lots and history the store holds.
backed_up_and_restored() {
    local out was
    was=$(stock; lots; sql "SELECT seq, $(text id), amount_before, amount_after, kind FROM history ORDER BY seq")
    rm -f "$scratch/backup.db"
    out=$(owner --backup "$scratch/backup.db" 2>&1) || { fail "$1: --backup: $out"; return; }
    local restored=$scratch/shop/restored$RANDOM.db
    out=$("$warehouse" --store "$restored" --restore "$scratch/backup.db" 2>&1) ||
        { fail "$1: --restore: $out"; return; }
    [ "$(store=$restored; stock; lots
         sql "SELECT seq, $(text id), amount_before, amount_after, kind FROM history ORDER BY seq")" = "$was" ] ||
        fail "$1: the store restored is not the store backed up"
}

# A count sheet with reasons: each product counted gets the units counted,
# one the stock lacks comes in, one counted as the records say makes no
# entry, one not on the sheet is untouched; each difference is one entry of
# the kind count, all of one command, with the units expected (the
# records'), counted, and the reason. The entries expected are worked out
# here from the stock before and the sheet. A running clerk takes the count
# up at its next command.
case_count_with_reasons() {
    run 'A X s1 10 Ecks' 'A Y s2 5 Why' 'A Z s3 7 Zed' 'A K s4 3 Kept' 'A U s5 2 Untouched' > /dev/null
    declare -A before=([X]=10 [Y]=5 [Z]=7 [K]=3 [U]=2)
    printf 'id,counted,reason\n' > count.csv
    expected_entries=
    while read -r id counted reason; do
        [ "$reason" = - ] && reason=
        printf '%s,%s,%s\n' "$id" "$counted" "$reason" >> count.csv
        [ "${before[$id]:-0}" = "$counted" ] ||
            expected_entries+="$id|${before[$id]:-0}|$counted|$reason|$me|count count.csv"$'\n'
    done <<'SHEET'
X 6 theft
Y 0 damaged
Z 9 miscount
K 3 -
N 4 -
M 2 sample
SHEET
    expected_entries=$(sort <<< "${expected_entries%$'\n'}")
    differences=$(grep -c . <<< "$expected_entries")
    start_run c "$store"
    tell c 'F X' 'Ecks 10 s1'
    out=$(owner --count count.csv 2>&1) || fail "--count ended with status $?: $out"
    [ "$out" = "Count: 6 products counted, $differences differences." ] || fail "--count said: $out"
    [ "$(count_entries)" = "$expected_entries" ] || fail "the count's entries:
$(count_entries)
not:
$expected_entries"
    [ "$(sql "SELECT count(DISTINCT command_no) FROM history WHERE kind = 'count'")" = 1 ] ||
        fail "the count is more than one command"
    [ "$(stock)" = 'K|3|s4|Kept
M|2||
N|4||
U|2|s5|Untouched
X|6|s1|Ecks
Z|9|s3|Zed' ] || fail "the stock after the count: $(stock)"
    tell c 'F X' 'Ecks 6 s1'
    tell c 'D Z 9' 'Amount: 0 Shelf: s3'
    end_run || fail "the clerk's run ended with status $?"
    grep -q "count count.csv ($differences changes)" <<< "$(run H)" || fail "H shows: $(run H)"
}

# A delivery note passes over a spreadsheet's blank rows, as a count sheet
# passes over its products not counted.
case_a_note_passes_over_blank_rows() {
    run 'A X s1 10 Ecks' > /dev/null
    printf 'id,amount,best_before\r\n,,\r\nX,2,2027-01-01\r\n,,\r\n' > blank.csv
    out=$(owner --deliveries blank.csv 2>&1) || fail "--deliveries ended with status $?: $out"
    [ "$(stock_and_lots)" = 'X:12 X:2027-01-01:2' ] || fail "after the note: $(stock_and_lots)"
}

# The empty id, which a stock file may bring in, goes through the jobs with
# another product: the count sheet written comes back filled in, and a
# delivery note of both is taken; each change is its command's entry.
case_the_empty_id_goes_through_the_jobs() {
    printf ';4;;\nB;5;s;b\n' > empty_id.txt
    run 'R empty_id.txt' > /dev/null
    owner --count-sheet sheet.csv || fail "--count-sheet ended with status $?"
    sed 's/,,\r$/,1,theft\r/' sheet.csv > filled.csv
    out=$(owner --count filled.csv 2>&1) || fail "--count ended with status $?: $out"
    [ "$(count_entries)" = "|4|1|theft|$me|count filled.csv
B|5|1|theft|$me|count filled.csv" ] || fail "--count said $out; the count's entries: $(count_entries)"
    printf 'id,amount\n,2\nB,3\n' > note.csv
    out=$(owner --deliveries note.csv 2>&1) || fail "--deliveries ended with status $?: $out"
    [ "$(sql "SELECT $(text id) || ':' || amount_before || '>' || amount_after FROM history
              WHERE kind = 'delivery' AND command IS NOT NULL ORDER BY id" | paste -sd ' ')" = ':1>3 B:1>4' ] ||
        fail "--deliveries said $out; the entries: $(sql "SELECT * FROM history WHERE seq > 2")"
}

# A product back in the stock by a sheet or a note takes the shelf and the
# name its line gives, and those its line leaves empty from its record in
# the catalogue; one that was never there comes in with the line's alone.
case_a_product_back_in_stock_takes_its_record() {
    # option|the file's text|the stock it leaves
    while IFS='|' read -r option text left; do
        run 'A X s1 5 Ecks' 'D X 5' > /dev/null
        printf "$text" > back.csv
        out=$(owner "$option" back.csv 2>&1) || fail "$option of $text: $out"
        [ "$(stock | tr '\n' ' ')" = "$left" ] || fail "$option of $text left: $(stock | tr '\n' ' ')"
        sql 'DELETE FROM stock'
    done <<'FILES'
--count|id,counted\nX,2\nN,1\n|N|1|| X|2|s1|Ecks 
--deliveries|id,amount,best_before\nX,2,2027-01-01\nN,1,\n|N|1|| X|2|s1|Ecks 
--deliveries|id,amount,shelf,name\nX,2,,\nX,1,s7,Later\n|X|3|s1|Ecks 
--deliveries|id,amount,shelf,name\nX,2,s9,\n|X|2|s9|Ecks 
--count|id,counted,shelf,name\nX,2,,New\n|X|2|s1|New 
FILES
}

# A bad sheet or note changes nothing: every bad line is named with its
# number and reason on standard error, and the status is 1.
case_bad_files_change_nothing() {
    run 'A X s1 10 Ecks' > /dev/null
    printf 'id,amount,best_before\nX,2,2027-01-01\n' > ok.csv
    owner --deliveries ok.csv > /dev/null || fail "a good note was refused"
    local was
    was=$(everything)
    # option|the file's text|what the error says
    while IFS='|' read -r option text named; do
        printf "$text" > bad.csv
        out=$(owner "$option" bad.csv 2>&1) && fail "$option took: $text"
        grep -qF -- "$named" <<< "$out" || fail "$option of $text said: $out"
        grep -qF -- "nothing changed" <<< "$out" || fail "$option of $text said: $out"
        [ "$(everything)" = "$was" ] || fail "$option of $text changed the store"
    done <<'FILES'
--count|id,counted,reason\nX,3,lost\n|line 2: the reason 'lost' is none of
--count|id,counted\nX,3\nY,-1\nZ,1.5\n|line 3: the count '-1'
--count|id,counted\nX,3\nY,-1\nZ,1.5\n|line 4: the count '1.5'
--count|id,counted\nX,3\nX,4\n|line 3: the id X again (first on line 2)
--count|id,reason\nX,theft\n|line 1: no counted column
--count|id,counted,colour\nX,3,red\n|line 1: an unknown column 'colour'
--count|id,counted,reason\nX,,theft\n|line 2: a reason but no count
--count|id,counted\nX,3,4\n|line 2: 3 cells, the header names 2
--count|id,counted\nX,4294967296\n|line 2: the count '4294967296'
--deliveries|id,amount,best_before\nX,2,2027-02-30\n|line 2: the best-before date '2027-02-30'
--deliveries|id,amount,best_before\nX,2,2027-01-03\nY,0,\n|line 3: the amount '0'
--deliveries|id,amount,best_before\nX,1,2027-1-03\n|line 2: the best-before date '2027-1-03'
--deliveries|id,amount,best_before\nX,4294967280,\nX,9,2027-01-01\n|line 3: X would hold more than 4294967295 units
--deliveries|id,amount\nX,4294967280\nY,1\nX,9\nY,2\nX,1\n|line 4: X would hold more than 4294967295 units
--deliveries|id,amount\nX,4294967280\nY,1\nX,9\nY,2\nX,1\n|line 6: X would hold more than 4294967295 units
--deliveries|id,amount\nA B,2\n|line 2: an id is one word
--count|id,counted,name\nN,3,"two\nlines"\nM,1,Em\n|line 2: a line break in the name
--count|id,counted,shelf\nN,3,"s4\r"\n|line 2: a line break in the shelf
--deliveries|id,amount,shelf,name\nN,1,"s\n4",En\n|line 2: a line break in the shelf
--deliveries|id,amount,name\nN,1,"two\r\nlines"\n|line 2: a line break in the name
--deliveries|id,amount,shelf,name\nN;1,3,s,nm\n|line 2: a ';' in the id
--count|id,counted,shelf\nC,2,x;y\n|line 2: a ';' in the shelf
FILES
}

# A file that cannot be read whole, missing, a folder or no regular file
# (a FIFO, which would wait for ever, a device), is named with the system's
# reason, and the status is 1.
case_unreadable_files_are_named() {
    run 'A X s1 10 Ecks' > /dev/null
    mkdir folder.csv
    mkfifo fifo.csv
    local out
    # option|file|what the error says
    while IFS='|' read -r option file named; do
        out=$(timeout 20 "$warehouse" --store "$store" "$option" "$file" 2>&1) &&
            fail "$option took $file"
        [ "$out" = "warehouse: $file: $named" ] || fail "$option $file said: $out"
    done <<'FILES'
--count|missing.csv|No such file or directory
--count|folder.csv|Is a directory
--deliveries|folder.csv|Is a directory
--catalogue-in|folder.csv|Is a directory
--count|fifo.csv|Not a regular file
--deliveries|fifo.csv|Not a regular file
--catalogue-in|fifo.csv|Not a regular file
--deliveries|/dev/null|Not a regular file
FILES
    [ "$(stock)" = 'X|10|s1|Ecks' ] || fail "the stock changed: $(stock)"
}

# Only the store's owner takes a count; a clerk who may change the stock
# receives deliveries, and anyone who may read it writes a blank sheet.
case_a_clerks_count_is_refused() {
    run 'A X s1 10 Ecks' > /dev/null
    logins
    printf 'id,counted\nX,1\n' > count.csv
    printf 'id,amount,best_before\nX,2,2027-01-01\n' > note.csv
    chmod 644 count.csv note.csv
    chmod 755 "$scratch"
    out=$(clerk --count "$PWD/count.csv" 2>&1) && fail "a clerk's count was taken"
    grep -q "only the store's owner may take a count" <<< "$out" || fail "a clerk's count said: $out"
    [ "$(stock)" = 'X|10|s1|Ecks' ] || fail "a clerk's count changed the stock: $(stock)"
    out=$(clerk --deliveries "$PWD/note.csv" 2>&1) || fail "a clerk's delivery note was refused: $out"
    [ "$(lots)" = 'X|2027-01-01|2' ] || fail "the clerk's lots: $(lots)"
    out=$(clerk --count-sheet "$PWD/shop/clerk.csv" 2>&1) || fail "a clerk's blank sheet: $out"
    if [ "$kind" = postgres ]; then
        out=$(reader --deliveries "$PWD/note.csv" 2>&1) && fail "a reader's note was received"
        out=$(reader --count-sheet "$PWD/shop/reader.csv" 2>&1) || fail "a reader's blank sheet: $out"
        [ "$(lots)" = 'X|2027-01-01|2' ] || fail "the reader's note changed the lots: $(lots)"
    fi
}

# The blank sheet lists every product in stock sorted by shelf, with the
# units expected; filled in as it is, it is taken back.
case_blank_sheet_comes_back_filled_in() {
    run 'A B s2 4 Bee' 'A A s3 1 Ay' 'A C s1 2 Sea, with a comma' > /dev/null
    owner --count-sheet sheet.csv || fail "--count-sheet ended with status $?"
    [ "$(tr -d '\r' < sheet.csv)" = 'id,name,shelf,expected,counted,reason
C,"Sea, with a comma",s1,2,,
B,Bee,s2,4,,
A,Ay,s3,1,,' ] || fail "the blank sheet: $(cat sheet.csv)"
    sed -i 's/^\(C,.*,2\),,\r$/\1,1,sample\r/; s/^B,Bee,s2,4,,/B,Bee,s2,4,4,/' sheet.csv
    out=$(owner --count sheet.csv 2>&1) || fail "the filled-in sheet: $out"
    [ "$out" = 'Count: 2 products counted, 1 difference.' ] || fail "the filled-in sheet: $out"
    [ "$(count_entries)" = "C|2|1|sample|$me|count sheet.csv" ] || fail "its entries: $(count_entries)"
}

# A sheet or a catalogue written over the SQLite store, through any name of
# it or over the log a running clerk keeps beside it, is refused with one
# line and status 1, and the store goes on as it was.
case_a_sheet_never_overwrites_the_store() {
    [ "$kind" = sqlite ] || skip "a PostgreSQL store is no file"
    run 'A X s1 5 Ecks' > /dev/null
    ln -s "$store" link.db
    start_run c "$store"
    tell c 'F X' 'Ecks 5 s1'
    [ -e "$store-wal" ] || fail "the running clerk keeps no log"
    local out status
    for option in --count-sheet --catalogue-out --backup; do
        for file in "$store" link.db "$store-wal"; do
            out=$(owner "$option" "$file" 2>&1)
            status=$?
            [ $status = 1 ] && [ "$(wc -l <<< "$out")" = 1 ] && grep -q 'is the store itself' <<< "$out" ||
                fail "$option $file: status $status, $out"
        done
    done
    tell c 'D X 1' 'Amount: 4 Shelf: s1'
    end_run || fail "the clerk's run ended with status $?"
    [ "$(stock)" = 'X|4|s1|Ecks' ] || fail "the store after: $(stock)"
}

# Deliveries with three dates and undated units; a withdrawal that spans
# two lots takes the earliest first; an increase touches no lot; a count
# below the records and another program's decrease take first expiring
# first too, and a product that goes, or whose id another program changes,
# takes its lots with it, all of them, even lots edited by hand past its
# units.
# Each withdrawal of a block of input takes from the lots as it would
# alone, whatever the block added between them.
case_first_expiring_first_out() {
    run 'A X s1 5 Ecks' > /dev/null
    printf 'id,amount,best_before,shelf,name\nX,4,2027-03-01,,\nX,3,2026-12-01,,\nX,2,2027-01-15,,\nX,1,,,\nY,6,2027-02-01,s2,Why\n' > note.csv
    out=$(owner --deliveries note.csv 2>&1) || fail "--deliveries: $out"
    [ "$(stock)" = 'X|15|s1|Ecks
Y|6|s2|Why' ] || fail "the stock after the note: $(stock)"
    # the step|the lots it leaves
    while IFS='|' read -r step left; do
        case $step in
            sql:*) sql "${step#sql:}" ;;
            # An edit by hand, past what the triggers let other programs write.
            hand:*) if [ "$kind" = sqlite ]; then
                        sqlite3 -bail "$store" '.dbconfig enable_trigger off' "${step#hand:}" > /dev/null
                    else
                        sql "${step#hand:}"
                    fi ;;
            count:*) printf 'id,counted\n%s\n' "${step#count:}" > c.csv; owner --count c.csv > /dev/null ;;
            note:*) printf 'id,amount,best_before\n%s\n' "${step#note:}" > n.csv
                    owner --deliveries n.csv > /dev/null ;;
            # Commands of one block of input, which a run writes together.
            block:*) IFS=';' read -ra commands <<< "${step#block:}"; run "${commands[@]}" > /dev/null ;;
            *) run "$step" > /dev/null ;;
        esac
        [ "$(lots | tr '\n' ' ')" = "$left" ] || fail "after $step the lots are: $(lots | tr '\n' ' '), not $left"
    done <<'STEPS'
D X 4|X|2027-01-15|1 X|2027-03-01|4 Y|2027-02-01|6 
A X s1 2 Ecks|X|2027-01-15|1 X|2027-03-01|4 Y|2027-02-01|6 
count:X,11|X|2027-03-01|3 Y|2027-02-01|6 
sql:UPDATE stock SET amount = 3 WHERE id = 'Y'|X|2027-03-01|3 Y|2027-02-01|3 
D X 2|X|2027-03-01|1 Y|2027-02-01|3 
sql:UPDATE stock SET id = 'W' WHERE id = 'Y'|X|2027-03-01|1 
sql:DELETE FROM stock WHERE id = 'Y'|X|2027-03-01|1 
hand:UPDATE lots SET units = units + 40|X|2027-03-01|41 
D X 9|
note:X,6,2027-04-01|X|2027-04-01|6 
block:D X 1;A X s1 4 Ecks;D X 2|X|2027-04-01|3 
block:A X s1 2 Ecks;D X 4|
STEPS
    [ -z "$(lots_beyond_stock)" ] || fail "the lots do not add up: $(lots_beyond_stock)"
}

# Three clerks at once, each a random mix of every command that changes the
# stock, delivery notes and counts: the lots never hold more than the units,
# and no product out of stock keeps a lot.
case_lots_add_up_after_a_random_mix() {
    run 'A X s1 50 Ecks' > /dev/null
    RANDOM=36
    for clerk in 1 2 3; do
        for _ in $(seq 14); do
            id=$(printf 'X\nY\nZ\nGEN:1\n' | sed -n "$((RANDOM % 4 + 1))p")
            amount=$((RANDOM % 9 + 1))
            day=$(printf %02d $((RANDOM % 28 + 1)))
            case $((RANDOM % 8)) in
                0) echo "printf 'A $id s 1$amount n\n' | owner" ;;
                1|2) echo "printf 'D $id $amount\n' | owner" ;;
                3) echo "printf '$id;$amount;s;n\n' > load$clerk.txt; printf 'R load$clerk.txt\n' | owner" ;;
                4) echo "printf 'G 2\n' | owner" ;;
                5) echo "printf 'id,amount,best_before\n$id,$amount,2027-01-$day\n$id,2,2026-12-$day\n' > note$clerk.csv; owner --deliveries note$clerk.csv" ;;
                6) echo "printf 'id,counted\n$id,$((amount - 1))\n' > count$clerk.csv; owner --count count$clerk.csv" ;;
                7) [ $((RANDOM % 3)) = 0 ] && echo "printf 'E\n' | owner" || echo "printf 'D $id 1\n' | owner" ;;
            esac
        done > mix$clerk.sh
    done
    for clerk in 1 2 3; do (source mix$clerk.sh > mix$clerk.out 2>&1) & done
    wait
    [ -z "$(lots_beyond_stock)" ] || fail "the lots do not add up after the mix: $(lots_beyond_stock)"
    [ "$(sql 'SELECT count(*) FROM lots')" -gt 0 ] || [ "$(sql 'SELECT count(*) FROM stock')" = 0 ] ||
        grep -q E mix*.sh || fail "the mix left no lot to check"
}

# A note of more products than the history lists one by one is one entry
# of the note's command and kind, with no product; its lots are all there.
case_a_note_of_very_many_products() {
    { echo 'id,amount,best_before'; seq -f 'P%.0f,2,2027-01-01' 65537; } > big.csv
    out=$(owner --deliveries big.csv 2>&1) || fail "--deliveries of 65537 products: $out"
    [ "$(sql "SELECT $(text command), kind, coalesce($(text id), '-') FROM history")" = \
        'deliveries big.csv|delivery|-' ] ||
        fail "the note's history: $(sql "SELECT * FROM history")"
    [ "$(sql 'SELECT count(*), sum(units) FROM lots')" = '65537|131074' ] ||
        fail "the note's lots: $(sql 'SELECT count(*), sum(units) FROM lots')"
}

# A clerk's own client writes no lot the runs would not: no clerk or time of
# its choosing, no units past the stock's limit, no lots of a product out of
# stock or beyond its units; each is refused and changes no lot, and the
# owner's backup goes on; no date a backup cannot write. A store of the
# version before, whose clerks could, is mended by its owner's next run: its
# lots of such dates become undated units, those beyond the units are taken
# earliest first, and the clerks' grant is the columns a delivery fills.
case_a_clerks_forged_lots_are_refused() {
    [ "$kind" = postgres ] || skip "on SQLite a clerk who may write the store may write any of it"
    run 'A X s1 5 Ecks' > /dev/null
    logins
    printf 'id,amount,best_before\nX,2,2027-01-01\n' > note.csv
    chmod 644 note.csv
    chmod 755 "$scratch"
    clerk --deliveries "$PWD/note.csv" > /dev/null || fail "the clerk's note was refused"
    sql "ALTER TABLE lots DISABLE TRIGGER lots_within_stock; ALTER TABLE lots DROP CONSTRAINT lots_units_check;
         ALTER TABLE lots DROP CONSTRAINT lots_best_before_check;
         INSERT INTO lots (id, best_before, units) VALUES ('X', '2026-11-01', 1000000000000), ('GONE', '2027-01-01', 1),
                                                          ('X', 'infinity', 1);
         ALTER TABLE lots ENABLE TRIGGER lots_within_stock; GRANT INSERT ON lots TO warehouse_clerk;
         UPDATE store_version SET version = 11"
    run C > /dev/null
    [ "$(lots | tr '\n' ' ')" = 'X|2026-11-01|5 X|2027-01-01|2 ' ] || fail "the lots mended: $(lots | tr '\n' ' ')"
    # Three undated units: room for three dated.
    run 'A X s1 3 Ecks' > /dev/null
    local was
    was=$(lots)
    # the columns and values the clerk's client inserts|what refuses them
    while IFS='|' read -r inserted refused; do
        out=$(psql -X -q -v ON_ERROR_STOP=1 -d "$(as clerk)" -c "INSERT INTO lots $inserted" 2>&1) &&
            fail "a clerk's client inserted $inserted"
        grep -qF -- "$refused" <<< "$out" || fail "$inserted was refused with: $out"
        [ "$(lots)" = "$was" ] || fail "$inserted changed the lots: $(lots)"
    done <<'FORGED'
(id, best_before, units, clerk) VALUES ('X', '2027-01-01', 1, 'boss')|permission denied for table lots
(id, best_before, units, received_at) VALUES ('X', '2027-01-01', 1, '2020-01-01')|permission denied for table lots
(id, best_before, units) VALUES ('X', '2027-01-01', 1000000000000)|lots_units_check
(id, best_before, units) VALUES ('X', 'infinity', 1)|lots_best_before_check
(id, best_before, units) VALUES ('X', '12345-06-07', 1)|lots_best_before_check
(id, best_before, units) VALUES ('X', '0001-01-01 BC', 1)|lots_best_before_check
(id, best_before, units) VALUES ('GONE', '2027-01-01', 1)|the dated lots of GONE hold more
(id, best_before, units) VALUES ('X', '2027-02-01', 3), ('Y', '2027-02-01', 1)|the dated lots of Y hold more
(id, best_before, units) VALUES ('X', '2027-02-01', 4)|the dated lots of X hold more
FORGED
    [ -z "$(lots_beyond_stock)" ] || fail "the lots do not add up: $(lots_beyond_stock)"
    owner --backup "$scratch/backup.db" || fail "the owner's backup ended with status $?"
    # Lots within the stock are the clerk's to write.
    psql -X -q -v ON_ERROR_STOP=1 -d "$(as clerk)" \
        -c "INSERT INTO lots (id, best_before, units, named_clerk) VALUES ('X', '2027-02-01', 3, 'Liisa')" ||
        fail "a clerk's lots within the stock were refused"
}

# Another program's INSERT OR REPLACE, which deletes the product's row
# without its triggers, keeps the lots within the new amount, taking the
# earliest first; a store of the version before, whose lots it left beyond
# the units, is mended by its owner's next run.
case_another_programs_replace_keeps_lots_within_stock() {
    [ "$kind" = sqlite ] || skip "PostgreSQL has no INSERT OR REPLACE"
    run 'A X s1 2 Ecks' > /dev/null
    printf 'id,amount,best_before\nX,4,2027-03-01\nX,3,2026-12-01\nX,2,2027-01-15\n' > note.csv
    owner --deliveries note.csv > /dev/null || fail "the note was refused"
    # the amount replaced|the lots left
    while IFS='|' read -r amount left; do
        sql "INSERT OR REPLACE INTO stock VALUES ('X', $amount, 's1', 'Ecks')"
        [ "$(lots | tr '\n' ' ')" = "$left" ] || fail "after X replaced with $amount the lots are: $(lots | tr '\n' ' '), not $left"
    done <<'REPLACED'
10|X|2026-12-01|3 X|2027-01-15|2 X|2027-03-01|4 
8|X|2026-12-01|2 X|2027-01-15|2 X|2027-03-01|4 
5|X|2027-01-15|1 X|2027-03-01|4 
4|X|2027-03-01|4 
1|X|2027-03-01|1 
REPLACED
    owner --deliveries note.csv > /dev/null || fail "the second note was refused"
    local current
    current=$(sql 'PRAGMA user_version')
    sql "DROP TRIGGER stock_inserted_lots; DROP TRIGGER lots_inserted_checked; PRAGMA user_version = 8;
         INSERT OR REPLACE INTO stock VALUES ('X', 4, 's1', 'Ecks');
         INSERT INTO lots (id, best_before, units, received_at) VALUES ('GONE', '2027-01-01', 1, '')"
    run C > /dev/null
    [ "$(lots | tr '\n' ' ')" = 'X|2027-03-01|4 ' ] || fail "the lots mended: $(lots | tr '\n' ' ')"
    [ "$(sql 'PRAGMA user_version')" = "$current" ] || fail "the store was left at version $(sql 'PRAGMA user_version')"
    owner --backup "$scratch/backup.db" || fail "the owner's backup ended with status $?"
    sql "INSERT OR REPLACE INTO stock VALUES ('X', 3, 's1', 'Ecks')"
    [ "$(lots | tr '\n' ' ')" = 'X|2027-03-01|3 ' ] || fail "the trigger made anew left: $(lots | tr '\n' ' ')"
}

# Another program's INSERT OR REPLACE of a product in stock is its entry
# from the units the product had, as an update's is, and leaves its lots
# within the new units, earliest taken first. An insert that writes no row
# (ignored, refused on its key, an upsert's update) writes no entry of its
# own, and leaves nothing that a later insert takes for the units it
# replaced. The backup of it all restores.
case_another_programs_replace_is_its_entry_from_the_units_it_had() {
    [ "$kind" = sqlite ] || skip "PostgreSQL has no INSERT OR REPLACE"
    run 'A X s1 10 Ecks' > /dev/null
    printf 'id,amount,best_before\nX,4,2027-03-01\nX,3,2026-12-01\n' > note.csv
    owner --deliveries note.csv > /dev/null || fail "the note was refused"
    local seen
    # the statements, each run alone|their entries|the stock and lots they leave
    while IFS='|' read -r statements written left; do
        seen=$(sql 'SELECT max(seq) FROM history')
        IFS=';' read -ra each <<< "$statements"
        for statement in "${each[@]}"; do sql "$statement" 2> /dev/null; done
        [ "$(entries_past "$seen")" = "$written" ] ||
            fail "$statements wrote the entries: $(entries_past "$seen"), not $written"
        [ "$(stock_and_lots)" = "$left" ] || fail "$statements left: $(stock_and_lots), not $left"
    done <<'STATEMENTS'
INSERT OR REPLACE INTO stock VALUES ('X', 12, 's1', 'Ecks')|X:17>12|X:12 X:2026-12-01:3 X:2027-03-01:4
REPLACE INTO stock VALUES ('X', 5, 's1', 'Ecks')|X:12>5|X:5 X:2026-12-01:1 X:2027-03-01:4
INSERT OR IGNORE INTO stock VALUES ('X', 9, 's1', 'Ecks')||X:5 X:2026-12-01:1 X:2027-03-01:4
INSERT INTO stock VALUES ('X', 9, 's1', 'Ecks')||X:5 X:2026-12-01:1 X:2027-03-01:4
INSERT OR IGNORE INTO stock VALUES ('Y', 3, 's2', 'Why')|Y:0>3|X:5 Y:3 X:2026-12-01:1 X:2027-03-01:4
INSERT OR REPLACE INTO stock SELECT id, amount + 1, shelf, name FROM stock|X:5>6 Y:3>4|X:6 Y:4 X:2026-12-01:1 X:2027-03-01:4
INSERT OR REPLACE INTO stock VALUES ('X', 4, 's1', 'Ecks'), ('Z', 2, 's3', 'Zed')|X:6>4 Z:0>2|X:4 Y:4 Z:2 X:2027-03-01:4
INSERT OR IGNORE INTO stock VALUES ('X', 1, 's1', 'Ecks');DELETE FROM stock WHERE id = 'X';INSERT INTO stock VALUES ('X', 2, 's1', 'Ecks')|X:4>0 X:0>2|X:2 Y:4 Z:2
INSERT OR FAIL INTO stock VALUES ('V', 1, 's4', 'Vee'), ('Y', 2, 's2', 'Why');DELETE FROM stock WHERE id = 'Y';INSERT INTO stock VALUES ('Y', 5, 's2', 'Why')|V:0>1 Y:4>0 Y:0>5|V:1 X:2 Y:5 Z:2
INSERT INTO stock VALUES ('Z', 7, 's3', 'Zed') ON CONFLICT (id) DO UPDATE SET amount = excluded.amount;INSERT INTO stock VALUES ('W', 1, 's5', 'Double')|Z:2>7 W:0>1|V:1 W:1 X:2 Y:5 Z:7
INSERT INTO lots (id, best_before, units, received_at) VALUES ('Z', '2027-01-01', 6, '2026-12-01 10:00:00.000');UPDATE OR REPLACE stock SET id = 'Z' WHERE id = 'Y'|Y:5>0 Z:7>5|V:1 W:1 X:2 Z:5 Z:2027-01-01:5
UPDATE OR IGNORE stock SET id = 'Z' WHERE id = 'W';UPDATE stock SET amount = 3 WHERE id = 'W'|W:1>3|V:1 W:3 X:2 Z:5 Z:2027-01-01:5
STATEMENTS
    run 'F X' | grep -qx 'Ecks 2 s1' || fail "a run after them finds X as: $(run 'F X')"
    backed_up_and_restored "after another program's replacements"
}

# Another program inserts or updates no lot the runs would not write: none
# numbered below 1, dated in the year 0 or before or on a day the calendar
# has not (which date() takes), received at no time, by a clerk that is no
# text, of a product not in stock, or beyond its units. Each statement is
# refused whole, with what is wrong, and changes nothing; the owner's
# backup goes on. Lots within the stock, dated in the years 1 to 9999, and lots
# lowered are its to write, and its decreases of the stock still take the
# lots earliest first.
case_another_programs_forged_lots_are_refused() {
    [ "$kind" = sqlite ] || skip "PostgreSQL's are a clerk's, in a_clerks_forged_lots_are_refused"
    run 'A X s1 3 Ecks' 'A Y s2 1 Why' > /dev/null
    printf 'id,amount,best_before\nX,2,2027-01-01\n' > note.csv
    owner --deliveries note.csv > /dev/null || fail "the note was refused"
    local was out
    was=$(everything)
    # the statement|what refuses it
    while IFS='|' read -r statement refused; do
        out=$(sql "$statement" 2>&1) && fail "another program's $statement was taken"
        grep -qF -- "$refused" <<< "$out" || fail "$statement was refused with: $out"
        [ "$(everything)" = "$was" ] || fail "$statement changed the store: $(stock_and_lots)"
    done <<'FORGED'
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '0000-06-01', 1, '2026-12-01 10:00:00.000')|a best-before date is a day of the years 1 to 9999
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '-0001-06-01', 1, '2026-12-01 10:00:00.000')|a best-before date is a day of the years 1 to 9999
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-02-30', 1, '2026-12-01 10:00:00.000')|a best-before date is a day of the years 1 to 9999
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-13-01', 1, '2026-12-01 10:00:00.000')|a best-before date is a day of the years 1 to 9999
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-02-01', 1, '')|a lot is received at a time of the years 1 to 9999
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-02-01', 1, '0000-12-01 10:00:00.000')|a lot is received at a time of the years 1 to 9999
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-02-01', 1, 20261201)|a lot is received at a time of the years 1 to 9999
INSERT INTO lots (id, best_before, units, received_at, clerk) VALUES ('X', '2027-02-01', 1, '2026-12-01 10:00:00.000', x'41')|a lot is received by a clerk named in text
INSERT INTO lots (id, best_before, units, received_at, named_clerk) VALUES ('X', '2027-02-01', 1, '2026-12-01 10:00:00.000', x'00')|a lot is received by a clerk named in text
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-02-01', 1000000000000, '2026-12-01 10:00:00.000')|CHECK constraint failed
INSERT INTO lots (id, best_before, units, received_at) VALUES ('GONE', '2027-01-01', 1, '2026-12-01 10:00:00.000')|the dated lots of a product hold more units than its stock
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-02-01', 4, '2026-12-01 10:00:00.000')|the dated lots of a product hold more units than its stock
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-02-01', 3, '2026-12-01 10:00:00.000'), ('Y', '2027-02-01', 2, '2026-12-01 10:00:00.000')|the dated lots of a product hold more units than its stock
INSERT INTO lots (lot, id, best_before, units, received_at) VALUES (0, 'X', '2027-02-01', 1, '2026-12-01 10:00:00.000')|a lot is numbered from 1
INSERT INTO lots (lot, id, best_before, units, received_at) VALUES (-7, 'X', '2027-02-01', 1, '2026-12-01 10:00:00.000')|a lot is numbered from 1
INSERT OR REPLACE INTO lots (lot, id, best_before, units, received_at) VALUES (1, 'X', '2027-02-01', 6, '2026-12-01 10:00:00.000')|the dated lots of a product hold more units than its stock
UPDATE lots SET units = 6|the dated lots of a product hold more units than its stock
UPDATE lots SET id = 'Y'|the dated lots of a product hold more units than its stock
UPDATE lots SET id = 'GONE'|the dated lots of a product hold more units than its stock
UPDATE lots SET best_before = '0000-12-31'|a best-before date is a day of the years 1 to 9999
UPDATE lots SET received_at = 'now'|a lot is received at a time of the years 1 to 9999
UPDATE lots SET clerk = x'41'|a lot is received by a clerk named in text
FORGED
    [ -z "$(lots_beyond_stock)" ] || fail "the lots do not add up: $(lots_beyond_stock)"
    backed_up_and_restored "after the forgeries"
    # the statement|the stock and lots it leaves
    while IFS='|' read -r statement left; do
        out=$(sql "$statement" 2>&1) || fail "another program's $statement was refused: $out"
        [ "$(stock_and_lots)" = "$left" ] || fail "$statement left: $(stock_and_lots), not $left"
    done <<'WRITTEN'
INSERT INTO lots (id, best_before, units, received_at) VALUES ('X', '2027-02-01', 3, '2026-12-01 10:00:00.000')|X:5 Y:1 X:2027-01-01:2 X:2027-02-01:3
UPDATE lots SET units = units - 1 WHERE best_before = '2027-02-01'|X:5 Y:1 X:2027-01-01:2 X:2027-02-01:2
UPDATE lots SET best_before = '9999-12-31' WHERE best_before = '2027-02-01'|X:5 Y:1 X:2027-01-01:2 X:9999-12-31:2
INSERT INTO lots (id, best_before, units, received_at) VALUES ('Y', '0001-01-01', 1, '2026-12-01 10:00:00.000')|X:5 Y:1 X:2027-01-01:2 X:9999-12-31:2 Y:0001-01-01:1
UPDATE lots SET named_clerk = 'Liisa', received_at = '2026-12-02 08:00:00.000'|X:5 Y:1 X:2027-01-01:2 X:9999-12-31:2 Y:0001-01-01:1
UPDATE stock SET amount = 3 WHERE id = 'X'|X:3 Y:1 X:9999-12-31:2 Y:0001-01-01:1
INSERT OR REPLACE INTO stock VALUES ('X', 1, 's1', 'Ecks')|X:1 Y:1 X:9999-12-31:1 Y:0001-01-01:1
WRITTEN
    backed_up_and_restored "after the lots written"
}

# A store of version 9, whose other programs could write such lots, is
# mended by its owner's next run: a lot dated in the year 0 becomes
# undated units, the lots beyond a product's units are taken earliest
# first, a product not in stock keeps none; its backup restores, and its
# replacements and forged lots are seen to from then on.
case_a_store_of_version_9_is_mended() {
    [ "$kind" = sqlite ] || skip "PostgreSQL's store has versions of its own"
    sqlite3 -bail "$store" < "$here/fixtures/sqlite_v9.sql" || fail "the fixture of version 9 did not load"
    local at="'2026-03-02 10:00:00.000'"
    sql "INSERT INTO lots (id, best_before, units, received_at) VALUES ('GUM:1', '0000-01-01', 1, $at),
         ('GUM:1', '2026-02-30', 1, $at), ('LAK:2', '2026-01-01', 9, $at), ('GONE', '2027-01-01', 1, $at)"
    [ "$(stock_and_lots)" = 'GUM:1:8 LAK:2:5 GONE:2027-01-01:1 GUM:1:0000-01-01:1 GUM:1:2026-02-30:1 GUM:1:2026-03-20:5 LAK:2:2026-01-01:9 LAK:2:2026-03-09:2' ] ||
        fail "the store of version 9 holds: $(stock_and_lots)"
    run C > /dev/null
    [ "$(sql 'PRAGMA user_version')" = 11 ] || fail "the store was left at version $(sql 'PRAGMA user_version')"
    [ "$(stock_and_lots)" = 'GUM:1:8 LAK:2:5 GUM:1:2026-03-20:5 LAK:2:2026-01-01:3 LAK:2:2026-03-09:2' ] ||
        fail "the lots mended: $(stock_and_lots)"
    backed_up_and_restored "the store mended"
    local seen
    seen=$(sql 'SELECT max(seq) FROM history')
    sql "INSERT OR REPLACE INTO stock VALUES ('GUM:1', 4, '3.25', 'Jenkki')"
    [ "$(entries_past "$seen")" = 'GUM:1:8>4' ] || fail "the replacement's entry: $(entries_past "$seen")"
    sql "INSERT INTO lots (id, best_before, units, received_at) VALUES ('GUM:1', '0000-01-01', 1, $at)" 2> /dev/null &&
        fail "a lot of the year 0 was taken by the store mended"
    [ "$(stock_and_lots)" = 'GUM:1:4 LAK:2:5 GUM:1:2026-03-20:4 LAK:2:2026-01-01:3 LAK:2:2026-03-09:2' ] ||
        fail "after the replacement: $(stock_and_lots)"
}

# A backup carries the lots and the count's reasons, and a restore brings
# them back.
case_backup_keeps_lots() {
    run 'A X s1 5 Ecks' > /dev/null
    printf 'id,amount,best_before\nX,4,2027-03-01\nX,3,2026-12-01\n' > note.csv
    printf 'id,counted,reason\nX,10,damaged\n' > count.csv
    owner --deliveries note.csv > /dev/null && owner --count count.csv > /dev/null ||
        fail "the note or the count was refused"
    local lots_were entries_were
    lots_were=$(lots)
    entries_were=$(count_entries)
    owner --backup "$scratch/backup.db" || fail "--backup ended with status $?"
    [ "$(sqlite3 "$scratch/backup.db" "SELECT id, best_before, units FROM lots ORDER BY lot")" = 'X|2027-03-01|4
X|2026-12-01|1' ] || fail "the backup's lots: $(sqlite3 "$scratch/backup.db" 'SELECT * FROM lots')"
    # Into a new store of the same kind.
    if [ "$kind" = postgres ]; then
        make_database restored || fail "no database to restore into"
        store=$(postgres_uri_of restored)
    else
        store=$scratch/shop/restored.db
    fi
    owner --restore "$scratch/backup.db" || fail "--restore ended with status $?"
    [ "$(lots)" = "$lots_were" ] || fail "the restored lots: $(lots), not $lots_were"
    [ "$(count_entries)" = "$entries_were" ] || fail "the restored count: $(count_entries)"
    # The restored store goes on first expiring first.
    printf 'D X 2\n' | owner > /dev/null
    [ "$(lots)" = 'X|2027-03-01|3' ] || fail "D X 2 after the restore left: $(lots)"
}

run_case "$case"
