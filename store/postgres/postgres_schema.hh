// The shape of a store in a PostgreSQL database: its tables, the triggers
// through which the server itself keeps the history, the roles a store's
// owner grants, and how an older store is brought up to date.
#ifndef WAREHOUSE_POSTGRES_SCHEMA_HH
#define WAREHOUSE_POSTGRES_SCHEMA_HH

#include <string>

namespace postgres_schema {

// The version of the store's shape, kept in the table store_version: 2
// added the history, 3 had the server keep it, 4 keeps the tables of 3 and
// records large statements faster. A store of version 3 works as it is
// until its owner's next run brings it up to date.
constexpr int VERSION = 4;

/// What finds the shape of the store's tables in the database: one row,
/// one field, "table column type|" for each column, empty when there are
/// no such tables.
extern const char* const SHAPE_FOUND;
/// The shapes of stores of version 2, and of 3 and later, as SHAPE_FOUND
/// reads them.
extern const char* const SHAPE_2;
extern const char* const SHAPE_3;

/// Makes a store in a database that has none, in one transaction, however
/// many runs start at once.
std::string creation();

/// Brings a store of version 2 up to this version, in one transaction.
std::string upgradeFrom2();

/// Brings a store of version 3 up to this version, in one transaction.
std::string upgradeFrom3();

/// Makes the group roles warehouse_clerk and warehouse_reader where they
/// are missing and the login may make roles, and grants them the store
/// when they are there; then tells, in one row, whether they are.
extern const char* const ROLES;

/// Whether the store's roles are there and lack their grants, or are not
/// there: one row of two booleans, (roles there, grants missing).
extern const char* const ROLES_READY;

/// What an administrator runs to make the roles where the store's owner
/// may not: one statement a line.
extern const char* const ROLES_FOR_AN_ADMINISTRATOR;

}  // namespace postgres_schema

#endif
