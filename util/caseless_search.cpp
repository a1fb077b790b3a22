// A text found in others whatever the case of their letters.
#include "util/caseless_search.hh"

#include "util/text_codes.hh"

#include <locale.h>
#include <wctype.h>

#include <cstddef>

// Both texts are folded into UTF-8 of their own and then compared as bytes.
// A stray byte b is folded to the code point STRAY + b, past Unicode's last,
// in UTF-8's four-byte form; so every folded character starts with a byte
// that no folded character continues with, a match of the folded bytes
// starts and ends on whole characters, and a stray byte, which no valid
// character folds to, matches only the same stray byte.

namespace {

constexpr char32_t STRAY = 0x110000;

/// The C.UTF-8 locale's case mappings; null when the system has none, and
/// then only ASCII letters fold. Made once, at the first search of all
/// letters, and kept for the run.
locale_t caseMappings()
{
    static const locale_t mappings =
        ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return mappings;
}

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// Appends point in UTF-8's form, the four-byte form up to STRAY + 0xFF.
void encode(char32_t point, std::string& out)
{
    const auto byte = [&out](char32_t bits) {
        out += static_cast<char>(bits);
    };
    if (point < 0x80) {
        byte(point);
    } else if (point < 0x800) {
        byte(0xC0 | point >> 6);
        byte(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        byte(0xE0 | point >> 12);
        byte(0x80 | (point >> 6 & 0x3F));
        byte(0x80 | (point & 0x3F));
    } else {
        byte(0xF0 | point >> 18);
        byte(0x80 | (point >> 12 & 0x3F));
        byte(0x80 | (point >> 6 & 0x3F));
        byte(0x80 | (point & 0x3F));
    }
}

/// Folds A to Z, and tells whether text holds any byte past ASCII. One
/// pass without branches, which the compiler makes wide.
bool foldAscii(std::string_view text, std::string& out)
{
    out.assign(text);
    unsigned char seen = 0;
    for (char& c : out) {
        seen |= static_cast<unsigned char>(c);
        c = asciiLower(c);
    }
    return seen >= 0x80;
}

// The lower case of the upper case: ς, whose lower case is itself, and σ
// share the upper case Σ, and so fold alike.
void foldAll(std::string_view text, std::string& out)
{
    if (!foldAscii(text, out)) {
        return;  // most fields: ASCII alone
    }
    const locale_t mappings = caseMappings();
    std::size_t i = 0;
    while (static_cast<unsigned char>(text[i]) < 0x80) {
        ++i;
    }
    out.resize(i);
    while (i < text.size()) {
        const auto first = static_cast<unsigned char>(text[i]);
        if (first < 0x80) {  // no look-up for ASCII
            out += asciiLower(static_cast<char>(first));
            ++i;
            continue;
        }
        char32_t point = 0;
        const std::size_t length = utf8Character(text.substr(i), point);
        if (length == 0) {
            encode(STRAY + first, out);
            ++i;
            continue;
        }
        if (mappings != locale_t{}) {
            point = ::towlower_l(::towupper_l(point, mappings), mappings);
        }
        encode(point, out);
        i += length;
    }
}

}  // namespace

CaselessSearch::CaselessSearch(std::string_view text, Letters letters)
    : letters(letters)
{
    if (letters == Letters::All) {
        foldAll(text, folded);
    } else {
        foldAscii(text, folded);
    }
}

bool CaselessSearch::foundIn(std::string_view field)
{
    if (letters == Letters::All) {
        foldAll(field, scratch);
    } else {
        foldAscii(field, scratch);
    }
    return scratch.find(folded) != std::string::npos;
}
