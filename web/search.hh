// Finding a text in products as the console's L text does: in the id, the
// shelf or the name, in any case.
#ifndef WAREHOUSE_WEB_SEARCH_HH
#define WAREHOUSE_WEB_SEARCH_HH

#include <string>
#include <string_view>

/// A text to look for. Case is folded one character at a time with the C
/// library's towlower_l in the C.UTF-8 locale, so that "ä" finds "Ä" as "a"
/// finds "A"; a byte that is not part of a UTF-8 character matches only
/// that byte, and a match is whole characters. One search serves one
/// request: it keeps a buffer between calls.
class Search {
public:
    explicit Search(std::string_view text);

    /// True when nothing is looked for: every product matches.
    bool empty() const { return folded.empty(); }

    /// True when the id, the shelf or the name holds the text.
    bool matches(std::string_view id, std::string_view shelf,
                 std::string_view name);

    /// text with its case folded, as the search compares it.
    static std::string fold(std::string_view text);

private:
    bool holds(std::string_view field);

    std::string folded;  // the text looked for, folded
    std::string buffer;  // a field being folded
};

#endif
