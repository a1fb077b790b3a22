// Backups on the PostgreSQL side: the tables read by binary COPY in one
// snapshot, and written by binary COPY through temporary tables that take
// the backup's forms.
#include "store/postgres/postgres_backup.hh"

#include "store/postgres/postgres_schema.hh"
#include "store/postgres/postgres_session.hh"

#include <cstdlib>
#include <cstring>

namespace postgres_backup {

namespace {

// The server's limits as a run has them: a commit durable before it is
// told, and a lock that clerks hold waited for as a run waits.
const char* const SETTINGS =
    "-c synchronous_commit=on -c client_min_messages=warning "
    "-c lock_timeout=10000";

// A block of a COPY sent at a time.
constexpr std::size_t COPY_BLOCK = 64 * 1024;

/// Runs sql, which may be several statements; the result of the last, or
/// null with the server's words in error when one failed.
Result run(PGconn* connection, const std::string& sql, std::string& error)
{
    Result result(pq::PQexec(connection, sql.c_str()));
    if (!result || !succeeded(result.get())) {
        error = oneLine(pq::PQerrorMessage(connection));
        return nullptr;
    }
    return result;
}

/// A column as SQLite keeps it, read from the store's own.
std::string readForm(const BackupColumn& column)
{
    const std::string name = column.name;
    if (column.as == Carried::Time) {
        return "to_char(" + name +
               " AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.MS')";
    }
    if (column.as == Carried::Date) {
        return "to_char(" + name + ", 'YYYY-MM-DD')";
    }
    if (column.as == Carried::Flag) {
        return name + "::integer::bigint";
    }
    return column.as == Carried::Number ? name + "::bigint" : name;
}

/// The type a column travels in, in a temporary table of the backup's
/// forms.
const char* carriedType(Carried as)
{
    switch (as) {
    case Carried::Number:
    case Carried::Flag:
        return "bigint";
    case Carried::Bytes:
        return "bytea";
    default:
        return "text";
    }
}

/// A column as the store keeps it, from the backup's form.
std::string storedForm(const BackupColumn& column)
{
    const std::string name = column.name;
    if (column.as == Carried::Time) {
        return "(" + name + " || '+00')::timestamptz";
    }
    if (column.as == Carried::Date) {
        return name + "::date";
    }
    if (column.as == Carried::Flag) {
        return "(" + name + " <> 0)";
    }
    return column.as == Carried::Xid ? "pg_current_xact_id()" : name;
}

/// Checks that the store at connection is one of this version, within the
/// transaction the caller holds.
bool checkVersion(PGconn* connection, std::string& error)
{
    const Result shape = run(connection, postgres_schema::SHAPE_FOUND, error);
    if (!shape) {
        return false;
    }
    const std::string found = pq::PQgetvalue(shape.get(), 0, 0);
    if (found.empty()) {
        error = postgres_schema::refusal(0, found);
        return false;
    }
    const Result version =
        run(connection, "SELECT max(version) FROM store_version", error);
    if (!version) {
        return false;
    }
    const int number = std::atoi(pq::PQgetvalue(version.get(), 0, 0));
    if (const char* why = postgres_schema::refusal(number, found)) {
        error = why;
        return false;
    }
    if (number != postgres_schema::VERSION) {
        error = "a store of an older version: its owner's next run brings it "
                "up to date";
        return false;
    }
    return true;
}

bool copyTable(PGconn* connection, const BackupTable& table, BackupSink& sink,
               std::string& error)
{
    std::string columns;
    for (const BackupColumn& column : table.columns) {
        if (keptInSqlite(column)) {
            columns += (columns.empty() ? "" : ", ") + readForm(column);
        }
    }
    const std::string copy = "COPY (SELECT " + columns + " FROM " + table.name +
                             " ORDER BY " + table.key +
                             ") TO STDOUT (FORMAT binary)";
    const Result started(pq::PQexec(connection, copy.c_str()));
    if (pq::PQresultStatus(started.get()) != PGRES_COPY_OUT) {
        error = oneLine(pq::PQerrorMessage(connection));
        return false;
    }
    if (!sink.startTable(table, error)) {
        return false;
    }
    CopyRows rows(connection);
    std::vector<std::string_view> fields;
    std::vector<bool> null;
    std::vector<BackupField> row;
    bool added = true;  // false: the rest is read and let go
    while (rows.next(fields, null)) {
        if (!added) {
            continue;
        }
        row.clear();
        std::size_t at = 0;
        for (const BackupColumn& column : table.columns) {
            if (!keptInSqlite(column) || at == fields.size()) {
                continue;
            }
            BackupField field;
            field.null = null[at];
            if (carriedAsNumber(column.as)) {
                field.number = wholeNumber(fields[at]);
            } else {
                field.bytes = fields[at];
            }
            row.push_back(field);
            ++at;
        }
        added = sink.add(row, error);
    }
    if (rows.failed()) {
        error = oneLine(pq::PQerrorMessage(connection));
        return false;
    }
    for (Result done(pq::PQgetResult(connection)); done;
         done.reset(pq::PQgetResult(connection))) {
        if (!succeeded(done.get())) {
            error = oneLine(pq::PQerrorMessage(connection));
            return false;
        }
    }
    return added && sink.endTable(error);
}

/// Rows sent by binary COPY into the temporary tables of a restore.
class Restoring : public BackupSink {
public:
    explicit Restoring(PGconn* connection) : connection(connection) {}

