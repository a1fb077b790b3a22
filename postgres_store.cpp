#include "postgres_store.hh"

#include "postgres_schema.hh"
#include "postgres_session.hh"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// What the run learns of what others committed, in one statement, so that
// the view it reads is one moment's: the server's snapshot of that moment,
// as the first row, then each product that a transaction the last snapshot
// did not see, and the run did not make itself, changed, with what the
// stock holds of it now; a product of null means that such a transaction
// changed too many products to list, and the stock must be read whole. The
// transactions are told by the ids the server gave them, which nobody can
// choose, and by nothing a client writes.
const char* const CATCH_UP =
    "SELECT pg_current_snapshot()::text::bytea, NULL::bigint, NULL::bytea, "
    "NULL::bytea, true "
    "UNION ALL SELECT c.id, s.amount, s.shelf, s.name, false FROM ("
    "SELECT DISTINCT id FROM history "
    "WHERE xid >= pg_snapshot_xmin($1::text::pg_snapshot) "
    "AND NOT pg_visible_in_snapshot(xid, $1::text::pg_snapshot) "
    "AND xid <> ALL($2::text::xid8[])) c LEFT JOIN stock s ON s.id = c.id";

// While the runs of this program hold it, no other program writes the
// stock either, and those that were writing have finished; it does not
// stop anyone from reading.
const char* const LOCK = "LOCK TABLE stock IN SHARE ROW EXCLUSIVE MODE";

// What a run tells the history of the commands it writes (see the
// triggers).
const char* const TELL_COMMANDS =
    "SELECT set_config('warehouse.commands', $1, true), "
    "set_config('warehouse.claimed_commands', $2, true), "
    "set_config('warehouse.claimed_ids', $3, true), "
    "set_config('warehouse.claimed_befores', $4, true), "
    "set_config('warehouse.claimed_afters', $5, true), "
    "set_config('warehouse.rest', $6, true), "
    "set_config('warehouse.flush', $7, true)";

const char* const UPSERT =
    "INSERT INTO stock (id, amount, shelf, name) "
    "SELECT * FROM unnest($1::bytea[], $2::int8[], $3::bytea[], $4::bytea[]) "
    "ON CONFLICT (id) DO UPDATE SET amount = excluded.amount, "
    "shelf = excluded.shelf, name = excluded.name";
const char* const DELETE_GONE = "DELETE FROM stock WHERE id = ANY($1::bytea[])";

// The stock written whole: sent into a table of the run's own, and only
// what differs written to the stock, so that the history lists what
// changed.
const char* const INCOMING =
    "CREATE TEMPORARY TABLE IF NOT EXISTS incoming_stock (id bytea, "
    "amount bigint, shelf bytea, name bytea) ON COMMIT DELETE ROWS";
const char* const COPY_INCOMING =
    "COPY incoming_stock (id, amount, shelf, name) FROM STDIN (FORMAT binary)";
const char* const ROOM_TO_COMPARE = "SET LOCAL work_mem = '256MB'";
const char* const DELETE_MISSING =
    "DELETE FROM stock s WHERE NOT EXISTS "
    "(SELECT FROM incoming_stock i WHERE i.id = s.id)";
const char* const UPSERT_DIFFERENT =
    "INSERT INTO stock (id, amount, shelf, name) "
    "SELECT id, amount, shelf, name FROM incoming_stock "
    "ON CONFLICT (id) DO UPDATE SET amount = excluded.amount, "
    "shelf = excluded.shelf, name = excluded.name "
    "WHERE (stock.amount, stock.shelf, stock.name) IS DISTINCT FROM "
    "(excluded.amount, excluded.shelf, excluded.name)";
const char* const EMPTY_STOCK = "DELETE FROM stock";

// The transaction's own id, once it has written, so that the run's next
// catch-up passes over what the run made itself.
const char* const OWN_XID = "SELECT pg_current_xact_id_if_assigned()::text";

const char* const COPY_STOCK =
    "COPY stock (id, amount, shelf, name) TO STDOUT (FORMAT binary)";

