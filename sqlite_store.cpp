#include "sqlite_store.hh"

#include "files.hh"
#include "progress.hh"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <limits>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The file's mark as this program's store, and the version of its shape:
// 1 held the stock alone, 2 added the history. Both live in the database
// header, where they can be read before SQLite touches the file.
constexpr std::uint32_t APPLICATION_ID = 0x57485345;  // "WHSE"
constexpr std::uint32_t SCHEMA_VERSION = 2;

// Rows the table could not hold never get in: every field is there, text,
// and the amount a whole number of units from 1 to 4294967295.
const char* const STOCK_SCHEMA = R"(
    CREATE TABLE stock (
        id TEXT NOT NULL PRIMARY KEY CHECK (typeof(id) = 'text'),
        amount INTEGER NOT NULL
            CHECK (typeof(amount) = 'integer' AND amount BETWEEN 1 AND 4294967295),
        shelf TEXT NOT NULL CHECK (typeof(shelf) = 'text'),
        name TEXT NOT NULL CHECK (typeof(name) = 'text')
    ) WITHOUT ROWID;
)";

// The history of the stock, which is also how each run learns what others
// changed: every change made by a clerk, written by the run with the clerk's
// name and the command; and, through the triggers, every change made by any
// other program, with no clerk or command. The runs' own connections do not
// fire the triggers. An entry with no id stands for a command that changed
// very many products at once; whoever follows the stock then reloads it.
const char* const HISTORY_SCHEMA = R"(
    CREATE TABLE history (
        seq INTEGER PRIMARY KEY AUTOINCREMENT,
        command_no INTEGER NOT NULL,
        changed_at TEXT NOT NULL,
        clerk TEXT,
        command TEXT,
        id TEXT,
        amount_before INTEGER,
        amount_after INTEGER
    );
    CREATE INDEX history_by_id ON history (id);
    CREATE TRIGGER stock_inserted AFTER INSERT ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), new.id, 0, new.amount);
    END;
    CREATE TRIGGER stock_updated AFTER UPDATE ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), old.id, old.amount,
                CASE WHEN new.id IS old.id THEN new.amount ELSE 0 END);
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        SELECT command_no, changed_at, new.id, 0, new.amount FROM history
        WHERE new.id IS NOT old.id ORDER BY seq DESC LIMIT 1;
    END;
    CREATE TRIGGER stock_deleted AFTER DELETE ON stock BEGIN
        INSERT INTO history (command_no, changed_at, id, amount_before, amount_after)
        VALUES (coalesce((SELECT command_no FROM history ORDER BY seq DESC LIMIT 1), 0) + 1,
                strftime('%Y-%m-%d %H:%M:%f', 'now'), old.id, old.amount, 0);
    END;
    PRAGMA user_version = 2;
)";

// The objects of a store of this version, all of which must be there.
const char* const OBJECTS_PRESENT =
    "SELECT count(*) FROM sqlite_schema WHERE name IN ('stock', 'history', "
    "'history_by_id', 'stock_inserted', 'stock_updated', 'stock_deleted')";
constexpr int OBJECT_COUNT = 6;

const char* const DAMAGED_ROW =
    "damaged: a row of the stock holds a field that is not text, or an "
    "amount that is not a whole number from 1 to 4294967295";

// What the database header says of a file, read before SQLite opens it, so
// that a file that is not a store is refused untouched.
struct Header {
    std::array<unsigned char, 100> bytes{};
    std::size_t size = 0;

    std::uint32_t word(std::size_t offset) const
    {
        return std::uint32_t{bytes[offset]} << 24 |
               std::uint32_t{bytes[offset + 1]} << 16 |
               std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
    }

    bool isDatabase() const
    {
        constexpr std::string_view MAGIC{"SQLite format 3\0", 16};
        return size == bytes.size() &&
               std::equal(MAGIC.begin(), MAGIC.end(), bytes.begin());
    }

    // A first line of text that reads "id;amount...": a stock file given
    // by mistake.
    bool looksLikeStockFile() const
    {
        const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(size);
        const auto lineEnd = std::find(bytes.begin(), end, '\n');
        const bool text = std::none_of(bytes.begin(), lineEnd, [](int c) {
            return c < ' ' && c != '\t' && c != '\r';
        });
        auto amount = std::find(bytes.begin(), lineEnd, ';');
        amount += amount != lineEnd;
        while (amount != lineEnd && *amount == ' ') {
            ++amount;
        }
        return text && amount != lineEnd && *amount >= '0' && *amount <= '9';
    }
};

