// The SQL of an SQLite store's shape: made new in memory, checked, and brought
// up to date step by step.
#include "store/sqlite/sqlite_schema.hh"

#include "store/change_kind.hh"
#include "store/sqlite/sqlite_rows.hh"

#include <new>

namespace sqlite_schema {

namespace {

// Version 1. Rows the table could not hold never get in: every field is
// there, text, and the amount a whole number of units from 1 to 4294967295.
const char* const STOCK_SCHEMA = R"(
    CREATE TABLE stock (
        id TEXT NOT NULL PRIMARY KEY CHECK (typeof(id) = 'text'),
        amount INTEGER NOT NULL
            CHECK (typeof(amount) = 'integer' AND amount BETWEEN 1 AND 4294967295),
        shelf TEXT NOT NULL CHECK (typeof(shelf) = 'text'),
        name TEXT NOT NULL CHECK (typeof(name) = 'text')
    ) WITHOUT ROWID;
)";

// The triggers through which the history records other programs' changes,
// made by version 2, and made again by version 7, which rebuilds the table.
const char* const HISTORY_TRIGGERS = R"(
    CREATE TRIGGER stock_inserted AFTER INSERT ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), new.id, 0, new.amount);
    END;
    CREATE TRIGGER stock_updated AFTER UPDATE ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), old.id, old.amount,
                CASE WHEN new.id IS old.id THEN new.amount ELSE 0 END);
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        SELECT command_no, changed_at, new.id, 0, new.amount FROM history
        WHERE new.id IS NOT old.id ORDER BY seq DESC LIMIT 1;
    END;
    CREATE TRIGGER stock_deleted AFTER DELETE ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), old.id, old.amount, 0);
    END;
)";

// Version 2: the history of the stock, which is also how each run learns
// what others changed: every change made by a clerk, written by the run with
// the clerk's login and the command; and, through the triggers, every change
// made by any other program, with no clerk or command. The runs' own
// connections do not fire the triggers. An entry with no id stands for a
// command that changed too many products to list; whoever follows the
// stock then reloads it.
const std::string HISTORY_SCHEMA = R"(
    CREATE TABLE history (
        seq INTEGER PRIMARY KEY AUTOINCREMENT,
        command_no INTEGER NOT NULL,
        changed_at TEXT NOT NULL,
        clerk TEXT,
        command TEXT,
        id TEXT,
        amount_before INTEGER,
        amount_after INTEGER
    );
    CREATE INDEX history_by_id ON history (id);
)" + std::string(HISTORY_TRIGGERS);

// Version 3: the name a clerk gives with --clerk, beside the login.
const char* const NAMED_CLERK = R"(
    ALTER TABLE history ADD COLUMN named_clerk TEXT;
)";

/// Version 4: the kind of change of each entry, which the runs write with
/// it; the triggers, for other programs, leave the default, other. The
/// entries already there are given theirs once, here, from their commands.
std::string kinds()
{
    const std::string kindOfEcho =
        kindOfEchoSql([](std::string_view start) {
            return "substr(command, 1, " + std::to_string(start.size()) +
                   ") = '" + std::string(start) + "'";
        });
    return "ALTER TABLE history ADD COLUMN kind TEXT NOT NULL DEFAULT 'other' "
           "CHECK (kind IN (" + kindWordsSql(KindsSince::First) + "));\n"
           "UPDATE history SET kind = " + kindOfEcho + ";\n";
}

