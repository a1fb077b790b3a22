// Which kind of store a name stands for, and how messages name it.
#ifndef WAREHOUSE_STORE_OPEN_HH
#define WAREHOUSE_STORE_OPEN_HH

#include "store.hh"

#include <memory>
#include <string>
#include <string_view>

/// True when where names a store on a PostgreSQL server: a connection URI
/// that starts "postgresql://" or "postgres://". Anything else is a file.
bool isServerUri(std::string_view where);

/// Opens the store that where names, creating it when it does not exist,
/// and loads its products into the table, which must be empty; from then
/// on the store watches the table, and output is held back until each
/// commit. On failure returns null with the reason in error, and leaves
/// the store as it was.
std::unique_ptr<Store> openStore(const std::string& where, Datastructure& table,
                                 const StoreOptions& options,
                                 std::string& error);

/// where as messages name the store: any password it holds, in whatever
/// form, shown as "***".
std::string storeName(const std::string& where);

/// text with every password that where holds, and every piece of one that
/// a message may quote, replaced by "***".
std::string withoutPasswords(std::string text, const std::string& where);

#endif
