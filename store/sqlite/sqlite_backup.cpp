// Backups on the SQLite side: SQLite's online backup for a store copied
// whole, and plain statements for the rows that come from or go to another
// kind of store.
#include "store/sqlite/sqlite_backup.hh"

#include "store/sqlite/sqlite_rows.hh"
#include "store/sqlite/sqlite_schema.hh"
#include "util/files.hh"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sqlite_backup {

namespace {

// How long a statement waits for a store that a run is writing: a run
// holds its lock for one command, never while it waits for a line.
constexpr int BUSY_MILLISECONDS = 10000;

/// Opens the database at path with flags; null, with SQLite's words in
/// error, when it cannot.
Database opened(const std::string& path, int flags, std::string& error)
{
    sqlite3* handle = nullptr;
    const int status = sqlite3_open_v2(path.c_str(), &handle,
                                       flags | SQLITE_OPEN_NOMUTEX, nullptr);
    Database database(handle);
    if (status != SQLITE_OK) {
        error = handle != nullptr ? sqlite3_errmsg(handle) : "out of memory";
        return nullptr;
    }
    sqlite3_busy_timeout(handle, BUSY_MILLISECONDS);
    // The triggers record what other programs change; rows copied from a
    // store are its history already.
    sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    return database;
}

Statement prepared(sqlite3* database, const std::string& sql,
                   std::string& error)
{
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr);
    if (statement == nullptr) {
        error = sqlite3_errmsg(database);
    }
    return Statement(statement);
}

/// The columns of table that an SQLite store keeps, as a list for SQL.
std::string columnList(const BackupTable& table)
{
    std::string list;
    for (const BackupColumn& column : table.columns) {
        if (keptInSqlite(column)) {
            list += (list.empty() ? "" : ", ") + std::string(column.name);
        }
    }
    return list;
}

/// The version of the store open in database, which must be a whole
/// store; 0, with the reason in error, when it is none.
std::uint32_t storeVersion(sqlite3* database, std::string& error)
{
    const std::uint32_t version = sqlite_schema::versionOf(database, error);
    if (version == 0 || !sqlite_schema::checkObjects(database, version, error)) {
        return 0;
    }
    return version;
}

/// The SQL that is true of a value of column that the column cannot carry
/// to either kind of store: a whole number that is none, a flag other than
/// 0 or 1, a text that is not text, a time not in the history's form or a
/// date not in the lots' form, or either not on the calendar (the modifier
/// makes SQLite carry a 30 February over into March, which it otherwise
/// prints back as it was) or in the year 0, which SQLite takes and
/// PostgreSQL has not.
std::string unfitValue(const BackupColumn& column)
{
    const std::string name = column.name;
    switch (column.as) {
    case Carried::Number:
        return "typeof(" + name + ") NOT IN ('integer', 'null')";
    case Carried::Flag:
        return name + " IS NOT NULL AND (typeof(" + name +
               ") <> 'integer' OR " + name + " NOT IN (0, 1))";
    case Carried::Bytes:
        return "typeof(" + name + ") NOT IN ('text', 'blob', 'null')";
    case Carried::Text:
        return "typeof(" + name + ") NOT IN ('text', 'null')";
    case Carried::Time:
        return name + " IS NOT NULL AND (typeof(" + name + ") <> 'text' OR " +
               "strftime('%Y-%m-%d %H:%M:%f', " + name + ", '+0 days') IS NOT " +
               name + " OR " + name + " < '0001')";
    case Carried::Date:
        return name + " IS NOT NULL AND (typeof(" + name + ") <> 'text' OR " +
               "date(" + name + ", '+0 days') IS NOT " + name + " OR " + name +
               " < '0001')";
    case Carried::Xid:
        break;
    }
    return "0";
}

/// What a store's own writes never leave, which a backup made by hand or
/// damaged can hold: each the SQL of the key of a first row that breaks
/// it, what that key names, and what is wrong.
struct RowRule {
    const char* sql;
    const char* subject;
    const char* wrong;
};