const char* const HISTORY_COLUMNS =
    "seq, command_no, to_char(changed_at AT TIME ZONE 'UTC', "
    "'YYYY-MM-DD HH24:MI:SS.MS'), clerk, named_clerk, command, id, "
    "amount_after";

// A read of the newest entries takes this many at a time.
constexpr int HISTORY_BATCH = 1000;

const char* const DAMAGED_ROW =
    "damaged: a row of the stock holds an amount that is not a whole number "
    "from 1 to 4294967295";

// SQLSTATEs the store tells apart.
constexpr const char* LOCK_NOT_AVAILABLE = "55P03";
constexpr const char* INSUFFICIENT_PRIVILEGE = "42501";

bool stateIs(const PGresult* result, const char* state)
{
    const char* found =
        result != nullptr ? pq::PQresultErrorField(result, PG_DIAG_SQLSTATE)
                          : nullptr;
    return found != nullptr && std::strcmp(found, state) == 0;
}

/// An entry of the history from a row of HISTORY_COLUMNS.
HistoryEntry entryOf(const PGresult* rows, int row)
{
    HistoryEntry entry;
    entry.commandNo = int8Field(rows, row, 1);
    entry.time.assign(field(rows, row, 2));
    entry.clerk = optionalField(rows, row, 3);
    entry.namedClerk = optionalField(rows, row, 4);
    entry.command = optionalField(rows, row, 5);
    entry.id = optionalField(rows, row, 6);
    if (!pq::PQgetisnull(rows, row, 7)) {
        entry.after = static_cast<std::uint32_t>(int8Field(rows, row, 7));
    }
    return entry;
}

/// bytes in hexadecimal, as the history's settings take them.
void appendHex(std::string& to, std::string_view bytes)
{
    constexpr char DIGITS[] = "0123456789abcdef";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        to += DIGITS[byte >> 4];
        to += DIGITS[byte & 15];
    }
}

/// The start: what shape the store has, its version, what the login may do,
/// and the stock, in one read-only transaction: one exchange.
std::string startStatements()
{
    const std::string shape = postgres_schema::SHAPE_FOUND;
    return "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY; " + shape +
           "; SELECT (SELECT max(version) FROM store_version), "
           "has_table_privilege('stock', 'INSERT') AND "
           "has_table_privilege('stock', 'UPDATE') AND "
           "has_table_privilege('stock', 'DELETE'), "
           "pg_current_snapshot(), " +
           (Progress::showing() ? "(SELECT count(*) FROM stock)" : "0") +
           ", pg_has_role((SELECT relowner FROM pg_class WHERE oid = "
           "'stock'::regclass), 'USAGE'), "
           "(SELECT count(*) = 2 FROM pg_roles WHERE rolname IN "
           "('warehouse_reader', 'warehouse_clerk')), "
           "CASE WHEN (SELECT count(*) = 2 FROM pg_roles WHERE rolname IN "
           "('warehouse_reader', 'warehouse_clerk')) THEN NOT ("
           "has_table_privilege('warehouse_reader', 'history', 'SELECT') AND "
           "has_table_privilege('warehouse_clerk', 'stock', 'UPDATE')) "
           "ELSE false END; "
           "COPY (SELECT id, amount, shelf, name FROM stock WHERE (" +
           shape + ") = '" + postgres_schema::SHAPE_3 +
           "') TO STDOUT (FORMAT binary); COMMIT";
}

class PostgresStore final : public Store {
public:
    PostgresStore(Datastructure& table, const StoreOptions& options)
        : Store(table, options)
    {
    }

    /// Connects, makes the store's tables when the database has none,
    /// checks their shape, and loads the stock. False, with the reason in
    /// error(), when the database cannot be used.
    bool start(const std::string& uri);

private:
    /// What the open transaction's commands changed and has not sent: the
    /// commands as echoed, the changes each claims, the products to write.
    struct Pending {
        std::size_t commands = 0;
        std::string echoes;           // JSON array of hexadecimal bytes
        std::string claimedCommands;  // array bodies, in step
        std::string claimedIds;
        std::string claimedBefores;
        std::string claimedAfters;
        std::string rest;             // the command not listed, or empty
        std::vector<std::string> ids;  // to write, repeats and all
        bool everything = false;       // write the stock whole instead

