// Backups and restores of either kind of store, to and from an SQLite file.
#include "store/backup.hh"

#include "datastructure.hh"
#include "store/catalogue_job.hh"
#include "store/stock_take_job.hh"
#include "store/sqlite/sqlite_backup.hh"
#include "store/store_name.hh"
#include "store/store_open.hh"
#include "util/command_line.hh"
#include "util/files.hh"
#ifdef WAREHOUSE_POSTGRESQL
#include "store/postgres/postgres_backup.hh"
#include "store/postgres/postgres_library.hh"
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <memory>

const std::string_view BACKUP_USAGE =
    R"(  --backup FILE            with --store: write a copy of the store, one
                           state it went through while clerks work, to FILE,
                           an SQLite store that --store FILE opens; then end
  --restore FILE           with --store: fill the store, made when there is
                           none, from the backup FILE; a store that holds
                           anything, or that the login does not own, is
                           refused unchanged
)";

namespace {

/// Syncs the file at path to disk. False, with errno set, when it fails.
bool syncFile(const char* path)
{
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    const bool synced = ::fsync(descriptor) == 0;
    const int syncError = errno;
    ::close(descriptor);
    errno = syncError;
    return synced;
}

/// Whether the two paths reach one file.
bool sameFile(const std::string& one, const std::string& other)
{
    struct stat first {};
    struct stat second {};
    return ::stat(one.c_str(), &first) == 0 &&
           ::stat(other.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

/// The last part of a path: the name of the file in its folder.
std::string nameOf(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

/// Whether file is the SQLite store at where, or a log SQLite keeps beside
/// it, there now or by the name it will have: a job that wrote over it
/// would leave no store, or lose its last transactions.
bool isStoreFile(const std::string& where, const std::string& file)
{
    if (isServerUri(where)) {
        return false;
    }
    // SQLite names the logs after the store's own file, not after a link
    // to it.
    std::string store = where;
    if (char* const real = ::realpath(where.c_str(), nullptr); real != nullptr) {
        store = real;
        std::free(real);
    }
    const bool besideStore = sameFile(folderOf(store), folderOf(file));
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        if (sameFile(where + suffix, file) || sameFile(store + suffix, file) ||
            (besideStore && nameOf(store) + suffix == nameOf(file))) {
            return true;
        }
    }
    return false;
}

/// Where a backup to file is put: file, or the file that the links at file
/// lead to, as W writes through them. A backup is made beside its place and
/// renamed into it, so anything there but a file (a device, a pipe, a
/// folder) would be replaced: none is, and the reason is in error.
std::optional<std::string> backupPlace(const std::string& file, std::string& error)
{
    constexpr int MOST_LINKS = 40;  // as the kernel follows them
    std::string path = file;
    for (int links = 0; links < MOST_LINKS; ++links) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
            return path;  // a new file, or one the backup replaces
        }
        if (!S_ISLNK(status.st_mode)) {
            error = file + " is no file, and a backup would take its place";
            return std::nullopt;
        }
        std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
            error = "cannot read the link " + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        target.resize(static_cast<std::size_t>(length));
        path = target.front() == '/' ? target : folderOf(path) + "/" + target;
    }
    error = "cannot write " + file + ": " + std::strerror(ELOOP);
    return std::nullopt;
}

/// Fills the empty file at path with the copy of the store at where.
bool copyInto(const std::string& where, const std::string& path,
              std::string& error)
{
    if (!isServerUri(where)) {
        return sqlite_backup::copyStore(where, path, error);
    }
#ifdef WAREHOUSE_POSTGRESQL
    if (!pq::load(error)) {
        return false;
    }
    const std::unique_ptr<BackupSink> copy =
        sqlite_backup::newStore(path, error);
    return copy && postgres_backup::readStore(where, *copy, error) &&
           sqlite_backup::finish(*copy, error);
#else
    error = "PostgreSQL is not built into this program";
    return false;
#endif
}

/// Removes the SQLite store file at path and the logs beside it.
void removeStoreFile(const std::string& path)
{
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        ::unlink((path + suffix).c_str());
    }
}

/// Makes the store at where, or brings it up to date, as a run of the
/// console would, and closes it again. False, with the reason in error,
/// when it cannot.
bool madeReady(const std::string& where, std::string& error)
{
    const auto heldTable = std::make_unique<Datastructure>();
    Datastructure& table = *heldTable;
    const std::unique_ptr<Store> store =
        openStore(where, table, StoreOptions{}, error);
    if (!store) {
        return false;
    }
    if (!store->end() || store->failed()) {
        error = store->error();
        return false;
    }
    return true;
}

int failed(const std::string& what, const std::string& where,
           const std::string& error)
{
    report(what + storeName(where), withoutPasswords(error, where));
    return 1;
}

}  // namespace

