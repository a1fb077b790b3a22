// The owner's view of a store in a PostgreSQL database.
#ifndef WAREHOUSE_WEB_POSTGRES_READER_HH
#define WAREHOUSE_WEB_POSTGRES_READER_HH

#include "web/store_reader.hh"

#include <memory>
#include <string>

/// Connects to the database that uri names and checks that it holds a store
/// of a version this program reads; throws StoreError with libpq's words
/// otherwise. Needs no more than SELECT on the store's tables.
std::unique_ptr<StoreReader> openPostgresReader(const std::string& uri);

#endif
