// Finding a text in products as the console's L text does: in the id, the
// shelf or the name, in any case.
#ifndef WAREHOUSE_WEB_SEARCH_HH
#define WAREHOUSE_WEB_SEARCH_HH

#include "util/caseless_search.hh"

#include <string_view>

/// A text to look for, the case of every letter ignored, exactly as a
/// clerk's L compares it (see CaselessSearch). One search serves one
/// request: it keeps a buffer between calls.
class Search {
public:
    explicit Search(std::string_view text);

    /// True when nothing is looked for: every product matches.
    bool empty() const { return nothing; }

    /// True when the id, the shelf or the name holds the text.
    bool matches(std::string_view id, std::string_view shelf,
                 std::string_view name);

private:
    CaselessSearch text;
    bool nothing;
};

#endif