const RowRule ROW_RULES[] = {
    {"SELECT seq FROM history WHERE amount_before NOT BETWEEN 0 AND 4294967295 "
     "OR amount_after NOT BETWEEN 0 AND 4294967295 OR command_no < 1 LIMIT 1",
     "history entry", "units or a command number that no command leaves"},
    // What the stores' checks keep, which SQLite lets a program set aside
    // (PRAGMA ignore_check_constraints).
    {"SELECT id FROM stock WHERE amount NOT BETWEEN 1 AND 4294967295 LIMIT 1",
     "product", "units that no product holds"},
    {"SELECT lot FROM lots WHERE units NOT BETWEEN 1 AND 4294967295 LIMIT 1", "lot",
     "units that no lot holds"},
    {"SELECT id FROM catalogue WHERE price_cents < 0 OR cost_cents < 0 OR "
     "reorder_level < 0 LIMIT 1",
     "record", "a price, cost or level below 0"},
    // Each product's last entry since the last command that changed too
    // many products to list them leaves the units the stock holds of it.
    {"SELECT last.id FROM (SELECT id, amount_after, max(seq) FROM history "
     "WHERE id IS NOT NULL AND seq > (SELECT coalesce(max(seq), 0) FROM "
     "history WHERE id IS NULL) GROUP BY id) AS last LEFT JOIN stock "
     "USING (id) WHERE last.amount_after IS NOT coalesce(stock.amount, 0) "
     "LIMIT 1",
     "product", "the stock does not hold what its history left"},
    // Numbered from 1, as a store numbers its lots: SQLite's triggers mark
    // a lot taken whole by its number made negative.
    {"SELECT lot FROM lots WHERE lot < 1 LIMIT 1", "lot",
     "a number that no delivery gives"},
    // Far below the largest integer: a store goes on numbering from the
    // largest number it holds, and one at the top of the range could take
    // in the backup and then no command after it.
    {"SELECT seq FROM history WHERE seq > 4611686018427387903 OR "
     "command_no > 4611686018427387903 LIMIT 1",
     "history entry", "a number past those a store can go on from"},
    {"SELECT lot FROM lots WHERE lot > 4611686018427387903 LIMIT 1", "lot",
     "a number past those a store can go on from"},
    {"SELECT seq FROM catalogue_changes WHERE seq > 4611686018427387903 LIMIT 1",
     "catalogue change", "a number past those a store can go on from"},
    // A product's dated lots are some of its units, never more.
    {"SELECT lots.id FROM lots LEFT JOIN stock USING (id) GROUP BY lots.id "
     "HAVING sum(lots.units) > coalesce(max(stock.amount), 0) LIMIT 1",
     "product", "its dated lots hold more units than its stock"},
};

/// Whether sql gives a row, whose first column goes into key. False, with
/// SQLite's words in error, when it cannot be run.
bool givesRow(sqlite3* database, const std::string& sql, std::string& key,
              std::string& error)
{
    const Statement select = prepared(database, sql, error);
    if (!select) {
        return false;
    }
    Stepping rows(select);
    const int step = rows.step();
    if (step == SQLITE_ROW) {
        columnText(rows.row(), 0, key);
        return true;
    }
    if (step != SQLITE_DONE) {
        error = sqlite3_errmsg(database);
    }
    return false;
}

/// Checks the rows of the backup open in database: each value one its
/// column carries, and each rule kept. False, with the first fault found
/// in error.
bool checkRows(sqlite3* database, std::string& error)
{
    std::string key;
    for (const BackupTable& table : backupTables()) {
        for (const BackupColumn& column : table.columns) {
            if (!keptInSqlite(column)) {
                continue;
            }
            const std::string sql = "SELECT " + std::string(table.key) +
                                    " FROM " + table.name + " WHERE " +
                                    unfitValue(column) + " LIMIT 1";
            if (givesRow(database, sql, key, error)) {
                error = std::string(table.name) + " " + table.key + " " +
                        key + ": " + column.name +
                        " holds a value no store keeps";
                return false;
            }
            if (!error.empty()) {
                return false;
            }
        }
    }
    for (const RowRule& rule : ROW_RULES) {
        if (givesRow(database, rule.sql, key, error)) {
            error = std::string(rule.subject) + " " + key + ": " + rule.wrong;
            return false;
        }
        if (!error.empty()) {
            return false;
        }
    }
    return true;
}

/// A new store filled in one transaction.
class NewStore : public BackupSink {
public:
    explicit NewStore(Database database) : database(std::move(database)) {}

