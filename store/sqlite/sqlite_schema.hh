// The shape of a store in an SQLite file: its tables and triggers, the marks
// in the file's header, and how an older store is brought up to date.
#ifndef WAREHOUSE_SQLITE_SCHEMA_HH
#define WAREHOUSE_SQLITE_SCHEMA_HH

#include <cstdint>
#include <string>

struct sqlite3;

namespace sqlite_schema {

// The file's mark as this program's store, and the version of its shape:
// 1 held the stock alone, 2 added the history, 3 the name a clerk gives.
// Both live in the database header, where they can be read before SQLite
// touches the file.
constexpr std::uint32_t APPLICATION_ID = 0x57485345;  // "WHSE"
constexpr std::uint32_t VERSION = 3;

/// Why a database with this application id and version is no store this
/// program can use, or null when it is one, of this version or older.
const char* refusal(std::uint32_t applicationId, std::uint32_t version);

/// The bytes of a new, empty store, made in memory and marked for
/// write-ahead logging, so that the file is a whole store the moment it
/// appears. Returns false with SQLite's reason in error.
bool newStoreImage(std::string& image, std::string& error);

/// The version of the store open in database, checked to be one this
/// program can use; 0, with the reason in error, when it is not.
std::uint32_t versionOf(sqlite3* database, std::string& error);

/// Brings a store of an older version up to this one, inside the
/// transaction the caller holds. False, with the reason in error, when it
/// fails.
bool upgrade(sqlite3* database, std::uint32_t version, std::string& error);

/// Checks that every object of a store of this version is there. False,
/// with the reason in error, when one is missing.
bool checkObjects(sqlite3* database, std::string& error);

}  // namespace sqlite_schema

#endif
