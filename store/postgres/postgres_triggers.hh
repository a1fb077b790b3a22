// The functions and triggers through which the server keeps a PostgreSQL
// store's history and its dated lots: made with a new store, and made again
// by each step that changes them.
#ifndef WAREHOUSE_POSTGRES_TRIGGERS_HH
#define WAREHOUSE_POSTGRES_TRIGGERS_HH

namespace postgres_schema {

/// The history's functions and the stock's triggers that call them, with
/// marks that the schema replaces (the kind column's words, the history's
/// limit).
extern const char* const TRIGGERS;

/// The lots' function and triggers, and the function that sets a count's
/// reasons.
extern const char* const LOTS_KEPT;

}  // namespace postgres_schema

#endif