    bool startTable(const BackupTable& table, std::string& error) override
    {
        current = &table;
        std::string values;
        for (const BackupColumn& column : table.columns) {
            if (keptInSqlite(column)) {
                values += (values.empty() ? "?" : ", ?");
            }
        }
        insert = prepared(database.get(),
                          "INSERT INTO " + std::string(table.name) + " (" +
                              columnList(table) + ") VALUES (" + values + ")",
                          error);
        return insert != nullptr;
    }

    bool add(const std::vector<BackupField>& row, std::string& error) override
    {
        sqlite3_stmt* statement = insert.get();
        std::size_t at = 0;
        for (const BackupColumn& column : current->columns) {
            if (!keptInSqlite(column) || at == row.size()) {
                continue;
            }
            const BackupField& field = row[at++];
            const int parameter = static_cast<int>(at);
            if (field.null) {
                sqlite3_bind_null(statement, parameter);
            } else if (carriedAsNumber(column.as)) {
                sqlite3_bind_int64(statement, parameter, field.number);
            } else {
                bindText(statement, parameter, field.bytes);
            }
        }
        if (Stepping(insert).step() != SQLITE_DONE) {
            error = sqlite3_errmsg(database.get());
            return false;
        }
        return true;
    }

    bool endTable(std::string&) override
    {
        insert.reset();
        return true;
    }

    bool commit(std::string& error)
    {
        if (!execute(database.get(), "COMMIT", error)) {
            return false;
        }
        // Closed here, so that the log is folded into the file before the
        // caller syncs it.
        if (sqlite3_close(database.release()) != SQLITE_OK) {
            error = "the new store could not be closed";
            return false;
        }
        return true;
    }

private:
    Database database;
    const BackupTable* current = nullptr;  // the table being filled
    Statement insert;                      // its rows' statement
};

}  // namespace

bool copyStore(const std::string& path, const std::string& to,
               std::string& error)
{
    const Database source = opened(path, SQLITE_OPEN_READONLY, error);
    if (!source || storeVersion(source.get(), error) == 0) {
        return false;
    }
    Database target = opened(to, SQLITE_OPEN_READWRITE, error);
    if (!target) {
        return false;
    }
    // One step of every page: the source's read transaction lasts the whole
    // copy, so the copy is one state the store went through.
    sqlite3_backup* backup =
        sqlite3_backup_init(target.get(), "main", source.get(), "main");
    if (backup == nullptr) {
        error = sqlite3_errmsg(target.get());
        return false;
    }
    const int stepped = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE) {
        error = sqlite3_errstr(stepped);
        return false;
    }
    // The store may have been brought up to date by a run, or not yet: the
    // copy is brought up to date alone.
    const std::uint32_t version = storeVersion(target.get(), error);
    if (version == 0) {
        return false;
    }
    if (version < sqlite_schema::VERSION &&
        (!execute(target.get(), "BEGIN IMMEDIATE", error) ||
         !sqlite_schema::upgrade(target.get(), version, error) ||
         !execute(target.get(), "COMMIT", error))) {
        return false;
    }
    if (!execute(target.get(), "PRAGMA journal_mode = WAL", error)) {
        return false;
    }
    if (sqlite3_close(target.release()) != SQLITE_OK) {
        error = "the copy could not be closed";
        return false;
    }
    return true;
}

std::unique_ptr<BackupSink> newStore(const std::string& path,
                                     std::string& error)
{
    std::string image;
    if (!sqlite_schema::newStoreImage(image, error)) {
        return nullptr;
    }
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const bool written = descriptor >= 0 && writeAll(descriptor, image);
    const int writeError = errno;
    if (descriptor >= 0) {
        ::close(descriptor);
    }
    if (!written) {
        error = std::strerror(writeError);
        return nullptr;
    }
    Database database = opened(path, SQLITE_OPEN_READWRITE, error);
    if (!database || !execute(database.get(), "BEGIN IMMEDIATE", error)) {
        return nullptr;
    }
    return std::make_unique<NewStore>(std::move(database));
}

bool finish(BackupSink& store, std::string& error)
{
    return static_cast<NewStore&>(store).commit(error);
}

