#include "postgres_reader.hh"

#include "sql_reader.hh"

#include <endian.h>
#include <libpq-fe.h>

#include <cstring>

namespace {

// The versions of the store's shape this view reads: 3 keeps changed_at as
// the server's timestamptz and adds named_clerk; 2 kept UTC text.
constexpr int OLDEST_VERSION = 2;
constexpr int NEWEST_VERSION = 3;

// Rows fetched from a cursor at a time: few round trips, little memory.
constexpr const char* FETCH = "FETCH 10000 FROM reading";

struct FinishConnection {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct ClearResult {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Connection = std::unique_ptr<PGconn, FinishConnection>;
using Result = std::unique_ptr<PGresult, ClearResult>;

/// libpq's words for the last failure, without its closing new line.
std::string errorOf(PGconn* connection)
{
    std::string message = PQerrorMessage(connection);
    while (!message.empty() && message.back() == '\n') {
        message.pop_back();
    }
    return message;
}

/// A row of a result in binary form: text and bytea come as their bytes,
/// whole numbers in network order.
class PostgresRow final : public SqlRow {
public:
    PostgresRow(const PGresult* result, int row) : result(result), row(row) {}

    bool isNull(int column) const override
    {
        return PQgetisnull(result, row, column) != 0;
    }

    std::string_view text(int column) const override
    {
        return {PQgetvalue(result, row, column),
                static_cast<std::size_t>(PQgetlength(result, row, column))};
    }

    std::int64_t number(int column) const override
    {
        const char* const bytes = PQgetvalue(result, row, column);
        switch (PQgetlength(result, row, column)) {
        case 8: {
            std::uint64_t value = 0;
            std::memcpy(&value, bytes, sizeof value);
            return static_cast<std::int64_t>(be64toh(value));
        }
        case 4: {
            std::uint32_t value = 0;
            std::memcpy(&value, bytes, sizeof value);
            return static_cast<std::int32_t>(be32toh(value));
        }
        default: return 0;  // NULL
        }
    }

private:
    const PGresult* result;
    int row;
};

class PostgresReader final : public SqlReader {
public:
    PostgresReader(Connection connection, const Dialect& dialect)
        : SqlReader(dialect), connection(std::move(connection))
    {
    }

    void begin() override
    {
        // One snapshot for the whole request, taken by its first read.
        run("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY", PGRES_COMMAND_OK);
    }

    void finish() override
    {
        if (PQtransactionStatus(connection.get()) != PQTRANS_IDLE) {
            Result(PQexec(connection.get(), "ROLLBACK"));
        }
    }

protected:
    void query(const std::string& sql, const std::vector<SqlParam>& params,
               Rows rows, const RowVisitor& visit) override;

private:
    Result run(const char* sql, ExecStatusType expected, int format = 0)
    {
        Result result(PQexecParams(connection.get(), sql, 0, nullptr, nullptr,
                                   nullptr, nullptr, format));
        if (PQresultStatus(result.get()) != expected) {
            throw StoreError(errorOf(connection.get()));
        }
        return result;
    }

    Connection connection;
};

void PostgresReader::query(const std::string& sql,
                           const std::vector<SqlParam>& params, Rows rows,
                           const RowVisitor& visit)
{
    // Many rows come through a cursor, so that a million never sit in
    // memory at once and a visitor that has seen enough stops the read. A
    // few come in one answer: a cursor would cost round trips, and the
    // server's parallel workers, which a cursor cannot use. Ids and names
    // go as bytes, times and numbers as text.
    std::vector<std::string> numbers(params.size());
    std::vector<const char*> values(params.size());
    std::vector<int> lengths(params.size());
    std::vector<int> formats(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const SqlParam& param = params[i];
        switch (param.kind) {
        case SqlParam::Kind::Number:
            numbers[i] = std::to_string(param.number);
            values[i] = numbers[i].c_str();
            break;
        case SqlParam::Kind::Text: values[i] = param.bytes.c_str(); break;
        case SqlParam::Kind::Bytes:
            values[i] = param.bytes.data();
            lengths[i] = static_cast<int>(param.bytes.size());
            formats[i] = 1;
            break;
        }
    }
    if (rows == Rows::Few) {
        const Result answer(PQexecParams(
            connection.get(), sql.c_str(), static_cast<int>(params.size()),
            nullptr, values.data(), lengths.data(), formats.data(), 1));
        if (PQresultStatus(answer.get()) != PGRES_TUPLES_OK) {
            throw StoreError(errorOf(connection.get()));
        }
        for (int r = 0; r < PQntuples(answer.get()); ++r) {
            if (!visit(PostgresRow(answer.get(), r))) {
                break;
            }
        }
        return;
    }
    const std::string declare = "DECLARE reading NO SCROLL CURSOR FOR " + sql;
    const Result declared(PQexecParams(
        connection.get(), declare.c_str(), static_cast<int>(params.size()),
        nullptr, values.data(), lengths.data(), formats.data(), 0));
    if (PQresultStatus(declared.get()) != PGRES_COMMAND_OK) {
        throw StoreError(errorOf(connection.get()));
    }
    for (bool more = true; more;) {
        const Result rows = run(FETCH, PGRES_TUPLES_OK, 1);
        const int count = PQntuples(rows.get());
        for (int r = 0; r < count && more; ++r) {
            more = visit(PostgresRow(rows.get(), r));
        }
        more = more && count > 0;
    }
    run("CLOSE reading", PGRES_COMMAND_OK);
}

}  // namespace

std::unique_ptr<StoreReader> openPostgresReader(const std::string& uri)
{
    Connection connection(PQconnectdb(uri.c_str()));
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
        throw StoreError(connection ? errorOf(connection.get())
                                    : "out of memory");
    }
    // Compiling a plan costs more than the view's statements take to run.
    const Result settings(PQexec(connection.get(), "SET jit = off"));
    const Result version(
        PQexec(connection.get(), "SELECT max(version) FROM store_version"));
    if (PQresultStatus(version.get()) != PGRES_TUPLES_OK) {
        throw StoreError(errorOf(connection.get()));
    }
    const int number = PQgetisnull(version.get(), 0, 0) != 0
                           ? 0
                           : std::atoi(PQgetvalue(version.get(), 0, 0));
    if (number < OLDEST_VERSION) {
        throw StoreError("not a store of a version this program reads");
    }
    if (number > NEWEST_VERSION) {
        throw StoreError("a store of a newer version than this program reads");
    }
    SqlReader::Dialect dialect{"changed_at", "NULL", ""};
    if (number >= 3) {
        dialect = {"to_char(changed_at AT TIME ZONE 'UTC', "
                   "'YYYY-MM-DD HH24:MI:SS.MS')",
                   "named_clerk", "+00"};
    }
    return std::make_unique<PostgresReader>(std::move(connection), dialect);
}