        void claim(std::size_t command, const StockChange& change);
    };

    bool lock(Access access) override;
    bool catchUp() override;
    bool write(const CommandNotes& notes,
               const std::vector<StockChange>& changes) override;
    bool commit() override;
    void rollback() override;
    bool readHistory(const std::string* id, std::size_t count,
                     std::vector<HistoryEntry>& entries) override;

    bool loadAtStart(bool& again);
    bool makeStore();
    bool upgradeStore();
    bool grantRoles();
    bool loadRows();
    bool reload(std::string& seen);
    bool sendCatchUp();
    bool sendTellCommands();
    bool sendChanges();
    bool sendEverything();
    bool runWrites(bool committing);
    bool readNewest(std::size_t count, std::vector<HistoryEntry>& entries);

    /// Fails with what went wrong: the server's words, or libpq's.
    bool failWith(std::string_view what, const PGresult* result = nullptr);
    /// Runs statements to their end; null, with the failure noted, unless
    /// all went well.
    Result execute(const char* sql);

    PostgresSession session;
    std::string seen;                  // the snapshot the table is up to
    std::vector<std::string> ownXids;  // the run's commits since
    Result caughtUp;                   // what lock() read for catchUp()
    Access access = Access::Reads;     // of the open transaction
    Pending pending;
    std::uint64_t flushes = 0;         // sends of commands to the history
};

void PostgresStore::Pending::claim(std::size_t command,
                                   const StockChange& change)
{
    const bool first = claimedIds.empty();
    claimedCommands += (first ? "" : ",") + std::to_string(command);
    claimedIds += first ? "\"" : ",\"";
    appendHex(claimedIds, change.id);
    claimedIds += '"';
    claimedBefores += (first ? "" : ",") + std::to_string(change.before);
    claimedAfters += (first ? "" : ",") + std::to_string(change.after);
}

bool PostgresStore::failWith(std::string_view what, const PGresult* result)
{
    return fail(std::string(what) + session.why(result));
}

Result PostgresStore::execute(const char* sql)
{
    Result result =
        session.sendStatements(sql) ? session.finish() : Result(nullptr);
    if (!result || !succeeded(result.get())) {
        failWith("", result.get());
        session.settle();
        return nullptr;
    }
    return result;
}

bool PostgresStore::start(const std::string& uri)
{
    // A commit is durable on the server before the run shows it; a lock is
    // waited for as long as the run may wait; the name a clerk gave goes
    // into the history beside the login.
    const auto milliseconds = options.wait.count();
    std::string settings =
        "-c synchronous_commit=on -c client_min_messages=warning "
        "-c lock_timeout=" +
        std::to_string(milliseconds > 0 ? milliseconds : 1);
    if (!options.clerk.empty()) {
        settings += " -c warehouse.clerk=";
        for (const char c : options.clerk) {
            if (c == ' ' || c == '\\') {
                settings += '\\';
            }
            settings += c;
        }
    }
    std::string error;
    if (!session.connect(uri, settings, error)) {
        return fail(error);
    }
    // A store made or brought up to date is read again.
    for (int tries = 0; tries < 3; ++tries) {
        bool again = false;
        if (!loadAtStart(again)) {
            return false;
        }
        if (!again) {
            watchTable();
            return true;
        }
    }
    return fail("the store keeps changing its shape");
}