// Version 5: the catalogue, a record of every product the shop has ever
// had, which outlives the product's last unit and an emptied stock, and
// its changes: who changed which field of which record, from what to what,
// and when. Prices are whole cents. A product's first delivery makes its
// record, whichever program makes it: the trigger for other programs, the
// run's own writes for the runs (whose connections fire no trigger). A
// store of an older version gets the records of its stock, and of the
// products its history saw delivered, whose names and shelves the history
// never kept: those are left empty.
const char* const CATALOGUE = R"(
    CREATE TABLE catalogue (
        id TEXT NOT NULL PRIMARY KEY CHECK (typeof(id) = 'text'),
        name TEXT NOT NULL CHECK (typeof(name) = 'text'),
        shelf TEXT NOT NULL CHECK (typeof(shelf) = 'text'),
        price_cents INTEGER CHECK (price_cents IS NULL OR
            (typeof(price_cents) = 'integer' AND price_cents >= 0)),
        cost_cents INTEGER CHECK (cost_cents IS NULL OR
            (typeof(cost_cents) = 'integer' AND cost_cents >= 0)),
        reorder_level INTEGER CHECK (reorder_level IS NULL OR
            (typeof(reorder_level) = 'integer' AND reorder_level >= 0)),
        discontinued INTEGER NOT NULL DEFAULT 0 CHECK (discontinued IN (0, 1))
    ) WITHOUT ROWID;
    CREATE TABLE catalogue_changes (
        seq INTEGER PRIMARY KEY AUTOINCREMENT,
        changed_at TEXT NOT NULL,
        clerk TEXT,
        named_clerk TEXT,
        id TEXT NOT NULL,
        field TEXT NOT NULL CHECK (field IN ('name', 'shelf', 'price', 'cost',
                                             'reorder_level', 'discontinued')),
        before TEXT,
        after TEXT
    );
    CREATE TRIGGER stock_catalogued AFTER INSERT ON stock BEGIN
        INSERT INTO catalogue (id, name, shelf) VALUES (new.id, new.name, new.shelf)
        ON CONFLICT DO NOTHING;
    END;
    INSERT INTO catalogue (id, name, shelf) SELECT id, name, shelf FROM stock;
    INSERT INTO catalogue (id, name, shelf)
    SELECT DISTINCT id, '', '' FROM history
    WHERE typeof(id) = 'text' AND amount_after > 0
    ON CONFLICT DO NOTHING;
)";

// Version 6: the history by time, through which the owner's view reads a
// day's entries, a week's, and the withdrawals of the last weeks, rather
// than the whole history. The runs add each entry at its end. A store
// marked older that has it already keeps it.
const char* const HISTORY_BY_TIME = R"(
    CREATE INDEX IF NOT EXISTS history_by_time ON history (changed_at);
)";

