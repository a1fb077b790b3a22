// The stock listed for a clerk to see: products sorted by id, in aligned
// columns, those that match a text.
#ifndef WAREHOUSE_STOCK_LIST_HH
#define WAREHOUSE_STOCK_LIST_HH

#include "datastructure.hh"

#include <cstddef>
#include <string_view>

/// Prints the products whose id, shelf or name contains text, ignoring the
/// case of ASCII letters (every product when text is empty), sorted by id,
/// one a line in aligned columns: id, amount, shelf, name. With a limit,
/// prints at most that many, the first by id, and then a line that says how
/// many more there are; only those are sorted, so that a limited list of a
/// large stock comes at once.
void listStock(const Datastructure& table, std::string_view text,
               std::size_t limit = 0);

#endif
