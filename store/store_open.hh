// A store opened by the name it goes by: an SQLite file, or a PostgreSQL
// database.
#ifndef WAREHOUSE_STORE_OPEN_HH
#define WAREHOUSE_STORE_OPEN_HH

#include "store/store.hh"
#include "store/store_name.hh"

#include <memory>
#include <string>

/// Opens the store that where names, creating it when it does not exist,
/// and loads its products into the table, which must be empty; from then
/// on the store watches the table, and output is held back until each
/// commit. On failure returns null with the reason in error, and leaves
/// the store as it was.
std::unique_ptr<Store> openStore(const std::string& where, Datastructure& table,
                                 const StoreOptions& options,
                                 std::string& error);

/// The line a clerk's run starts with: the store that keeps the stock, by
/// the name where gives it without its passwords, and the login the store
/// knows the run by; or, with no store, that the stock lives only in this
/// run, and how to keep it.
std::string firstLine(const Store* store, const std::string& where);

#endif