// Version 7: stock-taking and dated lots. The history's entries may be of
// the kind count, with the reason a stock-take gave for the difference.
// SQLite cannot change a column's check: the history is made anew with the
// new one, its rows, numbers, indexes and triggers as they were (the triggers go
// first, so that nothing refers to a table that is gone meanwhile).
std::string reasons()
{
    return std::string(R"(
    DROP TRIGGER stock_inserted;
    DROP TRIGGER stock_updated;
    DROP TRIGGER stock_deleted;
    CREATE TABLE history_with_reasons (
        seq INTEGER PRIMARY KEY AUTOINCREMENT,
        command_no INTEGER NOT NULL,
        changed_at TEXT NOT NULL,
        clerk TEXT,
        command TEXT,
        id TEXT,
        amount_before INTEGER,
        amount_after INTEGER,
        named_clerk TEXT,
        kind TEXT NOT NULL DEFAULT 'other' CHECK (kind IN ()") +
           kindWordsSql() + R"()),
        reason TEXT CHECK (reason IS NULL OR (kind = 'count' AND reason IN ()" +
           countReasonsSql() + R"()))
    );
    INSERT INTO history_with_reasons (seq, command_no, changed_at, clerk,
        command, id, amount_before, amount_after, named_clerk, kind)
    SELECT seq, command_no, changed_at, clerk, command, id, amount_before,
           amount_after, named_clerk, kind FROM history ORDER BY seq;
    UPDATE sqlite_sequence SET seq = max(seq,
        coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'history'), 0))
    WHERE name = 'history_with_reasons';
    DROP TABLE history;
    ALTER TABLE history_with_reasons RENAME TO history;
    CREATE INDEX history_by_id ON history (id);
    CREATE INDEX history_by_time ON history (changed_at);
)" + HISTORY_TRIGGERS;
}

// Version 7, too: the dated lots, the units of a delivery that have a
// best-before date. Only dated units are rows: a product's undated units
// are its amount less its lots' units, never below 0, and a product not in
// stock has no lots. A decrease of k units takes min(k, the lots' units)
// from its lots, earliest date first (then lowest lot), and the rest from
// the undated; an increase adds undated units. The runs keep the lots in
// their own writes (their connections fire no trigger); these triggers
// keep them for other programs. The lots taken whole are first marked by a
// negative number, so that the lot taken in part is found, and given what
// is left to take, with the lots as they were before the change.
#define TAKEN "CASE WHEN new.id IS old.id THEN old.amount - new.amount ELSE old.amount END"
/// The statements of a trigger that take units (an SQL expression) from
/// the lots of the product id (old.id or new.id), as a decrease takes
/// them: the lots of the earliest dates (then lowest lots) that the units
/// cover whole, then what is left from the next one.
std::string takeEarliestFirst(const std::string& id, const std::string& units)
{
    return R"(
        UPDATE lots SET lot = -lot WHERE lot IN (
            SELECT lot FROM (
                SELECT lot, sum(units) OVER (ORDER BY best_before, lot) AS upto
                FROM lots WHERE id = )" + id + R"()
            WHERE upto <= )" + units + R"();
        UPDATE lots SET units = units - ()" + units + R"( -
            (SELECT coalesce(sum(units), 0) FROM lots WHERE id = )" + id + R"( AND lot < 0))
        WHERE lot = (SELECT lot FROM lots WHERE id = )" + id + R"( AND lot > 0
                     ORDER BY best_before, lot LIMIT 1)
          AND )" + units + R"( >
            (SELECT coalesce(sum(units), 0) FROM lots WHERE id = )" + id + R"( AND lot < 0);
        DELETE FROM lots WHERE id = )" + id + R"( AND lot < 0;)";
}

const std::string LOTS = R"(
    CREATE TABLE lots (
        lot INTEGER PRIMARY KEY AUTOINCREMENT,
        id TEXT NOT NULL CHECK (typeof(id) = 'text'),
        best_before TEXT NOT NULL
            CHECK (typeof(best_before) = 'text' AND best_before = date(best_before)),
        units INTEGER NOT NULL
            CHECK (typeof(units) = 'integer' AND units BETWEEN 1 AND 4294967295),
        received_at TEXT NOT NULL,
        clerk TEXT,
        named_clerk TEXT
    );
    CREATE INDEX lots_by_id ON lots (id, best_before, lot);
    CREATE INDEX lots_by_date ON lots (best_before);
    CREATE TRIGGER stock_lowered_lots AFTER UPDATE ON stock
    WHEN new.amount < old.amount OR new.id IS NOT old.id BEGIN)" +
    takeEarliestFirst("old.id", TAKEN) + R"(
    END;
    CREATE TRIGGER stock_deleted_lots AFTER DELETE ON stock BEGIN
        DELETE FROM lots WHERE id = old.id;
    END;
)";
#undef TAKEN

// Version 8: the lots by date, in the order the owner's view lists them,
// with each lot's product and units, from which the view totals the lots
// of a window without a look-up of each lot's row. Version 7's index held
// the dates alone: it is made anew. (The catalogue needs no index of its
// own for their worth: its table is its index by id.)
const char* const LOTS_BY_DATE_COVERED = R"(
    DROP INDEX IF EXISTS lots_by_date;
    CREATE INDEX lots_by_date ON lots (best_before, lot, id, units);
)";

