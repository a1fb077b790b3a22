#include "sqlite_store.hh"

#include "progress.hh"
#include "sqlite_file.hh"
#include "sqlite_schema.hh"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <thread>

namespace {

using Clock = StoreFile::Clock;

const char* const DAMAGED_ROW =
    "damaged: a row of the stock holds a field that is not text, or an "
    "amount that is not a whole number from 1 to 4294967295";

struct CloseDatabase {
    void operator()(sqlite3* database) const { sqlite3_close(database); }
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const
    {
        sqlite3_finalize(statement);
    }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

/// A statement being stepped, reset however the stepping ends: a statement
/// left active would keep its read going past the transaction.
class Stepping {
public:
    explicit Stepping(const Statement& statement) : statement(statement.get())
    {
    }
    ~Stepping() { sqlite3_reset(statement); }
    Stepping(const Stepping&) = delete;
    Stepping& operator=(const Stepping&) = delete;

    int step() { return sqlite3_step(statement); }
    sqlite3_stmt* row() const { return statement; }

private:
    sqlite3_stmt* statement;
};

/// Binds a string to a statement's parameter without copying it: the
/// string outlives the step.
void bindText(sqlite3_stmt* statement, int parameter, std::string_view text)
{
    sqlite3_bind_text(statement, parameter, text.data(),
                      static_cast<int>(text.size()), SQLITE_STATIC);
}

void bindOptional(sqlite3_stmt* statement, int parameter,
                  std::optional<std::uint32_t> number)
{
    if (number) {
        sqlite3_bind_int64(statement, parameter, *number);
    } else {
        sqlite3_bind_null(statement, parameter);
    }
}

/// A column's text, bytes and all, into text.
void columnText(sqlite3_stmt* row, int column, std::string& text)
{
    const auto* bytes =
        reinterpret_cast<const char*>(sqlite3_column_text(row, column));
    text.assign(bytes == nullptr ? "" : bytes,
                static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

std::optional<std::string> optionalText(sqlite3_stmt* row, int column)
{
    if (sqlite3_column_type(row, column) == SQLITE_NULL) {
        return std::nullopt;
    }
    std::string text;
    columnText(row, column, text);
    return text;
}

/// The product in a row of (id, amount, shelf, name), read strictly: false
/// when a field is not text or the amount not a whole number of units the
/// table can hold.
bool readProduct(sqlite3_stmt* row, std::string& id, std::uint32_t& amount,
                 std::string& shelf, std::string& name)
{
    if (sqlite3_column_type(row, 0) != SQLITE_TEXT ||
        sqlite3_column_type(row, 1) != SQLITE_INTEGER ||
        sqlite3_column_type(row, 2) != SQLITE_TEXT ||
        sqlite3_column_type(row, 3) != SQLITE_TEXT) {
        return false;
    }
    const sqlite3_int64 units = sqlite3_column_int64(row, 1);
    if (units < 1 || units > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    amount = static_cast<std::uint32_t>(units);
    columnText(row, 0, id);
    columnText(row, 2, shelf);
    columnText(row, 3, name);
    return true;
}

class SqliteStore final : public Store {
public:
    SqliteStore(Datastructure& table, const StoreOptions& options,
                std::unique_ptr<StoreFile> file)
        : Store(table, options), file(std::move(file))
    {
        madeAnew = this->file->made();
    }

    /// Opens the database, brings an older shape up to date, and loads the
    /// stock. False, with the reason in error(), when the file cannot be
    /// used.
    bool start();

    bool ownsFile(const std::string& candidate) const override
    {
        return file->owns(candidate);
    }

private:
    /// A difference between the stock stored and the table's, found by a
    /// write of the whole stock: row is the table's product, or null when
    /// the product, goneId, is no longer in stock.
    struct Difference {
        const ProductRow* row;
        std::string goneId;
        std::uint32_t before;
    };

    bool lock(Access access) override;
    bool catchUp() override;
    bool write(const CommandNotes& notes,
               const std::vector<StockChange>& changes) override;
    bool commit() override;
    void rollback() override;
    bool readHistory(const std::string* id, std::size_t count,
                     std::vector<HistoryEntry>& entries) override;

    bool upgradeIfOlder();
    bool prepareStatements();
    bool loadAtStart();
    bool loadStock();
    bool follow(const std::string& id);
    bool readDataVersion(std::int64_t& version);
    bool writeProduct(const std::string& id);
    bool putRow(const std::string& id, const std::string& shelf,
                std::uint32_t amount, const std::string& name);
    bool removeRow(const std::string& id);
    bool writeChanges(const CommandNotes& notes,
                      const std::vector<StockChange>& changes);
    bool writeEmptied(const CommandNotes& notes);
    bool writeMany(const CommandNotes& notes);
    bool findDifferences(const std::vector<ProductRow>& rows,
                         std::vector<Difference>& differences);
    bool rewriteEverything(const CommandNotes& notes);

    /// Starts the command's entries in the history, binding its number,
    /// time, clerk and command to the first five parameters of statement;
    /// false when the store failed.
    bool startEntries(const CommandNotes& notes, const Statement& statement);
    /// One entry of the command started: a product's units before and
    /// after, or with no id an entry for many products.
    bool addEntry(const std::string* id, std::optional<std::uint32_t> before,
                  std::optional<std::uint32_t> after);

    bool execute(const char* sql);
    bool prepare(Statement& statement, const char* sql);
    /// Steps a statement that gives no rows, and resets it.
    bool run(const Statement& statement);
    /// Fails with what went wrong and SQLite's own words.
    bool failWith(std::string_view what);

    /// SQLite's busy handler: waits a millisecond at a time, up to the wait
    /// limit. The runs of this program queue on the flock instead, and are
    /// woken at once; this waits for other programs.
    static int busy(void* store, int tries);

    const std::unique_ptr<StoreFile> file;
    Database database;
    Statement dataVersion;
    Statement changesSince;
    Statement product;
    Statement productsInOrder;
    Statement upsert;
    Statement remove;
    Statement lastCommand;
    Statement record;
    Statement countStock;
    Statement recordEveryProduct;
    std::int64_t lastSeen = 0;          // newest history entry the table has
    std::int64_t lastDataVersion = -1;  // the database as the table has it
    std::int64_t newestWritten = 0;     // newest entry this transaction wrote
    Access access = Access::Reads;      // of the open transaction
    std::string entryTime;              // of the command being recorded
    Clock::time_point waitDeadline{};   // set while lock() waits
    WaitNotice* waiting = nullptr;      // set while lock() waits
};

bool SqliteStore::execute(const char* sql)
{
    return sqlite3_exec(database.get(), sql, nullptr, nullptr, nullptr) ==
               SQLITE_OK ||
           failWith("");
}

bool SqliteStore::prepare(Statement& statement, const char* sql)
{
    sqlite3_stmt* prepared = nullptr;
    const int result =
        sqlite3_prepare_v2(database.get(), sql, -1, &prepared, nullptr);
    statement.reset(prepared);
    return result == SQLITE_OK || failWith("");
}

bool SqliteStore::run(const Statement& statement)
{
    return Stepping(statement).step() == SQLITE_DONE || failWith("");
}

bool SqliteStore::failWith(std::string_view what)
{
    return fail(std::string(what) + (database ? sqlite3_errmsg(database.get())
                                              : "out of memory"));
}

int SqliteStore::busy(void* store, int tries)
{
    auto& self = *static_cast<SqliteStore*>(store);
    if (tries == 0 && self.waiting == nullptr) {
        self.waitDeadline = Clock::now() + self.options.wait;
    }
    if (Clock::now() >= self.waitDeadline) {
        return 0;
    }
    if (self.waiting != nullptr) {
        self.waiting->tick();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}

bool SqliteStore::start()
{
    sqlite3* handle = nullptr;
    // The file itself, links resolved: SQLite keeps its log beside it.
    const int opened = sqlite3_open_v2(file->realPath().c_str(), &handle,
                                       SQLITE_OPEN_READWRITE, nullptr);
    database.reset(handle);
    if (opened != SQLITE_OK) {
        return failWith("cannot open it: ");
    }
    // A run records the history of its own changes, command by command; the
    // triggers are for what other programs change.
    sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_busy_handler(handle, &SqliteStore::busy, this);
    if (!upgradeIfOlder() || !execute("PRAGMA journal_mode = WAL") ||
        !prepareStatements() ||
        !loadAtStart()) {
        return false;
    }
    watchTable();
    return true;
}

bool SqliteStore::upgradeIfOlder()
{
    std::string error;
    std::uint32_t version = sqlite_schema::versionOf(database.get(), error);
    if (version == 0) {
        return fail(error);
    }
    if (!execute("PRAGMA synchronous = FULL")) {
        return false;
    }
    if (version < sqlite_schema::VERSION) {
        // Another run may have upgraded it meanwhile: asked again under the
        // lock.
        if (!lock(Access::Changes)) {
            return false;
        }
        version = sqlite_schema::versionOf(database.get(), error);
        if (version == 0 ||
            (version < sqlite_schema::VERSION &&
             !sqlite_schema::upgrade(database.get(), version, error))) {
            rollback();
            return fail(error);
        }
        if (!commit()) {
            rollback();
            return false;
        }
    }
    if (!sqlite_schema::checkObjects(database.get(), error)) {
        return fail(error);
    }
    return true;
}

bool SqliteStore::prepareStatements()
{
    return prepare(dataVersion, "PRAGMA data_version") &&
           prepare(changesSince,
                   "SELECT seq, id FROM history WHERE seq > ?1 ORDER BY seq") &&
           prepare(product, "SELECT id, amount, shelf, name FROM stock "
                            "WHERE id = ?1") &&
           prepare(productsInOrder,
                   "SELECT id, amount, shelf, name FROM stock ORDER BY id") &&
           prepare(upsert,
                   "INSERT INTO stock (id, amount, shelf, name) "
                   "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (id) DO UPDATE SET "
                   "amount = excluded.amount, shelf = excluded.shelf, "
                   "name = excluded.name") &&
           prepare(remove, "DELETE FROM stock WHERE id = ?1") &&
           prepare(lastCommand, "SELECT command_no FROM history "
                                "ORDER BY seq DESC LIMIT 1") &&
           prepare(record,
                   "INSERT INTO history (command_no, changed_at, clerk, "
                   "command, named_clerk, id, amount_before, amount_after) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)") &&
           prepare(countStock, "SELECT count(*) FROM stock") &&
           prepare(recordEveryProduct,
                   "INSERT INTO history (command_no, changed_at, clerk, "
                   "command, named_clerk, id, amount_before, amount_after) "
                   "SELECT ?1, ?2, ?3, ?4, ?5, id, amount, 0 FROM stock "
                   "ORDER BY id");
}

bool SqliteStore::readDataVersion(std::int64_t& version)
{
    Stepping pragma(dataVersion);
    if (pragma.step() != SQLITE_ROW) {
        return failWith("");
    }
    version = sqlite3_column_int64(pragma.row(), 0);
    return true;
}

bool SqliteStore::loadAtStart()
{
    // In one read transaction: the version, the history's newest entry and
    // the stock are those of one moment.
    Statement newest;
    if (!execute("BEGIN") || !readDataVersion(lastDataVersion) ||
        !prepare(newest, "SELECT coalesce(max(seq), 0) FROM history") ||
        sqlite3_step(newest.get()) != SQLITE_ROW) {
        rollback();
        return failWith("damaged: ");
    }
    lastSeen = sqlite3_column_int64(newest.get(), 0);
    newest.reset();
    const bool loaded = loadStock();
    rollback();  // nothing was written
    return loaded;
}

bool SqliteStore::loadStock()
{
    std::uint64_t total = 0;
    if (Progress::showing()) {
        Stepping counting(countStock);
        if (counting.step() == SQLITE_ROW) {
            total = static_cast<std::uint64_t>(
                sqlite3_column_int64(counting.row(), 0));
        }
    }
    Progress progress("Loading the store", total);
    std::uint64_t loaded = 0;
    std::string id;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    Stepping rows(productsInOrder);
    int step = SQLITE_ROW;
    try {
        while ((step = rows.step()) == SQLITE_ROW) {
            if (!readProduct(rows.row(), id, amount, shelf, name)) {
                return fail(DAMAGED_ROW);
            }
            table.add(id, shelf, amount, name);
            progress.at(++loaded);
        }
    } catch (const std::bad_alloc&) {
        return failTooLarge();
    }
    return step == SQLITE_DONE || failWith("damaged: ");
}

bool SqliteStore::lock(Access wanted)
{
    access = wanted;
    if (wanted != Access::Changes) {
        // A read transaction: its view of the store starts at its first read,
        // and makes no writer wait.
        if (!execute("BEGIN")) {
            return false;
        }
    } else {
        const Clock::time_point deadline = Clock::now() + options.wait;
        // Short, to fit a narrow terminal on one line.
        WaitNotice notice("Waiting for the store");
        if (!file->lockRuns(deadline, notice)) {
            return errno == ETIMEDOUT ? failLocked()
                                      : fail(std::strerror(errno));
        }
        waitDeadline = deadline;
        waiting = &notice;
        const int begun = sqlite3_exec(database.get(), "BEGIN IMMEDIATE",
                                       nullptr, nullptr, nullptr);
        waiting = nullptr;
        if (begun != SQLITE_OK) {
            file->unlockRuns();
            return begun == SQLITE_BUSY ? failLocked() : failWith("");
        }
    }
    if (const char* why = file->whyGone()) {
        rollback();
        return fail(why);
    }
    return true;
}

bool SqliteStore::catchUp()
{
    std::int64_t version = 0;
    if (!readDataVersion(version)) {
        return false;
    }
    if (version == lastDataVersion) {
        return true;  // nobody else committed anything
    }
    std::vector<std::string> ids;
    // A commit that left no entry in the history came from a program that
    // got past the triggers: only the whole stock tells what it did.
    bool everything = true;
    std::int64_t newest = lastSeen;
    {
        sqlite3_bind_int64(changesSince.get(), 1, lastSeen);
        Stepping rows(changesSince);
        int step = SQLITE_ROW;
        bool any = false;
        while ((step = rows.step()) == SQLITE_ROW) {
            newest = sqlite3_column_int64(rows.row(), 0);
            if (!any) {
                any = true;
                everything = false;
            }
            if (sqlite3_column_type(rows.row(), 1) == SQLITE_NULL) {
                everything = true;
            }
            if (!everything) {
                ids.emplace_back();
                columnText(rows.row(), 1, ids.back());
            }
        }
        if (step != SQLITE_DONE) {
            return failWith("");
        }
    }
    if (everything) {
        table.empty();
        if (!loadStock()) {
            return false;
        }
    } else {
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (const std::string& id : ids) {
            if (!follow(id)) {
                return false;
            }
        }
    }
    lastSeen = newest;
    lastDataVersion = version;
    return true;
}

bool SqliteStore::follow(const std::string& id)
{
    bindText(product.get(), 1, id);
    Stepping row(product);
    const int step = row.step();
    if (step == SQLITE_DONE) {
        table.put(id, {}, 0, {});  // gone from the store
        return true;
    }
    if (step != SQLITE_ROW) {
        return failWith("");
    }
    std::string storedId;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    if (!readProduct(row.row(), storedId, amount, shelf, name)) {
        return fail(DAMAGED_ROW);
    }
    table.put(id, shelf, amount, name);
    return true;
}

bool SqliteStore::putRow(const std::string& id, const std::string& shelf,
                         std::uint32_t amount, const std::string& name)
{
    bindText(upsert.get(), 1, id);
    sqlite3_bind_int64(upsert.get(), 2, amount);
    bindText(upsert.get(), 3, shelf);
    bindText(upsert.get(), 4, name);
    return run(upsert);
}

bool SqliteStore::removeRow(const std::string& id)
{
    bindText(remove.get(), 1, id);
    return run(remove);
}

bool SqliteStore::writeProduct(const std::string& id)
{
    bool written = true;
    const bool inStock = table.lookUp(
        id, [&](const std::string& stockId, const std::string& shelf,
                std::uint32_t amount, const std::string& name) {
            written = putRow(stockId, shelf, amount, name);
        });
    return inStock ? written : removeRow(id);
}

bool SqliteStore::startEntries(const CommandNotes& notes,
                               const Statement& statement)
{
    std::int64_t commandNo = 0;
    {
        Stepping last(lastCommand);
        const int step = last.step();
        if (step == SQLITE_ROW) {
            commandNo = sqlite3_column_int64(last.row(), 0);
        } else if (step != SQLITE_DONE) {
            return failWith("");
        }
    }
    entryTime = historyTime(notes.time);
    sqlite3_stmt* const entry = statement.get();
    sqlite3_bind_int64(entry, 1, commandNo + 1);
    bindText(entry, 2, entryTime);
    bindText(entry, 3, login);
    bindText(entry, 4, notes.echo);
    if (options.clerk.empty()) {
        sqlite3_bind_null(entry, 5);
    } else {
        bindText(entry, 5, options.clerk);
    }
    return true;
}

bool SqliteStore::addEntry(const std::string* id,
                           std::optional<std::uint32_t> before,
                           std::optional<std::uint32_t> after)
{
    sqlite3_stmt* const entry = record.get();
    if (id != nullptr) {
        bindText(entry, 6, *id);
    } else {
        sqlite3_bind_null(entry, 6);
    }
    bindOptional(entry, 7, before);
    bindOptional(entry, 8, after);
    if (!run(record)) {
        return false;
    }
    newestWritten = sqlite3_last_insert_rowid(database.get());
    return true;
}

bool SqliteStore::write(const CommandNotes& notes,
                        const std::vector<StockChange>& changes)
{
    switch (notes.kind) {
    case CommandNotes::Kind::Products:
        return writeChanges(notes, changes);
    case CommandNotes::Kind::Emptied:
        return writeEmptied(notes);
    case CommandNotes::Kind::Many:
        break;
    }
    return writeMany(notes);
}

bool SqliteStore::writeChanges(const CommandNotes& notes,
                               const std::vector<StockChange>& changes)
{
    for (const StockChange& change : changes) {
        if (!writeProduct(change.id)) {
            return false;
        }
    }
    if (!startEntries(notes, record)) {
        return false;
    }
    if (changes.size() > MOST_ENTRIES) {
        return addEntry(nullptr, std::nullopt, std::nullopt);
    }
    for (const StockChange& change : changes) {
        if (!addEntry(&change.id, change.before, change.after)) {
            return false;
        }
    }
    return true;
}

bool SqliteStore::writeEmptied(const CommandNotes& notes)
{
    // The stock stored is the stock before the command: each product there
    // goes to 0, and is listed unless there are too many.
    std::int64_t products = 0;
    {
        Stepping counting(countStock);
        if (counting.step() != SQLITE_ROW) {
            return failWith("");
        }
        products = sqlite3_column_int64(counting.row(), 0);
    }
    if (products == 0) {
        return true;
    }
    if (static_cast<std::uint64_t>(products) > MOST_ENTRIES) {
        if (!startEntries(notes, record) ||
            !addEntry(nullptr, std::nullopt, 0)) {
            return false;
        }
    } else {
        if (!startEntries(notes, recordEveryProduct) ||
            !run(recordEveryProduct)) {
            return false;
        }
        newestWritten = sqlite3_last_insert_rowid(database.get());
    }
    return execute("DELETE FROM stock");
}

bool SqliteStore::findDifferences(const std::vector<ProductRow>& rows,
                                  std::vector<Difference>& differences)
{
    // The stored stock and the table's, both in the order of the ids, side
    // by side.
    Stepping stored(productsInOrder);
    std::string id;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    auto next = rows.begin();
    int step = SQLITE_ROW;
    while ((step = stored.step()) == SQLITE_ROW) {
        if (!readProduct(stored.row(), id, amount, shelf, name)) {
            return fail(DAMAGED_ROW);
        }
        for (; next != rows.end() && *next->id < id; ++next) {
            differences.push_back({&*next, {}, 0});
        }
        if (next == rows.end() || *next->id != id) {
            differences.push_back({nullptr, id, amount});
            continue;
        }
        if (next->amount != amount || *next->shelf != shelf ||
            *next->name != name) {
            differences.push_back({&*next, {}, amount});
        }
        ++next;
    }
    for (; next != rows.end(); ++next) {
        differences.push_back({&*next, {}, 0});
    }
    return step == SQLITE_DONE || failWith("");
}

bool SqliteStore::writeMany(const CommandNotes& notes)
{
    // Only what differs is written, so that the history lists what the
    // command changed; without the memory to find it, the stock is written
    // whole.
    std::vector<ProductRow> rows;
    std::vector<Difference> differences;
    try {
        rows = productsById();
        if (!findDifferences(rows, differences)) {
            return false;
        }
    } catch (const std::bad_alloc&) {
        return rewriteEverything(notes);
    }
    Progress progress("Writing the store", differences.size());
    std::uint64_t written = 0;
    for (const Difference& difference : differences) {
        const ProductRow* row = difference.row;
        if (!(row != nullptr
                  ? putRow(*row->id, *row->shelf, row->amount, *row->name)
                  : removeRow(difference.goneId))) {
            return false;
        }
        progress.at(++written);
    }
    if (differences.empty()) {
        return true;
    }
    if (!startEntries(notes, record)) {
        return false;
    }
    if (differences.size() > MOST_ENTRIES) {
        const std::optional<std::uint32_t> after =
            table.count() == 0 ? std::optional<std::uint32_t>(0) : std::nullopt;
        return addEntry(nullptr, std::nullopt, after);
    }
    for (const Difference& difference : differences) {
        const ProductRow* row = difference.row;
        if (!addEntry(row != nullptr ? row->id : &difference.goneId,
                      difference.before, row != nullptr ? row->amount : 0)) {
            return false;
        }
    }
    return true;
}

bool SqliteStore::rewriteEverything(const CommandNotes& notes)
{
    bool inOrder = false;
    return execute("DELETE FROM stock") &&
           writeEveryProduct(
               [this](const std::string& id, const std::string& shelf,
                      std::uint32_t amount, const std::string& name) {
                   return putRow(id, shelf, amount, name);
               },
               inOrder) &&
           startEntries(notes, record) &&
           addEntry(nullptr, std::nullopt,
                    table.count() == 0 ? std::optional<std::uint32_t>(0)
                                       : std::nullopt);
}

bool SqliteStore::commit()
{
    if (access == Access::Changes) {
        if (const char* why = file->whyGone()) {
            return fail(why);
        }
    }
    if (!execute("COMMIT")) {
        return false;
    }
    // Everything up to the run's own newest entry is in the table now.
    lastSeen = std::max(lastSeen, newestWritten);
    newestWritten = 0;
    file->unlockRuns();
    return true;
}

void SqliteStore::rollback()
{
    if (!sqlite3_get_autocommit(database.get())) {
        sqlite3_exec(database.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    if (!sqlite3_get_autocommit(database.get())) {
        // A transaction that cannot be ended would keep its lock while the
        // run waits for input: the run ends instead.
        failWith("the transaction could not be ended: ");
    }
    newestWritten = 0;
    file->unlockRuns();
}

bool SqliteStore::readHistory(const std::string* id, std::size_t count,
                              std::vector<HistoryEntry>& entries)
{
    // A product's own entries, and the entries of many products at once
    // since it first appeared; or the newest entries, back to the start of
    // the count-th newest command.
    const char* const OF_PRODUCT =
        "SELECT seq, command_no, changed_at, clerk, named_clerk, command, id, "
        "amount_after FROM history WHERE id = ?1 UNION ALL "
        "SELECT seq, command_no, changed_at, clerk, named_clerk, command, id, "
        "amount_after FROM history WHERE id IS NULL AND "
        "seq > (SELECT min(seq) FROM history WHERE id = ?1) ORDER BY 1";
    const char* const NEWEST =
        "SELECT seq, command_no, changed_at, clerk, named_clerk, command, id, "
        "amount_after FROM history ORDER BY seq DESC";
    Statement query;
    if (!prepare(query, id != nullptr ? OF_PRODUCT : NEWEST)) {
        return false;
    }
    if (id != nullptr) {
        bindText(query.get(), 1, *id);
    }
    std::size_t commands = 0;
    Stepping rows(query);
    int step = SQLITE_ROW;
    while ((step = rows.step()) == SQLITE_ROW) {
        sqlite3_stmt* const row = rows.row();
        const std::int64_t commandNo = sqlite3_column_int64(row, 1);
        if (id == nullptr && (entries.empty() ||
                              entries.back().commandNo != commandNo)) {
            if (commands++ == count) {
                break;
            }
        }
        HistoryEntry entry;
        entry.commandNo = commandNo;
        columnText(row, 2, entry.time);
        entry.clerk = optionalText(row, 3);
        entry.namedClerk = optionalText(row, 4);
        entry.command = optionalText(row, 5);
        entry.id = optionalText(row, 6);
        if (sqlite3_column_type(row, 7) != SQLITE_NULL) {
            entry.after =
                static_cast<std::uint32_t>(sqlite3_column_int64(row, 7));
        }
        entries.push_back(std::move(entry));
    }
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
        return failWith("");
    }
    if (id == nullptr) {
        std::reverse(entries.begin(), entries.end());
    }
    return true;
}

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path,
                                       Datastructure& table,
                                       const StoreOptions& options,
                                       std::string& error)
{
    // The pages SQLite caches come from a block had at the start, before
    // the table takes what memory there is: a commit after a command ran
    // out of memory still has room to write what the command did.
    static const bool pagesKept = [] {
        constexpr int PAGES = 512;
        int header = 0;
        sqlite3_config(SQLITE_CONFIG_PCACHE_HDRSZ, &header);
        const int slot = 4096 + header;
        // Not cleared: its pages are touched only as SQLite uses them.
        static const std::unique_ptr<char[]> block(
            new char[static_cast<std::size_t>(slot) * PAGES]);
        return sqlite3_config(SQLITE_CONFIG_PAGECACHE, block.get(), slot,
                              PAGES) == SQLITE_OK;
    }();
    static_cast<void>(pagesKept);
    std::unique_ptr<StoreFile> file = StoreFile::open(path, error);
    if (!file) {
        return nullptr;
    }
    auto store =
        std::make_unique<SqliteStore>(table, options, std::move(file));
    if (!store->start()) {
        error = store->error();
        return nullptr;
    }
    return store;
}