/// Why the application id and version make a database no store of this
/// program's, or null. Checked on the header before SQLite opens the file,
/// and again through SQLite, which also sees what the log holds.
const char* refusal(std::uint32_t applicationId, std::uint32_t version)
{
    if (applicationId != APPLICATION_ID) {
        return "a database of another program, not a store";
    }
    if (version > SCHEMA_VERSION) {
        return "a store of a newer version of this program";
    }
    if (version == 0) {
        return "not a store";
    }
    return nullptr;
}

/// Why the file is not a store this program can use, or null when its
/// header is that of one.
const char* refusal(const Header& header)
{
    if (header.size == 0) {
        return "an empty file, not a store";
    }
    if (!header.isDatabase()) {
        return header.looksLikeStockFile()
                   ? "a stock file, not a store (load it with R)"
                   : "not a store";
    }
    return refusal(header.word(68), header.word(60));
}

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

/// A descriptor closed with its owner.
class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor(descriptor) {}
    ~Descriptor()
    {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor; }

private:
    int descriptor;
};

/// The bytes of a new, empty store, made in memory and marked for
/// write-ahead logging, so that the file is a whole store the moment it
/// appears. Returns false with SQLite's reason in error.
bool newStoreImage(std::string& image, std::string& error)
{
    sqlite3* handle = nullptr;
    const int opened = sqlite3_open(":memory:", &handle);
    const Database memory(handle);
    const std::string schema = std::string("BEGIN;") + STOCK_SCHEMA +
                               HISTORY_SCHEMA +
                               "PRAGMA application_id = " +
                               std::to_string(APPLICATION_ID) + "; COMMIT;";
    if (opened != SQLITE_OK ||
        sqlite3_exec(handle, schema.c_str(), nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
        error = handle != nullptr ? sqlite3_errmsg(handle) : "out of memory";
        return false;
    }
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(handle, "main", &size, 0);
    if (bytes == nullptr) {
        error = "out of memory";
        return false;
    }
    image.assign(reinterpret_cast<const char*>(bytes),
                 static_cast<std::size_t>(size));
    sqlite3_free(bytes);
    // Header bytes 18 and 19, the versions that read and write the file: 2
    // for write-ahead logging.
    image[18] = 2;
    image[19] = 2;
    return true;
}

/// Opens the store file at path, making a new store there first when there
/// is no file; made says whether it did. Returns the descriptor, which the
/// run holds while it lasts, or -1 with the reason in error.
int openStoreFile(const std::string& path, bool& made, std::string& error)
{
    // Not blocking, so that a FIFO given by mistake cannot hang the start.
    constexpr int FLAGS = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int descriptor = ::open(path.c_str(), FLAGS);
    if (descriptor < 0 && errno == ENOENT) {
        std::string image;
        if (!newStoreImage(image, error)) {
            error = "cannot create it: " + error;
            return -1;
        }
        made = createWholeFile(path, image);
        if (!made && errno != EEXIST) {  // one made meanwhile is used
            error = std::string("cannot create it: ") + std::strerror(errno);
            return -1;
        }
        descriptor = ::open(path.c_str(), FLAGS);
    }
    if (descriptor < 0) {
        error =
            errno == EISDIR ? "a folder, not a store" : std::strerror(errno);
        return -1;
    }
    struct stat status {};
    Header header;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "not a regular file";
    } else {
        const ssize_t got =
            ::pread(descriptor, header.bytes.data(), header.bytes.size(), 0);
        header.size = got > 0 ? static_cast<std::size_t>(got) : 0;
        const char* reason = got < 0 ? std::strerror(errno) : refusal(header);
        if (reason == nullptr) {
            return descriptor;
        }
        error = reason;
    }
    ::close(descriptor);
    return -1;
}

// SIGALRM ticks while a run waits for the flock, so that the wait can end.
void tick(int) {}

