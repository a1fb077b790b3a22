// What a PostgreSQL store writes of a transaction's commands: rounds of
// commands, each written in two statements that the server's triggers
// record, and the stock written whole when a command changed too much of
// it; then the commit, and what a failed commit does.
#include "store/postgres/postgres_store.hh"
#include "store/postgres/postgres_wire.hh"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// What a run tells the history of the commands it writes (see the
// triggers), and of the changes it claims of the products that its next
// statement writes.
const char* const TELL_COMMANDS =
    "SELECT set_config('warehouse.commands', $1, true), "
    "set_config('warehouse.rest', $2, true), "
    "set_config('warehouse.flush', $3, true), "
    "set_config('warehouse.kinds', $4, true)";
const char* const TELL_CLAIMS =
    "SELECT set_config('warehouse.claimed_commands', $1, true), "
    "set_config('warehouse.claimed_ids', $2, true), "
    "set_config('warehouse.claimed_befores', $3, true), "
    "set_config('warehouse.claimed_afters', $4, true)";

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

}  // namespace

bool PostgresStore::Round::takes(const std::vector<StockChange>& changes) const
{
    // A command whose changes are not listed is alone in its round: the
    // history gives it whatever the claims of the round do not explain.
    if (!rest.empty()) {
        return false;
    }
    if (changes.size() > MOST_ENTRIES) {
        return commands == 0;
    }
    // Past this, a statement would be one entry with no product.
    if (rows.size() + changes.size() > MOST_ENTRIES) {
        return false;
    }
    return std::none_of(
        changes.begin(), changes.end(), [this](const StockChange& change) {
            const auto row = rowOf.find(change.id);
            return row != rowOf.end() && rows[row->second].cameIn &&
                   change.after == 0;
        });
}

std::size_t PostgresStore::Round::add(const CommandNotes& notes)
{
    echoes += commands == 0 ? "[\"" : ",\"";
    appendHex(echoes, notes.echo);
    echoes += '"';
    kinds += commands == 0 ? "[\"" : ",\"";
    kinds += kindWord(notes.what);
    kinds += '"';
    return commands++;
}

void PostgresStore::Round::claim(std::size_t command, std::size_t row,
                                 const StockChange& change)
{
    claims.push_back({command, row, change.before, change.after});
}

bool PostgresStore::write(const CommandNotes& notes,
                          const std::vector<StockChange>& changes)
{
    lastEcho = notes.echo;
    if (notes.kind != CommandNotes::Kind::Products) {
        return writeWhole(notes);
    }
    if (rounds.empty() || !rounds.back().takes(changes)) {
        rounds.emplace_back();
    }
    Round& round = rounds.back();
    const std::size_t command = round.add(notes);
    const bool listed = changes.size() <= MOST_ENTRIES;
    if (!listed) {
        round.rest = std::to_string(command);
    }
    // The table holds the products as this command left them: the next
    // has not run yet.
    for (const StockChange& change : changes) {
        const auto [place, fresh] =
            round.rowOf.emplace(change.id, round.rows.size());
        if (fresh) {
            round.rows.emplace_back();
            round.rows.back().cameIn = change.before == 0;
        }
        if (listed) {
            round.claim(command, place->second, change);
        }
        productNow(change.id, round.rows[place->second]);
    }
    return true;
}

bool PostgresStore::writeWhole(const CommandNotes& notes)
{
    // The stock as this command left it goes at once, after what the
    // commands before it changed, in exchanges of its own.
    if (!rounds.empty() && !runWrites(false)) {
        return afterFailedWrites();
    }
    Round round;
    round.rest = std::to_string(round.add(notes));
    sentWhole = true;
    std::vector<Result> results;
    const bool sent = table.count() == 0 ? session.enterPipeline() &&
                                               sendTellCommands(round) &&
                                               sendTellClaims(round, true) &&
                                               session.send(EMPTY_STOCK)
                                         : sendEverything(round);
    bool written =
        sent &&
        (session.runPipeline(results,
                             patience(nullptr, false, table.count())) ||
         writesFailed(results.empty() ? nullptr : results.back().get()));
    for (const Result& result : results) {
        written =
            written && (succeeded(result.get()) || writesFailed(result.get()));
    }
    return written || afterFailedWrites();
}

bool PostgresStore::sendTellCommands(const Round& round)
{
    const std::string echoes = round.echoes + "]";
    const std::string kinds = round.kinds + "]";
    const std::string flush = std::to_string(++flushes);
    return session.send(TELL_COMMANDS, {{TEXT, &echoes, false},
                                        {TEXT, &round.rest, false},
                                        {TEXT, &flush, false},
                                        {TEXT, &kinds, false}});
}

bool PostgresStore::sendTellClaims(const Round& round, bool inStock)
{
    // Every trigger of a statement reads the claims told, and checks those
    // of its rows: the other statement's claims would only be read for
    // nothing, three times a round.
    std::string commands = "{";
    std::string ids = "{";
    std::string befores = "{";
    std::string afters = "{";
    for (const Claim& claim : round.claims) {
        if (round.rows[claim.row].inStock != inStock) {
            continue;
        }
        ids += ids.size() == 1 ? "\"" : ",\"";
        appendHex(ids, round.rows[claim.row].id);
        ids += '"';
        commands += commands.size() == 1 ? "" : ",";
        commands += std::to_string(claim.command);
        befores += befores.size() == 1 ? "" : ",";
        befores += std::to_string(claim.before);
        afters += afters.size() == 1 ? "" : ",";
        afters += std::to_string(claim.after);
    }
    commands += '}';
    ids += '}';
    befores += '}';
    afters += '}';
    return session.send(TELL_CLAIMS, {{TEXT, &commands, false},
                                      {TEXT, &ids, false},
                                      {TEXT, &befores, false},
                                      {TEXT, &afters, false}});
}

