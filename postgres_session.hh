// A connection to a PostgreSQL server and the exchanges the store has over
// it: statements sent alone, several at once, or in a pipeline, and their
// results awaited.
#ifndef WAREHOUSE_POSTGRES_SESSION_HH
#define WAREHOUSE_POSTGRES_SESSION_HH

#include "postgres_wire.hh"
#include "progress.hh"

#include <string>
#include <vector>

/// A statement's parameter: its type, its bytes (null: SQL's NULL), and
/// whether the bytes are the server's binary form or text.
struct Parameter {
    Oid type;
    const std::string* value;
    bool binary = true;
};

class PostgresSession {
public:
    /// Connects to the database that uri names, with settings (the
    /// server's -c options) sent in the start-up packet, so that they cost
    /// no exchange. False, with the reason in error.
    bool connect(const std::string& uri, const std::string& settings,
                 std::string& error);

    PGconn* get() const { return connection.get(); }

    /// Sends sql, which may be several statements, for text results.
    bool sendStatements(const char* sql);

    /// Sends one statement with parameters, for binary results; in a
    /// pipeline, it waits there for the sync.
    bool send(const char* sql, const std::vector<Parameter>& parameters = {});

    /// The next result of what was sent, null when there are no more. With
    /// a notice, waits a second at a time, telling it.
    Result next(WaitNotice* notice = nullptr);

    /// Runs what was sent to its end: the result of the first statement
    /// that failed, or else of the last; null when the server is out of
    /// reach.
    Result finish(WaitNotice* notice = nullptr);

    /// From now on statements wait for a sync, and go together.
    bool enterPipeline();
    /// Sends the statements of the pipeline with a sync after them, and
    /// reads their results: one for each, in order, and leaves the
    /// pipeline. False when the server is out of reach; the failed
    /// statements' results tell of their failure.
    bool runPipeline(std::vector<Result>& results,
                     WaitNotice* notice = nullptr);

    /// What went wrong, in the server's or libpq's words, on one line.
    std::string why(const PGresult* result = nullptr) const;

    /// Reads and drops whatever is still coming, and ends an open
    /// transaction, so that the connection is ready for the next one.
    void settle();

private:
    Connection connection;
    std::size_t queued = 0;  // statements sent in the pipeline
};

#endif