bool PostgresStore::loadAtStart(bool& again)
{
    const std::string sql = startStatements();
    if (!session.sendStatements(sql.c_str())) {
        return failWith("");
    }
    const Result begun = session.next();
    const Result shapeRow = session.next();
    const Result facts = session.next();
    if (!begun || !succeeded(begun.get()) || !shapeRow ||
        !succeeded(shapeRow.get()) || !facts) {
        const PGresult* failed = !begun ? nullptr
                                 : !succeeded(begun.get()) ? begun.get()
                                                           : shapeRow.get();
        failWith("", failed);
        session.settle();
        return false;
    }
    const std::string shape = pq::PQgetvalue(shapeRow.get(), 0, 0);
    const bool known = succeeded(facts.get());
    if (known) {
        const Result copying = session.next();
        if (!copying || pq::PQresultStatus(copying.get()) != PGRES_COPY_OUT) {
            failWith("", copying.get());
            session.settle();
            return false;
        }
        if (!loadRows()) {
            session.settle();
            return false;
        }
    }
    session.settle();
    if (shape.empty()) {
        again = true;
        return makeStore();
    }
    const int version = known && !pq::PQgetisnull(facts.get(), 0, 0)
                            ? std::atoi(pq::PQgetvalue(facts.get(), 0, 0))
                            : 0;
    if (version > postgres_schema::VERSION) {
        return fail("a store of a newer version of this program");
    }
    if (shape == postgres_schema::SHAPE_2 && version == 2) {
        again = true;
        return upgradeStore();
    }
    if (shape != postgres_schema::SHAPE_3) {
        return fail("its tables stock, history or store_version have "
                    "another shape: not a store");
    }
    if (version != postgres_schema::VERSION) {
        return fail("not a store");
    }
    const auto flag = [&](int column) {
        return std::strcmp(pq::PQgetvalue(facts.get(), 0, column), "t") == 0;
    };
    writable = flag(1);
    seen = pq::PQgetvalue(facts.get(), 0, 2);
    const bool owner = flag(4);
    const bool rolesReady = flag(5) && !flag(6);
    return !owner || rolesReady || grantRoles();
}

bool PostgresStore::makeStore()
{
    const std::string sql = postgres_schema::creation();
    if (!session.sendStatements(sql.c_str())) {
        return failWith("");
    }
    const Result made = session.finish();
    if (made && succeeded(made.get())) {
        madeAnew = true;
        return true;
    }
    session.settle();
    if (stateIs(made.get(), INSUFFICIENT_PRIVILEGE)) {
        return fail("there is no store in this database yet, and this login "
                    "may not make one: the store's owner makes it with a "
                    "first run");
    }
    return failWith("cannot make the store: ", made.get());
}

bool PostgresStore::upgradeStore()
{
    const std::string sql = postgres_schema::upgradeFrom2();
    if (!session.sendStatements(sql.c_str())) {
        return failWith("");
    }
    const Result upgraded = session.finish();
    if (upgraded && succeeded(upgraded.get())) {
        return true;
    }
    session.settle();
    if (stateIs(upgraded.get(), INSUFFICIENT_PRIVILEGE)) {
        return fail("a store of an older version of this program: its "
                    "owner's next run brings it up to date");
    }
    return failWith("cannot bring the store up to date: ", upgraded.get());
}

bool PostgresStore::grantRoles()
{
    const Result ready = execute(postgres_schema::ROLES);
    if (!ready) {
        return false;
    }
    if (std::strcmp(pq::PQgetvalue(ready.get(), 0, 0), "t") != 0) {
        startNotices.push_back(
            "the store's roles warehouse_clerk and warehouse_reader are "
            "missing, and this login may not make them; an administrator "
            "makes them with:");
        startNotices.push_back(postgres_schema::ROLES_FOR_AN_ADMINISTRATOR);
        startNotices.push_back(
            "and the next run of the store's owner grants them the store.");
    }
    return true;
}

bool PostgresStore::loadRows()
{
    std::uint64_t total = 0;
    Progress progress("Loading the store", total);
    CopyRows rows(session.get());
    std::vector<std::string_view> fields;
    std::vector<bool> null;
    std::string id;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    std::uint64_t loaded = 0;
    bool fits = true;
    bool room = true;
    while (rows.next(fields, null)) {
        fits = fits && fields.size() == 4 && readAmount(fields[1], amount);
        if (!fits || !room) {
            continue;  // read to the end, to keep the connection usable
        }
        try {
            id.assign(fields[0]);
            shelf.assign(fields[2]);
            name.assign(fields[3]);
            table.add(id, shelf, amount, name);
        } catch (const std::bad_alloc&) {
            room = false;
        }
        progress.at(++loaded);
    }
    const Result ending = session.next();
    if (rows.failed() || !ending || !succeeded(ending.get())) {
        return failWith("", ending.get());
    }
    if (!room) {
        return failTooLarge();
    }
    return fits || fail(DAMAGED_ROW);
}

