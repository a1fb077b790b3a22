#include "postgres_session.hh"

#include <poll.h>

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

bool PostgresSession::connect(const std::string& uri,
                              const std::string& settings, std::string& error)
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
    // After the URI, which it would otherwise override.
    const std::string options = settings + ' ' + optionsOf(uri);
    keys.push_back("options");
    values.push_back(options.c_str());
    keys.push_back(nullptr);
    values.push_back(nullptr);
    connection.reset(pq::PQconnectdbParams(keys.data(), values.data(), 1));
    if (!connection) {
        error = "out of memory";
        return false;
    }
    if (pq::PQstatus(connection.get()) != CONNECTION_OK) {
        error = "cannot connect: " + why();
        return false;
    }
    return true;
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

Result PostgresSession::next(WaitNotice* notice)
{
    PGconn* const server = connection.get();
    while (pq::PQisBusy(server) != 0) {
        pollfd ready{pq::PQsocket(server), POLLIN, 0};
        if (::poll(&ready, 1, notice != nullptr ? 1000 : -1) == 0) {
            notice->tick();
            continue;
        }
        if (pq::PQconsumeInput(server) == 0) {
            break;
        }
    }
    return Result(pq::PQgetResult(server));
}

Result PostgresSession::finish(WaitNotice* notice)
{
    // Each statement has a result; the first that failed is the one kept.
    Result kept;
    while (Result result = next(notice)) {
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
                                  WaitNotice* notice)
{
    PGconn* const server = connection.get();
    const std::size_t statements = queued;
    queued = 0;
    results.clear();
    bool reached = pq::PQpipelineSync(server) != 0;
    // Each statement's results end with a null, and the sync's result ends
    // the pipeline; the first result of each statement is kept.
    for (std::size_t ended = 0; reached;) {
        Result result = next(notice);
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
