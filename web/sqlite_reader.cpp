// The owner's view's reads of a store in an SQLite file.
#include "web/sqlite_reader.hh"

#include "store/sqlite/sqlite_rows.hh"
#include "store/sqlite/sqlite_schema.hh"
#include "web/sql_reader.hh"
#include "web/wide_cents.hh"

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <optional>
#include <utility>

namespace {

// A clerk's run holds the write lock only for its commit; a reader in WAL
// mode waits only while a checkpoint or recovery has the index, briefly.
constexpr int BUSY_MILLISECONDS = 5000;

class SqliteRow final : public SqlRow {
public:
    explicit SqliteRow(sqlite3_stmt* statement) : statement(statement) {}

    bool isNull(int column) const override
    {
        return sqlite3_column_type(statement, column) == SQLITE_NULL;
    }

    std::string_view text(int column) const override
    {
        const auto* bytes = reinterpret_cast<const char*>(
            sqlite3_column_text(statement, column));
        const int size = sqlite3_column_bytes(statement, column);
        return bytes == nullptr ? std::string_view()
                                : std::string_view(bytes, static_cast<std::size_t>(size));
    }

    std::int64_t number(int column) const override
    {
        return sqlite3_column_int64(statement, column);
    }

private:
    sqlite3_stmt* statement;
};

/// The file that path names now, by device and inode; none when there is
/// none.
std::optional<std::pair<dev_t, ino_t>> identityAt(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return std::pair(status.st_dev, status.st_ino);
}

class SqliteReader final : public SqlReader {
public:
    SqliteReader(Database database, const Dialect& dialect, std::string path,
                 std::pair<dev_t, ino_t> identity)
        : SqlReader(dialect), database(std::move(database)), path(std::move(path)),
          identity(identity)
    {
    }

    // Asked before each request, and of the idle views on every pass of the
    // server's loop: a store put in the file's place, or moved away, is let
    // go of and opened anew rather than read on from the old one. SQLite
    // names the log and its index by the path: the old file's connection
    // would read its pages with a log that is by then the new file's, and
    // it holds the index, through which any program that opens the new
    // file would read it.
    bool replaced() const override { return identityAt(path) != identity; }

    void begin() override { execute("BEGIN"); }

    void finish() override
    {
        if (sqlite3_get_autocommit(database.get()) == 0) {
            sqlite3_exec(database.get(), "COMMIT", nullptr, nullptr, nullptr);
        }
    }

protected:
    void query(const std::string& sql, const std::vector<SqlParam>& params,
               Rows rows, const RowVisitor& visit) override;

    // The connection's count of the commits of other connections, as its
    // snapshot found it; the view's own connection writes nothing. It
    // starts the snapshot when nothing has.
    std::string changeMark() override
    {
        std::string mark;
        query("PRAGMA data_version", {}, Rows::Few, [&mark](const SqlRow& row) {
            mark = row.text(0);
            return false;
        });
        return mark;
    }

    // The count of other programs' changes to the catalogue (version 10),
    // with the schema's count of its own changes, which a trigger dropped
    // or made anew moves: a row and the file's header, where the records
    // would be a million. Empty where the store keeps no count, or has
    // lost its row: the figures are then read anew after every change.
    std::string catalogueNow() override
    {
        const std::string schema = oneText("PRAGMA schema_version", {});
        if (schema != countCheckedAt) {
            countCheckedAt = schema;
            std::string error;
            const std::uint32_t version = sqlite_schema::versionOf(database.get(), error);
            counted = version >= sqlite_schema::CATALOGUE_COUNTED &&
                      sqlite_schema::checkObjects(database.get(), version, error);
        }
        if (!counted) {
            return {};
        }
        const std::string times = oneText("SELECT times FROM catalogue_changed", {});
        return times.empty() ? times : schema + ":" + times;
    }

