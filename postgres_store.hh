// The store in a PostgreSQL database, which clerks on several machines
// share: the steps of its transactions, each as few exchanges with the
// server as it can be.
#ifndef WAREHOUSE_POSTGRES_STORE_HH
#define WAREHOUSE_POSTGRES_STORE_HH

#include "store.hh"

#include <memory>
#include <string>

/// Opens the store in the PostgreSQL database that uri names (a libpq
/// connection URI; the PG environment variables fill in what it leaves
/// out), as openStore() does.
std::unique_ptr<Store> openPostgresStore(const std::string& uri,
                                         Datastructure& table,
                                         const StoreOptions& options,
                                         std::string& error);

#endif