// Version 9: the lots within the stock, also after another program's
// INSERT OR REPLACE, which deletes a product's row without its delete
// triggers (unless recursive_triggers is on) and inserts it anew: the
// product's lots beyond its new amount are taken as a decrease takes them,
// earliest date first (then lowest lot). The lots a store holds beyond its
// products' units are taken so once, here: the backup refuses them.
#define BEYOND "((SELECT sum(units) FROM lots WHERE id = new.id) - new.amount)"
const char* const TAKE_LOTS_BEYOND_STOCK = R"(
    UPDATE lots SET lot = -lot WHERE lot IN (
        SELECT f.lot FROM (
            SELECT lot, id, sum(units) OVER (PARTITION BY id ORDER BY best_before, lot) AS upto
            FROM lots) f
        JOIN (SELECT id, sum(units) - coalesce((SELECT amount FROM stock s WHERE s.id = lots.id), 0)
                  AS taken
              FROM lots GROUP BY id) b ON b.id = f.id
        WHERE f.upto <= b.taken);
    UPDATE lots AS l SET units = l.units - r.rest
    FROM (SELECT id, sum(units) - coalesce((SELECT amount FROM stock s WHERE s.id = lots.id), 0) -
                 sum(CASE WHEN lot < 0 THEN units ELSE 0 END) AS rest
          FROM lots GROUP BY id) r
    WHERE r.id = l.id AND r.rest > 0
      AND l.lot = (SELECT lot FROM lots WHERE id = l.id AND lot > 0 ORDER BY best_before, lot LIMIT 1);
    DELETE FROM lots WHERE lot < 0;
)";
const std::string LOTS_WITHIN_STOCK = std::string(TAKE_LOTS_BEYOND_STOCK) + R"(
    CREATE TRIGGER IF NOT EXISTS stock_inserted_lots AFTER INSERT ON stock
    WHEN )" BEYOND R"( > 0 BEGIN)" +
    takeEarliestFirst("new.id", BEYOND) + R"(
    END;
)";
#undef BEYOND

// Version 10: a count of the changes other programs make to the catalogue,
// by which the owner's view tells, in a row, that the records it read its
// figures from are still those there, where it would otherwise read them
// all. Every insert, update and delete of a record adds one: an INSERT OR
// REPLACE's too, whose delete fires no trigger but whose insert does, and
// the record that another program's first delivery makes through
// stock_catalogued. The runs' own connections fire no trigger: the record
// a run's first delivery makes is written with the product's entry in the
// history, which the view reads with it; the owner's import switches the
// triggers on for its transaction, so they count its records; a restore
// adds one itself. A store marked older that has them already keeps them:
// the view tells a schema changed since it read its figures by the
// schema's own count.
const char* const CATALOGUE_COUNT = R"(
    CREATE TABLE IF NOT EXISTS catalogue_changed (times INTEGER NOT NULL);
    INSERT INTO catalogue_changed (times)
    SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM catalogue_changed);
    CREATE TRIGGER IF NOT EXISTS catalogue_inserted AFTER INSERT ON catalogue BEGIN
        UPDATE catalogue_changed SET times = times + 1;
    END;
    CREATE TRIGGER IF NOT EXISTS catalogue_updated AFTER UPDATE ON catalogue BEGIN
        UPDATE catalogue_changed SET times = times + 1;
    END;
    CREATE TRIGGER IF NOT EXISTS catalogue_deleted AFTER DELETE ON catalogue BEGIN
        UPDATE catalogue_changed SET times = times + 1;
    END;
)";

