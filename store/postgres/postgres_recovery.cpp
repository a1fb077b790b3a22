// A PostgreSQL store after its connection was lost: connecting again, the
// fate of a commit that was on its way, and the table brought back to what
// the store holds.
#include "store/postgres/postgres_store.hh"

#include "util/output_lines.hh"

#include <thread>

namespace {

const char* const LOST = "the connection to the store was lost";

// The pauses between tries to connect grow from the least to the most.
constexpr auto LEAST_PAUSE = std::chrono::milliseconds(250);
constexpr auto LONGEST_PAUSE = std::chrono::seconds(8);

// How long a commit whose connection went may stay in progress on the
// server, its process ended, before its fate is given up on.
constexpr auto SETTLING = std::chrono::seconds(5);

}  // namespace

bool PostgresStore::reconnect()
{
    if (!session.lost()) {
        return true;
    }
    session.settle();
    WaitNotice notice("Connecting to the store again");
    const StopCheck stop = [this] { return stopRequested(); };
    auto pause =
        std::chrono::duration_cast<std::chrono::milliseconds>(LEAST_PAUSE);
    for (bool stopped = false; !stopped;) {
        std::string error;
        if (session.reconnect(error, stop)) {
            return true;
        }
        // A pause, a tick at a time, that Ctrl-C cuts short.
        const auto until = Patience::Clock::now() + pause;
        while (!(stopped = stop()) && Patience::Clock::now() < until) {
            notice.tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        pause = std::min<std::chrono::milliseconds>(2 * pause, LONGEST_PAUSE);
    }
    return false;
}

bool PostgresStore::lostConnection()
{
    if (!interactive()) {
        return failWith("");  // a script ends, as it says it does
    }
    // At once, so that the next command finds the store; should the clerk
    // stop it, the next command tries again.
    reconnect();
    return refuse(LOST);
}

bool PostgresStore::settleInFlight(InFlight inFlight)
{
    bool committed = false;
    if (!reconnect() || !fateOf(inFlight, committed)) {
        // Told once the store is back: what the command printed waits till
        // then.
        inFlight.output = takeHeldOutput();
        const std::string echo = inFlight.echo;
        unresolved = std::move(inFlight);
        return refuseWith(std::string("The connection to the store was lost "
                                      "as it stored ") +
                              echo +
                              "; whether it was stored is told once the "
                              "store is back.",
                          LOST);
    }
    if (committed) {
        ownXids.push_back(inFlight.xid);
        return true;  // its output is shown, as that of any commit
    }
    restoreTable(inFlight.ids, inFlight.everything);
    return refuse(std::string(LOST) + " before " + inFlight.echo +
                  " was stored");
}

bool PostgresStore::resolveInFlight()
{
    if (!unresolved) {
        return true;
    }
    bool committed = false;
    if (!reconnect() || !fateOf(*unresolved, committed)) {
        return refuse("the store cannot be reached");
    }
    if (committed) {
        ownXids.push_back(unresolved->xid);
        printLine("Stored after all, once the store was back:");
        printFlushed(unresolved->output);
    } else {
        restoreTable(unresolved->ids, unresolved->everything);
        printLine("Not run: ", unresolved->echo,
                  " was not stored before the connection was lost.");
    }
    unresolved.reset();
    return true;
}

bool PostgresStore::fateOf(const InFlight& flight, bool& committed)
{
    // A transaction is made or not as the server's log says, and one made
    // that changed the stock left its entries in the history. One the log
    // has not heard of never was; one the log calls made but that left no
    // entries, though it changed products, was another's, given the same id
    // after a crash. One still in progress belongs to the run's old process
    // on the server, which has not noticed that the run went: it is ended,
    // and asked about again.
    const std::string pid = std::to_string(backend);
    const bool changed = flight.everything || !flight.ids.empty();
    const auto until = Patience::Clock::now() + SETTLING;
    for (bool ending = false;; ending = true) {
        if (!session.send("SELECT pg_xact_status($1::text::xid8), "
                          "EXISTS (SELECT FROM history "
                          "WHERE xid = $1::text::xid8), "
                          "pg_terminate_backend($2::text::integer)",
                          {{TEXT, &flight.xid, false},
                           {TEXT, ending ? &pid : nullptr, false}})) {
            return false;
        }
        const Result status = session.finish(patience(nullptr, false));
        if (status && stateIs(status.get(), "22023")) {
            committed = false;  // an id the server never gave out
            return true;
        }
        if (!status || !succeeded(status.get())) {
            session.settle();
            return false;
        }
        const std::string_view fate = field(status.get(), 0, 0);
        if (fate != "in progress") {
            committed =
                fate == "committed" &&
                (!changed || pq::PQgetvalue(status.get(), 0, 1)[0] != 0);
            return true;
        }
        if (Patience::Clock::now() >= until) {
            return false;
        }
        if (ending) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

bool PostgresStore::restoreTable(const std::vector<std::string>& ids,
                                 bool everything)
{
    // What the table took from the commands that were not stored goes: the
    // products they changed are read again as the store holds them.
    bool restored = true;
    following([&] {
        if (everything) {
            std::string now;
            access = Access::Reads;
            restored = reload(now);
            if (restored) {
                seen = now;
                ownXids.clear();
            }
            return;
        }
        ArrayParameter wanted(BYTEA);
        for (const std::string& id : ids) {
            wanted.add(id);
        }
        const Result rows =
            session.send("SELECT id, amount, shelf, name FROM stock "
                         "WHERE id = ANY($1::bytea[])",
                         {{BYTEA_ARRAY, &wanted.bytes()}})
                ? session.finish(patience(nullptr, false))
                : Result(nullptr);
        restored = rows && succeeded(rows.get());
        if (!restored) {
            return;
        }
        for (const std::string& id : ids) {
            table.put(id, {}, 0, {});
        }
        std::uint32_t amount = 0;
        for (int row = 0; row < pq::PQntuples(rows.get()); ++row) {
            if (readAmount(field(rows.get(), row, 1), amount)) {
                table.put(std::string(field(rows.get(), row, 0)),
                          std::string(field(rows.get(), row, 2)), amount,
                          std::string(field(rows.get(), row, 3)));
            }
        }
    });
    return restored || failWith("the table could not follow the store: ");
}
