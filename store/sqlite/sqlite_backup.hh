// Backups on the SQLite side: a store copied whole, a new store file filled
// from another kind of store, a backup's rows read, and a backup's rows put
// into an empty store.
#ifndef WAREHOUSE_SQLITE_BACKUP_HH
#define WAREHOUSE_SQLITE_BACKUP_HH

#include "store/backup_tables.hh"

#include <memory>
#include <string>

namespace sqlite_backup {

/// Copies the store at path, one consistent state of it however many runs
/// change it meanwhile, into the empty file at to, as a store of this
/// version. Reads the store only: whoever may read it may copy it. False,
/// with the reason in error, when path is no store or the copy fails.
bool copyStore(const std::string& path, const std::string& to,
               std::string& error);

/// Makes a new, empty store in the empty file at path and fills it with
/// the rows it is given, all in one transaction that finish() commits.
std::unique_ptr<BackupSink> newStore(const std::string& path,
                                     std::string& error);
bool finish(BackupSink& store, std::string& error);

/// Checks that path is a store of this version, whole, whose every row is
/// one a store could hold: false, with the first fault in error, when it is
/// not.
bool checkBackup(const std::string& path, std::string& error);

/// Checks that path is a store of this version, and gives each table's
/// rows to sink, in the order of the tables' keys.
bool readStore(const std::string& path, BackupSink& sink, std::string& error);

/// How a restore ended: done, refused because the store holds something,
/// or failed with the store as it was.
enum class Restored { Done, NotEmpty, Failed };

/// Checks that backup is a store of this version whose every row a store
/// could hold, and puts its rows into the store at path, which must hold
/// nothing: checked under the store's write lock, in the one transaction
/// that fills it. The store is unchanged unless the restore is Done, and
/// the reason is in error.
Restored restore(const std::string& backup, const std::string& path,
                 std::string& error);

}  // namespace sqlite_backup

#endif
