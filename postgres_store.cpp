#include "postgres_store.hh"

#include "postgres_history.hh"

#include <algorithm>
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

const char* const DAMAGED_ROW =
    "damaged: a row of the stock holds an amount that is not a whole number "
    "from 1 to 4294967295";

// SQLSTATEs the store tells apart.
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
}  // namespace

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
    if (reached && succeeded(results[1].get()) && succeeded(results[2].get())) {
        caughtUp = std::move(results[2]);
        return true;
    }
    const PGresult* failed = results.size() > 1 && !succeeded(results[1].get())
                                 ? results[1].get()
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
    const std::string echoes =
        pending.echoes + (pending.commands > 0 ? "]" : "");
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
    const bool upserted = ids.size() == 0 ||
                          session.send(UPSERT, {{BYTEA_ARRAY, &ids.bytes()},
                                                {INT8_ARRAY, &amounts.bytes()},
                                                {BYTEA_ARRAY, &shelves.bytes()},
                                                {BYTEA_ARRAY, &names.bytes()}});
    return upserted &&
           (gone.size() == 0 ||
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
    std::string error;
    return ::readHistory(session, id, count, entries, error) || fail(error);
}
