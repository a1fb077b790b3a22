// The owner's view's reads of a store in PostgreSQL.
#include "web/postgres_reader.hh"

#include "store/postgres/postgres_schema.hh"
#include "store/postgres/postgres_wire.hh"
#include "web/sql_reader.hh"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

/// libpq's words for the last failure, on one line.
std::string errorOf(PGconn* connection)
{
    return oneLine(pq::PQerrorMessage(connection));
}

/// Runs sql with parameters, all the way, and gives its result: the first
/// one, when a statement gives several.
Result execute(PGconn* connection, const char* sql, int count,
               const char* const* values, const int* lengths, const int* formats,
               int resultFormat)
{
    if (pq::PQsendQueryParams(connection, sql, count, nullptr, values, lengths,
                              formats, resultFormat) == 0) {
        return nullptr;
    }
    Result first(pq::PQgetResult(connection));
    while (Result(pq::PQgetResult(connection))) {
    }
    return first;
}

/// A row of a result in binary form: text and bytea come as their bytes,
/// whole numbers in network order.
class PostgresRow final : public SqlRow {
public:
    PostgresRow(const PGresult* result, int row) : result(result), row(row) {}

    bool isNull(int column) const override
    {
        return pq::PQgetisnull(result, row, column) != 0;
    }

    std::string_view text(int column) const override
    {
        return field(result, row, column);
    }

    std::int64_t number(int column) const override
    {
        return wholeNumber(field(result, row, column));
    }

private:
    const PGresult* result;
    int row;
};

/// A row of a binary COPY, as CopyRows read it.
class CopyRow final : public SqlRow {
public:
    CopyRow(const std::vector<std::string_view>& fields,
            const std::vector<bool>& null)
        : fields(fields), null(null)
    {
    }

    bool isNull(int column) const override
    {
        return null[static_cast<std::size_t>(column)];
    }

    std::string_view text(int column) const override
    {
        return fields[static_cast<std::size_t>(column)];
    }

    std::int64_t number(int column) const override
    {
        return wholeNumber(fields[static_cast<std::size_t>(column)]);
    }

private:
    const std::vector<std::string_view>& fields;
    const std::vector<bool>& null;
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
        if (pq::PQtransactionStatus(connection.get()) != PQTRANS_IDLE) {
            Result(pq::PQexec(connection.get(), "ROLLBACK"));
        }
    }

protected:
    void query(const std::string& sql, const std::vector<SqlParam>& params,
               Rows rows, const RowVisitor& visit) override;

    // The snapshot itself: the transactions it sees as running, and the
    // first it sees none of. Another transaction's commit either takes one
    // off the list or moves that bound, whatever order their numbers were
    // given in; an unchanged snapshot sees the same rows. It is the whole
    // server's, so that commits in other databases change it too.
    std::string changeMark() override
    {
        std::string mark;
        query("SELECT CAST(pg_current_snapshot() AS text)", {}, Rows::Few,
              [&mark](const SqlRow& row) {
                  mark = row.text(0);
                  return false;
              });
        return mark;
    }

    // Where the store notes the changes of the catalogue that no entry
    // names (version 14), those since a place of the history are found by
    // their transactions, as the entries are: "noted". Elsewhere nothing
    // tells them, and the figures are read anew after every change.
    std::string catalogueNow() override { return notesChanges() ? "noted" : ""; }

    std::optional<std::string> catalogueAfter(const std::string& was,
                                              const std::string& historyAt) override
    {
        if (was.empty() || catalogueNow() != was || noted("catalogue", historyAt)) {
            return std::nullopt;
        }
        return was;
    }

    bool notesLotChanges() override { return notesChanges(); }

    bool lotsFollowHistory(const std::string& historyAt) override
    {
        return notesChanges() && !noted("lots", historyAt);
    }