    // The records that a run's first delivery makes leave the count as it
    // was: the run writes them with the products' entries, whose records
    // the view reads anyway.
    std::optional<std::string> catalogueAfter(const std::string& was,
                                              const std::string&) override
    {
        std::string now = catalogueNow();
        if (now.empty() || now != was) {
            return std::nullopt;
        }
        return now;
    }

    // Other programs' changes of the lots are not counted: their totals
    // are read anew after every change (within the time a page is given,
    // as the lots' index by date holds their products and units).
    bool notesLotChanges() override { return false; }
    bool lotsFollowHistory(const std::string&) override { return false; }

private:
    [[noreturn]] void fail() const
    {
        throw StoreError(sqlite3_errmsg(database.get()));
    }

    void execute(const char* sql)
    {
        if (sqlite3_exec(database.get(), sql, nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
            fail();
        }
    }

    /// The statement of sql, prepared on first use and kept for the next.
    sqlite3_stmt* prepared(const std::string& sql);

    Database database;
    std::map<std::string, Statement> statements;  // by their SQL
    const std::string path;
    const std::pair<dev_t, ino_t> identity;  // of the file SQLite opened
    // The schema's count of its changes when the catalogue's count was
    // last looked for, and whether it was there: looked for again only
    // after the schema changes.
    std::string countCheckedAt;
    bool counted = false;
};

sqlite3_stmt* SqliteReader::prepared(const std::string& sql)
{
    Statement& statement = statements[sql];
    if (!statement) {
        sqlite3_stmt* made = nullptr;
        if (sqlite3_prepare_v3(database.get(), sql.c_str(),
                               static_cast<int>(sql.size()),
                               SQLITE_PREPARE_PERSISTENT, &made,
                               nullptr) != SQLITE_OK) {
            statements.erase(sql);
            fail();
        }
        statement.reset(made);
    }
    return statement.get();
}

void SqliteReader::query(const std::string& sql,
                         const std::vector<SqlParam>& params, Rows,
                         const RowVisitor& visit)
{
    // Every result is stepped through a row at a time, however large.
    sqlite3_stmt* const statement = prepared(sql);
    // Reset on every way out, so that no read is left open.
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> resetter(
        statement, sqlite3_reset);
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string name = "$" + std::to_string(i + 1);
        const int index = sqlite3_bind_parameter_index(statement, name.c_str());
        const SqlParam& param = params[i];
        if (param.kind == SqlParam::Kind::Number) {
            sqlite3_bind_int64(statement, index, param.number);
        } else {
            sqlite3_bind_text(statement, index, param.bytes.data(),
                              static_cast<int>(param.bytes.size()),
                              SQLITE_STATIC);
        }
    }
    const SqliteRow row(statement);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        if (!visit(row)) {
            return;
        }
    }
    if (step != SQLITE_DONE) {
        fail();
    }
}

void productSumStep(sqlite3_context* context, int, sqlite3_value** values)
{
    // SQLite aligns the sum's bytes to 8 only: it is copied in and out.
    void* const kept = sqlite3_aggregate_context(context, sizeof(WideCents));
    if (kept == nullptr) {
        sqlite3_result_error_nomem(context);
        return;
    }
    if (sqlite3_value_type(values[0]) == SQLITE_NULL ||
        sqlite3_value_type(values[1]) == SQLITE_NULL) {
        return;
    }
    WideCents sum = 0;
    std::memcpy(&sum, kept, sizeof sum);
    sum += static_cast<WideCents>(sqlite3_value_int64(values[0])) *
           sqlite3_value_int64(values[1]);
    std::memcpy(kept, &sum, sizeof sum);
}

void productSumFinal(sqlite3_context* context)
{
    const void* const kept = sqlite3_aggregate_context(context, 0);
    WideCents left = 0;
    if (kept != nullptr) {
        std::memcpy(&left, kept, sizeof left);
    }
    const std::string digits = decimalOf(left);
    sqlite3_result_text(context, digits.c_str(), static_cast<int>(digits.size()),
                        SQLITE_TRANSIENT);
}

