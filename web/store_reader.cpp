// The owner's view of the store that a name says, opened.
#include "web/store_reader.hh"

#include "store/store_name.hh"
#include "web/sqlite_reader.hh"
#ifdef WAREHOUSE_POSTGRESQL
#include "web/postgres_reader.hh"
#endif

std::unique_ptr<StoreReader> StoreReader::open(const std::string& where)
{
    if (!isServerUri(where)) {
        return openSqliteReader(where);
    }
#ifdef WAREHOUSE_POSTGRESQL
    return openPostgresReader(where);
#else
    throw StoreError("PostgreSQL is not built into this program");
#endif
}