bool readStore(const std::string& path, BackupSink& sink, std::string& error)
{
    if (!checkBackup(path, error)) {
        return false;
    }
    const Database database = opened(path, SQLITE_OPEN_READONLY, error);
    if (!database) {
        return false;
    }
    if (!execute(database.get(), "BEGIN", error)) {
        return false;
    }
    std::vector<BackupField> row;
    for (const BackupTable& table : backupTables()) {
        const Statement select =
            prepared(database.get(),
                     "SELECT " + columnList(table) + " FROM " + table.name +
                         " ORDER BY " + table.key,
                     error);
        if (!select || !sink.startTable(table, error)) {
            return false;
        }
        Stepping rows(select);
        int step = SQLITE_ROW;
        while ((step = rows.step()) == SQLITE_ROW) {
            row.clear();
            int at = 0;
            for (const BackupColumn& column : table.columns) {
                if (!keptInSqlite(column)) {
                    continue;
                }
                BackupField field;
                field.null = sqlite3_column_type(rows.row(), at) == SQLITE_NULL;
                if (carriedAsNumber(column.as)) {
                    field.number = sqlite3_column_int64(rows.row(), at);
                } else {
                    const void* bytes = sqlite3_column_blob(rows.row(), at);
                    field.bytes = std::string_view(
                        bytes != nullptr ? static_cast<const char*>(bytes) : "",
                        static_cast<std::size_t>(
                            sqlite3_column_bytes(rows.row(), at)));
                }
                row.push_back(field);
                ++at;
            }
            if (!sink.add(row, error)) {
                return false;
            }
        }
        if (step != SQLITE_DONE) {
            error = sqlite3_errmsg(database.get());
            return false;
        }
        if (!sink.endTable(error)) {
            return false;
        }
    }
    return execute(database.get(), "COMMIT", error);
}

bool checkBackup(const std::string& path, std::string& error)
{
    const Database database = opened(path, SQLITE_OPEN_READONLY, error);
    const std::uint32_t version =
        database ? storeVersion(database.get(), error) : 0;
    if (version == 0) {
        return false;
    }
    if (version != sqlite_schema::VERSION) {
        error = "a backup of an older version: open it once with --store to "
                "bring it up to date";
        return false;
    }
    return checkRows(database.get(), error);
}

Restored restore(const std::string& backup, const std::string& path,
                  std::string& error)
{
    if (!checkBackup(backup, error)) {
        error = "the backup " + backup + ": " + error;
        return Restored::Failed;
    }
    const Database database = opened(path, SQLITE_OPEN_READWRITE, error);
    if (!database) {
        return Restored::Failed;
    }
    const Statement attach =
        prepared(database.get(), "ATTACH ?1 AS backup", error);
    if (!attach) {
        return Restored::Failed;
    }
    bindText(attach.get(), 1, backup);
    if (Stepping(attach).step() != SQLITE_DONE) {
        error = sqlite3_errmsg(database.get());
        return Restored::Failed;
    }
    std::string anything;
    std::string copies;
    for (const BackupTable& table : backupTables()) {
        anything += (anything.empty() ? "SELECT " : " OR ") +
                    std::string("EXISTS (SELECT 1 FROM main.") + table.name +
                    ")";
        copies += "INSERT INTO main." + std::string(table.name) + " (" +
                  columnList(table) + ") SELECT " + columnList(table) +
                  " FROM backup." + table.name + " ORDER BY " + table.key +
                  ";\n";
    }
    // Checked under the write lock, in the transaction that fills it: no
    // run can write between the look and the copy.
    if (!execute(database.get(), "BEGIN IMMEDIATE", error)) {
        return Restored::Failed;
    }
    const Statement holds = prepared(database.get(), anything, error);
    if (!holds) {
        return Restored::Failed;
    }
    {
        Stepping looked(holds);
        if (looked.step() != SQLITE_ROW) {
            error = sqlite3_errmsg(database.get());
            return Restored::Failed;
        }
        if (sqlite3_column_int(looked.row(), 0) != 0) {
            error = "it is not empty (it holds stock, history or a catalogue): "
                    "a backup is restored only into an empty store";
            return Restored::NotEmpty;
        }
    }
    // The records come in with the triggers off: counted here, so that an
    // owner's view of the empty store reads its figures anew.
    return execute(database.get(),
                   copies + "UPDATE main.catalogue_changed SET times = times + 1;\nCOMMIT;",
                   error)
               ? Restored::Done
               : Restored::Failed;
}

}  // namespace sqlite_backup
