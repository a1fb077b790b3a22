#include "postgres_store.hh"

#include "progress.hh"

#include <endian.h>
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

// The version of the store's shape, kept in the table store_version.
constexpr int SCHEMA_VERSION = 2;

// The types the store sends and receives, by their server object ids.
constexpr Oid INT8 = 20;
constexpr Oid BYTEA = 17;
constexpr Oid TEXT = 25;
constexpr Oid INT8_ARRAY = 1016;
constexpr Oid BYTEA_ARRAY = 1001;
constexpr Oid TEXT_ARRAY = 1009;

// The store's tables, as the SQLite store has them. Ids, shelves, names and
// commands are bytea: byte strings, compared byte for byte, whatever their
// encoding, as the table holds them. Every statement may run again on a
// store that has them: two runs may make a store at once.
const char* const SCHEMA = R"(
    CREATE TABLE IF NOT EXISTS store_version (version integer NOT NULL);
    INSERT INTO store_version SELECT 2 WHERE NOT EXISTS (SELECT FROM store_version);
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
        changed_at text NOT NULL,
        clerk text,
        command bytea,
        id bytea,
        amount_before bigint,
        amount_after bigint
    );
    CREATE INDEX IF NOT EXISTS history_by_id ON history (id);
    CREATE OR REPLACE FUNCTION stock_change_recorded() RETURNS trigger
    LANGUAGE plpgsql AS $$
    DECLARE
        number bigint;
        now_utc text := to_char(clock_timestamp() AT TIME ZONE 'UTC',
                                'YYYY-MM-DD HH24:MI:SS.MS');
    BEGIN
        IF current_setting('warehouse.clerk_run', true) = 'on' THEN
            RETURN NULL;
        END IF;
        number := nextval('history_command');
        IF TG_OP <> 'INSERT' THEN
            INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
            VALUES (number, now_utc, OLD.id, OLD.amount,
                    CASE WHEN TG_OP = 'UPDATE' AND NEW.id = OLD.id THEN NEW.amount ELSE 0 END);
        END IF;
        IF TG_OP = 'INSERT' OR (TG_OP = 'UPDATE' AND NEW.id <> OLD.id) THEN
            INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
            VALUES (number, now_utc, NEW.id, 0, NEW.amount);
        END IF;
        RETURN NULL;
    END $$;
    CREATE OR REPLACE TRIGGER stock_changed AFTER INSERT OR UPDATE OR DELETE ON stock
        FOR EACH ROW EXECUTE FUNCTION stock_change_recorded();
)";

// The shape the tables must have, column by column, as the server names
// the columns' types.
const char* const SHAPE =
    "store_version version integer|"
    "stock id bytea|stock amount bigint|stock shelf bytea|stock name bytea|"
    "history seq bigint|history command_no bigint|history changed_at text|"
    "history clerk text|history command bytea|history id bytea|"
    "history amount_before bigint|history amount_after bigint|";
const char* const SHAPE_FOUND =
    "SELECT string_agg(c.relname || ' ' || a.attname || ' ' || "
    "format_type(a.atttypid, NULL) || '|', '' ORDER BY c.relname DESC, "
    "a.attnum) FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
    "WHERE c.relnamespace = current_schema()::regnamespace AND c.relname IN "
    "('store_version', 'stock', 'history') AND c.relkind IN ('r', 'p', 'v') "
    "AND a.attnum > 0 AND NOT a.attisdropped";

// While the runs of this program hold it, no other program writes the
// stock either, and those that were writing have finished: what the history
// then holds is all there is, in the order of its numbers.
const char* const LOCK =
    "BEGIN; LOCK TABLE stock IN SHARE ROW EXCLUSIVE MODE";

// The stock's own number among advisory locks: makes the store once.
const char* const MAKING_LOCK = "SELECT pg_advisory_xact_lock(1464357701)";

const char* const DAMAGED_ROW =
    "damaged: a row of the stock holds an amount that is not a whole number "
    "from 1 to 4294967295";

