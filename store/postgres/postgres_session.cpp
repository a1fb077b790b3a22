// A connection to a PostgreSQL server: statements sent, results awaited within
// a deadline, a lost link told.
#include "store/postgres/postgres_session.hh"

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

/// The options the URI, or else the environment, gives the server, which
/// the run's own settings must not drop.
std::string optionsOf(const std::string& uri)
{
    char* error = nullptr;
    PQconninfoOption* parsed = pq::PQconninfoParse(uri.c_str(), &error);
    pq::PQfreemem(error);
    std::string options;
    for (const PQconninfoOption* option = parsed;
         option != nullptr && option->keyword != nullptr; ++option) {
        if (std::strcmp(option->keyword, "options") == 0 &&
            option->val != nullptr) {
            options = option->val;
        }
    }
    pq::PQconninfoFree(parsed);
    if (options.empty() && std::getenv("PGOPTIONS") != nullptr) {
        options = std::getenv("PGOPTIONS");
    }
    return options;
}

}  // namespace

bool PostgresSession::connect(const std::string& to, const std::string& with,
                              std::string& error, const StopCheck& stop)
{
    uri = to;
    settings = with;
    return open(error, stop);
}

bool PostgresSession::reconnect(std::string& error, const StopCheck& stop)
{
    return open(error, stop);
}

bool PostgresSession::open(std::string& error, const StopCheck& stop)
{
    // TCP keepalives tell a dead link within about 20 s; a URI may say
    // otherwise, since its settings come after these.
    const char* const KEYS[] = {"keepalives",
                                "keepalives_idle",
                                "keepalives_interval",
                                "keepalives_count",
                                "fallback_application_name",
                                "dbname",
                                "options",
                                nullptr};
    // After the URI, which would otherwise override them; the run's own
    // settings (its durability, its wait) after the URI's options, which
    // would otherwise override those.
    const std::string options = optionsOf(uri) + ' ' + settings;
    const char* const VALUES[] = {
        "1",    "10", "3", "3", "warehouse", uri.c_str(), options.c_str(),
        nullptr};
    dropped.clear();
    connection.reset(pq::PQconnectStartParams(KEYS, VALUES, 1));
    if (!connection) {
        error = "out of memory";
        return false;
    }
    const char* timeout = std::getenv("PGCONNECT_TIMEOUT");
    const auto deadline =
        Patience::Clock::now() +
        std::chrono::seconds(timeout != nullptr && std::atoi(timeout) > 0
                                 ? std::atoi(timeout)
                                 : 10);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED ||
            pq::PQstatus(connection.get()) == CONNECTION_BAD) {
            error = "cannot connect: " + why();
            return false;
        }
        if (Patience::Clock::now() >= deadline) {
            error = "cannot connect: no answer from the server in time";
            connection.reset();
            return false;
        }
        if (stop && stop()) {
            error = "stopped by Ctrl-C";
            connection.reset();
            return false;
        }
        pollfd ready{pq::PQsocket(connection.get()),
                     static_cast<short>(
                         state == PGRES_POLLING_READING ? POLLIN : POLLOUT),
                     0};
        if (::poll(&ready, 1, 100) > 0) {
            state = pq::PQconnectPoll(connection.get());
        }
    }
    // The server's notices, such as one that it shuts down, are not the
    // clerk's business: what comes of them is told in the program's words.
    pq::PQsetNoticeProcessor(
        connection.get(), [](void*, const char*) {}, nullptr);
    return true;
}

bool PostgresSession::lost() const
{
    return !connection || pq::PQstatus(connection.get()) != CONNECTION_OK;
}

void PostgresSession::drop(std::string why)
{
    dropped = std::move(why);
    connection.reset();
}

bool PostgresSession::sendStatements(const char* sql)
{
    return pq::PQsendQuery(connection.get(), sql) != 0;
}

bool PostgresSession::send(const char* sql,
                           const std::vector<Parameter>& parameters)
{
    std::vector<Oid> types;
    std::vector<const char*> data;
    std::vector<int> lengths;
    std::vector<int> formats;
    for (const Parameter& parameter : parameters) {
        types.push_back(parameter.type);
        data.push_back(parameter.value != nullptr ? parameter.value->c_str()
                                                  : nullptr);
        lengths.push_back(parameter.value != nullptr
                              ? static_cast<int>(parameter.value->size())
                              : 0);
        formats.push_back(parameter.binary ? 1 : 0);
    }
    const bool sent =
        pq::PQsendQueryParams(
            connection.get(), sql, static_cast<int>(parameters.size()),
            types.data(), data.data(), lengths.data(), formats.data(), 1) != 0;
    queued += sent ? 1 : 0;
    return sent;
}

