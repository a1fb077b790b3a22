// The history of a store in PostgreSQL as H reads it back.
#ifndef WAREHOUSE_POSTGRES_HISTORY_HH
#define WAREHOUSE_POSTGRES_HISTORY_HH

#include "store/history_lines.hh"
#include "store/postgres/postgres_session.hh"

#include <string>
#include <vector>

/// The entries request asks for, oldest first: a product's own, and those
/// of many products after its first; or those of the newest commands the
/// request bounds. False, with the reason in error, when the server failed.
bool readHistory(PostgresSession& session, const HistoryRequest& request,
                 std::vector<HistoryEntry>& entries, std::string& error);

#endif