struct ClearResult {
    void operator()(PGresult* result) const { PQclear(result); }
};
struct FinishConnection {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;
using Connection = std::unique_ptr<PGconn, FinishConnection>;

/// The server's words, on one line: libpq's messages may run over several.
std::string oneLine(const char* message)
{
    std::string line;
    for (const char* c = message; *c != '\0'; ++c) {
        const bool space = *c == '\n' || *c == '\t' || *c == '\r';
        if (!space) {
            line += *c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

bool succeeded(const PGresult* result)
{
    const ExecStatusType status = PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK ||
           status == PGRES_COPY_IN || status == PGRES_COPY_OUT;
}

std::uint64_t bigEndian64(const char* bytes)
{
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return be64toh(value);
}

std::uint32_t bigEndian32(const char* bytes)
{
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return be32toh(value);
}

void appendBigEndian32(std::string& to, std::uint32_t value)
{
    value = htobe32(value);
    to.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendBigEndian64(std::string& to, std::uint64_t value)
{
    value = htobe64(value);
    to.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendBigEndian16(std::string& to, std::uint16_t value)
{
    value = htobe16(value);
    to.append(reinterpret_cast<const char*>(&value), sizeof value);
}

/// A one-dimensional array parameter in the server's binary form: its
/// elements are sent as they are, with no quoting or escaping.
class ArrayParameter {
public:
    explicit ArrayParameter(Oid elementType) : elementType(elementType) {}

    void add(std::string_view bytes)
    {
        appendBigEndian32(elements, static_cast<std::uint32_t>(bytes.size()));
        elements.append(bytes);
        ++count;
    }
    void add(std::int64_t number)
    {
        appendBigEndian32(elements, 8);
        appendBigEndian64(elements, static_cast<std::uint64_t>(number));
        ++count;
    }
    void addNull()
    {
        appendBigEndian32(elements, 0xFFFFFFFF);
        hasNull = true;
        ++count;
    }

    std::size_t size() const { return count; }

    /// The whole parameter: the header, then the elements.
    const std::string& bytes()
    {
        whole.clear();
        appendBigEndian32(whole, count == 0 ? 0 : 1);  // dimensions
        appendBigEndian32(whole, hasNull ? 1 : 0);
        appendBigEndian32(whole, elementType);
        if (count > 0) {
            appendBigEndian32(whole, static_cast<std::uint32_t>(count));
            appendBigEndian32(whole, 1);  // the first index
        }
        whole += elements;
        return whole;
    }

private:
    Oid elementType;
    std::string elements;
    std::string whole;
    std::size_t count = 0;
    bool hasNull = false;
};

/// The rows of a COPY in the server's binary form, read as they stream in:
/// each field of a row as bytes, or null.
class CopyRows {
public:
    explicit CopyRows(PGconn* connection) : connection(connection) {}

    /// Reads the next row into fields; false at the end, or on an error,
    /// which failed() then tells.
    bool next(std::vector<std::string_view>& fields, std::vector<bool>& null)
    {
        for (;;) {
            if (parseRow(fields, null)) {
                return true;
            }
            if (ended) {
                return false;
            }
            char* chunk = nullptr;
            const int got = PQgetCopyData(connection, &chunk, 0);
            if (got < 0) {
                ended = true;
                broken = got == -2 || pending.size() > consumed;
                return false;
            }
            pending.erase(0, consumed);
            consumed = 0;
            pending.append(chunk, static_cast<std::size_t>(got));
            PQfreemem(chunk);
        }
    }

    bool failed() const { return broken; }

private:
    // PGCOPY\n\377\r\n\0, the flags, and the length of an extension.
    static constexpr std::size_t HEADER = 11 + 4 + 4;

    bool parseRow(std::vector<std::string_view>& fields,
                  std::vector<bool>& null)
    {
        std::size_t at = consumed;
        if (!headerRead) {
            if (pending.size() < HEADER) {
                return false;
            }
            at += HEADER + bigEndian32(pending.data() + 15);
            headerRead = true;
            consumed = at;
        }
        if (pending.size() < at + 2) {
            return false;
        }
        const auto count = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(static_cast<unsigned char>(pending[at])
                                       << 8 |
                                       static_cast<unsigned char>(pending[at + 1])));
        at += 2;
        if (count < 0) {
            consumed = at;  // the trailer
            return false;
        }
        fields.clear();
        null.clear();
        for (std::int16_t i = 0; i < count; ++i) {
            if (pending.size() < at + 4) {
                return false;
            }
            const auto length =
                static_cast<std::int32_t>(bigEndian32(pending.data() + at));
            at += 4;
            if (length < 0) {
                fields.emplace_back();
                null.push_back(true);
                continue;
            }
            if (pending.size() < at + static_cast<std::size_t>(length)) {
                return false;
            }
            fields.emplace_back(pending.data() + at,
                                static_cast<std::size_t>(length));
            null.push_back(false);
            at += static_cast<std::size_t>(length);
        }
        consumed = at;
        return true;
    }

    PGconn* connection;
    std::string pending;        // bytes received, from consumed on unread
    std::size_t consumed = 0;
    bool headerRead = false;
    bool ended = false;
    bool broken = false;
};

/// A product's fields in binary as a result or COPY gives them: false when
/// the amount is not a whole number of units the table can hold.
bool readAmount(std::string_view field, std::uint32_t& amount)
{
    if (field.size() != 8) {
        return false;
    }
    const auto units = static_cast<std::int64_t>(bigEndian64(field.data()));
    if (units < 1 || units > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    amount = static_cast<std::uint32_t>(units);
    return true;
}

std::string_view field(const PGresult* result, int row, int column)
{
    return {PQgetvalue(result, row, column),
            static_cast<std::size_t>(PQgetlength(result, row, column))};
}

std::int64_t int8Field(const PGresult* result, int row, int column)
{
    return static_cast<std::int64_t>(
        bigEndian64(PQgetvalue(result, row, column)));
}

std::optional<std::string> optionalField(const PGresult* result, int row,
                                         int column)
{
    if (PQgetisnull(result, row, column)) {
        return std::nullopt;
    }
    return std::string(field(result, row, column));
}

class PostgresStore final : public Store {
public:
    PostgresStore(Datastructure& table, const Options& options)
        : Store(table, options)
    {
    }

    /// Connects, makes the store's tables when the database has none,
    /// checks their shape, and loads the stock. False, with the reason in
    /// error(), when the database cannot be used.
    bool start(const std::string& uri);

private:
    bool lock() override;
    bool catchUp() override;
    bool write(const StoreNotes& notes) override;
    bool commit() override;
    void rollback() override;
    bool readHistory(const std::string* id, std::size_t count,
                     std::vector<HistoryEntry>& entries) override;

    bool connect(const std::string& uri);
    bool checkShape();
    bool loadAtStart();
    bool loadStock();
    bool writeChanges(const StoreNotes& notes);
    bool writeEverything();
    bool writeHistory(const StoreNotes& notes);
    /// Sends the queries of a pipeline at once, and reads their results:
    /// one round trip.
    bool runPipeline(std::size_t queries);

    /// Runs sql, which may be several statements, and returns the result
    /// of the first that failed, or else of the last; null when the server
    /// is out of reach. With a notice, waits a second at a time, telling it.
    Result run(const char* sql, WaitNotice* notice = nullptr);
    /// The results of what was sent, as run() gives them.
    Result awaitResults(WaitNotice* notice);
    /// As run(), but returns null, with the failure noted, unless all went
    /// well.
    Result execute(const char* sql, WaitNotice* notice = nullptr);
    /// Sends a statement with binary parameters, for binary results; in a
    /// pipeline, its result is read later.
    bool send(const char* sql, const std::vector<Oid>& types,
              const std::vector<const std::string*>& values);
    /// Runs a statement with binary parameters and binary results.
    Result execute(const char* sql, const std::vector<Oid>& types,
                   const std::vector<const std::string*>& values);
    bool failWith(std::string_view what, const PGresult* result = nullptr);

    Connection connection;
    std::int64_t lastSeen = 0;       // newest history entry the table has
    std::int64_t newestWritten = 0;  // newest entry this transaction wrote
};

bool PostgresStore::failWith(std::string_view what, const PGresult* result)
{
    const char* message = result != nullptr ? PQresultErrorMessage(result)
                                            : PQerrorMessage(connection.get());
    if (message == nullptr || *message == '\0') {
        message = PQerrorMessage(connection.get());
    }
    return fail(std::string(what) + oneLine(message));
}

Result PostgresStore::run(const char* sql, WaitNotice* notice)
{
    if (PQsendQuery(connection.get(), sql) == 0) {
        return nullptr;
    }
    return awaitResults(notice);
}

Result PostgresStore::awaitResults(WaitNotice* notice)
{
    PGconn* const server = connection.get();
    // Each statement has a result; the first that failed is the one kept.
    Result kept;
    for (;;) {
        while (PQisBusy(server) != 0) {
            pollfd ready{PQsocket(server), POLLIN, 0};
            if (::poll(&ready, 1, notice != nullptr ? 1000 : -1) == 0) {
                notice->tick();
                continue;
            }
            if (PQconsumeInput(server) == 0) {
                break;
            }
        }
        Result result(PQgetResult(server));
        if (!result) {
            break;
        }
        const ExecStatusType status = PQresultStatus(result.get());
        if (!kept || succeeded(kept.get())) {
            kept = std::move(result);
        }
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT) {
            break;  // the copy's data follows, the rest of its results after
        }
    }
    return kept;
}

Result PostgresStore::execute(const char* sql, WaitNotice* notice)
{
    Result result = run(sql, notice);
    if (!result || !succeeded(result.get())) {
        failWith("", result.get());
        return nullptr;
    }
    return result;
}

bool PostgresStore::send(const char* sql, const std::vector<Oid>& types,
                         const std::vector<const std::string*>& values)
{
    std::vector<const char*> data;
    std::vector<int> lengths;
    const std::vector<int> formats(values.size(), 1);
    for (const std::string* value : values) {
        data.push_back(value->data());
        lengths.push_back(static_cast<int>(value->size()));
    }
    return PQsendQueryParams(connection.get(), sql,
                             static_cast<int>(values.size()), types.data(),
                             data.data(), lengths.data(), formats.data(),
                             1) != 0 ||
           failWith("");
}

Result PostgresStore::execute(const char* sql, const std::vector<Oid>& types,
                              const std::vector<const std::string*>& values)
{
    if (!send(sql, types, values)) {
        return nullptr;
    }
    Result result = awaitResults(nullptr);
    if (!result || !succeeded(result.get())) {
        failWith("", result.get());
        return nullptr;
    }
    return result;
}

bool PostgresStore::connect(const std::string& uri)
{
    // A server that cannot be reached is given up on within seconds, unless
    // the environment or the URI asks for another wait.
    std::vector<const char*> keys;
    std::vector<const char*> values;
    if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
        keys.push_back("connect_timeout");
        values.push_back("10");
    }
    keys.push_back("fallback_application_name");
    values.push_back("warehouse");
    keys.push_back("dbname");
    values.push_back(uri.c_str());
    keys.push_back(nullptr);
    values.push_back(nullptr);
    connection.reset(PQconnectdbParams(keys.data(), values.data(), 1));
    if (!connection) {
        return fail("out of memory");
    }
    if (PQstatus(connection.get()) != CONNECTION_OK) {
        return failWith("cannot connect: ");
    }
    // A commit is durable on the server before the run shows it; a lock is
    // waited for as long as the run may wait; and the runs' own changes do
    // not fire the triggers, which record other programs' changes.
    const auto milliseconds = options.wait.count();
    const std::string settings =
        "SET synchronous_commit = on; SET client_min_messages = warning; "
        "SET lock_timeout = " +
        std::to_string(milliseconds > 0 ? milliseconds : 1) +
        "; SET warehouse.clerk_run = 'on'";
    return execute(settings.c_str()) != nullptr;
}

bool PostgresStore::checkShape()
{
    Result found = execute(SHAPE_FOUND);
    if (!found) {
        return false;
    }
    const std::string shape =
        PQgetisnull(found.get(), 0, 0) ? "" : PQgetvalue(found.get(), 0, 0);
    if (shape.empty()) {
        // No store yet: made whole, once, however many runs start at once.
        const std::string making = std::string("BEGIN; ") + MAKING_LOCK +
                                   ";" + SCHEMA + "COMMIT";
        if (!execute(making.c_str())) {
            return false;
        }
        madeAnew = true;
    } else if (shape != SHAPE) {
        return fail("its tables stock, history or store_version have "
                    "another shape: not a store");
    }
    Result version = execute("SELECT max(version) FROM store_version");
    if (!version) {
        return false;
    }
    const int number = std::atoi(PQgetvalue(version.get(), 0, 0));
    if (number > SCHEMA_VERSION) {
        return fail("a store of a newer version of this program");
    }
    if (number != SCHEMA_VERSION) {
        return fail("not a store");
    }
    return true;
}

bool PostgresStore::start(const std::string& uri)
{
    if (!connect(uri) || !checkShape() || !loadAtStart()) {
        return false;
    }
    watchTable();
    return true;
}

bool PostgresStore::loadAtStart()
{
    // Under the lock: the history's newest number and the stock agree.
    if (!lock()) {
        return false;
    }
    Result newest = execute("SELECT coalesce(max(seq), 0) FROM history");
    const bool loaded =
        newest && (lastSeen = std::atoll(PQgetvalue(newest.get(), 0, 0)),
                   loadStock());
    rollback();  // nothing was written
    return loaded;
}

bool PostgresStore::loadStock()
{
    std::uint64_t total = 0;
    if (Progress::showing()) {
        if (Result counted = execute("SELECT count(*) FROM stock")) {
            total = std::strtoull(PQgetvalue(counted.get(), 0, 0), nullptr, 10);
        }
    }
    if (!execute("COPY stock (id, amount, shelf, name) TO STDOUT "
                 "(FORMAT binary)")) {
        return false;
    }
    Progress progress("Loading the store", total);
    CopyRows rows(connection.get());
    std::vector<std::string_view> fields;
    std::vector<bool> null;
    std::string id;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    std::uint64_t loaded = 0;
    bool fits = true;
    while (rows.next(fields, null)) {
        fits = fits && fields.size() == 4 && readAmount(fields[1], amount);
        if (!fits) {
            continue;  // read to the end, to keep the connection usable
        }
        id.assign(fields[0]);
        shelf.assign(fields[2]);
        name.assign(fields[3]);
        table.add(id, shelf, amount, name);
        progress.at(++loaded);
    }
    Result ending(PQgetResult(connection.get()));
    while (Result more{PQgetResult(connection.get())}) {
    }
    if (rows.failed() || !ending || !succeeded(ending.get())) {
        return failWith("", ending.get());
    }
    return fits || fail(DAMAGED_ROW);
}

bool PostgresStore::lock()
{
    WaitNotice notice("Waiting for the store");
    const Result locked = run(LOCK, &notice);
    if (locked && succeeded(locked.get())) {
        return true;
    }
    // The server gave up waiting for the lock: lock_not_available.
    const char* state =
        locked ? PQresultErrorField(locked.get(), PG_DIAG_SQLSTATE) : nullptr;
    const bool timedOut = state != nullptr && std::strcmp(state, "55P03") == 0;
    timedOut ? failLocked() : failWith("", locked.get());
    rollback();
    return false;
}

bool PostgresStore::catchUp()
{
    const std::string since = [this] {
        std::string bytes;
        appendBigEndian64(bytes, static_cast<std::uint64_t>(lastSeen));
        return bytes;
    }();
    Result changes = execute(
        "SELECT h.seq, h.id, s.amount, s.shelf, s.name FROM history h "
        "LEFT JOIN stock s ON s.id = h.id WHERE h.seq > $1 ORDER BY h.seq",
        {INT8}, {&since});
    if (!changes) {
        return false;
    }
    const PGresult* rows = changes.get();
    const int count = PQntuples(rows);
    if (count == 0) {
        return true;  // nobody else committed anything
    }
    bool everything = false;
    for (int row = 0; row < count && !everything; ++row) {
        everything = PQgetisnull(rows, row, 1) != 0;
    }
    if (everything) {
        table.empty();
        if (!loadStock()) {
            return false;
        }
    } else {
        std::string id;
        std::string shelf;
        std::string name;
        std::uint32_t amount = 0;
        for (int row = 0; row < count; ++row) {
            id.assign(field(rows, row, 1));
            if (PQgetisnull(rows, row, 2)) {
                table.put(id, {}, 0, {});  // gone from the store
                continue;
            }
            if (!readAmount(field(rows, row, 2), amount)) {
                return fail(DAMAGED_ROW);
            }
            shelf.assign(field(rows, row, 3));
            name.assign(field(rows, row, 4));
            table.put(id, shelf, amount, name);
        }
    }
    lastSeen = int8Field(rows, count - 1, 0);
    return true;
}

bool PostgresStore::write(const StoreNotes& notes)
{
    return (notes.everything ? writeEverything() : writeChanges(notes)) &&
           writeHistory(notes);
}

bool PostgresStore::writeChanges(const StoreNotes& notes)
{
    ArrayParameter ids(BYTEA);
    ArrayParameter amounts(INT8);
    ArrayParameter shelves(BYTEA);
    ArrayParameter names(BYTEA);
    ArrayParameter gone(BYTEA);
    notes.forEachChangedId([&](const std::string& id) {
        const bool inStock = table.lookUp(
            id, [&](const std::string&, const std::string& shelf,
                    std::uint32_t amount, const std::string& name) {
                ids.add(id);
                amounts.add(static_cast<std::int64_t>(amount));
                shelves.add(shelf);
                names.add(name);
            });
        if (!inStock) {
            gone.add(id);
        }
        return true;
    });
    // Both statements go at once: one round trip.
    if (ids.size() == 0 && gone.size() == 0) {
        return true;
    }
    if (PQenterPipelineMode(connection.get()) == 0) {
        return failWith("");
    }
    std::size_t queries = 0;
    const bool sent =
        (ids.size() == 0 ||
         (++queries,
          send("INSERT INTO stock (id, amount, shelf, name) "
               "SELECT * FROM unnest($1::bytea[], $2::int8[], $3::bytea[], "
               "$4::bytea[]) ON CONFLICT (id) DO UPDATE SET "
               "amount = excluded.amount, shelf = excluded.shelf, "
               "name = excluded.name",
               {BYTEA_ARRAY, INT8_ARRAY, BYTEA_ARRAY, BYTEA_ARRAY},
               {&ids.bytes(), &amounts.bytes(), &shelves.bytes(),
                &names.bytes()}))) &&
        (gone.size() == 0 ||
         (++queries, send("DELETE FROM stock WHERE id = ANY($1::bytea[])",
                          {BYTEA_ARRAY}, {&gone.bytes()})));
    return runPipeline(sent ? queries : 0) && sent;
}

bool PostgresStore::runPipeline(std::size_t queries)
{
    PGconn* const server = connection.get();
    bool done = PQpipelineSync(server) != 0 || failWith("");
    // Each query's results end with a null; the sync ends the pipeline.
    for (std::size_t read = 0; read <= queries;) {
        Result result(PQgetResult(server));
        if (!result) {
            ++read;
            continue;
        }
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_PIPELINE_SYNC) {
            break;
        }
        if (done && !succeeded(result.get())) {
            done = failWith("", result.get());
        }
    }
    PQexitPipelineMode(server);
    return done;
}

bool PostgresStore::writeEverything()
{
    // DELETE rather than TRUNCATE: a client reading the stock meanwhile
    // must not make the commit wait past the lock's time.
    if (!execute("DELETE FROM stock; COPY stock (id, amount, shelf, name) "
                 "FROM STDIN (FORMAT binary)")) {
        return false;
    }
    PGconn* const server = connection.get();
    std::string block("PGCOPY\n\377\r\n\0", 11);
    appendBigEndian32(block, 0);  // flags
    appendBigEndian32(block, 0);  // no extension
    const auto sendBlock = [&] {
        const bool sent = PQputCopyData(server, block.data(),
                                        static_cast<int>(block.size())) == 1;
        block.clear();
        return sent;
    };
    bool sent = writeEveryProduct([&](const std::string& id,
                                      const std::string& shelf,
                                      std::uint32_t amount,
                                      const std::string& name) {
        appendBigEndian16(block, 4);  // fields
        appendBigEndian32(block, static_cast<std::uint32_t>(id.size()));
        block += id;
        appendBigEndian32(block, 8);
        appendBigEndian64(block, amount);
        appendBigEndian32(block, static_cast<std::uint32_t>(shelf.size()));
        block += shelf;
        appendBigEndian32(block, static_cast<std::uint32_t>(name.size()));
        block += name;
        return block.size() < (1 << 16) || sendBlock();
    });
    appendBigEndian16(block, 0xFFFF);  // the trailer
    sent = sent && sendBlock() && PQputCopyEnd(server, nullptr) == 1;
    if (!sent) {
        PQputCopyEnd(server, "the store could not send the stock");
    }
    Result ending(PQgetResult(server));
    while (Result more{PQgetResult(server)}) {
    }
    if (!sent || !ending || !succeeded(ending.get())) {
        return failWith("", ending.get());
    }
    return true;
}

bool PostgresStore::writeHistory(const StoreNotes& notes)
{
    ArrayParameter commandIndexes(INT8);
    ArrayParameter times(TEXT);
    ArrayParameter commands(BYTEA);
    ArrayParameter ids(BYTEA);
    ArrayParameter befores(INT8);
    ArrayParameter afters(INT8);
    for (std::size_t c = 0; c < notes.commands.size(); ++c) {
        const StoreNotes::Command& command = notes.commands[c];
        const std::string time = historyTime(command.time);
        const auto entry = [&] {
            commandIndexes.add(static_cast<std::int64_t>(c + 1));
            times.add(time);
            commands.add(command.echo);
        };
        if (command.kind != StoreNotes::Kind::Products) {
            entry();
            ids.addNull();
            befores.addNull();
            if (command.kind == StoreNotes::Kind::Emptied) {
                afters.add(std::int64_t{0});
            } else {
                afters.addNull();
            }
            continue;
        }
        const auto [first, end] = notes.changesOf(c);
        for (std::size_t i = first; i < end; ++i) {
            entry();
            ids.add(notes.changes[i].id);
            befores.add(static_cast<std::int64_t>(notes.changes[i].before));
            afters.add(static_cast<std::int64_t>(notes.changes[i].after));
        }
    }
    if (commandIndexes.size() == 0) {
        return true;
    }
    // Numbers for the commands are taken from the sequence all at once; the
    // entries get theirs in the order the commands ran.
    std::string commandCount;
    appendBigEndian64(commandCount, notes.commands.size());
    Result newest = execute(
        "WITH numbers AS (SELECT setval('history_command', "
        "nextval('history_command') + $8 - 1) - $8 AS base), "
        "written AS (INSERT INTO history (command_no, changed_at, clerk, "
        "command, id, amount_before, amount_after) "
        "SELECT numbers.base + u.command, u.changed_at, $7, u.echo, u.id, "
        "u.before, u.after FROM numbers, unnest($1::int8[], $2::text[], "
        "$3::bytea[], $4::bytea[], $5::int8[], $6::int8[]) WITH ORDINALITY "
        "AS u(command, changed_at, echo, id, before, after, n) ORDER BY u.n "
        "RETURNING seq) SELECT max(seq) FROM written",
        {INT8_ARRAY, TEXT_ARRAY, BYTEA_ARRAY, BYTEA_ARRAY, INT8_ARRAY,
         INT8_ARRAY, TEXT, INT8},
        {&commandIndexes.bytes(), &times.bytes(), &commands.bytes(),
         &ids.bytes(), &befores.bytes(), &afters.bytes(), &clerk,
         &commandCount});
    if (!newest) {
        return false;
    }
    newestWritten = int8Field(newest.get(), 0, 0);
    return true;
}

bool PostgresStore::commit()
{
    if (!execute("COMMIT")) {
        return false;
    }
    lastSeen = std::max(lastSeen, newestWritten);
    newestWritten = 0;
    return true;
}

void PostgresStore::rollback()
{
    newestWritten = 0;
    if (PQtransactionStatus(connection.get()) != PQTRANS_IDLE) {
        Result{PQexec(connection.get(), "ROLLBACK")};
    }
}

bool PostgresStore::readHistory(const std::string* id, std::size_t count,
                                std::vector<HistoryEntry>& entries)
{
    const char* const COLUMNS =
        "seq, command_no, changed_at, clerk, command, id, amount_after";
    const auto take = [&entries](const PGresult* result, int row) {
        HistoryEntry entry;
        entry.commandNo = int8Field(result, row, 1);
        entry.time.assign(field(result, row, 2));
        entry.clerk = optionalField(result, row, 3);
        entry.command = optionalField(result, row, 4);
        entry.id = optionalField(result, row, 5);
        if (!PQgetisnull(result, row, 6)) {
            entry.after =
                static_cast<std::uint32_t>(int8Field(result, row, 6));
        }
        entries.push_back(std::move(entry));
    };
    if (id != nullptr) {
        const std::string sql =
            std::string("SELECT ") + COLUMNS +
            " FROM history WHERE id = $1 UNION ALL SELECT " + COLUMNS +
            " FROM history WHERE id IS NULL AND seq > (SELECT min(seq) FROM "
            "history WHERE id = $1) ORDER BY 1";
        const Result rows = execute(sql.c_str(), {BYTEA}, {id});
        for (int row = 0; rows && row < PQntuples(rows.get()); ++row) {
            take(rows.get(), row);
        }
        return rows != nullptr;
    }
    // The newest entries, a batch at a time, back to the start of the
    // count-th newest command: a command of many products has an entry for
    // each.
    const std::string declare = std::string("DECLARE newest CURSOR FOR SELECT ") +
                                COLUMNS + " FROM history ORDER BY seq DESC";
    if (!execute(declare.c_str())) {
        return false;
    }
    std::size_t commands = 0;
    for (bool more = true; more;) {
        const Result batch = execute("FETCH 1000 FROM newest", {}, {});
        if (!batch) {
            return false;
        }
        const int rows = PQntuples(batch.get());
        more = rows > 0;
        for (int row = 0; row < rows && more; ++row) {
            const std::int64_t commandNo = int8Field(batch.get(), row, 1);
            if (entries.empty() || entries.back().commandNo != commandNo) {
                more = commands++ < count;
            }
            if (more) {
                take(batch.get(), row);
            }
        }
    }
    std::reverse(entries.begin(), entries.end());
    return execute("CLOSE newest") != nullptr;
}

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& uri,
                                         Datastructure& table,
                                         const Store::Options& options,
                                         std::string& error)
{
    auto store = std::make_unique<PostgresStore>(table, options);
    if (!store->start(uri)) {
        error = store->error();
        return nullptr;
    }
    return store;
}
