// The one-shot jobs on a store that the command line asks for instead of a
// console: a backup taken while clerks work, and a backup restored into an
// empty store, of either kind.
#ifndef WAREHOUSE_BACKUP_HH
#define WAREHOUSE_BACKUP_HH

#include "store/store.hh"

#include <string>
#include <string_view>

/// The options' lines of the usage.
extern const std::string_view BACKUP_USAGE;

/// Runs the one-shot job that option (--backup, --restore, --catalogue-out
/// or --catalogue-in) names on the store at where, with file; option
/// "twice" stands for two given. Gives the exit status: that of a usage
/// error without a store or with two jobs, else as the job gives it.
int runStoreJob(const std::string& option, const std::string& where,
                const StoreOptions& options, const std::string& file);

/// Writes a copy of the store at where, one state it went through while
/// clerks work, to file as an SQLite store of this version: made beside it
/// under a temporary name, synced, and renamed, so that a failed backup
/// leaves nothing under file's name and a good one replaces an older one
/// whole. Gives the exit status: 0, or 1 after one line on standard error.
int backupStore(const std::string& where, const std::string& file);

/// Fills the store at where, made when there is none, from the backup in
/// file. Refuses, changing nothing, a store that holds anything and a store
/// the login does not own. Gives the exit status as backupStore does.
int restoreStore(const std::string& where, const std::string& file);

#endif
