// The stock listed for a clerk to see: products sorted by id, in aligned
// columns, those that match a text.
#ifndef WAREHOUSE_STOCK_LIST_HH
#define WAREHOUSE_STOCK_LIST_HH

#include "datastructure.hh"
#include "util/caseless_search.hh"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

/// What a list shows.
struct ListRequest {
    std::string_view text;  // held by the id, shelf or name; empty: anything
    CaselessSearch::Letters letters = CaselessSearch::Letters::Ascii;
    std::size_t limit = 0;  // at most this many, the first by id; 0: all
    const std::string* after = nullptr;  // only ids after it; null: all ids
};

/// Where a list cut short by its limit stopped.
struct ListRest {
    std::uint64_t more = 0;  // products that match past the last shown
    std::string lastId;      // the last shown
};

/// Prints the products that match the request, sorted by id, one a line in
/// aligned columns: id, amount, shelf, name; or, when none matches, a line
/// that says so. With a limit, only the products shown are sorted, so that
/// a screen of a large stock comes at once; what is left is returned.
ListRest listStock(const Datastructure& table, const ListRequest& request);

#endif