bool PostgresStore::sendCatchUp()
{
    std::string xids = "{";
    for (const std::string& xid : ownXids) {
        xids += (xids.size() > 1 ? "," : "") + xid;
    }
    xids += '}';
    return session.send(CATCH_UP, {{TEXT, &seen, false}, {TEXT, &xids, false}});
}

bool PostgresStore::lock(Access wanted)
{
    access = wanted;
    caughtUp.reset();
    if (wanted == Access::History) {
        return true;  // the history is read as it is
    }
    if (wanted == Access::Reads) {
        if (!sendCatchUp()) {
            return failWith("");
        }
        caughtUp = session.finish();
        if (!caughtUp || !succeeded(caughtUp.get())) {
            failWith("", caughtUp.get());
            session.settle();
            return false;
        }
        return true;
    }
    // The transaction, the lock and the catch-up go together: one exchange.
    WaitNotice notice("Waiting for the store");
    std::vector<Result> results;
    const bool reached = session.enterPipeline() && session.send("BEGIN") &&
                         session.send(LOCK) && sendCatchUp() &&
                         session.runPipeline(results, &notice);
    if (reached && succeeded(results[1].get()) &&
        succeeded(results[2].get())) {
        caughtUp = std::move(results[2]);
        return true;
    }
    const PGresult* failed =
        results.size() > 1 && !succeeded(results[1].get()) ? results[1].get()
        : results.size() > 2 ? results[2].get()
                             : nullptr;
    stateIs(failed, LOCK_NOT_AVAILABLE) ? failLocked() : failWith("", failed);
    session.settle();
    return false;
}

bool PostgresStore::catchUp()
{
    if (access == Access::History) {
        return true;
    }
    const Result rows = std::move(caughtUp);
    const int count = pq::PQntuples(rows.get());
    std::string now;
    bool everything = false;
    for (int row = 0; row < count; ++row) {
        if (pq::PQgetvalue(rows.get(), row, 4)[0] != 0) {
            now.assign(field(rows.get(), row, 0));
        } else if (pq::PQgetisnull(rows.get(), row, 0)) {
            everything = true;
        }
    }
    if (everything) {
        if (!reload(now)) {
            return false;
        }
    } else {
        std::string id;
        std::string shelf;
        std::string name;
        std::uint32_t amount = 0;
        for (int row = 0; row < count; ++row) {
            if (pq::PQgetvalue(rows.get(), row, 4)[0] != 0) {
                continue;
            }
            id.assign(field(rows.get(), row, 0));
            if (pq::PQgetisnull(rows.get(), row, 1)) {
                table.put(id, {}, 0, {});  // gone from the store
                continue;
            }
            if (!readAmount(field(rows.get(), row, 1), amount)) {
                return fail(DAMAGED_ROW);
            }
            shelf.assign(field(rows.get(), row, 2));
            name.assign(field(rows.get(), row, 3));
            table.put(id, shelf, amount, name);
        }
    }
    seen = now;
    ownXids.clear();
    return true;
}

bool PostgresStore::reload(std::string& now)
{
    table.empty();
    // Under the lock nothing changes the stock; without it, the stock is
    // read in the same view as the snapshot it is then up to.
    const bool locked = access == Access::Changes;
    const std::string sql =
        locked ? std::string(COPY_STOCK)
               : std::string("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY; "
                             "SELECT pg_current_snapshot(); ") +
                     COPY_STOCK + "; COMMIT";
    if (!session.sendStatements(sql.c_str())) {
        return failWith("");
    }
    if (!locked) {
        const Result begun = session.next();
        const Result snapshot = session.next();
        if (!snapshot || !succeeded(snapshot.get())) {
            failWith("", snapshot.get());
            session.settle();
            return false;
        }
        now = pq::PQgetvalue(snapshot.get(), 0, 0);
    }
    const Result copying = session.next();
    if (!copying || pq::PQresultStatus(copying.get()) != PGRES_COPY_OUT) {
        failWith("", copying.get());
        session.settle();
        return false;
    }
    const bool loaded = loadRows();
    session.finish();  // the COMMIT, if any
    return loaded;
}