int backupStore(const std::string& where, const std::string& file)
{
    const std::string what = "backup of store ";
    std::string error;
    const std::optional<std::string> place = backupPlace(file, error);
    if (!place) {
        return failed(what, where, error);
    }
    if (isStoreFile(where, *place)) {
        return failed(what, where, file + " is the store itself");
    }
    TemporaryFile temporary(folderOf(*place));
    if (!temporary.isOpen() || !temporary.close()) {
        return failed(what, where,
                      "cannot write " + file + ": " + std::strerror(errno));
    }
    // A copy that a restore would refuse is no backup: it fails now, while
    // the store can be mended, not on the day it is needed.
    bool copied = copyInto(where, temporary.path(), error);
    if (copied && !sqlite_backup::checkBackup(temporary.path(), error)) {
        error = "no restore would take a copy of it: " + error;
        copied = false;
    }
    // The logs SQLite kept beside the copy while it wrote and read it.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        ::unlink((std::string(temporary.path()) + suffix).c_str());
    }
    if (!copied) {
        return failed(what, where, error);
    }
    if (!syncFile(temporary.path()) || !temporary.renameTo(*place)) {
        return failed(what, where,
                      "cannot write " + file + ": " + std::strerror(errno));
    }
    syncFolder(folderOf(*place));
    return 0;
}

int restoreStore(const std::string& where, const std::string& file)
{
    const std::string what = "restore into store ";
    std::string error;
    // The backup is looked at first: a store is made for none but a good
    // one. A pipe would hold the read until something writes it.
    struct stat backup {};
    if (::stat(file.c_str(), &backup) == 0 && !S_ISREG(backup.st_mode)) {
        return failed(what, where, "the backup " + file + " is no file");
    }
    if (!sqlite_backup::checkBackup(file, error)) {
        return failed(what, where, "the backup " + file + ": " + error);
    }
    struct stat status {};
    if (!isServerUri(where) && ::stat(where.c_str(), &status) == 0 &&
        status.st_uid != ::geteuid() && ::geteuid() != 0) {
        return failed(what, where,
                      "only the store's owner may restore a backup into it");
    }
    // A store file this restore makes is removed again when the restore
    // does not go through: a refused restore leaves things as they were.
    const bool makesFile =
        !isServerUri(where) && ::access(where.c_str(), F_OK) != 0;
    if (!madeReady(where, error)) {
        if (makesFile) {
            removeStoreFile(where);
        }
        return failed(what, where, error);
    }
    bool restored = false;
    if (!isServerUri(where)) {
        const sqlite_backup::Restored outcome =
            sqlite_backup::restore(file, where, error);
        restored = outcome == sqlite_backup::Restored::Done;
        // Not when it holds something: another run wrote it meanwhile.
        if (makesFile && outcome == sqlite_backup::Restored::Failed) {
            removeStoreFile(where);
        }
    } else {
#ifdef WAREHOUSE_POSTGRESQL
        restored = postgres_backup::restore(
            where,
            [&file](BackupSink& sink, std::string& why) {
                return sqlite_backup::readStore(file, sink, why);
            },
            error);
#endif
    }
    return restored ? 0 : failed(what, where, error);
}

int runStoreJob(const std::string& option, const std::string& where,
                const StoreOptions& options, const std::string& file)
{
    const bool catalogue = option == "--catalogue-out" || option == "--catalogue-in";
    StockTakeJob stockTake = StockTakeJob::Sheet;
    const bool counting = stockTakeJobOf(option, stockTake);
    if (option != "--backup" && option != "--restore" && !catalogue && !counting) {
        return usageError("--backup, --restore, --catalogue-out, --catalogue-in, "
                          "--count-sheet, --count and --deliveries are one job "
                          "each: give one");
    }
    if (where.empty()) {
        return usageError(catalogue   ? "the catalogue is kept in a store: --store FILE"
                          : counting ? "counts and lots are kept in a store: --store FILE"
                                     : "option '" + option + "' needs --store");
    }
    if ((option == "--count-sheet" || option == "--catalogue-out") && isStoreFile(where, file)) {
        return failed(option.substr(2) + " of store ", where, file + " is the store itself");
    }
    if (counting) {
        return runStockTakeJob(stockTake, where, options, file);
    }
    if (catalogue) {
        return runCatalogueJob(option == "--catalogue-in" ? CatalogueJob::In : CatalogueJob::Out,
                               where, options, file);
    }
    // A copy that passes the file-size limit must fail with an error, and
    // leave nothing, not end the run with its temporary file in place.
    std::signal(SIGXFSZ, SIG_IGN);
    return option == "--backup" ? backupStore(where, file)
                                : restoreStore(where, file);
}
