// Backups on the PostgreSQL side: every table of a store read in one
// snapshot, and an empty store filled from a backup's rows in one
// transaction that records no history of its own.
#ifndef WAREHOUSE_POSTGRES_BACKUP_HH
#define WAREHOUSE_POSTGRES_BACKUP_HH

#include "store/backup_tables.hh"

#include <functional>
#include <string>

namespace postgres_backup {

/// Gives every table of the store at uri, a store of this version, to
/// sink, all read in one REPEATABLE READ transaction: one state the store
/// went through, however many clerks change it meanwhile. Reads only:
/// whoever may read the store may back it up.
bool readStore(const std::string& uri, BackupSink& sink, std::string& error);

/// What gives a restore its rows: false, with the reason in error, when it
/// cannot.
using Feed = std::function<bool(BackupSink& sink, std::string& error)>;

/// Fills the store at uri, which must be of this version, belong to the
/// login, and hold nothing, with the rows feed gives, in one transaction
/// that keeps the clerks out until it ends. The triggers that record
/// changes are off within it alone, so the rows restored are the history,
/// with no entries of the restore's own; the history's counters go on past
/// the restored entries. False, with the reason in error and the store
/// unchanged, when it fails.
bool restore(const std::string& uri, const Feed& feed, std::string& error);

}  // namespace postgres_backup

#endif
