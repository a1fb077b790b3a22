// The store in an SQLite database file, which the runs on one machine share:
// the steps of its transactions.
#ifndef WAREHOUSE_SQLITE_STORE_HH
#define WAREHOUSE_SQLITE_STORE_HH

#include "store.hh"

#include <memory>
#include <string>

/// Opens the store in the SQLite file at path, as openStore() does.
std::unique_ptr<Store> openSqliteStore(const std::string& path,
                                       Datastructure& table,
                                       const StoreOptions& options,
                                       std::string& error);

#endif