/// Takes the exclusive flock on descriptor, waiting until deadline, and
/// telling notice now and then. A waiting run is woken the moment the holder
/// lets go. False, with errno set (ETIMEDOUT past the deadline), when the
/// lock was not had.
bool flockUntil(int descriptor, Clock::time_point deadline,
                WaitNotice& notice)
{
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno != EWOULDBLOCK) {
        return false;
    }
    // Installed for good: a tick still pending once the timer is stopped
    // must find a handler. Without SA_RESTART, a tick ends the blocked call.
    static const bool installed = [] {
        struct sigaction ticking {};
        ticking.sa_handler = &tick;
        sigemptyset(&ticking.sa_mask);
        return sigaction(SIGALRM, &ticking, nullptr) == 0;
    }();
    constexpr timeval EVERY{0, 50000};
    itimerval ticks{EVERY, EVERY};
    itimerval stopped{};
    if (!installed || ::setitimer(ITIMER_REAL, &ticks, nullptr) != 0) {
        return false;
    }
    int result = 0;
    while ((result = ::flock(descriptor, LOCK_EX)) != 0 && errno == EINTR &&
           Clock::now() < deadline) {
        notice.tick();
    }
    const int error = result != 0 && errno == EINTR ? ETIMEDOUT : errno;
    ::setitimer(ITIMER_REAL, &stopped, nullptr);
    errno = error;
    return result == 0;
}

