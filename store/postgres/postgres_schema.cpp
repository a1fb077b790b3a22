// The SQL that makes a store in PostgreSQL, brings an older one up to date
// step by step, and grants its roles.
#include "store/postgres/postgres_schema.hh"

#include "store/change_kind.hh"
#include "store/postgres/postgres_triggers.hh"
#include "store/history_lines.hh"

#include <utility>

namespace postgres_schema {

namespace {

// The store's tables, as the SQLite store has them. Ids, shelves, names and
// commands are bytea: byte strings, compared byte for byte, whatever their
// encoding, as the table holds them. Every statement may run again on a
// store that has them: two runs may make a store at once.
const char* const TABLES = R"(
    CREATE TABLE IF NOT EXISTS store_version (version integer NOT NULL);
    INSERT INTO store_version SELECT @VERSION@ WHERE NOT EXISTS (SELECT FROM store_version);
    CREATE TABLE IF NOT EXISTS stock (
        id bytea PRIMARY KEY,
        amount bigint NOT NULL CHECK (amount BETWEEN 1 AND 4294967295),
        shelf bytea NOT NULL,
        name bytea NOT NULL
    );
    CREATE SEQUENCE IF NOT EXISTS history_command;
    CREATE TABLE IF NOT EXISTS history (
        seq bigserial PRIMARY KEY,
        command_no bigint NOT NULL,
        changed_at timestamptz NOT NULL,
        clerk text,
        command bytea,
        id bytea,
        amount_before bigint,
        amount_after bigint,
        named_clerk text,
        xid xid8 NOT NULL,
        @KIND_COLUMN@,
        @REASON_COLUMN@
    );
    CREATE INDEX IF NOT EXISTS history_by_id ON history (id);
    @HISTORY_BY_TIME@
    @CATALOGUE_TABLES@
    @LOTS_TABLE@
    @LOTS_COVERED@
    @CHANGES_NOTED@
)";

// The catalogue: a record of every product the shop has ever had, which
// outlives the product's last unit and an emptied stock, and its changes:
// who changed which field of which record, from what to what, and when.
// Prices are whole cents. A product's first delivery makes its record,
// through the history's trigger, whichever client inserts it.
const char* const CATALOGUE_TABLES = R"(
    CREATE TABLE IF NOT EXISTS catalogue (
        id bytea PRIMARY KEY,
        name bytea NOT NULL,
        shelf bytea NOT NULL,
        price_cents bigint CHECK (price_cents >= 0),
        cost_cents bigint CHECK (cost_cents >= 0),
        reorder_level bigint CHECK (reorder_level >= 0),
        discontinued boolean NOT NULL DEFAULT false
    );
    CREATE TABLE IF NOT EXISTS catalogue_changes (
        seq bigserial PRIMARY KEY,
        changed_at timestamptz NOT NULL DEFAULT statement_timestamp(),
        clerk text NOT NULL DEFAULT session_user,
        named_clerk text,
        id bytea NOT NULL,
        field text NOT NULL CHECK (field IN ('name', 'shelf', 'price', 'cost',
                                             'reorder_level', 'discontinued')),
        before bytea,
        after bytea
    );
)";

// The kind of change of an entry: what the command that made it was, as the
// run tells it; other for a change no command of a run made. Version 5
// brought it with the first words, which version 10 widens.
const char* const KIND_COLUMN =
    "kind text NOT NULL DEFAULT 'other' CHECK (kind IN (@KIND_WORDS@))";
const char* const FIRST_KIND_COLUMN =
    "kind text NOT NULL DEFAULT 'other' CHECK (kind IN (@FIRST_KIND_WORDS@))";

// The reason a stock-take gave for a count's difference; none for any other
// kind of entry.
const char* const REASON_COLUMN =
    "reason text CHECK (reason IS NULL OR (kind = 'count' AND reason IN (@REASONS@)))";