Result PostgresSession::next(const Patience& patience)
{
    PGconn* const server = connection.get();
    if (server == nullptr) {
        return nullptr;
    }
    bool cancelled = false;
    while (pq::PQisBusy(server) != 0) {
        const auto left = patience.deadline - Patience::Clock::now();
        if (left <= Patience::Clock::duration::zero()) {
            drop("the server did not answer in time");
            return nullptr;
        }
        if (!cancelled && patience.stop && patience.stop()) {
            // Cancelled on the server, whose result then says so.
            cancelled = true;
            if (PGcancel* cancel = pq::PQgetCancel(server)) {
                char error[256];
                pq::PQcancel(cancel, error, sizeof error);
                pq::PQfreeCancel(cancel);
            }
        }
        const auto milliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        pollfd ready{pq::PQsocket(server), POLLIN, 0};
        const int woken =
            ::poll(&ready, 1,
                   static_cast<int>(std::min<long long>(
                       milliseconds, patience.stop ? 100 : 1000)));
        if (woken <= 0) {
            if (patience.notice != nullptr) {
                patience.notice->tick();
            }
            continue;  // a signal, or a tick of the wait
        }
        if (pq::PQconsumeInput(server) == 0) {
            break;
        }
    }
    return Result(pq::PQgetResult(server));
}

Result PostgresSession::finish(const Patience& patience)
{
    // Each statement has a result; the first that failed is the one kept.
    Result kept;
    while (Result result = next(patience)) {
        const ExecStatusType status = pq::PQresultStatus(result.get());
        if (!kept || succeeded(kept.get())) {
            kept = std::move(result);
        }
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT) {
            break;  // the copy's data follows, the rest of its results after
        }
    }
    return kept;
}

bool PostgresSession::enterPipeline()
{
    queued = 0;
    return pq::PQenterPipelineMode(connection.get()) != 0;
}

bool PostgresSession::runPipeline(std::vector<Result>& results,
                                  const Patience& patience)
{
    PGconn* const server = connection.get();
    if (server == nullptr) {
        return false;
    }
    const std::size_t statements = queued;
    queued = 0;
    results.clear();
    bool reached = pq::PQpipelineSync(server) != 0;
    // Each statement's results end with a null, and the sync's result ends
    // the pipeline; the first result of each statement is kept.
    for (std::size_t ended = 0; reached;) {
        Result result = next(patience);
        if (pq::PQstatus(server) != CONNECTION_OK) {
            reached = false;
        } else if (!result) {
            reached = ++ended <= statements;
        } else if (pq::PQresultStatus(result.get()) == PGRES_PIPELINE_SYNC) {
            break;
        } else if (results.size() == ended) {
            results.push_back(std::move(result));
        }
    }
    pq::PQexitPipelineMode(server);
    return reached && results.size() == statements;
}

std::string PostgresSession::why(const PGresult* result) const
{
    if (!connection) {
        return dropped.empty() ? "the connection to the server was lost"
                               : dropped;
    }
    const char* message = result != nullptr
                              ? pq::PQresultErrorMessage(result)
                              : pq::PQerrorMessage(connection.get());
    if (message == nullptr || *message == '\0') {
        message = pq::PQerrorMessage(connection.get());
    }
    return oneLine(message);
}

void PostgresSession::settle()
{
    PGconn* const server = connection.get();
    if (!server || pq::PQstatus(server) != CONNECTION_OK) {
        return;
    }
    for (int rounds = 0; rounds < 1000; ++rounds) {
        Result result(pq::PQgetResult(server));
        if (!result) {
            if (pq::PQisBusy(server) == 0) {
                break;
            }
            continue;
        }
        if (pq::PQresultStatus(result.get()) == PGRES_COPY_OUT) {
            char* chunk = nullptr;
            while (pq::PQgetCopyData(server, &chunk, 0) > 0) {
                pq::PQfreemem(chunk);
            }
        } else if (pq::PQresultStatus(result.get()) == PGRES_COPY_IN) {
            pq::PQputCopyEnd(server, "abandoned");
        }
    }
    pq::PQexitPipelineMode(server);
    if (pq::PQtransactionStatus(server) != PQTRANS_IDLE) {
        Result(pq::PQexec(server, "ROLLBACK"));
    }
}