/// Binds a string to a statement's parameter without copying it: the
/// string outlives the step.
void bindText(sqlite3_stmt* statement, int parameter, std::string_view text)
{
    sqlite3_bind_text(statement, parameter, text.data(),
                      static_cast<int>(text.size()), SQLITE_STATIC);
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
    SqliteStore(Datastructure& table, const Options& options, std::string path,
                int descriptor, bool made)
        : Store(table, options), path(std::move(path)), descriptor(descriptor)
    {
        madeAnew = made;
    }

    /// Opens the database, brings an older shape up to date, and loads the
    /// stock. False, with the reason in error(), when the file cannot be
    /// used.
    bool start();

    bool ownsFile(const std::string& candidate) const override;

private:
    bool lock() override;
    bool catchUp() override;
    bool write(const StoreNotes& notes) override;
    bool commit() override;
    void rollback() override;
    bool readHistory(const std::string* id, std::size_t count,
                     std::vector<HistoryEntry>& entries) override;

    bool checkShape();
    bool upgrade();
    bool prepareStatements();
    bool loadAtStart();
    bool loadStock();
    bool follow(const std::string& id);
    bool readDataVersion(std::int64_t& version);
    bool writeProduct(const std::string& id);
    bool writeEverything();
    bool writeHistory(const StoreNotes& notes);
    /// Why the store file can no longer be trusted to be the store (it was
    /// removed, or its path now names another file), or null.
    const char* whyGone() const;
    void unlockRuns();

    bool execute(const char* sql);
    bool prepare(Statement& statement, const char* sql);
    /// Runs a statement without rows to its end and makes it ready again.
    bool run(sqlite3_stmt* statement);
    /// Fails with what went wrong and SQLite's own words.
    bool failWith(std::string_view what);

    /// SQLite's busy handler: waits a millisecond at a time, up to the wait
    /// limit. The runs of this program queue on the flock instead, and are
    /// woken at once; this waits for other programs.
    static int busy(void* store, int tries);

    const std::string path;
    // The store file, held while the run lasts: its flock queues the runs
    // that write, and it is closed only after the database, since closing
    // any descriptor of the file drops the locks SQLite holds on it.
    const Descriptor descriptor;
    Database database;
    Statement dataVersion;
    Statement changesSince;
    Statement product;
    Statement allProducts;
    Statement upsert;
    Statement remove;
    Statement lastCommand;
    Statement record;
    std::int64_t lastSeen = 0;          // newest history entry the table has
    std::int64_t lastDataVersion = -1;  // the database as the table has it
    std::int64_t newestWritten = 0;     // newest entry this transaction wrote
    bool runsLocked = false;            // the flock is held
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

bool SqliteStore::run(sqlite3_stmt* statement)
{
    const int step = sqlite3_step(statement);
    sqlite3_reset(statement);
    return step == SQLITE_DONE || failWith("");
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
    const int opened = sqlite3_open_v2(path.c_str(), &handle,
                                       SQLITE_OPEN_READWRITE, nullptr);
    database.reset(handle);
    if (opened != SQLITE_OK) {
        return failWith("cannot open it: ");
    }
    // A run records the history of its own changes, command by command; the
    // triggers are for what other programs change.
    sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_busy_handler(handle, &SqliteStore::busy, this);
    if (!checkShape() || !execute("PRAGMA journal_mode = WAL") ||
        !prepareStatements() || !loadAtStart()) {
        return false;
    }
    watchTable();
    return true;
}

bool SqliteStore::checkShape()
{
    Statement pragma;
    std::uint32_t values[2] = {};
    const char* const names[2] = {"PRAGMA application_id",
                                  "PRAGMA user_version"};
    for (int i = 0; i < 2; ++i) {
        if (!prepare(pragma, names[i]) ||
            sqlite3_step(pragma.get()) != SQLITE_ROW) {
            return failWith("damaged: ");
        }
        values[i] =
            static_cast<std::uint32_t>(sqlite3_column_int64(pragma.get(), 0));
    }
    if (const char* reason = refusal(values[0], values[1])) {
        return fail(reason);
    }
    if (!execute("PRAGMA synchronous = FULL") ||
        (values[1] < SCHEMA_VERSION && !upgrade())) {
        return false;
    }
    if (!prepare(pragma, OBJECTS_PRESENT) ||
        sqlite3_step(pragma.get()) != SQLITE_ROW) {
        return failWith("damaged: ");
    }
    if (sqlite3_column_int(pragma.get(), 0) != OBJECT_COUNT) {
        return fail("damaged: its stock, history or the triggers that keep "
                    "the history are missing");
    }
    return true;
}

bool SqliteStore::upgrade()
{
    // Another run may have upgraded it meanwhile: asked again under the lock.
    if (!lock()) {
        return false;
    }
    Statement version;
    const bool older = prepare(version, "PRAGMA user_version") &&
                       sqlite3_step(version.get()) == SQLITE_ROW &&
                       sqlite3_column_int(version.get(), 0) == 1;
    version.reset();
    if ((older && !execute(HISTORY_SCHEMA)) || !commit()) {
        rollback();
        return false;
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
           prepare(allProducts, "SELECT id, amount, shelf, name FROM stock") &&
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
                   "command, id, amount_before, amount_after) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
}

bool SqliteStore::readDataVersion(std::int64_t& version)
{
    const int step = sqlite3_step(dataVersion.get());
    version = sqlite3_column_int64(dataVersion.get(), 0);
    sqlite3_reset(dataVersion.get());
    return step == SQLITE_ROW || failWith("");
}

bool SqliteStore::loadAtStart()
{
    // The version first: a commit that lands between it and the reads below
    // is followed at the first catch-up rather than missed.
    Statement newest;
    if (!readDataVersion(lastDataVersion) || !execute("BEGIN") ||
        !prepare(newest, "SELECT coalesce(max(seq), 0) FROM history") ||
        sqlite3_step(newest.get()) != SQLITE_ROW) {
        return failWith("damaged: ");
    }
    lastSeen = sqlite3_column_int64(newest.get(), 0);
    newest.reset();
    const bool loaded = loadStock();
    sqlite3_exec(database.get(), "COMMIT", nullptr, nullptr, nullptr);
    return loaded;
}

bool SqliteStore::loadStock()
{
    std::uint64_t total = 0;
    if (Progress::showing()) {
        Statement counting;
        if (prepare(counting, "SELECT count(*) FROM stock") &&
            sqlite3_step(counting.get()) == SQLITE_ROW) {
            total = static_cast<std::uint64_t>(
                sqlite3_column_int64(counting.get(), 0));
        }
    }
    Progress progress("Loading the store", total);
    std::uint64_t loaded = 0;
    std::string id;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    sqlite3_stmt* const rows = allProducts.get();
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows)) == SQLITE_ROW) {
        if (!readProduct(rows, id, amount, shelf, name)) {
            sqlite3_reset(rows);
            return fail(DAMAGED_ROW);
        }
        table.add(id, shelf, amount, name);
        progress.at(++loaded);
    }
    sqlite3_reset(rows);
    return step == SQLITE_DONE || failWith("damaged: ");
}

const char* SqliteStore::whyGone() const
{
    struct stat held {};
    struct stat named {};
    if (::fstat(descriptor.get(), &held) != 0) {
        return std::strerror(errno);
    }
    if (::stat(path.c_str(), &named) == 0) {
        return named.st_dev == held.st_dev && named.st_ino == held.st_ino
                   ? nullptr
                   : "another file took the store's place during the run";
    }
    return held.st_nlink == 0 ? "the store file was removed during the run"
                              : "the store file is no longer where it was";
}