// The dated lots: the units of a delivery that have a best-before date.
// Only dated units are rows: a product's undated units are its amount less
// its lots' units, never below 0, and a product not in stock has no lots.
// The trigger LOTS_KEPT keeps them as the stock changes, whoever changes it,
// and its trigger lots_within_stock refuses lots received beyond a
// product's units. Their index by date is LOTS_COVERED's.
const char* const LOTS_TABLE = R"(
    CREATE TABLE IF NOT EXISTS lots (
        lot bigserial PRIMARY KEY,
        id bytea NOT NULL,
        best_before date NOT NULL CHECK (best_before BETWEEN '0001-01-01' AND '9999-12-31'),
        units bigint NOT NULL CHECK (units BETWEEN 1 AND 4294967295),
        received_at timestamptz NOT NULL DEFAULT statement_timestamp(),
        clerk text DEFAULT session_user,
        named_clerk text
    );
    CREATE INDEX IF NOT EXISTS lots_by_id ON lots (id, best_before, lot);
)";

// The lots by date, in the order the owner's view lists them, with each
// lot's product and units; and the catalogue's costs by product. The view
// totals the lots of a window, and their worth at cost, from these indexes
// alone, without a look-up of each lot's row or each product's record.
const char* const LOTS_COVERED = R"(
    CREATE INDEX IF NOT EXISTS lots_by_date ON lots (best_before, lot) INCLUDE (id, units);
    CREATE INDEX IF NOT EXISTS catalogue_costs ON catalogue (id) INCLUDE (cost_cents);
)";

// The transactions that changed the catalogue or the lots other than
// through the stock's triggers (which name each product they change in the
// history): the owner's view, which carries its figures across a change by
// the history's entries, reads them anew after such a one. A transaction
// is noted once for each table (store_change_noted in LOTS_KEPT), and
// found by its number, as the history's entries are.
const char* const CHANGES_NOTED = R"(
    CREATE TABLE IF NOT EXISTS store_changes (
        xid xid8 NOT NULL DEFAULT pg_current_xact_id(),
        what text NOT NULL CHECK (what IN ('catalogue', 'lots'))
    );
    CREATE INDEX IF NOT EXISTS store_changes_by_xid ON store_changes (xid, what);
)";

// Step 3. Version 2 kept the client's clock and login, and let the runs
// write their own entries: the server's clock, its login and its
// transaction take their place.
const char* const SERVER_KEEPS_HISTORY = R"(
    DROP TRIGGER IF EXISTS stock_changed ON stock;
    DROP FUNCTION IF EXISTS stock_change_recorded();
    ALTER TABLE history
        ALTER COLUMN changed_at TYPE timestamptz USING (changed_at || '+00')::timestamptz,
        ADD COLUMN named_clerk text,
        ADD COLUMN xid xid8 NOT NULL DEFAULT '0';
    ALTER TABLE history ALTER COLUMN xid DROP DEFAULT;
)";

// Step 4. Version 3 found each command of a statement's entries by its
// place in an array, which takes longer the further in it is: a statement
// of thousands of commands took a second. Only the functions change, and
// they are made anew after every migration.
const char* const COMMANDS_JOINED = R"(
    NULL;
)";

// Step 5: the kind of change of each entry, which the server's functions
// write from what the run tells; the entries already there are given
// theirs once, here, from their commands.
const char* const KINDS = R"(
    ALTER TABLE history ADD COLUMN IF NOT EXISTS @FIRST_KIND_COLUMN@;
    UPDATE history SET kind = @KIND_OF_ECHO@;
)";

// Step 6: the catalogue, with the records of the stock and of the products
// the history saw delivered, whose names and shelves it never kept: those
// are left empty.
const char* const CATALOGUE = R"(
    @CATALOGUE_TABLES@
    INSERT INTO catalogue (id, name, shelf) SELECT id, name, shelf FROM stock
    ON CONFLICT DO NOTHING;
    INSERT INTO catalogue (id, name, shelf)
    SELECT DISTINCT id, ''::bytea, ''::bytea FROM history
    WHERE id IS NOT NULL AND amount_after > 0
    ON CONFLICT DO NOTHING;
)";

// Step 7. Version 6 numbered a change by whatever index of a command a
// client claimed it for, even one outside its own transaction's commands,
// which filed it under another clerk's command; only the functions change.
const char* const OWN_COMMANDS_ONLY = R"(
    NULL;
)";

// Step 8: the history by time, through which the owner's view reads a
// day's entries, a week's, and the withdrawals of the last weeks, rather
// than the whole history.
const char* const HISTORY_BY_TIME = R"(
    CREATE INDEX IF NOT EXISTS history_by_time ON history (changed_at);
)";