// Version 11: other programs' writes as they were. An INSERT OR REPLACE of
// a product in stock deletes its row without the delete triggers and
// inserts it anew, so the history wrote the entry as from 0 units: the row
// about to be replaced is noted first, in stock_replaced, and the insert's
// entry is from its units. An insert that writes no row (OR IGNORE, a key
// taken, an upsert's update) leaves its note to the next insert, which
// clears it first; the entry of each row inserted clears it after. So does
// an UPDATE OR REPLACE that gives a product the id of another in stock: the
// other's entry is from its units, and its lots beyond the units it now
// has are taken, earliest first; and a delete's entry, where
// recursive_triggers has a REPLACE fire it, takes the note of its row.
//
// And another program's lots are what the runs write, and what a backup
// carries: a lot numbered from 1, dated on the calendar in the years 1 to
// 9999 (date() takes the year 0, years before it and a 30 February), with
// a time received of those years and a clerk that is text, of a product in
// stock whose lots hold no more units than it does. An insert or update of
// lots that breaks one is refused whole. A decrease is never refused: the
// triggers that take units from the lots lower them, and mark the lots they
// take whole by their numbers, which these do not look at. The lots of such
// dates a store has become undated units, and those beyond its products'
// units are taken earliest first, once, here.
#define ON_THE_CALENDAR(date) \
    "(" date " BETWEEN '0001-01-01' AND '9999-12-31' AND date(" date ", '+0 days') IS " date ")"
/// The statements of a trigger that refuse a lot, new, that no run writes.
std::string lotRefusals()
{
    return R"(
        SELECT RAISE(ABORT, 'a best-before date is a day of the years 1 to 9999')
        WHERE NOT )" ON_THE_CALENDAR("new.best_before") R"(;
        SELECT RAISE(ABORT, 'a lot is received at a time of the years 1 to 9999')
        WHERE typeof(new.received_at) <> 'text' OR new.received_at < '0001'
           OR strftime('%Y-%m-%d %H:%M:%f', new.received_at, '+0 days') IS NOT new.received_at;
        SELECT RAISE(ABORT, 'a lot is received by a clerk named in text')
        WHERE typeof(new.clerk) NOT IN ('text', 'null') OR typeof(new.named_clerk) NOT IN ('text', 'null');
        SELECT RAISE(ABORT, 'the dated lots of a product hold more units than its stock')
        WHERE (SELECT sum(units) FROM lots WHERE id = new.id) >
              coalesce((SELECT amount FROM stock WHERE id = new.id), 0);)";
}

#define BEYOND "((SELECT sum(units) FROM lots WHERE id = new.id) - new.amount)"
const std::string AS_THEY_WERE = R"(
    DROP TRIGGER IF EXISTS stock_inserted;
    CREATE TABLE IF NOT EXISTS stock_replaced (
        id TEXT NOT NULL PRIMARY KEY,
        amount INTEGER NOT NULL
    ) WITHOUT ROWID;
    CREATE TRIGGER IF NOT EXISTS stock_replacing BEFORE INSERT ON stock BEGIN
        DELETE FROM stock_replaced;
        INSERT INTO stock_replaced SELECT id, amount FROM stock WHERE id = new.id;
    END;
    CREATE TRIGGER stock_inserted AFTER INSERT ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), new.id,
                coalesce((SELECT amount FROM stock_replaced WHERE id = new.id), 0), new.amount);
        DELETE FROM stock_replaced;
    END;
    DROP TRIGGER IF EXISTS stock_updated;
    DROP TRIGGER IF EXISTS stock_deleted;
    CREATE TRIGGER IF NOT EXISTS stock_renaming BEFORE UPDATE OF id ON stock
    WHEN new.id IS NOT old.id BEGIN
        DELETE FROM stock_replaced;
        INSERT INTO stock_replaced SELECT id, amount FROM stock WHERE id = new.id;
    END;
    CREATE TRIGGER stock_updated AFTER UPDATE ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), old.id, old.amount,
                CASE WHEN new.id IS old.id THEN new.amount ELSE 0 END);
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        SELECT command_no, changed_at, new.id,
               coalesce((SELECT amount FROM stock_replaced WHERE id = new.id), 0), new.amount
        FROM history WHERE new.id IS NOT old.id ORDER BY seq DESC LIMIT 1;
        DELETE FROM stock_replaced;
    END;
    CREATE TRIGGER stock_deleted AFTER DELETE ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), old.id, old.amount, 0);
        DELETE FROM stock_replaced WHERE id = old.id;
    END;
    CREATE TRIGGER IF NOT EXISTS stock_renamed_lots AFTER UPDATE OF id ON stock
    WHEN new.id IS NOT old.id AND )" BEYOND R"( > 0 BEGIN)" +
    takeEarliestFirst("new.id", BEYOND) + R"(
    END;
    DELETE FROM lots WHERE NOT )" ON_THE_CALENDAR("best_before") ";" +
    std::string(TAKE_LOTS_BEYOND_STOCK) + R"(
    CREATE TRIGGER IF NOT EXISTS lots_inserted_checked AFTER INSERT ON lots BEGIN
        SELECT RAISE(ABORT, 'a lot is numbered from 1') WHERE new.lot < 1;)" +
    lotRefusals() + R"(
    END;
    CREATE TRIGGER IF NOT EXISTS lots_updated_checked AFTER UPDATE ON lots
    WHEN new.id IS NOT old.id OR new.units > old.units OR new.best_before IS NOT old.best_before
      OR new.received_at IS NOT old.received_at OR new.clerk IS NOT old.clerk
      OR new.named_clerk IS NOT old.named_clerk BEGIN)" +
    lotRefusals() + R"(
    END;
)";
#undef ON_THE_CALENDAR
#undef BEYOND