void SqliteStore::unlockRuns()
{
    if (runsLocked) {
        ::flock(descriptor.get(), LOCK_UN);
        runsLocked = false;
    }
}

bool SqliteStore::lock()
{
    const Clock::time_point deadline = Clock::now() + options.wait;
    // Short, to fit a narrow terminal on one line.
    WaitNotice notice("Waiting for the store");
    if (!flockUntil(descriptor.get(), deadline, notice)) {
        return errno == ETIMEDOUT ? failLocked()
                                  : fail(std::strerror(errno));
    }
    runsLocked = true;
    waitDeadline = deadline;
    waiting = &notice;
    const int begun = sqlite3_exec(database.get(), "BEGIN IMMEDIATE", nullptr,
                                   nullptr, nullptr);
    waiting = nullptr;
    if (begun != SQLITE_OK) {
        unlockRuns();
        return begun == SQLITE_BUSY ? failLocked() : failWith("");
    }
    if (const char* why = whyGone()) {
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
    bool everything = false;
    std::int64_t newest = lastSeen;
    sqlite3_stmt* const rows = changesSince.get();
    sqlite3_bind_int64(rows, 1, lastSeen);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows)) == SQLITE_ROW) {
        newest = sqlite3_column_int64(rows, 0);
        if (sqlite3_column_type(rows, 1) == SQLITE_NULL) {
            everything = true;
        }
        if (!everything) {
            ids.emplace_back();
            columnText(rows, 1, ids.back());
        }
    }
    sqlite3_reset(rows);
    if (step != SQLITE_DONE) {
        return failWith("");
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (everything) {
        table.empty();
        if (!loadStock()) {
            return false;
        }
    } else {
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
    sqlite3_stmt* const row = product.get();
    bindText(row, 1, id);
    const int step = sqlite3_step(row);
    if (step == SQLITE_DONE) {
        sqlite3_reset(row);
        table.put(id, {}, 0, {});  // gone from the store
        return true;
    }
    std::string storedId;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    const bool fits = step == SQLITE_ROW &&
                      readProduct(row, storedId, amount, shelf, name);
    sqlite3_reset(row);
    if (step != SQLITE_ROW) {
        return failWith("");
    }
    if (!fits) {
        return fail(DAMAGED_ROW);
    }
    table.put(id, shelf, amount, name);
    return true;
}

bool SqliteStore::writeProduct(const std::string& id)
{
    const bool inStock = table.lookUp(
        id, [this](const std::string& stockId, const std::string& shelf,
                   std::uint32_t amount, const std::string& name) {
            bindText(upsert.get(), 1, stockId);
            sqlite3_bind_int64(upsert.get(), 2, amount);
            bindText(upsert.get(), 3, shelf);
            bindText(upsert.get(), 4, name);
        });
    if (inStock) {
        return run(upsert.get());
    }
    bindText(remove.get(), 1, id);
    return run(remove.get());
}

bool SqliteStore::writeEverything()
{
    return execute("DELETE FROM stock") &&
           writeEveryProduct([this](const std::string& id,
                                    const std::string& shelf,
                                    std::uint32_t amount,
                                    const std::string& name) {
               bindText(upsert.get(), 1, id);
               sqlite3_bind_int64(upsert.get(), 2, amount);
               bindText(upsert.get(), 3, shelf);
               bindText(upsert.get(), 4, name);
               return run(upsert.get());
           });
}

bool SqliteStore::writeHistory(const StoreNotes& notes)
{
    sqlite3_stmt* const last = lastCommand.get();
    const int step = sqlite3_step(last);
    std::int64_t commandNo =
        step == SQLITE_ROW ? sqlite3_column_int64(last, 0) : 0;
    sqlite3_reset(last);
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
        return failWith("");
    }
    sqlite3_stmt* const entry = record.get();
    bindText(entry, 3, clerk);
    for (std::size_t c = 0; c < notes.commands.size(); ++c) {
        const StoreNotes::Command& command = notes.commands[c];
        const std::string time = historyTime(command.time);
        sqlite3_bind_int64(entry, 1, ++commandNo);
        bindText(entry, 2, time);
        bindText(entry, 4, command.echo);
        if (command.kind != StoreNotes::Kind::Products) {
            sqlite3_bind_null(entry, 5);
            sqlite3_bind_null(entry, 6);
            if (command.kind == StoreNotes::Kind::Emptied) {
                sqlite3_bind_int64(entry, 7, 0);
            } else {
                sqlite3_bind_null(entry, 7);
            }
            if (!run(entry)) {
                return false;
            }
            continue;
        }
        const auto [first, end] = notes.changesOf(c);
        for (std::size_t i = first; i < end; ++i) {
            const StoreNotes::Change& change = notes.changes[i];
            bindText(entry, 5, change.id);
            sqlite3_bind_int64(entry, 6, change.before);
            sqlite3_bind_int64(entry, 7, change.after);
            if (!run(entry)) {
                return false;
            }
        }
    }
    if (!notes.commands.empty()) {
        newestWritten = sqlite3_last_insert_rowid(database.get());
    }
    return true;
}