// Step 9. Version 8 read the run's settings again in each of a statement's
// triggers, and again in the planner, parsing the list of commands as JSON
// up to four times a call: a round of 5000 commands spent more on that than
// on its entries. Only the functions change; the numbering's function now
// takes the count of commands from its caller.
const char* const SETTINGS_READ_ONCE = R"(
    DROP FUNCTION IF EXISTS history_command_base();
)";

// Step 10: stock-taking and dated lots: the history's entries may be of the
// kind count, with a reason; the lots, which a store of an older version
// has none of: its units are all undated.
const char* const LOTS_AND_REASONS = R"(
    ALTER TABLE history DROP CONSTRAINT IF EXISTS history_kind_check;
    ALTER TABLE history ADD CONSTRAINT history_kind_check CHECK (kind IN (@KIND_WORDS@));
    ALTER TABLE history ADD COLUMN IF NOT EXISTS @REASON_COLUMN@;
    @LOTS_TABLE@
)";

// Step 11: the lots' totals from indexes alone. Version 10's index by date
// held the dates alone: it is made anew.
const char* const TOTALS_FROM_INDEXES = R"(
    DROP INDEX IF EXISTS lots_by_date;
    @LOTS_COVERED@
)";

// Step 12: the lots within the stock. Version 11 let a clerk's client write
// any lot: its received_at and clerk, units past the stock's limit, lots of
// a product not in stock or beyond its units, which the owner's backups then
// refused. The clerks now write only the columns a delivery fills (ROLES),
// a lot's units have the stock's limit, its date the calendar's years 1 to
// 9999 that every store and backup writes (not infinity, nor a year BC or
// past 9999), and the trigger in LOTS_KEPT checks the lots received. A lot
// dated outside them becomes undated units; a store's lots beyond its
// products' units are taken as a withdrawal takes them, earliest date first
// (then lowest lot), so that the limit holds for every lot.
const char* const LOTS_WITHIN_STOCK = R"(
    DELETE FROM lots WHERE NOT (best_before BETWEEN '0001-01-01' AND '9999-12-31');
    ALTER TABLE lots DROP CONSTRAINT IF EXISTS lots_best_before_check;
    ALTER TABLE lots ADD CONSTRAINT lots_best_before_check
        CHECK (best_before BETWEEN '0001-01-01' AND '9999-12-31');
    WITH beyond AS (
        SELECT l.id, sum(l.units) - coalesce(max(s.amount), 0) AS taken
        FROM lots l LEFT JOIN stock s ON s.id = l.id GROUP BY l.id
        HAVING sum(l.units) > coalesce(max(s.amount), 0)
    ), fefo AS (
        SELECT l.lot, l.units, beyond.taken,
               sum(l.units) OVER (PARTITION BY l.id ORDER BY l.best_before, l.lot) AS upto
        FROM lots l JOIN beyond ON l.id = beyond.id
    ), gone AS (
        DELETE FROM lots WHERE lot IN (SELECT lot FROM fefo WHERE upto <= taken)
    )
    UPDATE lots SET units = fefo.upto - fefo.taken FROM fefo
    WHERE lots.lot = fefo.lot AND fefo.upto > fefo.taken
      AND fefo.upto - fefo.units < fefo.taken;
    ALTER TABLE lots DROP CONSTRAINT IF EXISTS lots_units_check;
    ALTER TABLE lots ADD CONSTRAINT lots_units_check CHECK (units BETWEEN 1 AND 4294967295);
)";

// Step 13. Version 12's history function split the round's whole list of
// commands into a table, and planned its statement anew, in each of a
// round's statements: a round of thousands of commands paid that three
// times over, whatever few products a statement wrote. Its numbering also
// bounded a claim's command by the commands each statement told, where it
// had reserved numbers only for those its flush's first statement told,
// so that a later statement of the flush could number an entry as the next
// transaction's command; and it recorded a clerk's claim of a kind only the
// owner makes (a count, which the owner's view reads as a stock-take) as
// that kind. The numbers reserved now keep how many commands they number:
// the table is made anew with them (no transaction holds numbers while
// the store is brought up to date, which locks the stock).
const char* const COMMANDS_SPLIT_ONCE = R"(
    DROP FUNCTION IF EXISTS history_command_base(integer);
    DROP TABLE IF EXISTS history_numbering;
)";

// Step 14: the changes of the catalogue and the lots that no entry of the
// history names, noted (CHANGES_NOTED). A store of an older version has
// noted none: the view reads its figures anew after every change there.
const char* const NOTED_CHANGES = R"(
    @CHANGES_NOTED@
)";