bool PostgresStore::write(const CommandNotes& notes,
                          const std::vector<StockChange>& changes)
{
    const std::size_t command = pending.commands++;
    pending.echoes += command == 0 ? "[\"" : ",\"";
    appendHex(pending.echoes, notes.echo);
    pending.echoes += '"';
    if (notes.kind != CommandNotes::Kind::Products) {
        pending.everything = true;
        pending.rest = std::to_string(command);
        return true;
    }
    const bool listed = changes.size() <= MOST_ENTRIES;
    if (!listed) {
        pending.rest = std::to_string(command);
    }
    for (const StockChange& change : changes) {
        if (listed) {
            pending.claim(command, change);
        }
        pending.ids.push_back(change.id);
    }
    return true;
}

bool PostgresStore::sendTellCommands()
{
    const std::string echoes = pending.echoes + (pending.commands > 0 ? "]" : "");
    const std::string commands = "{" + pending.claimedCommands + "}";
    const std::string ids = "{" + pending.claimedIds + "}";
    const std::string befores = "{" + pending.claimedBefores + "}";
    const std::string afters = "{" + pending.claimedAfters + "}";
    const std::string flush = std::to_string(++flushes);
    return session.send(TELL_COMMANDS, {{TEXT, &echoes, false},
                                        {TEXT, &commands, false},
                                        {TEXT, &ids, false},
                                        {TEXT, &befores, false},
                                        {TEXT, &afters, false},
                                        {TEXT, &pending.rest, false},
                                        {TEXT, &flush, false}});
}

bool PostgresStore::sendChanges()
{
    std::sort(pending.ids.begin(), pending.ids.end());
    pending.ids.erase(std::unique(pending.ids.begin(), pending.ids.end()),
                      pending.ids.end());
    ArrayParameter ids(BYTEA);
    ArrayParameter amounts(INT8);
    ArrayParameter shelves(BYTEA);
    ArrayParameter names(BYTEA);
    ArrayParameter gone(BYTEA);
    for (const std::string& id : pending.ids) {
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
    }
    const bool upserted =
        ids.size() == 0 ||
        session.send(UPSERT, {{BYTEA_ARRAY, &ids.bytes()},
                              {INT8_ARRAY, &amounts.bytes()},
                              {BYTEA_ARRAY, &shelves.bytes()},
                              {BYTEA_ARRAY, &names.bytes()}});
    return upserted && (gone.size() == 0 ||
                        session.send(DELETE_GONE, {{BYTEA_ARRAY, &gone.bytes()}}));
}

bool PostgresStore::sendEverything()
{
    if (table.count() == 0) {
        return session.send(EMPTY_STOCK);
    }
    // The stock goes into the run's own table first, outside the pipeline:
    // a copy cannot be part of one.
    std::vector<Result> results;
    if (!session.enterPipeline() || !sendTellCommands() ||
        !session.send(INCOMING) || !session.send(ROOM_TO_COMPARE) ||
        !session.runPipeline(results)) {
        return failWith("");
    }
    for (const Result& result : results) {
        if (!succeeded(result.get())) {
            return failWith("", result.get());
        }
    }
    if (!session.sendStatements(COPY_INCOMING)) {
        return failWith("");
    }
    const Result copying = session.next();
    if (!copying || pq::PQresultStatus(copying.get()) != PGRES_COPY_IN) {
        return failWith("", copying.get());
    }
    CopyProducts products(session.get());
    bool inOrder = false;
    const bool sent = writeEveryProduct(
        [&products](const std::string& id, const std::string& shelf,
                    std::uint32_t amount, const std::string& name) {
            return products.add(id, shelf, amount, name);
        },
        inOrder);
    products.finish(sent);
    const Result copied = session.finish();
    if (!copied || !succeeded(copied.get())) {
        return failWith("", copied.get());
    }
    return session.enterPipeline() && session.send(DELETE_MISSING) &&
           session.send(UPSERT_DIFFERENT);
}