    bool startTable(const BackupTable& table, std::string& error) override
    {
        current = &table;
        std::string columns;
        for (const BackupColumn& column : table.columns) {
            if (keptInSqlite(column)) {
                columns +=
                    (columns.empty() ? "" : ", ") + std::string(column.name);
            }
        }
        const std::string copy = "COPY restored_" + std::string(table.name) +
                                 " (" + columns +
                                 ") FROM STDIN (FORMAT binary)";
        const Result started(pq::PQexec(connection, copy.c_str()));
        if (pq::PQresultStatus(started.get()) != PGRES_COPY_IN) {
            error = oneLine(pq::PQerrorMessage(connection));
            return false;
        }
        block.assign("PGCOPY\n\377\r\n\0", 11);
        appendBigEndian32(block, 0);  // flags
        appendBigEndian32(block, 0);  // no extension
        return true;
    }

    bool add(const std::vector<BackupField>& row, std::string& error) override
    {
        appendBigEndian16(block, static_cast<std::uint16_t>(row.size()));
        std::size_t at = 0;
        for (const BackupColumn& column : current->columns) {
            if (!keptInSqlite(column) || at == row.size()) {
                continue;
            }
            const BackupField& field = row[at++];
            if (field.null) {
                appendBigEndian32(block, 0xFFFFFFFFu);  // -1: null
            } else if (carriedAsNumber(column.as)) {
                appendBigEndian32(block, 8);
                appendBigEndian64(block,
                                  static_cast<std::uint64_t>(field.number));
            } else {
                appendBigEndian32(
                    block, static_cast<std::uint32_t>(field.bytes.size()));
                block.append(field.bytes);
            }
        }
        return block.size() < COPY_BLOCK || send(error);
    }

    bool endTable(std::string& error) override
    {
        appendBigEndian16(block, 0xFFFF);  // -1: the trailer
        if (!send(error) || pq::PQputCopyEnd(connection, nullptr) != 1) {
            error = oneLine(pq::PQerrorMessage(connection));
            return false;
        }
        bool ended = true;
        for (Result done(pq::PQgetResult(connection)); done;
             done.reset(pq::PQgetResult(connection))) {
            if (!succeeded(done.get()) && ended) {
                ended = false;
                error = oneLine(pq::PQresultErrorMessage(done.get()));
            }
        }
        return ended;
    }

private:
    bool send(std::string& error)
    {
        if (pq::PQputCopyData(connection, block.data(),
                              static_cast<int>(block.size())) != 1) {
            error = oneLine(pq::PQerrorMessage(connection));
            return false;
        }
        block.clear();
        return true;
    }