bool SqliteStore::write(const StoreNotes& notes)
{
    const bool stockWritten =
        notes.everything
            ? writeEverything()
            : notes.forEachChangedId(
                  [this](const std::string& id) { return writeProduct(id); });
    return stockWritten && writeHistory(notes);
}

bool SqliteStore::commit()
{
    if (const char* why = whyGone()) {
        return fail(why);
    }
    if (!execute("COMMIT")) {
        return false;
    }
    // Everything up to the run's own newest entry is in the table now.
    lastSeen = std::max(lastSeen, newestWritten);
    newestWritten = 0;
    unlockRuns();
    return true;
}

void SqliteStore::rollback()
{
    if (!sqlite3_get_autocommit(database.get())) {
        sqlite3_exec(database.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    newestWritten = 0;
    unlockRuns();
}

bool SqliteStore::readHistory(const std::string* id, std::size_t count,
                              std::vector<HistoryEntry>& entries)
{
    // A product's own entries, and the entries of many products at once
    // since it first appeared; or the newest entries, back to the start of
    // the count-th newest command.
    const char* const OF_PRODUCT =
        "SELECT seq, command_no, changed_at, clerk, command, id, amount_after "
        "FROM history WHERE id = ?1 UNION ALL "
        "SELECT seq, command_no, changed_at, clerk, command, id, amount_after "
        "FROM history WHERE id IS NULL AND "
        "seq > (SELECT min(seq) FROM history WHERE id = ?1) ORDER BY 1";
    const char* const NEWEST =
        "SELECT seq, command_no, changed_at, clerk, command, id, amount_after "
        "FROM history ORDER BY seq DESC";
    Statement query;
    if (!prepare(query, id != nullptr ? OF_PRODUCT : NEWEST)) {
        return false;
    }
    if (id != nullptr) {
        bindText(query.get(), 1, *id);
    }
    std::size_t commands = 0;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(query.get())) == SQLITE_ROW) {
        sqlite3_stmt* const row = query.get();
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
        entry.command = optionalText(row, 4);
        entry.id = optionalText(row, 5);
        if (sqlite3_column_type(row, 6) != SQLITE_NULL) {
            entry.after =
                static_cast<std::uint32_t>(sqlite3_column_int64(row, 6));
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

bool SqliteStore::ownsFile(const std::string& candidate) const
{
    struct stat target {};
    if (::stat(candidate.c_str(), &target) == 0) {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            struct stat own {};
            if (::stat((path + suffix).c_str(), &own) == 0 &&
                own.st_dev == target.st_dev && own.st_ino == target.st_ino) {
                return true;
            }
        }
        return false;
    }
    // A name that is not there yet may be where SQLite would put a file of
    // its own: compared in canonical form, folder and name.
    const auto canonical = [](const std::string& file) {
        char* folder = ::realpath(folderOf(file).c_str(), nullptr);
        if (folder == nullptr) {
            return std::string();
        }
        std::string name = folder;
        std::free(folder);
        const std::size_t slash = file.rfind('/');
        return name + '/' +
               (slash == std::string::npos ? file : file.substr(slash + 1));
    };
    const std::string wanted = canonical(candidate);
    const std::string own = canonical(path);
    if (wanted.empty() || own.empty()) {
        return false;
    }
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        if (wanted == own + suffix) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path,
                                       Datastructure& table,
                                       const Store::Options& options,
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
    bool made = false;
    const int descriptor = openStoreFile(path, made, error);
    if (descriptor < 0) {
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(table, options, path,
                                               descriptor, made);
    if (!store->start()) {
        error = store->error();
        return nullptr;
    }
    return store;
}
