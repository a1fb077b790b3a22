// The kind of store a name says, opened.
#include "store/store_open.hh"

#include "store/store_name.hh"

#ifdef WAREHOUSE_POSTGRESQL
#include "store/postgres/postgres_store.hh"
#endif
#include "store/sqlite/sqlite_store.hh"

std::unique_ptr<Store> openStore(const std::string& where, Datastructure& table,
                                 const StoreOptions& options,
                                 std::string& error)
{
    if (!isServerUri(where)) {
        return openSqliteStore(where, table, options, error);
    }
#ifdef WAREHOUSE_POSTGRESQL
    std::unique_ptr<Store> store =
        openPostgresStore(where, table, options, error);
    error = withoutPasswords(std::move(error), where);
    return store;
#else
    error = "PostgreSQL is not built into this program";
    return nullptr;
#endif
}

std::string firstLine(const Store* store, const std::string& where)
{
    if (store == nullptr) {
        return "The stock lives only in this run: W saves it to a file.";
    }
    return "Store: " + storeName(where) + ", as " + store->knownLogin() + '.';
}
