// Finding a text in others regardless of the case of their letters.
#ifndef WAREHOUSE_CASELESS_SEARCH_HH
#define WAREHOUSE_CASELESS_SEARCH_HH

#include <string>
#include <string_view>

/// A text looked for in others, the case of their letters ignored: of the
/// ASCII letters only, as a script's L has always compared them, or of
/// every letter, as a clerk's L does. For every letter, both texts are read
/// as UTF-8 and each character stands for the lower case of its upper case
/// in the C library's C.UTF-8 locale, so that Ä and ä, Σ, σ and ς, or ẞ and
/// ß are one letter. A byte that does not begin a valid character stands
/// for itself: it is found only where the other text has the same stray
/// byte, never inside a character.
class CaselessSearch {
public:
    enum class Letters {
        Ascii,  // A to Z fold; every other byte is compared as it is
        All,    // every letter with an upper and a lower case
    };

    CaselessSearch(std::string_view text, Letters letters);

    /// True when field holds the text; the empty text is in every field.
    bool foundIn(std::string_view field);

private:
    Letters letters;
    std::string folded;   // the text as it is compared
    std::string scratch;  // the last field as it was compared, reused
};

#endif