// Step 15: the history's numbers taken under a lock of the store's own,
// which the history's functions, made anew, take; they took an advisory
// lock, which any login may hold. Nothing else changes.
const char* const NUMBERS_UNDER_OWN_LOCK = R"(
    NULL;
)";

// The stock's own number among advisory locks: makes the store, or brings
// it up to date, once.
const char* const MAKING_LOCK = "SELECT pg_advisory_xact_lock(1464357701);";

/// sql with its marks replaced: the kind column and its words, the kind of
/// an older entry, the history's limit, and the version.
std::string withMarks(std::string sql)
{
    const std::pair<std::string, std::string> marks[] = {
        // first: these hold marks of their own
        {"@KIND_COLUMN@", KIND_COLUMN},
        {"@FIRST_KIND_COLUMN@", FIRST_KIND_COLUMN},
        {"@REASON_COLUMN@", REASON_COLUMN},
        {"@CATALOGUE_TABLES@", CATALOGUE_TABLES},
        {"@HISTORY_BY_TIME@", HISTORY_BY_TIME},
        {"@LOTS_TABLE@", LOTS_TABLE},
        {"@LOTS_COVERED@", LOTS_COVERED},
        {"@CHANGES_NOTED@", CHANGES_NOTED},
        {"@KIND_WORDS@", kindWordsSql()},
        {"@FIRST_KIND_WORDS@", kindWordsSql(KindsSince::First)},
        {"@OWNERS_KINDS@", ownersKindWordsSql()},
        {"@REASONS@", countReasonsSql()},
        {"@KIND_OF_ECHO@", kindOfEchoSql([](std::string_view start) {
             return "substring(command for " + std::to_string(start.size()) +
                    ") = '" + std::string(start) + "'::bytea";
         })},
        {"@MOST_ENTRIES@", std::to_string(MOST_ENTRIES)},
        {"@VERSION@", std::to_string(VERSION)},
    };
    for (const auto& [mark, value] : marks) {
        for (std::size_t at = 0; (at = sql.find(mark, at)) != std::string::npos;
             at += value.size()) {
            sql.replace(at, mark.size(), value);
        }
    }
    return sql;
}

#define STOCK_SHAPE                                                            \
    "store_version version integer|"                                           \
    "stock id bytea|stock amount bigint|stock shelf bytea|stock name bytea|"   \
    "history seq bigint|history command_no bigint|"
#define SERVER_HISTORY_SHAPE                                                   \
    "history changed_at timestamp with time zone|history clerk text|"          \
    "history command bytea|history id bytea|history amount_before bigint|"     \
    "history amount_after bigint|history named_clerk text|history xid xid8|"

/// The shape of the tables, as SHAPE_FOUND reads it, that a store has from
/// the version since on, until the next shape's.
struct Shape {
    int since;
    const char* columns;
};
constexpr Shape SHAPES[] = {
    {2,
     STOCK_SHAPE "history changed_at text|history clerk text|"
                 "history command bytea|history id bytea|"
                 "history amount_before bigint|history amount_after bigint|"},
    {3, STOCK_SHAPE SERVER_HISTORY_SHAPE},
    {5, STOCK_SHAPE SERVER_HISTORY_SHAPE "history kind text|"},
    {10, STOCK_SHAPE SERVER_HISTORY_SHAPE "history kind text|history reason text|"},
};

#undef SERVER_HISTORY_SHAPE
#undef STOCK_SHAPE

/// The version that brought shape; 0 for the shape of no store.
int shapeSince(const std::string& shape)
{
    for (const Shape& known : SHAPES) {
        if (shape == known.columns) {
            return known.since;
        }
    }
    return 0;
}

/// The version that brought the shape a store of version has.
int shapeSinceOf(int version)
{
    int since = 0;
    for (const Shape& known : SHAPES) {
        since = known.since <= version ? known.since : since;
    }
    return since;
}

}  // namespace

