// The file of a store in SQLite: what is told of it before SQLite opens it,
// a new one made whole, the lock that queues the runs, and the files that
// are its own, whatever names reach them.
#ifndef WAREHOUSE_SQLITE_FILE_HH
#define WAREHOUSE_SQLITE_FILE_HH

#include "util/progress.hh"

#include <chrono>
#include <memory>
#include <string>

/// A store file, held open while the run lasts. Its descriptor carries the
/// lock that queues the runs that write (a write lock that only a login
/// that may write the file can take), and is closed only after the
/// database, since closing any descriptor of the file drops the locks
/// SQLite holds on it.
class StoreFile {
public:
    using Clock = std::chrono::steady_clock;

    /// Opens the store file at path, making a new, empty store there first
    /// when there is none. Refuses, untouched and with the reason in error,
    /// what is not a store of this program: a folder, a FIFO, an empty file,
    /// a stock file, another program's database, a newer store; and a file
    /// with more than one name, since SQLite keeps a log beside each name.
    static std::unique_ptr<StoreFile> open(const std::string& path,
                                           std::string& error);
    ~StoreFile();
    StoreFile(const StoreFile&) = delete;
    StoreFile& operator=(const StoreFile&) = delete;

    /// The file's own path, links resolved: where SQLite keeps its log and
    /// its index of the log, beside it.
    const std::string& realPath() const { return resolved; }

    /// Whether open() made the file anew.
    bool made() const { return madeAnew; }

    /// Takes the exclusive lock that queues the runs, waiting until
    /// deadline and telling notice now and then; a waiting run is woken
    /// the moment the holder lets go. False, with errno set (ETIMEDOUT past
    /// the deadline, ECANCELED when stop said so), when the lock was not
    /// had.
    bool lockRuns(Clock::time_point deadline, WaitNotice& notice,
                  const StopCheck& stop);
    void unlockRuns();

    /// Why the file is no longer the store the run opened, or null while it
    /// is: removed, moved away, replaced, or given another name.
    const char* whyGone() const;

    /// True when path reaches the store file or its log, the log's index,
    /// or its journal, by whatever name: compared as files where they
    /// exist, and where they do not, by the place the name would land.
    bool owns(const std::string& path) const;

private:
    StoreFile(std::string path, std::string resolved, int descriptor,
              bool made);

    const std::string path;      // as the run was given it
    const std::string resolved;  // links resolved
    const int descriptor;
    const bool madeAnew;
    bool locked = false;  // the runs' lock is held
};

#endif
