// An SQLite store opened: the file checked, the shape brought up to date, the
// stock loaded.
#include "store/sqlite/sqlite_store.hh"

#include <new>

#include "store/sqlite/sqlite_schema.hh"

#include <sys/stat.h>
#include <thread>
#include <unistd.h>

bool SqliteStore::start()
{
    // Nothing reads SQLite's count of the memory it holds, which would cost
    // a global mutex on every allocation. Refused, harmlessly, once SQLite
    // has started.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    sqlite3* handle = nullptr;
    // The file itself, links resolved: SQLite keeps its log beside it. The
    // run's one thread alone uses the connection, which then takes no
    // mutex on each call.
    const int opened =
        sqlite3_open_v2(file->realPath().c_str(), &handle,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    database.reset(handle);
    if (opened != SQLITE_OK) {
        return failWith("cannot open it: ");
    }
    // A run records the history of its own changes, command by command; the
    // triggers are for what other programs change.
    sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_busy_handler(handle, &SqliteStore::busy, this);
    // After a checkpoint the -wal file is cut back to this, whatever a long
    // command or a reader that held it back had grown it to.
    if (!upgradeIfOlder() || !execute("PRAGMA journal_mode = WAL") ||
        !execute("PRAGMA journal_size_limit = 4194304") ||
        !prepareStatements() || !loadAtStart()) {
        return false;
    }
    // The file's owner is the store's: whoever else may write it is a
    // clerk.
    struct stat status {};
    storeOwner = ::stat(file->realPath().c_str(), &status) == 0 &&
                 status.st_uid == ::geteuid();
    watchTable();
    return true;
}

SqliteStore::~SqliteStore()
{
    // SQLite checkpoints the log and removes it when its last connection
    // closes, but only where no other connection is open: an owner's view
    // that keeps one between its requests would keep this run's commits in
    // the -wal alone, where a file moved away without it loses them and a
    // file put in its place takes them up as its own. A reader between
    // snapshots holds back no checkpoint; one mid-read, or another run,
    // is not waited for, and the last run to end does it.
    if (database && file->whyGone() == nullptr) {
        sqlite3_busy_handler(database.get(), nullptr, nullptr);
        sqlite3_wal_checkpoint_v2(database.get(), nullptr,
                                  SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    }
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
    if (!sqlite_schema::checkObjects(database.get(), sqlite_schema::VERSION, error)) {
        return fail(error);
    }
    return true;
}

bool SqliteStore::prepareStatements()
{
    return prepare(anyLots, "SELECT EXISTS (SELECT 1 FROM lots)") &&
           prepare(lotsOf, "SELECT lot, units FROM lots WHERE id = ?1 "
                           "ORDER BY best_before, lot") &&
           prepare(lotTaken, "DELETE FROM lots WHERE lot = ?1") &&
           prepare(lotLeft, "UPDATE lots SET units = ?2 WHERE lot = ?1") &&
           prepare(lotsGone, "DELETE FROM lots WHERE id = ?1") &&
           prepare(dataVersion, "PRAGMA data_version") &&
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
           prepare(catalogued,
                   "INSERT INTO catalogue (id, name, shelf) "
                   "VALUES (?1, ?2, ?3) ON CONFLICT DO NOTHING") &&
           prepare(remove, "DELETE FROM stock WHERE id = ?1") &&
           prepare(countStock, "SELECT count(*) FROM stock") &&
           (history.prepare(database.get()) || failWith(""));
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
    auto store = std::make_unique<SqliteStore>(table, options, std::move(file));
    if (!store->start()) {
        if (store->outOfMemory()) {
            // Not a damaged store: the run could not start.
            throw std::bad_alloc();
        }
        error = store->error();
        return nullptr;
    }
    return store;
}
