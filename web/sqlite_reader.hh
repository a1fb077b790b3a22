// The owner's view of a store in an SQLite file.
#ifndef WAREHOUSE_WEB_SQLITE_READER_HH
#define WAREHOUSE_WEB_SQLITE_READER_HH

#include "web/store_reader.hh"

#include <memory>
#include <string>

/// Opens the store in the file at path read-only: a file that is missing, is
/// not a store or is of a version this program does not know is refused
/// with StoreError, and nothing is created or changed.
std::unique_ptr<StoreReader> openSqliteReader(const std::string& path);

#endif