/// Throws StoreError unless database holds a store of a version this view
/// reads, with every object of its shape.
void checkStore(sqlite3* database)
{
    std::string error;
    const std::uint32_t version = sqlite_schema::versionOf(database, error);
    if (version == 0) {
        throw StoreError(error);
    }
    if (version < sqlite_schema::OLDEST_VIEWED) {
        throw StoreError("a store of an older version: a run of warehouse "
                         "brings it up to date");
    }
    if (!sqlite_schema::checkObjects(database, version, error)) {
        throw StoreError(error);
    }
}

/// The store in the file at path, which had that identity just before.
std::unique_ptr<StoreReader> openOnce(const std::string& path,
                                      std::pair<dev_t, ino_t> identity)
{
    sqlite3* opened = nullptr;
    // Read-only: no file is made, and nothing in it can change. Each view
    // is used by one request at a time, so SQLite's own mutex is not needed.
    const int status =
        sqlite3_open_v2(path.c_str(), &opened,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    Database database(opened);
    if (status != SQLITE_OK) {
        throw StoreError(opened != nullptr ? sqlite3_errmsg(opened)
                                           : sqlite3_errstr(status));
    }
    sqlite3_busy_timeout(database.get(), BUSY_MILLISECONDS);
    // The view writes nothing, not even the checkpoint SQLite tries as its
    // last connection to a file closes, which would write the log it finds
    // beside the path into the file, and remove that log, whichever file's
    // it is by then. SQLite 3.40 does neither through a read-only
    // descriptor, which cannot take the lock it checkpoints under, nor
    // where the file has moved from its path (both tried); this does not
    // lean on either.
    sqlite3_db_config(database.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    checkStore(database.get());
    // SQLite's sum() of 64-bit products would overflow, or round them.
    if (sqlite3_create_function_v2(database.get(), "product_sum", 2,
                                   SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   nullptr, productSumStep, productSumFinal,
                                   nullptr) != SQLITE_OK) {
        throw StoreError(sqlite3_errmsg(database.get()));
    }
    const auto productSum = [](const std::string& units, const std::string& cents) {
        return "product_sum(" + units + ", " + cents + ")";
    };
    return std::make_unique<SqliteReader>(
        std::move(database),
        SqliteReader::Dialect{
            "changed_at", "", productSum, "l.best_before",
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'lots'",
            // Looked up in the order of the catalogue, each look-up finds
            // the pages of the last in the cache: about half the time of
            // look-ups in the order of dates. The plus keeps SQLite from
            // reading every lot through the index by id for that order.
            " ORDER BY +id",
            // The runs write one at a time, and each entry is given the
            // next seq: the entries after the newest kept are the new ones.
            // Its time too, so that a history put in the place of another
            // that reached as far is told apart.
            "SELECT coalesce((SELECT seq || ':' || changed_at FROM history "
            "ORDER BY seq DESC LIMIT 1), '0:')",
            "seq > CAST($1 AS integer)",
            "SELECT $1 = '0:' OR EXISTS (SELECT 1 FROM history WHERE "
            "seq = CAST($1 AS integer) AND seq || ':' || changed_at = $1)"
        },
        path, identity);
}

}  // namespace

std::unique_ptr<StoreReader> openSqliteReader(const std::string& path)
{
    // SQLite opened the file that the path names both before and after,
    // unless the path named another and then this one again in between,
    // two renames within the opening. One replaced meanwhile is opened
    // again.
    for (int tries = 0;; ++tries) {
        const auto before = identityAt(path);
        std::unique_ptr<StoreReader> reader =
            openOnce(path, before.value_or(std::pair<dev_t, ino_t>()));
        if (before.has_value() && identityAt(path) == before) {
            return reader;
        }
        if (tries == 2) {
            throw StoreError("the store file was replaced while it was opened");
        }
    }
}