private:
    /// Whether the store notes the changes of the catalogue and the lots
    /// that no entry of the history names, where this login may read them:
    /// a run may bring the store to the version that does while the view
    /// reads it, and its owner's run grants the readers the notes.
    bool notesChanges()
    {
        return oneText("SELECT CAST(count(*) AS text) FROM pg_class WHERE oid = "
                       "to_regclass('store_changes') AND has_table_privilege(oid, 'SELECT')",
                       {}) == "1";
    }

    /// Whether a change of the table what is noted of a transaction that
    /// the snapshot historyAt did not see.
    bool noted(const char* what, const std::string& historyAt)
    {
        return !oneText("SELECT 1 FROM store_changes WHERE what = '" + std::string(what) +
                            "' AND " + dialect.addedSince + " LIMIT 1",
                        {{SqlParam::Kind::Text, historyAt, 0}})
                    .empty();
    }

    /// sql with its parameters written into it as literals, as COPY, which
    /// takes no parameters, needs it.
    static std::string withLiterals(std::string sql, const std::vector<SqlParam>& params);
    void copy(const std::string& sql, const RowVisitor& visit);

    Result run(const char* sql, ExecStatusType expected, int format = 0)
    {
        Result result = execute(connection.get(), sql, 0, nullptr, nullptr,
                                nullptr, format);
        if (pq::PQresultStatus(result.get()) != expected) {
            throw StoreError(errorOf(connection.get()));
        }
        return result;
    }

    Connection connection;
};

std::string PostgresReader::withLiterals(std::string sql,
                                         const std::vector<SqlParam>& params)
{
    // From the last, so that $1 is not taken for the start of $10.
    for (std::size_t i = params.size(); i > 0; --i) {
        const SqlParam& param = params[i - 1];
        std::string literal;
        if (param.kind == SqlParam::Kind::Number) {
            literal = std::to_string(param.number);
        } else if (param.kind == SqlParam::Kind::Bytes) {
            // In hexadecimal, which reads the same whatever the server
            // makes of backslashes.
            literal = "decode('";
            for (const char c : param.bytes) {
                const auto byte = static_cast<unsigned char>(c);
                literal += "0123456789abcdef"[byte >> 4];
                literal += "0123456789abcdef"[byte & 15];
            }
            literal += "', 'hex')";
        } else {
            // A time: digits, dashes, colons, a dot, a space and a sign.
            if (param.bytes.find_first_of("'\\") != std::string::npos) {
                throw StoreError("a text that cannot be written as a literal");
            }
            literal = "'" + param.bytes + "'";
        }
        const std::string name = "$" + std::to_string(i);
        for (std::size_t at = 0; (at = sql.find(name, at)) != std::string::npos;
             at += literal.size()) {
            sql.replace(at, name.size(), literal);
        }
    }
    return sql;
}

void PostgresReader::copy(const std::string& sql, const RowVisitor& visit)
{
    const std::string copy = "COPY (" + sql + ") TO STDOUT (FORMAT binary)";
    const Result started(pq::PQexec(connection.get(), copy.c_str()));
    if (pq::PQresultStatus(started.get()) != PGRES_COPY_OUT) {
        throw StoreError(errorOf(connection.get()));
    }
    bool more = true;  // false: the rest is read and let go
    CopyRows rows(connection.get());
    std::vector<std::string_view> fields;
    std::vector<bool> null;
    while (rows.next(fields, null)) {
        more = more && visit(CopyRow(fields, null));
    }
    if (rows.failed()) {
        const std::string why = errorOf(connection.get());
        throw StoreError(why.empty() ? "a copy that is not in the server's "
                                       "binary form"
                                     : why);
    }
    for (Result done(pq::PQgetResult(connection.get())); done;
         done.reset(pq::PQgetResult(connection.get()))) {
        if (pq::PQresultStatus(done.get()) != PGRES_COMMAND_OK) {
            throw StoreError(errorOf(connection.get()));
        }
    }
}

void PostgresReader::query(const std::string& sql,
                           const std::vector<SqlParam>& params, Rows rows,
                           const RowVisitor& visit)
{
    // Many rows come by a binary COPY, a row at a time as the server sends
    // them, so that a million never sit in memory at once. A few come in
    // one answer, with parameters, which lets the server use its parallel
    // workers. Ids and names go as bytes, times and numbers as text.
    if (rows == Rows::Many) {
        copy(withLiterals(sql, params), visit);
        return;
    }
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
    const Result answer =
        execute(connection.get(), sql.c_str(), static_cast<int>(params.size()),
                values.data(), lengths.data(), formats.data(), 1);
    if (pq::PQresultStatus(answer.get()) != PGRES_TUPLES_OK) {
        throw StoreError(errorOf(connection.get()));
    }
    for (int r = 0; r < pq::PQntuples(answer.get()); ++r) {
        if (!visit(PostgresRow(answer.get(), r))) {
            break;
        }
    }
}