bool PostgresStore::runWrites(bool committing)
{
    // The commands told, the products written, and the commit: one
    // exchange, and the stock's copy before it when it goes whole.
    const bool whole = pending.everything && table.count() > 0;
    if (whole) {
        if (!sendEverything()) {
            return false;
        }
    } else if (!session.enterPipeline() ||
               (pending.commands > 0 && !sendTellCommands()) ||
               !(pending.everything ? session.send(EMPTY_STOCK)
                                    : sendChanges())) {
        return failWith("");
    }
    if (committing && (!session.send(OWN_XID) || !session.send("COMMIT"))) {
        return failWith("");
    }
    std::vector<Result> results;
    if (!session.runPipeline(results)) {
        return failWith("", results.empty() ? nullptr : results.back().get());
    }
    for (const Result& result : results) {
        if (!succeeded(result.get())) {
            return failWith("", result.get());
        }
    }
    if (committing) {
        const PGresult* xid = results[results.size() - 2].get();
        if (!pq::PQgetisnull(xid, 0, 0)) {
            ownXids.emplace_back(field(xid, 0, 0));
        }
    }
    pending = Pending();
    return true;
}

bool PostgresStore::commit()
{
    if (access != Access::Changes) {
        return true;  // reads hold nothing open
    }
    return runWrites(true);
}

void PostgresStore::rollback()
{
    pending = Pending();
    caughtUp.reset();
    session.settle();
}

bool PostgresStore::readHistory(const std::string* id, std::size_t count,
                                std::vector<HistoryEntry>& entries)
{
    // The history of this transaction's commands is written first.
    if (access == Access::Changes && pending.commands > 0 &&
        !runWrites(false)) {
        return false;
    }
    if (id == nullptr) {
        return readNewest(count, entries);
    }
    const std::string sql =
        std::string("SELECT ") + HISTORY_COLUMNS +
        " FROM history WHERE id = $1 UNION ALL SELECT " + HISTORY_COLUMNS +
        " FROM history WHERE id IS NULL AND command_no > (SELECT "
        "min(command_no) FROM history WHERE id = $1) ORDER BY 2, 1";
    if (!session.send(sql.c_str(), {{BYTEA, id}})) {
        return failWith("");
    }
    const Result rows = session.finish();
    if (!rows || !succeeded(rows.get())) {
        return failWith("", rows.get());
    }
    for (int row = 0; row < pq::PQntuples(rows.get()); ++row) {
        entries.push_back(entryOf(rows.get(), row));
    }
    return true;
}

bool PostgresStore::readNewest(std::size_t count,
                               std::vector<HistoryEntry>& entries)
{
    // The newest entries by command, a batch at a time, back to the start
    // of the count-th newest command: a command of many products has an
    // entry for each.
    const std::string sql =
        std::string("SELECT ") + HISTORY_COLUMNS +
        " FROM history WHERE (command_no, seq) < ($1::text::bigint, "
        "$2::text::bigint) ORDER BY command_no DESC, seq DESC LIMIT " +
        std::to_string(HISTORY_BATCH);
    std::string beforeCommand = "9223372036854775807";
    std::string beforeSeq = beforeCommand;
    std::size_t commands = 0;
    for (bool more = true; more;) {
        if (!session.send(sql.c_str(), {{TEXT, &beforeCommand, false},
                                        {TEXT, &beforeSeq, false}})) {
            return failWith("");
        }
        const Result batch = session.finish();
        if (!batch || !succeeded(batch.get())) {
            return failWith("", batch.get());
        }
        const int rows = pq::PQntuples(batch.get());
        more = rows == HISTORY_BATCH;
        for (int row = 0; row < rows; ++row) {
            const std::int64_t commandNo = int8Field(batch.get(), row, 1);
            if ((entries.empty() || entries.back().commandNo != commandNo) &&
                commands++ == count) {
                more = false;
                break;
            }
            entries.push_back(entryOf(batch.get(), row));
            beforeCommand = std::to_string(commandNo);
            beforeSeq = std::to_string(int8Field(batch.get(), row, 0));
        }
    }
    std::reverse(entries.begin(), entries.end());
    return true;
}

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& uri,
                                         Datastructure& table,
                                         const StoreOptions& options,
                                         std::string& error)
{
    auto store = std::make_unique<PostgresStore>(table, options);
    if (!store->start(uri)) {
        error = store->error();
        return nullptr;
    }
    return store;
}
