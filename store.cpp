#include "store.hh"

#include "files.hh"
#include "progress.hh"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

// The file's mark as this program's store, and the version of its shape;
// both live in the database header, where they can be read before SQLite
// touches the file.
constexpr std::uint32_t APPLICATION_ID = 0x57485345;  // "WHSE"
constexpr std::uint32_t SCHEMA_VERSION = 1;

// Rows the table could not hold never get in: every field is there, text,
// and the amount a whole number of units from 1 to 4294967295.
const char* const SCHEMA = R"(
    BEGIN;
    CREATE TABLE stock (
        id TEXT NOT NULL PRIMARY KEY CHECK (typeof(id) = 'text'),
        amount INTEGER NOT NULL
            CHECK (typeof(amount) = 'integer' AND amount BETWEEN 1 AND 4294967295),
        shelf TEXT NOT NULL CHECK (typeof(shelf) = 'text'),
        name TEXT NOT NULL CHECK (typeof(name) = 'text')
    ) WITHOUT ROWID;
    PRAGMA application_id = 1464357701;
    PRAGMA user_version = 1;
    COMMIT;
)";

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
    if (header.word(68) != APPLICATION_ID) {
        return "a database of another program, not a store";
    }
    if (header.word(60) > SCHEMA_VERSION) {
        return "a store of a newer version of this program";
    }
    if (header.word(60) != SCHEMA_VERSION) {
        return "not a store";
    }
    return nullptr;
}

/// Creates an empty store in path. It is built under a temporary name and
/// linked into place whole, so that path never names half a store; a file
/// that appeared there meanwhile is left alone, to be opened as it is.
bool createStore(const std::string& path, std::string& error)
{
    TemporaryFile temporary(folderOf(path));
    if (!temporary.isOpen() || ::fchmod(temporary.fd(), newFileMode()) != 0 ||
        !temporary.close()) {
        error = std::string("cannot create it: ") + std::strerror(errno);
        return false;
    }
    sqlite3* database = nullptr;
    int result = sqlite3_open_v2(temporary.path(), &database,
                                 SQLITE_OPEN_READWRITE, nullptr);
    if (result == SQLITE_OK) {
        result = sqlite3_exec(database, "PRAGMA journal_mode = WAL", nullptr,
                              nullptr, nullptr);
    }
    if (result == SQLITE_OK) {
        result = sqlite3_exec(database, SCHEMA, nullptr, nullptr, nullptr);
    }
    if (result != SQLITE_OK) {
        error = std::string("cannot create it: ") + sqlite3_errmsg(database);
    }
    // Closing checkpoints the new store into its file and syncs it.
    if (sqlite3_close(database) != SQLITE_OK && result == SQLITE_OK) {
        error = "cannot create it: the new store could not be closed";
        result = SQLITE_ERROR;
    }
    if (result != SQLITE_OK) {
        return false;
    }
    if (!temporary.linkTo(path) && errno != EEXIST) {
        error = std::string("cannot create it: ") + std::strerror(errno);
        return false;
    }
    syncFolder(folderOf(path));
    return true;
}