/// The version of the store whose tables have shape; 0 for tables of no
/// store that lack store_version. A store of a newer version may have a
/// shape this program does not know: its version still tells it.
int versionOf(PGconn* connection, const std::string& shape)
{
    if (shape.empty()) {
        return 0;
    }
    const Result result(
        pq::PQexec(connection, "SELECT max(version) FROM store_version"));
    if (pq::PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        if (postgres_schema::knownShape(shape)) {
            throw StoreError(errorOf(connection));
        }
        return 0;
    }
    return std::atoi(pq::PQgetvalue(result.get(), 0, 0));
}

/// Throws StoreError unless the database holds a store of a version this
/// view reads, with tables of its shape.
void checkStore(PGconn* connection)
{
    const Result found(pq::PQexec(connection, postgres_schema::SHAPE_FOUND));
    if (pq::PQresultStatus(found.get()) != PGRES_TUPLES_OK) {
        throw StoreError(errorOf(connection));
    }
    const std::string shape = pq::PQgetvalue(found.get(), 0, 0);
    const int version = versionOf(connection, shape);
    if (const char* why = postgres_schema::refusal(version, shape)) {
        throw StoreError(why);
    }
    if (version < postgres_schema::OLDEST_VIEWED) {
        throw StoreError("a store of an older version: its owner's next run "
                         "of warehouse brings it up to date");
    }
}

}  // namespace

std::unique_ptr<StoreReader> openPostgresReader(const std::string& uri)
{
    std::string error;
    if (!pq::load(error)) {
        throw StoreError(error);
    }
    // The URI as libpq reads a connection string: expanded into its parts.
    const char* const keywords[] = {"dbname", nullptr};
    const char* const values[] = {uri.c_str(), nullptr};
    Connection connection(pq::PQconnectdbParams(keywords, values, 1));
    if (!connection || pq::PQstatus(connection.get()) != CONNECTION_OK) {
        throw StoreError(connection ? errorOf(connection.get())
                                    : "out of memory");
    }
    // Compiling a plan costs more than the view's statements take to run.
    // A table that another client has locked, or a read that runs long,
    // gives the owner a short "try again" rather than a page that hangs.
    const Result settings(pq::PQexec(connection.get(),
                                     "SET jit = off; SET lock_timeout = '2s'; "
                                     "SET statement_timeout = '30s'"));
    checkStore(connection.get());
    // In numeric, which a bigint product or sum would overflow.
    const auto productSum = [](const std::string& units, const std::string& cents) {
        return "CAST(coalesce(sum(CAST(" + units + " AS numeric) * " + cents +
               "), 0) AS text)";
    };
    return std::make_unique<PostgresReader>(
        std::move(connection),
        SqlReader::Dialect{"to_char(changed_at AT TIME ZONE 'UTC', "
                           "'YYYY-MM-DD HH24:MI:SS.MS')",
                           "+00", productSum, "to_char(l.best_before, 'YYYY-MM-DD')",
                           // Bound to the table where the search path
                           // finds it, as the other statements are.
                           "SELECT CAST(count(to_regclass('lots')) AS bigint)",
                           // Its join by the catalogue's costs' index
                           // needs no order.
                           "",
                           // Entries are numbered before their transactions
                           // commit, which they need not do in that order:
                           // the history's place is a snapshot, and the new
                           // entries those of the transactions it did not
                           // see, found through the index by xid.
                           "SELECT CAST(pg_current_snapshot() AS text)",
                           "xid >= pg_snapshot_xmin(CAST($1 AS pg_snapshot)) AND "
                           "NOT pg_visible_in_snapshot(xid, CAST($1 AS pg_snapshot))",
                           // A server's transaction numbers only grow; a
                           // snapshot past them is of another server.
                           "SELECT CAST(CASE WHEN pg_snapshot_xmax(CAST($1 AS pg_snapshot)) <= "
                           "pg_snapshot_xmax(pg_current_snapshot()) THEN 1 ELSE 0 END AS bigint)"});
}