    PGconn* connection;
    const BackupTable* current = nullptr;  // the table being sent
    std::string block;                     // bytes not sent yet
};

}  // namespace

bool readStore(const std::string& uri, BackupSink& sink, std::string& error)
{
    PostgresSession session;
    if (!session.connect(uri, SETTINGS, error)) {
        return false;
    }
    PGconn* connection = session.get();
    if (!run(connection, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY",
             error) ||
        !checkVersion(connection, error)) {
        return false;
    }
    for (const BackupTable& table : backupTables()) {
        if (!copyTable(connection, table, sink, error)) {
            return false;
        }
    }
    return run(connection, "COMMIT", error) != nullptr;
}

bool restore(const std::string& uri, const Feed& feed, std::string& error)
{
    PostgresSession session;
    if (!session.connect(uri, SETTINGS, error)) {
        return false;
    }
    PGconn* connection = session.get();
    if (!run(connection, "BEGIN", error) || !checkVersion(connection, error)) {
        return false;
    }
    // The database says who owns the store; the clerks' and readers' roles
    // may not write its history, nor switch off what records it.
    const Result owner = run(connection,
                             "SELECT pg_has_role((SELECT relowner FROM "
                             "pg_class WHERE oid = 'stock'::regclass), "
                             "'USAGE')",
                             error);
    if (!owner) {
        return false;
    }
    if (std::strcmp(pq::PQgetvalue(owner.get(), 0, 0), "t") != 0) {
        error = "only the store's owner may restore a backup into it";
        return false;
    }
    std::string tables;
    std::string anything;
    std::string prepare;
    std::string fill;
    for (const BackupTable& table : backupTables()) {
        const std::string name = table.name;
        tables += (tables.empty() ? "" : ", ") + name;
        anything += (anything.empty() ? "SELECT " : " OR ") +
                    ("EXISTS (SELECT FROM " + name + ")");
        // The triggers are switched off for this transaction alone: the
        // lock below keeps every other client off the table until the
        // commit, which switches them on again.
        prepare += "ALTER TABLE " + name + " DISABLE TRIGGER USER;\n";
        std::string carried;
        std::string columns;
        std::string values;
        for (const BackupColumn& column : table.columns) {
            columns += (columns.empty() ? "" : ", ") + std::string(column.name);
            values += (values.empty() ? "" : ", ") + storedForm(column);
            if (keptInSqlite(column)) {
                carried += (carried.empty() ? "" : ", ") +
                           std::string(column.name) + " " +
                           carriedType(column.as);
            }
        }
        prepare += "CREATE TEMPORARY TABLE restored_" + name + " (" + carried +
                   ") ON COMMIT DROP;\n";
        fill += "INSERT INTO " + name + " (" + columns + ") SELECT " + values +
                " FROM restored_" + name + " ORDER BY " + table.key + ";\n" +
                "ALTER TABLE " + name + " ENABLE TRIGGER USER;\n";
        for (const auto& [sequence, column] : table.counters) {
            fill += "SELECT setval(" + std::string(sequence) +
                    ", coalesce(max(" + column + "), 1), max(" + column +
                    ") IS NOT NULL) FROM " + name + ";\n";
        }
    }
    // Taken before the look, so that no clerk writes between the look and
    // the commit.
    if (!run(connection, "LOCK TABLE " + tables + " IN ACCESS EXCLUSIVE MODE",
             error)) {
        return false;
    }
    const Result holds = run(connection, anything, error);
    if (!holds) {
        return false;
    }
    if (std::strcmp(pq::PQgetvalue(holds.get(), 0, 0), "t") == 0) {
        error = "it is not empty (it holds stock, history or a catalogue): a "
                "backup is restored only into an empty store";
        return false;
    }
    // With the triggers off, the restore notes its own change of the
    // catalogue and the lots, which the history it writes names no more
    // than the owner's view can tell.
    fill += "INSERT INTO store_changes (what) VALUES ('catalogue'), ('lots');\n";
    Restoring sink(connection);
    return run(connection, prepare, error) && feed(sink, error) &&
           run(connection, fill + "COMMIT", error);
}

}  // namespace postgres_backup
