// The shape of a store in an SQLite file: its tables and triggers, the marks
// in the file's header, and the steps that bring an older store up to date.
// The console's store and the owner's view both read stores through it.
#ifndef WAREHOUSE_SQLITE_SCHEMA_HH
#define WAREHOUSE_SQLITE_SCHEMA_HH

#include "store/schema_step.hh"

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace sqlite_schema {

// The file's mark as this program's store, and the version of its shape:
// 1 held the stock alone, 2 added the history, 3 the name a clerk gives, 4
// the kind of change of each entry, 5 the catalogue, 6 the history's index
// by time, 7 the dated lots and the stock-takes' reasons, 8 the lots' index
// by date that holds their units, 9 keeps the lots within the stock when
// another program replaces a product's row, 10 counts other programs'
// changes to the catalogue, 11 records such a replacement from the units
// the row had and refuses other programs' lots that no run would write.
// Both live in the database header, where they can be read before SQLite
// touches the file.
constexpr std::uint32_t APPLICATION_ID = 0x57485345;  // "WHSE"
constexpr std::uint32_t VERSION = 11;

/// The first version that counts other programs' changes to the catalogue
/// (the table catalogue_changed), from which the owner's view tells that
/// the catalogue stayed as it was.
constexpr std::uint32_t CATALOGUE_COUNTED = 10;

/// The oldest version the owner's view reads: the first with the
/// catalogue, whose entries also say what kind of change each is. A run of
/// the console brings an older store up to date.
constexpr std::uint32_t OLDEST_VIEWED = 5;

/// The steps from the first version to this one, in order: the first takes
/// a store of version 1 to 2, the last one to VERSION.
const std::vector<SchemaStep>& steps();

/// Why a database with this application id and version is no store this
/// program can use, or null when it is one, of this version or older.
const char* refusal(std::uint32_t applicationId, std::uint32_t version);

/// The bytes of a new, empty store, made in memory and marked for
/// write-ahead logging, so that the file is a whole store the moment it
/// appears. Returns false with SQLite's reason in error; throws
/// std::bad_alloc when there is no memory to make it.
bool newStoreImage(std::string& image, std::string& error);

/// The version of the store open in database, checked to be one this
/// program can use; 0, with the reason in error, when it is not.
std::uint32_t versionOf(sqlite3* database, std::string& error);

/// Brings a store of an older version up to this one, inside the
/// transaction the caller holds, with the lock that keeps other runs out:
/// the steps past version, once each and in order. False, with the reason
/// in error, when it fails.
bool upgrade(sqlite3* database, std::uint32_t version, std::string& error);

/// Checks that every object of a store of version is there (one of the
/// viewed versions or later). False, with the reason in error, when one is
/// missing.
bool checkObjects(sqlite3* database, std::uint32_t version, std::string& error);

}  // namespace sqlite_schema

#endif