// The objects a store must have, all of them: the tables, the indexes, the
// triggers, and the history's latest column; from the version since on.
struct Objects {
    std::uint32_t since;
    const char* present;  // the SQL that counts those present
    int count;            // how many there are
};
constexpr Objects OBJECTS[] = {
    {5,
     "SELECT (SELECT count(*) FROM sqlite_schema WHERE name IN ('stock', "
     "'history', 'history_by_id', 'stock_inserted', 'stock_updated', "
     "'stock_deleted', 'catalogue', 'catalogue_changes', 'stock_catalogued')) "
     "+ (SELECT count(*) FROM pragma_table_info('history') WHERE name = 'kind')",
     10},
    {7,
     "SELECT (SELECT count(*) FROM sqlite_schema WHERE name IN ('lots', "
     "'lots_by_id', 'lots_by_date', 'stock_lowered_lots', "
     "'stock_deleted_lots')) "
     "+ (SELECT count(*) FROM pragma_table_info('history') WHERE name = 'reason')",
     6},
    {9, "SELECT count(*) FROM sqlite_schema WHERE name = 'stock_inserted_lots'", 1},
    {CATALOGUE_COUNTED,
     "SELECT count(*) FROM sqlite_schema WHERE name IN ('catalogue_changed', "
     "'catalogue_inserted', 'catalogue_updated', 'catalogue_deleted')",
     4},
    {11,
     "SELECT count(*) FROM sqlite_schema WHERE name IN ('stock_replaced', "
     "'stock_replacing', 'stock_renaming', 'stock_renamed_lots', "
     "'lots_inserted_checked', 'lots_updated_checked')",
     6},
};

/// The one number a query gives, or false, with SQLite's words in error.
bool numberOf(sqlite3* database, const char* sql, sqlite3_int64& number,
              std::string& error)
{
    sqlite3_stmt* prepared = nullptr;
    sqlite3_prepare_v2(database, sql, -1, &prepared, nullptr);
    const Statement query(prepared);
    if (prepared == nullptr || sqlite3_step(prepared) != SQLITE_ROW) {
        // A reader that may not make the index of the store's log, which
        // every reader of a store in WAL mode keeps beside it, is refused
        // as read-only: it lacks a right, and the store is sound.
        error = (sqlite3_extended_errcode(database) & 0xff) == SQLITE_READONLY
                    ? "this login may only read the store, and a reader needs a folder "
                      "it may write, or the store's -wal and -shm files there already"
                    : std::string("damaged: ") + sqlite3_errmsg(database);
        return false;
    }
    number = sqlite3_column_int64(prepared, 0);
    return true;
}