const std::vector<SchemaStep>& steps()
{
    static const std::vector<SchemaStep> list = {
        {3, SERVER_KEEPS_HISTORY},
        {4, COMMANDS_JOINED},
        {5, withMarks(KINDS)},
        {6, withMarks(CATALOGUE)},
        {7, OWN_COMMANDS_ONLY},
        {8, HISTORY_BY_TIME},
        {9, SETTINGS_READ_ONCE},
        {10, withMarks(LOTS_AND_REASONS)},
        {11, withMarks(TOTALS_FROM_INDEXES)},
        {12, LOTS_WITHIN_STOCK},
        {13, COMMANDS_SPLIT_ONCE},
        {14, withMarks(NOTED_CHANGES)},
        {15, NUMBERS_UNDER_OWN_LOCK},
    };
    return list;
}

const char* const SHAPE_FOUND =
    "SELECT coalesce(string_agg(c.relname || ' ' || a.attname || ' ' || "
    "format_type(a.atttypid, NULL) || '|', '' ORDER BY c.relname DESC, "
    "a.attnum), '') FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
    "WHERE c.relnamespace = current_schema()::regnamespace AND c.relname IN "
    "('store_version', 'stock', 'history') AND c.relkind IN ('r', 'p', 'v') "
    "AND a.attnum > 0 AND NOT a.attisdropped";

const std::vector<std::string>& shapesUsed()
{
    static const std::vector<std::string> used = [] {
        std::vector<std::string> shapes;
        for (const Shape& known : SHAPES) {
            if (known.since >= OLDEST_USED) {
                shapes.emplace_back(known.columns);
            }
        }
        return shapes;
    }();
    return used;
}

bool knownShape(const std::string& shape)
{
    return shapeSince(shape) != 0;
}

const char* refusal(int version, const std::string& shape)
{
    if (version > VERSION) {
        return "a store of a newer version of this program";
    }
    if (shape.empty()) {
        return "not a store: the database has no tables stock, history and "
               "store_version";
    }
    const int since = shapeSince(shape);
    if (since == 0) {
        return "its tables stock, history or store_version have another "
               "shape: not a store";
    }
    const bool ahead = version >= OLDEST_USED && since > version;
    if (since != shapeSinceOf(version) && !ahead) {
        return "not a store";
    }
    return nullptr;
}

std::string creation()
{
    return std::string("BEGIN; ") + MAKING_LOCK + withMarks(TABLES) +
           withMarks(TRIGGERS) + LOTS_KEPT + "COMMIT";
}

std::string migration()
{
    // The version is read again under the locks: another run may have
    // brought the store up to date meanwhile, or a newer program past it.
    const std::string version = std::to_string(VERSION);
    std::string body = "IF stored > " + version +
                       " THEN RAISE EXCEPTION 'a store of a newer version of "
                       "this program'; END IF;\n";
    for (const SchemaStep& step : steps()) {
        body += "IF stored < " + std::to_string(step.version) + " THEN" +
                step.sql + "END IF;\n";
    }
    body += "UPDATE store_version SET version = " + version + ";\n";
    return std::string("BEGIN; ") + MAKING_LOCK +
           "LOCK TABLE stock, history IN ACCESS EXCLUSIVE MODE;\n"
           "DO $steps$ DECLARE stored integer := "
           "(SELECT max(version) FROM store_version); BEGIN\n" +
           body + "END $steps$;\n" + withMarks(TRIGGERS) + LOTS_KEPT + "COMMIT";
}

