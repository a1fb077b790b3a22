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
source "$(dirname "$(realpath "$0")")/store_logins.sh"
catalogue() {
    sql "SELECT $(text id), $(text name), $(text shelf), coalesce(CAST(price_cents AS text), ''),
                coalesce(CAST(cost_cents AS text), ''), coalesce(CAST(reorder_level AS text), ''),
                $(yes_no discontinued) FROM catalogue ORDER BY id"
}

# A product's first delivery makes its record, by A, R, G or another
# program's insert; the record stays when its units reach 0 and when the
# stock is emptied, and a later delivery or withdrawal leaves it as it is.
# So does one that comes and goes, or comes back, within a block of input,
# which the run writes together.
case_first_delivery_makes_the_record() {
    printf 'L:1;4;1.1;Loaded\n' > load.txt
    # G makes the same products each time.
    run 'A X s1 5 Ecks' 'A Z s5 1 Zed' 'D Z 1' 'A Q s3 2 Kew' 'D Q 2' 'A Q s4 1 Other' \
        'R load.txt' 'G 2' > /dev/null
    sql "INSERT INTO stock VALUES ('Y', 2, 's2', 'Why')"
    sql "UPDATE catalogue SET price_cents = 350 WHERE id = 'X'"
    run 'D X 5' 'A X s9 1 Other' 'D Y 1' 'E' > /dev/null
    [ "$(sql 'SELECT count(*) FROM stock')" = 0 ] || fail "the stock was not emptied"
    [ "$(catalogue)" = 'L:1|Loaded|1.1||||0
Q|Kew|s3||||0
SUK:098765retfg:1214:965|Tyrkisk Peber|8.97||||0
VHT:09876wZetfg:1212:965|Tyrkisk Peber|8.97||||0
X|Ecks|s1|350|||0
Y|Why|s2||||0
Z|Zed|s5||||0' ] || fail "the catalogue after A, R, G, an insert, D to 0 and E:
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
             DROP TRIGGER stock_lowered_lots; DROP TRIGGER stock_deleted_lots; DROP TRIGGER stock_inserted_lots;
             DROP TRIGGER stock_renamed_lots;
             DROP TABLE lots;
             PRAGMA user_version = 4"
    fi
    run C > /dev/null
    [ "$(catalogue)" = 'X|Ecks|s1||||0
Z||||||0' ] || fail "the records of an older store: $(catalogue)"
    # The run that brought the catalogue grants it: the owner's role
    # changes it at once.
    if [ "$kind" = postgres ]; then
        logins
        printf 'id,price
Z,2
' > in.csv
        out=$("$warehouse" --store "$(as boss)" --catalogue-in in.csv 2>&1) &&
            [ "$(sql "SELECT price_cents FROM catalogue WHERE id = 'Z'")" = 200 ] ||
            fail "a login granted warehouse_owner, after the upgrade: $out"
    fi
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

# The catalogue goes out whole, as a spreadsheet reads it, and comes back
# with only the columns the file holds changed: prices read as 3.50 and as
# 3,50, a record added for an id the catalogue lacks, and each change in
# catalogue_changes with who made it, the clerk's name given, and what was
# and what became.
case_catalogue_goes_out_and_comes_back() {
    run 'A X s1 5 Ecks' 'A Y s2 3 Why, "not"' > /dev/null
    local yes=1
    [ "$kind" = sqlite ] || yes=true
    sql "UPDATE catalogue SET cost_cents = 5, reorder_level = 4, discontinued = $yes WHERE id = 'X'"
    owner --catalogue-out out.csv || fail "--catalogue-out ended with status $?"
    printf 'id,name,shelf,price,cost,reorder_level,discontinued\r\nX,Ecks,s1,,0.05,4,yes\r\nY,"Why, ""not""",s2,,,,\r\n' > expected.csv
    cmp -s out.csv expected.csv || fail "the catalogue written: $(cat -A out.csv)"
    printf 'price,id,discontinued\n"3,50",X,\n3.5,Y,\n12,N,yes\n' > in.csv
    out=$(owner --clerk 'Anna K' --catalogue-in in.csv 2>&1)
    [ $? = 0 ] && [ "$out" = 'Catalogue: 3 records changed or added.' ] || fail "--catalogue-in: $out"
    [ "$(catalogue)" = 'N|||1200|||1
X|Ecks|s1|350|5|4|0
Y|Why, "not"|s2|350|||0' ] || fail "the catalogue taken back: $(catalogue)"
    local login expected
    login=$(id -un)
    [ "$kind" = sqlite ] || login=postgres
    expected="$login|Anna K|N|price|-|12.00
$login|Anna K|N|discontinued|-|yes
$login|Anna K|X|price|-|3.50
$login|Anna K|X|discontinued|yes|-
$login|Anna K|Y|price|-|3.50"
    changes=$(sql "SELECT clerk, named_clerk, $(text id), field, coalesce($(text before), '-'),
                          coalesce($(text after), '-') FROM catalogue_changes ORDER BY seq")
    [ "$(sort <<< "$changes")" = "$(sort <<< "$expected")" ] || fail "the catalogue's changes: $changes"
    [ "$(sql "SELECT count(*) FROM catalogue_changes WHERE changed_at IS NULL")" = 0 ] ||
        fail "a change has no time"
}

# A file with a bad line changes nothing: every bad line is named on
# standard error with its number and reason, and the run ends with status 1.
case_a_bad_file_changes_nothing() {
    run 'A X s1 5 Ecks' > /dev/null
    before=$(catalogue)
    while IFS='|' read -r line problem; do
        printf 'id,name,price,reorder_level,discontinued\nX,Renamed,1.00,,\n%s\nZ,Zed,2,,\n' "$line" > bad.csv
        out=$(owner --catalogue-in bad.csv 2>&1)
        status=$?
        [ $status = 1 ] && [ "$out" = "warehouse: bad.csv: line 3: $problem
warehouse: bad.csv: nothing changed" ] || fail "the line $line: status $status, $out"
    done << 'LINES'
X,Again,1,,|the id X again (first on line 2)
Y,y,3.555,,|price '3.555': more than two decimals
Y,y,-1,,|price '-1': a price may not be negative
Y,y,92233720368547758.08,,|price '92233720368547758.08': too large
Y,y,3;50,,|price '3;50': not a sum of money such as 3.50
Y,y,3,50,,|6 cells, the header names 5
Y,y,,x,|reorder_level 'x': not a whole number of units
Y,y,,,maybe|discontinued 'maybe': yes, no or empty
,y,,,|no id
LINES
    [ "$(catalogue)" = "$before" ] && [ "$(sql 'SELECT count(*) FROM catalogue_changes')" = 0 ] ||
        fail "a bad file changed the catalogue: $(catalogue)"
}

# Only the store's owner takes a file in: a clerk and a reader are told so
# in one line, and nothing changes; anyone who may read writes it out.
case_only_the_owner_changes_the_catalogue() {
    run 'A X s1 5 Ecks' > /dev/null
    logins
    printf 'id,price\nX,1\n' > in.csv
    for who in clerk reader; do
        [ "$kind" = postgres ] || [ $who = clerk ] || continue
        out=$($who --catalogue-in in.csv 2>&1)
        status=$?
        [ $status = 1 ] && [ "$out" = "warehouse: catalogue: only the store's owner may change the catalogue" ] ||
            fail "a $who's --catalogue-in: status $status, $out"
        $who --catalogue-out "$scratch/shop/$who.csv" || fail "a $who may not write the catalogue out"
    done
    [ "$(catalogue)" = 'X|Ecks|s1||||0' ] || fail "a clerk changed the catalogue: $(catalogue)"
    if [ "$kind" = postgres ]; then
        out=$("$warehouse" --store "$(as boss)" --catalogue-in in.csv 2>&1) &&
            [ "$(catalogue)" = 'X|Ecks|s1|100|||0' ] || fail "a login granted warehouse_owner: $out"
    fi
}

# A name or shelf changed in the file renames the product in the stock: a
# clerk's run that is going shows the new ones at its next command.
case_a_rename_reaches_a_running_clerk() {
    run 'A X s1 5 Ecks' > /dev/null
    start_run c "$store"
    tell c 'F X' 'Ecks 5 s1'
    printf 'id,shelf,name\nX,s7,Ex Candy\n' > in.csv
    owner --catalogue-in in.csv > /dev/null || fail "--catalogue-in ended with status $?"
    tell c 'F X' 'Ex Candy 5 s7'
    tell c 'D X 1' 'Amount: 4 Shelf: s7'
    end_run || fail "the clerk's run ended with status $?"
    [ "$(sql "SELECT $(text name), $(text shelf) FROM stock")" = 'Ex Candy|s7' ] ||
        fail "the stock after the rename: $(sql 'SELECT * FROM stock')"
}

# A file renames a product in the stock only in the columns it holds that
# change its record: a product back after it sold out keeps the name and
# shelf it came back with (the record keeps its first) through a file of
# prices, and a file of names leaves its shelf as it is. Each row: the file
# taken, what F of its product then says.
case_a_rename_takes_only_the_columns_changed() {
    local file expected id n=0
    while IFS='|' read -r file expected; do
        n=$((n + 1)) && id=P$n  # a product of each row's own
        run "A $id s1 5 Old name" "D $id 5" "A $id s2 3 New name" > /dev/null
        printf "${file//X/$id}" > in.csv
        owner --catalogue-in in.csv > /dev/null || fail "$file: --catalogue-in ended with status $?"
        [ "$(run "F $id" | sed -n 2p)" = "$expected" ] || fail "$file: F $id says $(run "F $id")"
    done << 'CASES'
id,price\nX,2.50\n|New name 3 s2
id,name,shelf,cost\nX,Old name,s1,1\n|New name 3 s2
id,name\nX,Renamed\n|Renamed 3 s2
id,shelf\nX,s9\n|New name 3 s9
id,shelf,name\nX,s8,Both\n|Both 3 s8
CASES
}

# The program's own files read back, whatever the store holds: the
# catalogue written out and taken back changes nothing, a count sheet
# written and filled in as the records say is taken, and so is a delivery
# note of its lines. Each row: how a product came in (a stock file loaded,
# a delivery note, another program's SQL; printf's escapes), each on a
# store of that product alone. Then a file may not empty a record's name or
# shelf, and says which line.
case_own_files_read_back() {
    local how what out was
    run C > /dev/null  # the store made
    while IFS='|' read -r how what; do
        sql 'DELETE FROM stock; DELETE FROM catalogue'
        printf "$what" > in.txt
        case $how in
        load) run 'R in.txt' > /dev/null ;;
        note) owner --deliveries in.txt > /dev/null || fail "$what: the note was refused" ;;
        sql) sql "$(cat in.txt)" ;;
        esac
        was=$(catalogue; sql "SELECT $(text id), amount, $(text shelf), $(text name) FROM stock")
        owner --catalogue-out out.csv || fail "$what: --catalogue-out ended with status $?"
        out=$(owner --catalogue-in out.csv 2>&1)
        [ "$out" = 'Catalogue: 0 records changed or added.' ] || fail "$what: --catalogue-in: $out"
        owner --count-sheet sheet.csv || fail "$what: --count-sheet ended with status $?"
        # Each product counted as expected: ",5,," becomes ",5,5,".
        sed 's/,\([0-9]*\),,\r$/,\1,\1,\r/' sheet.csv > counted.csv
        out=$(owner --count counted.csv 2>&1)
        [ "$out" = 'Count: 1 product counted, 0 differences.' ] || fail "$what: --count: $out"
        [ "$(catalogue; sql "SELECT $(text id), amount, $(text shelf), $(text name) FROM stock")" = "$was" ] ||
            fail "$what: the store changed: $(catalogue)"
        # The sheet as a note: expected is the amount, counted the date.
        sed -e '1s/.*/id,name,shelf,amount,best_before\r/' -e 's/,\([0-9]*\),,\r$/,\1,\r/' sheet.csv > note.csv
        out=$(owner --deliveries note.csv 2>&1)
        [ "$out" = 'Deliveries: 1 line received.' ] || fail "$what: --deliveries: $out"
    done << 'STORES'
load|A B;5;s1;An id of two words\n
load|;5;s1;An empty id\n
load|C;5;s1;A stock file of CR LF\r\n
note|id,amount,shelf,name\nD,5,shelf 4,A shelf of two words\n
sql|INSERT INTO stock VALUES ('E', 5, 's1', 'Two\nlines')
sql|INSERT INTO stock VALUES ('F', 5, 's\n1', 'Shelf of two lines')
sql|INSERT INTO stock VALUES ('G', 5, 's1', 'Most'); UPDATE catalogue SET reorder_level = 9223372036854775807
sql|INSERT INTO stock VALUES ('H;1', 5, 's;1', 'Semi;colons')
STORES
    run 'A X s1 5 Ecks' > /dev/null
    was=$(catalogue)
    while IFS='|' read -r text problem; do
        printf "$text" > in.csv
        out=$(owner --catalogue-in in.csv 2>&1)
        [ $? = 1 ] && [ "$out" = "warehouse: in.csv: $problem
warehouse: in.csv: nothing changed" ] || fail "$text: $out"
        [ "$(catalogue)" = "$was" ] || fail "$text changed the catalogue: $(catalogue)"
    done << 'FILES'
id,name\nX,\n|line 2: no name, where the record has one
id,price,shelf\nY,1,s2\nX,2,\n|line 3: no shelf, where the record has one
id,name\nN;1,Nn\n|line 2: a ';' in the id
id,shelf\nX,s;2\n|line 2: a ';' in the shelf
FILES
}

# A sheet or a catalogue replaces the file it is written to only when
# whole, as W saves: cut off by the file-size limit, it leaves the old file
# as it was and nothing beside it; through a link it replaces the file the
# link leads to, with its mode; a FIFO it refuses.
case_a_written_file_replaces_the_old_whole() {
    run 'G 3000' > /dev/null
    mkdir files
    ln -s files/out.csv link.csv
    mkfifo files/fifo.csv
    local out status
    for option in --count-sheet --catalogue-out; do
        printf 'old\n' > files/out.csv
        chmod 604 files/out.csv
        out=$( (ulimit -f 64 && GCOV_PREFIX=$scratch/counts owner "$option" files/out.csv 2>&1) )
        status=$?
        [ $status = 1 ] && [ "$out" = "warehouse: files/out.csv: File too large" ] ||
            fail "$option cut off: status $status, $out"
        [ "$(cat files/out.csv)" = old ] || fail "$option cut off left: $(head -c 100 files/out.csv)"
        out=$(owner "$option" link.csv 2>&1) || fail "$option through a link: $out"
        [ -L link.csv ] && [ "$(head -c 3 files/out.csv)" = id, ] && [ "$(stat -c %a files/out.csv)" = 604 ] ||
            fail "$option through a link: $(ls -l link.csv files/out.csv)"
        out=$(timeout 20 "$warehouse" --store "$store" "$option" files/fifo.csv 2>&1)
        status=$?
        [ $status = 1 ] && [ "$out" = "warehouse: files/fifo.csv: Not a regular file" ] ||
            fail "$option to a FIFO: status $status, $out"
        [ "$(ls -A files | paste -sd ' ')" = 'fifo.csv out.csv' ] || fail "$option left: $(ls -A files)"
    done
}

run_case "$case"