/// The SQL of the steps past version, in order, each marking the version
/// it brings the store to.
std::string stepsPast(std::uint32_t version)
{
    std::string sql;
    for (const SchemaStep& step : steps()) {
        if (static_cast<std::uint32_t>(step.version) > version) {
            sql += step.sql +
                   "PRAGMA user_version = " + std::to_string(step.version) +
                   ";\n";
        }
    }
    return sql;
}

}  // namespace

const std::vector<SchemaStep>& steps()
{
    static const std::vector<SchemaStep> list = {
        {2, HISTORY_SCHEMA},
        {3, NAMED_CLERK},
        {4, kinds()},
        {5, CATALOGUE},
        {6, HISTORY_BY_TIME},
        {7, reasons() + LOTS},
        {8, LOTS_BY_DATE_COVERED},
        {9, LOTS_WITHIN_STOCK},
        {CATALOGUE_COUNTED, CATALOGUE_COUNT},
        {11, AS_THEY_WERE},
    };
    return list;
}

const char* refusal(std::uint32_t applicationId, std::uint32_t version)
{
    if (applicationId != APPLICATION_ID) {
        return "a database of another program, not a store";
    }
    if (version > VERSION) {
        return "a store of a newer version of this program";
    }
    if (version == 0) {
        return "not a store";
    }
    return nullptr;
}

bool newStoreImage(std::string& image, std::string& error)
{
    sqlite3* handle = nullptr;
    const int opened = sqlite3_open(":memory:", &handle);
    const Database memory(handle);
    // A store of the first version, brought up to date: a new store and an
    // old one have one shape.
    const std::string schema =
        std::string("BEGIN;") + STOCK_SCHEMA + stepsPast(1) +
        "PRAGMA application_id = " + std::to_string(APPLICATION_ID) +
        "; COMMIT;";
    // Made in memory: what fails there for want of memory is no fault of
    // a store, and the run cannot start.
    const bool made = handle != nullptr && opened == SQLITE_OK &&
                      execute(handle, schema, error);
    if (handle == nullptr || (!made && sqlite3_errcode(handle) == SQLITE_NOMEM)) {
        throw std::bad_alloc();
    }
    if (!made) {
        error = sqlite3_errmsg(handle);
        return false;
    }
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(handle, "main", &size, 0);
    if (bytes == nullptr) {
        throw std::bad_alloc();
    }
    image.assign(reinterpret_cast<const char*>(bytes),
                 static_cast<std::size_t>(size));
    sqlite3_free(bytes);
    // Header bytes 18 and 19, the versions that read and write the file: 2
    // for write-ahead logging.
    image[18] = 2;
    image[19] = 2;
    return true;
}

std::uint32_t versionOf(sqlite3* database, std::string& error)
{
    sqlite3_int64 applicationId = 0;
    sqlite3_int64 version = 0;
    if (!numberOf(database, "PRAGMA application_id", applicationId, error) ||
        !numberOf(database, "PRAGMA user_version", version, error)) {
        return 0;
    }
    if (const char* reason = refusal(static_cast<std::uint32_t>(applicationId),
                                     static_cast<std::uint32_t>(version))) {
        error = reason;
        return 0;
    }
    return static_cast<std::uint32_t>(version);
}

bool upgrade(sqlite3* database, std::uint32_t version, std::string& error)
{
    return execute(database, stepsPast(version), error);
}

bool checkObjects(sqlite3* database, std::uint32_t version, std::string& error)
{
    for (const Objects& objects : OBJECTS) {
        sqlite3_int64 present = 0;
        if (objects.since > version) {
            continue;
        }
        if (!numberOf(database, objects.present, present, error)) {
            return false;
        }
        if (present != objects.count) {
            error = "damaged: its stock, history, catalogue, lots or the "
                    "triggers that keep them are missing";
            return false;
        }
    }
    return true;
}

}  // namespace sqlite_schema