const char* const ROLES = R"(
    DO $$ BEGIN
        IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'warehouse_reader') THEN
            CREATE ROLE warehouse_reader NOLOGIN;
        END IF;
        IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'warehouse_clerk') THEN
            CREATE ROLE warehouse_clerk NOLOGIN IN ROLE warehouse_reader;
        END IF;
    EXCEPTION WHEN insufficient_privilege THEN
        NULL;  -- an administrator makes them
    END $$;
    -- The owner's role came later: stores whose other roles stand get it
    -- from their owner's next run, and two such runs may make it at once.
    DO $$ BEGIN
        IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'warehouse_owner') AND
           EXISTS (SELECT FROM pg_roles WHERE rolname = 'warehouse_clerk') THEN
            CREATE ROLE warehouse_owner NOLOGIN IN ROLE warehouse_clerk;
        END IF;
    EXCEPTION WHEN insufficient_privilege OR duplicate_object OR unique_violation THEN
        NULL;
    END $$;
    DO $$ BEGIN
        IF (SELECT count(*) FROM pg_roles
            WHERE rolname IN ('warehouse_reader', 'warehouse_clerk')) = 2 THEN
            GRANT SELECT ON stock, history, store_version TO warehouse_reader;
            -- A clerk's run updates a product's units alone: its name and
            -- shelf come with its first delivery, and only the owner's
            -- catalogue changes them. Versions before 13 granted every
            -- column: that grant goes first.
            GRANT INSERT, DELETE ON stock TO warehouse_clerk;
            REVOKE UPDATE ON stock FROM warehouse_clerk;
            GRANT UPDATE (amount) ON stock TO warehouse_clerk;
            BEGIN
                EXECUTE format('GRANT USAGE ON SCHEMA %I TO warehouse_reader',
                               current_schema());
            EXCEPTION WHEN insufficient_privilege THEN
                NULL;  -- the schema's owner grants it, if it is not public
            END;
        END IF;
    END $$;
    -- A store of version 5 whose upgrade waits for the clerks has no
    -- catalogue yet: its grants wait for the run that brings it.
    DO $$ BEGIN
        IF to_regclass('catalogue') IS NOT NULL AND
           (SELECT count(*) FROM pg_roles WHERE rolname IN
            ('warehouse_reader', 'warehouse_owner')) = 2 THEN
            GRANT SELECT ON catalogue, catalogue_changes TO warehouse_reader;
            GRANT INSERT, UPDATE ON catalogue TO warehouse_owner;
            GRANT UPDATE (name, shelf) ON stock TO warehouse_owner;
            GRANT INSERT ON catalogue_changes TO warehouse_owner;
            GRANT USAGE ON SEQUENCE catalogue_changes_seq_seq TO warehouse_owner;
        END IF;
    END $$;
    -- The lots: read by all, received by the clerks, who write only what a
    -- delivery fills (the server fills when and who); the trigger takes
    -- them. Version 11 granted every column: that grant goes first.
    DO $$ BEGIN
        IF to_regclass('lots') IS NOT NULL AND
           (SELECT count(*) FROM pg_roles WHERE rolname IN
            ('warehouse_reader', 'warehouse_clerk', 'warehouse_owner')) = 3 THEN
            GRANT SELECT ON lots TO warehouse_reader;
            REVOKE INSERT ON lots FROM warehouse_clerk;
            GRANT INSERT (id, best_before, units, named_clerk) ON lots TO warehouse_clerk;
            GRANT USAGE ON SEQUENCE lots_lot_seq TO warehouse_clerk;
            GRANT EXECUTE ON FUNCTION history_reasons(bytea[], text[]) TO warehouse_owner;
        END IF;
    END $$;
    DO $$ BEGIN
        IF to_regclass('store_changes') IS NOT NULL AND
           EXISTS (SELECT FROM pg_roles WHERE rolname = 'warehouse_reader') THEN
            GRANT SELECT ON store_changes TO warehouse_reader;
        END IF;
    END $$;
    SELECT count(*) = 3 FROM pg_roles
    WHERE rolname IN ('warehouse_reader', 'warehouse_clerk', 'warehouse_owner');
)";

const char* const GRANTS_MISSING =
    "NOT (has_table_privilege('warehouse_reader', 'catalogue', 'SELECT') AND "
    "has_column_privilege('warehouse_clerk', 'stock', 'amount', 'UPDATE') AND "
    "NOT has_column_privilege('warehouse_clerk', 'stock', 'name', 'UPDATE') AND "
    "has_table_privilege('warehouse_owner', 'catalogue', 'UPDATE') AND "
    "has_column_privilege('warehouse_owner', 'stock', 'name', 'UPDATE') AND "
    "CASE WHEN to_regclass('lots') IS NULL THEN true "
    "ELSE has_column_privilege('warehouse_clerk', 'lots', 'units', 'INSERT') AND "
    "NOT has_column_privilege('warehouse_clerk', 'lots', 'received_at', 'INSERT') END AND "
    "CASE WHEN to_regclass('store_changes') IS NULL THEN true "
    "ELSE has_table_privilege('warehouse_reader', 'store_changes', 'SELECT') END)";

const char* const ROLES_FOR_AN_ADMINISTRATOR =
    "CREATE ROLE warehouse_reader NOLOGIN;\n"
    "CREATE ROLE warehouse_clerk NOLOGIN IN ROLE warehouse_reader;\n"
    "CREATE ROLE warehouse_owner NOLOGIN IN ROLE warehouse_clerk;";

}  // namespace postgres_schema
