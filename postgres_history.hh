// The history of a store in PostgreSQL as H reads it back.
#ifndef WAREHOUSE_POSTGRES_HISTORY_HH
#define WAREHOUSE_POSTGRES_HISTORY_HH

#include "history_lines.hh"
#include "postgres_session.hh"

#include <string>
#include <vector>

/// The entries H prints, oldest first: a product's own, and those of many
/// products after its first; or with no id those of the last count
/// commands. False, with the reason in error, when the server failed.
bool readHistory(PostgresSession& session, const std::string* id,
                 std::size_t count, std::vector<HistoryEntry>& entries,
                 std::string& error);

#endif
