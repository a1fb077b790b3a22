// The steps of a PostgreSQL store's transactions: the lock, the catch-up, the
// commit.
#include "store/postgres/postgres_store.hh"

#include "store/postgres/postgres_history.hh"

#include <algorithm>
#include <chrono>
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
// stock, or holds rows of it locked (FOR UPDATE), so that the run's writes
// never wait for another's and no deadlock can form; and those that were
// writing have finished. It does not stop anyone from reading.
const char* const LOCK = "LOCK TABLE stock IN EXCLUSIVE MODE";

// The transaction's id, taken at its start, so that its fate can be asked
// of the server should the connection go while it commits.
const char* const XID = "SELECT pg_current_xact_id()::text";

// The wait past the limit after which a silent server is given up on.
constexpr auto GRACE = std::chrono::seconds(5);

// How many times a transaction that another program's deadlock or
// serialization failure ended is tried again.
constexpr int TRIES = 3;

const char* const STOPPED_WAITING =
    "stopped by Ctrl-C while it waited for the store";

/// True for a failure that another program's transactions cause and that
/// a transaction tried again may well not meet: a deadlock, a
/// serialization failure.
bool worthRetrying(const PGresult* result)
{
    return stateIs(result, "40P01") || stateIs(result, "40001");
}

const char* const COPY_STOCK =
    "COPY stock (id, amount, shelf, name) TO STDOUT (FORMAT binary)";

const char* const DAMAGED_ROW =
    "damaged: a row of the stock holds an amount that is not a whole number "
    "from 1 to 4294967295";

}  // namespace

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

Patience PostgresStore::patience(WaitNotice* notice, bool stoppable,
                                 std::size_t rows) const
{
    Patience waiting;
    waiting.notice = notice;
    // A row to write costs the server some 20 microseconds at most.
    waiting.deadline = Patience::Clock::now() + options.wait + GRACE +
                       std::chrono::microseconds(20 * rows);
    if (stoppable && interactive()) {
        waiting.stop = [this] { return stopRequested(); };
    }
    return waiting;
}

std::string PostgresStore::knownLogin() const
{
    const char* user =
        session.get() != nullptr ? pq::PQuser(session.get()) : nullptr;
    return user != nullptr ? user : login;
}

bool PostgresStore::lock(Access wanted)
{
    access = wanted;
    caughtUp.reset();
    if (!resolveInFlight()) {
        return false;
    }
    if (session.lost() && (!interactive() || !reconnect())) {
        return interactive() ? refuse("the store cannot be reached")
                             : failWith("");
    }
    if (wanted == Access::History) {
        return true;  // the history is read as it is
    }
    if (wanted == Access::Reads) {
        caughtUp = sendCatchUp() ? session.finish(patience(nullptr, true))
                                 : Result(nullptr);
        if (caughtUp && succeeded(caughtUp.get())) {
            return true;
        }
        if (session.lost()) {
            return lostConnection();
        }
        const bool stopped = stateIs(caughtUp.get(), "57014");
        stopped ? refuse(STOPPED_WAITING) : failWith("", caughtUp.get());
        session.settle();
        return false;
    }
    // The transaction, the lock and the catch-up go together: one exchange.
    WaitNotice notice("Waiting for the store");
    backend = session.backend();
    for (int tries = 1;; ++tries) {
        std::vector<Result> results;
        const bool reached =
            session.enterPipeline() && session.send("BEGIN") &&
            session.send(LOCK) && sendCatchUp() && session.send(XID) &&
            session.runPipeline(results, patience(&notice, true));
        if (reached && succeeded(results[1].get()) &&
            succeeded(results[2].get()) && succeeded(results[3].get())) {
            caughtUp = std::move(results[2]);
            transactionXid.assign(field(results[3].get(), 0, 0));
            return true;
        }
        if (session.lost()) {
            return lostConnection();
        }
        const PGresult* failed = nullptr;
        for (const Result& result : results) {
            if (failed == nullptr && !succeeded(result.get())) {
                failed = result.get();
            }
        }
        session.settle();
        if (worthRetrying(failed) && tries < TRIES) {
            continue;
        }
        if (stateIs(failed, LOCK_NOT_AVAILABLE)) {
            return failLocked();
        }
        if (stateIs(failed, "57014")) {
            return refuse(STOPPED_WAITING);
        }
        return worthRetrying(failed) ? refuse(session.why(failed))
                                     : failWith("", failed);
    }
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

void PostgresStore::rollback()
{
    rounds.clear();
    sentIds.clear();
    sentWhole = false;
    caughtUp.reset();
    session.settle();
}

bool PostgresStore::readHistory(const HistoryRequest& request,
                                std::vector<HistoryEntry>& entries)
{
    // The history of this transaction's commands is written first.
    if (access == Access::Changes && !rounds.empty() && !runWrites(false)) {
        return afterFailedWrites();
    }
    std::string error;
    if (::readHistory(session, request, entries, error)) {
        return true;
    }
    return session.lost() && interactive() ? lostConnection() : fail(error);
}
