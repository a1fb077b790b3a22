// The shape of a store in a PostgreSQL database: its tables, the triggers
// through which the server itself keeps the history, the roles a store's
// owner grants, and the steps that bring an older store up to date. The
// console's store and the owner's view both read stores through it.
#ifndef WAREHOUSE_POSTGRES_SCHEMA_HH
#define WAREHOUSE_POSTGRES_SCHEMA_HH

#include "store/schema_step.hh"

#include <string>
#include <vector>

namespace postgres_schema {

// The version of the store's shape, kept in the table store_version: 2
// added the history, 3 had the server keep it, 4 keeps the tables of 3 and
// records large statements faster, 5 the kind of change of each entry, 6
// the catalogue, 7 numbers a change only by one of its own transaction's
// commands, 8 indexes the history by time, 9 reads the run's settings
// once a trigger's call, 10 the dated lots and the stock-takes' reasons,
// 11 indexes the lots by date and the catalogue's costs for their totals,
// 12 keeps the lots a clerk's client inserts within the stock, 13 finds a
// statement's commands in the round's list without splitting it each time,
// 14 notes the changes of the catalogue and the lots no entry names, 15
// takes the history's numbers under a lock no login but the owner's holds.
constexpr int VERSION = 15;

/// The oldest version a run works with as it is: the first whose history
/// the server keeps. Such a store works for the clerks until its owner's
/// next run brings it up to date; an older one waits for that run.
constexpr int OLDEST_USED = 3;

/// The oldest version the owner's view reads: the first with the
/// catalogue, whose entries also say what kind of change each is.
constexpr int OLDEST_VIEWED = 6;

/// The steps from version 2 to this one, in order: the first takes a store
/// of version 2 to 3, the last one to VERSION. Each is PL/pgSQL.
const std::vector<SchemaStep>& steps();

/// What finds the shape of the store's tables in the database: one row,
/// one field, "table column type|" for each column, empty when there are
/// no such tables.
extern const char* const SHAPE_FOUND;

/// The shapes, as SHAPE_FOUND reads them, that a run works with as they
/// are: those of the versions from OLDEST_USED on.
const std::vector<std::string>& shapesUsed();

/// Whether shape is that of a store of some version.
bool knownShape(const std::string& shape);

/// Why a store of version whose tables have shape is none this program can
/// use, or null when it is one: of this version, or of an older one that
/// the steps bring up to date. Its tables may be ahead of the version they
/// are marked with (a step adds only what is missing), never behind.
const char* refusal(int version, const std::string& shape);

/// Makes a store in a database that has none, in one transaction, however
/// many runs start at once.
std::string creation();

/// Brings a store of an older version up to this one, in one transaction
/// under the lock that makes stores and locks on the tables: the steps past
/// the version the store has then, once each and in order, and the
/// history's functions made anew.
std::string migration();

/// Makes the group roles warehouse_clerk and warehouse_reader where they
/// are missing and the login may make roles, and grants them the store
/// when they are there; then tells, in one row, whether they are.
extern const char* const ROLES;

/// An SQL condition, where the store's roles are there: true when one of
/// them lacks a grant that ROLES gives, as a store brought up to date, or
/// one whose grants an administrator changed, may.
extern const char* const GRANTS_MISSING;

/// What an administrator runs to make the roles where the store's owner
/// may not: one statement a line.
extern const char* const ROLES_FOR_AN_ADMINISTRATOR;

}  // namespace postgres_schema

#endif