/// Opens path for the one run that may use it, creating the store first
/// when there is no file. Returns the descriptor that holds the lock, or -1
/// with the reason in error.
int lockStore(const std::string& path, std::string& error)
{
    // Not blocking, so that a FIFO given by mistake cannot hang the start.
    constexpr int FLAGS = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int descriptor = ::open(path.c_str(), FLAGS);
    if (descriptor < 0 && errno == ENOENT) {
        if (!createStore(path, error)) {
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
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "not a regular file";
    } else if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "in use by another run"
                                     : std::strerror(errno);
    } else {
        Header header;
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

/// Binds a string to a statement's parameter without copying it: the
/// string outlives the step.
void bindText(sqlite3_stmt* statement, int parameter, const std::string& text)
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

}  // namespace

std::unique_ptr<Store> Store::open(const std::string& path,
                                   Datastructure& table, std::string& error)
{
    const int lockDescriptor = lockStore(path, error);
    if (lockDescriptor < 0) {
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store(table, lockDescriptor));
    const bool opened =
        sqlite3_open_v2(path.c_str(), &store->database, SQLITE_OPEN_READWRITE,
                        nullptr) == SQLITE_OK ||
        store->fail("cannot open it: ");
    if (!opened || !store->execute("PRAGMA synchronous = FULL") ||
        !store->load() || !store->execute("PRAGMA journal_mode = WAL") ||
        !store->prepareStatements()) {
        error = store->failure;
        return nullptr;
    }
    table.watch(
        [s = store.get()](const std::string* id) { s->noteChange(id); });
    return store;
}

Store::Store(Datastructure& table, int lockDescriptor)
    : table(table), lockDescriptor(lockDescriptor)
{
}

Store::~Store()
{
    table.watch({});
    sqlite3_finalize(upsert);
    sqlite3_finalize(remove);
    sqlite3_close(database);
    // Only now: closing any descriptor of the file would drop the locks
    // SQLite holds on it.
    ::close(lockDescriptor);
}

bool Store::fail(const char* what)
{
    failure = what;
    failure += database == nullptr ? "out of memory" : sqlite3_errmsg(database);
    return false;
}

bool Store::execute(const char* sql)
{
    return sqlite3_exec(database, sql, nullptr, nullptr, nullptr) ==
               SQLITE_OK ||
           fail("");
}

bool Store::prepareStatements()
{
    const char* const UPSERT =
        "INSERT INTO stock (id, amount, shelf, name) VALUES (?1, ?2, ?3, ?4) "
        "ON CONFLICT (id) DO UPDATE SET amount = excluded.amount, "
        "shelf = excluded.shelf, name = excluded.name";
    const char* const REMOVE = "DELETE FROM stock WHERE id = ?1";
    return (sqlite3_prepare_v2(database, UPSERT, -1, &upsert, nullptr) ==
                SQLITE_OK &&
            sqlite3_prepare_v2(database, REMOVE, -1, &remove, nullptr) ==
                SQLITE_OK) ||
           fail("");
}

bool Store::load()
{
    sqlite3_stmt* rows = nullptr;
    if (sqlite3_prepare_v2(database,
                           "SELECT id, amount, shelf, name FROM stock", -1,
                           &rows, nullptr) != SQLITE_OK) {
        return fail("not a store: ");
    }
    std::uint64_t total = 0;
    if (Progress::showing()) {
        sqlite3_stmt* counting = nullptr;
        if (sqlite3_prepare_v2(database, "SELECT count(*) FROM stock", -1,
                               &counting, nullptr) == SQLITE_OK &&
            sqlite3_step(counting) == SQLITE_ROW) {
            total =
                static_cast<std::uint64_t>(sqlite3_column_int64(counting, 0));
        }
        sqlite3_finalize(counting);
    }
    Progress progress("Loading the store", total);
    std::uint64_t loaded = 0;
    std::string id;
    std::string shelf;
    std::string name;
    int step = SQLITE_ROW;
    bool rowsFit = true;
    while (rowsFit && (step = sqlite3_step(rows)) == SQLITE_ROW) {
        const sqlite3_int64 amount = sqlite3_column_int64(rows, 1);
        rowsFit =
            amount >= 1 && amount <= std::numeric_limits<std::uint32_t>::max();
        columnText(rows, 0, id);
        columnText(rows, 2, shelf);
        columnText(rows, 3, name);
        if (rowsFit) {
            table.add(id, shelf, static_cast<std::uint32_t>(amount), name);
        }
        progress.at(++loaded);
    }
    sqlite3_finalize(rows);
    if (!rowsFit) {
        failure = "damaged: a row holds an amount the table cannot hold";
        return false;
    }
    if (step != SQLITE_DONE) {
        return fail("damaged: ");
    }
    return true;
}

void Store::bindProduct(const std::string& id, const std::string& shelf,
                        std::uint32_t amount, const std::string& name)
{
    bindText(upsert, 1, id);
    sqlite3_bind_int64(upsert, 2, amount);
    bindText(upsert, 3, shelf);
    bindText(upsert, 4, name);
}

bool Store::run(sqlite3_stmt* statement)
{
    const int step = sqlite3_step(statement);
    sqlite3_reset(statement);
    return step == SQLITE_DONE || fail("");
}

bool Store::writeProduct(const std::string& id)
{
    const bool inStock = table.lookUp(
        id, [this](const std::string& stockId, const std::string& shelf,
                   std::uint32_t amount, const std::string& name) {
            bindProduct(stockId, shelf, amount, name);
        });
    if (inStock) {
        return run(upsert);
    }
    bindText(remove, 1, id);
    return run(remove);
}

void Store::noteChange(const std::string* id)
{
    // Past this many changes, and more than half as many as there are
    // products, writing the whole stock in key order beats looking each
    // change up in the table and seeking its row; below it, walking every
    // bucket of the table would cost more than the changes.
    constexpr std::size_t MANY_CHANGES = 1 << 16;
    if (everythingChanged) {
        return;
    }
    if (id == nullptr || (changedIds.size() >= MANY_CHANGES &&
                          changedIds.size() > table.count() / 2)) {
        everythingChanged = true;
        changedIds.clear();
        return;
    }
    changedIds.push_back(*id);
}

bool Store::writeChanges()
{
    // In the order of the keys, each product once, at its state now.
    std::sort(changedIds.begin(), changedIds.end());
    changedIds.erase(std::unique(changedIds.begin(), changedIds.end()),
                     changedIds.end());
    Progress progress("Writing the store", changedIds.size());
    std::uint64_t written = 0;
    for (const std::string& id : changedIds) {
        if (!writeProduct(id)) {
            return false;
        }
        progress.at(++written);
    }
    return true;
}

bool Store::writeEverything()
{
    struct Row {
        const std::string* id;
        const std::string* shelf;
        std::uint32_t amount;
        const std::string* name;
    };
    // From the start: sorting a large stock takes a while of its own.
    Progress progress("Writing the store", table.count());
    std::vector<Row> rows;
    rows.reserve(table.count());
    table.forEachProduct([&rows](const std::string& id,
                                 const std::string& shelf, std::uint32_t amount,
                                 const std::string& name) {
        rows.push_back({&id, &shelf, amount, &name});
    });
    // Rows in the order of the keys fill the store's tree from one end.
    std::sort(rows.begin(), rows.end(),
              [](const Row& a, const Row& b) { return *a.id < *b.id; });
    if (!execute("DELETE FROM stock")) {
        return false;
    }
    std::uint64_t written = 0;
    for (const Row& row : rows) {
        bindProduct(*row.id, *row.shelf, row.amount, *row.name);
        if (!run(upsert)) {
            return false;
        }
        progress.at(++written);
    }
    return true;
}

bool Store::commit()
{
    if (!failure.empty()) {
        return false;
    }
    if (!everythingChanged && changedIds.empty()) {
        return true;
    }
    if (!execute("BEGIN IMMEDIATE") ||
        !(everythingChanged ? writeEverything() : writeChanges()) ||
        !execute("COMMIT")) {
        sqlite3_exec(database, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    changedIds.clear();
    everythingChanged = false;
    return true;
}
