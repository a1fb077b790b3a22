// A connection to a PostgreSQL server and the exchanges the store has over
// it: statements sent alone, several at once, or in a pipeline, and their
// results awaited.
#ifndef WAREHOUSE_POSTGRES_SESSION_HH
#define WAREHOUSE_POSTGRES_SESSION_HH

#include "store/postgres/postgres_wire.hh"
#include "util/progress.hh"

#include <chrono>
#include <string>
#include <vector>

/// A statement's parameter: its type, its bytes (null: SQL's NULL), and
/// whether the bytes are the server's binary form or text.
struct Parameter {
    Oid type;
    const std::string* value;
    bool binary = true;
};

/// How a wait for the server goes: told each second, given up on at a
/// deadline, and cut short on request.
struct Patience {
    using Clock = std::chrono::steady_clock;

    WaitNotice* notice = nullptr;  // told each second, if any
    Clock::time_point deadline = Clock::time_point::max();
    StopCheck stop;  // asked as the wait goes on; true cancels the statement
};

class PostgresSession {
public:
    /// Connects to the database that uri names, with settings (the
    /// server's -c options) sent in the start-up packet, so that they cost
    /// no exchange. A server that does not answer within the connect
    /// timeout (PGCONNECT_TIMEOUT, else 10 s) is given up on, and a dead
    /// link is told by TCP keepalives. False, with the reason in error.
    bool connect(const std::string& uri, const std::string& settings,
                 std::string& error, const StopCheck& stop = {});

    /// Connects again as connect() did, after the connection was lost.
    bool reconnect(std::string& error, const StopCheck& stop);

    /// True when the connection is gone: broken, or given up on.
    bool lost() const;

    PGconn* get() const { return connection.get(); }

    /// The server's process that serves the connection, or 0.
    int backend() const
    {
        return connection ? pq::PQbackendPID(connection.get()) : 0;
    }

    /// Sends sql, which may be several statements, for text results.
    bool sendStatements(const char* sql);

    /// Sends one statement with parameters, for binary results; in a
    /// pipeline, it waits there for the sync.
    bool send(const char* sql, const std::vector<Parameter>& parameters = {});

    /// The next result of what was sent, null when there are no more. A
    /// server that gives none by the deadline is given up on: the
    /// connection is dropped, and lost() tells so. A stop asked for sends
    /// the server a cancel of the statement, whose result then tells of
    /// it.
    Result next(const Patience& patience = {});

    /// Runs what was sent to its end: the result of the first statement
    /// that failed, or else of the last; null when the server is out of
    /// reach.
    Result finish(const Patience& patience = {});

    /// From now on statements wait for a sync, and go together.
    bool enterPipeline();
    /// Sends the statements of the pipeline with a sync after them, and
    /// reads their results: one for each, in order, and leaves the
    /// pipeline. False when the server is out of reach; the failed
    /// statements' results tell of their failure.
    bool runPipeline(std::vector<Result>& results,
                     const Patience& patience = {});

    /// What went wrong, in the server's or libpq's words, on one line.
    std::string why(const PGresult* result = nullptr) const;

    /// Reads and drops whatever is still coming, and ends an open
    /// transaction, so that the connection is ready for the next one.
    void settle();

private:
    bool open(std::string& error, const StopCheck& stop);
    /// Gives up on the connection, for the reason given.
    void drop(std::string why);

    Connection connection;
    std::string uri;  // as connect() had them
    std::string settings;
    std::string dropped;     // why the connection was given up on
    std::size_t queued = 0;  // statements sent in the pipeline
};

#endif
