#include "store_reader.hh"

#include "sqlite_reader.hh"
#include "store_name.hh"
#ifdef WAREHOUSE_POSTGRESQL
#include "postgres_reader.hh"
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