bool PostgresStore::sendRound(const Round& round)
{
    // Each product once, as the round's last command to change it left it.
    ArrayParameter ids(BYTEA);
    ArrayParameter amounts(INT8);
    ArrayParameter shelves(BYTEA);
    ArrayParameter names(BYTEA);
    ArrayParameter gone(BYTEA);
    for (const Row& row : round.rows) {
        sentIds.push_back(row.id);
        if (!row.inStock) {
            gone.add(row.id);
            continue;
        }
        ids.add(row.id);
        amounts.add(static_cast<std::int64_t>(row.amount));
        shelves.add(row.shelf);
        names.add(row.name);
    }
    return sendTellCommands(round) &&
           (ids.size() == 0 ||
            (sendTellClaims(round, true) &&
             session.send(UPSERT, {{BYTEA_ARRAY, &ids.bytes()},
                                   {INT8_ARRAY, &amounts.bytes()},
                                   {BYTEA_ARRAY, &shelves.bytes()},
                                   {BYTEA_ARRAY, &names.bytes()}}))) &&
           (gone.size() == 0 ||
            (sendTellClaims(round, false) &&
             session.send(DELETE_GONE, {{BYTEA_ARRAY, &gone.bytes()}})));
}

bool PostgresStore::sendEverything(const Round& round)
{
    // Into the run's own table first, outside a pipeline: a copy cannot be
    // part of one.
    std::vector<Result> results;
    if (!session.enterPipeline() || !sendTellCommands(round) ||
        !sendTellClaims(round, true) || !session.send(INCOMING) || !session.send(ROOM_TO_COMPARE) ||
        !session.runPipeline(results, patience(nullptr, false))) {
        return writesFailed(results.empty() ? nullptr : results.back().get());
    }
    for (const Result& result : results) {
        if (!succeeded(result.get())) {
            return writesFailed(result.get());
        }
    }
    if (!session.sendStatements(COPY_INCOMING)) {
        return writesFailed();
    }
    const Result copying = session.next(patience(nullptr, false));
    if (!copying || pq::PQresultStatus(copying.get()) != PGRES_COPY_IN) {
        return writesFailed(copying.get());
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
    const Result copied =
        session.finish(patience(nullptr, false, table.count()));
    if (!copied || !succeeded(copied.get())) {
        return writesFailed(copied.get());
    }
    return session.enterPipeline() && session.send(DELETE_MISSING) &&
           session.send(UPSERT_DIFFERENT);
}

bool PostgresStore::writesFailed(const PGresult* result)
{
    writeFailure.why = session.why(result);
    const char* state = result != nullptr
                            ? pq::PQresultErrorField(result, PG_DIAG_SQLSTATE)
                            : nullptr;
    writeFailure.state = state != nullptr ? state : "";
    return false;
}

bool PostgresStore::runWrites(bool committing)
{
    // The rounds and the commit: one exchange.
    std::size_t rows = 0;
    if (!session.enterPipeline()) {
        return writesFailed();
    }
    for (const Round& round : rounds) {
        rows += round.rows.size();
        if (!sendRound(round)) {
            return writesFailed();
        }
    }
    if (committing && (!session.send(OWN_XID) || !session.send("COMMIT"))) {
        return writesFailed();
    }
    std::vector<Result> results;
    if (!session.runPipeline(results, patience(nullptr, false, rows))) {
        return writesFailed(results.empty() ? nullptr : results.back().get());
    }
    for (const Result& result : results) {
        if (!succeeded(result.get())) {
            return writesFailed(result.get());
        }
    }
    if (committing) {
        const PGresult* xid = results[results.size() - 2].get();
        if (!pq::PQgetisnull(xid, 0, 0)) {
            ownXids.emplace_back(field(xid, 0, 0));
        }
        sentIds.clear();
        sentWhole = false;
    }
    rounds.clear();
    return true;
}

bool PostgresStore::commit()
{
    if (access != Access::Changes) {
        return true;  // reads hold nothing open
    }
    // For the tests: a pause, told on standard error, between a command and
    // its commit, in which a test can make the server go or the answer get
    // lost.
    static const char* const pause =
        std::getenv("WAREHOUSE_TEST_PAUSE_BEFORE_COMMIT");
    if (pause != nullptr) {
        std::fputs("(a pause before the commit)\n", stderr);
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(pause)));
    }
    return runWrites(true) || afterFailedWrites();
}

PostgresStore::InFlight PostgresStore::inFlight()
{
    InFlight flight{
        transactionXid, std::move(sentIds), sentWhole, lastEcho, {}};
    for (const Round& round : rounds) {
        for (const Row& row : round.rows) {
            flight.ids.push_back(row.id);
        }
    }
    return flight;
}

bool PostgresStore::afterFailedWrites()
{
    if (session.lost() && interactive()) {
        // The commit may or may not have been made: the server says which
        // once it is back.
        return settleInFlight(inFlight());
    }
    if (interactive() &&
        (writeFailure.state == "40P01" || writeFailure.state == "40001")) {
        session.settle();
        const InFlight flight = inFlight();
        restoreTable(flight.ids, flight.everything);
        return refuse(writeFailure.why);
    }
    return fail(writeFailure.why);
}
