// A step of bringing a store of an older version up to date, as both kinds
// of store list them.
#ifndef WAREHOUSE_SCHEMA_STEP_HH
#define WAREHOUSE_SCHEMA_STEP_HH

#include <string>

/// One step: the SQL that takes a store of version - 1 to version. The
/// steps are listed in order, each version one more than the one before;
/// a store runs, once each and in order, those past its own version, all in
/// one transaction under the store's lock.
struct SchemaStep {
    int version;      // the version it brings a store to
    std::string sql;  // what it runs
};

#endif
