#include "search.hh"

#include "text.hh"

#include <locale.h>
#include <wctype.h>

namespace {

/// The C.UTF-8 locale, made once: every letter of Unicode has its lower
/// case there, whatever locale the program runs in.
locale_t unicodeLocale()
{
    static const locale_t locale =
        ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

void encode(char32_t code, std::string& out)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

/// Appends text to out with its case folded.
void foldInto(std::string_view text, std::string& out)
{
    const locale_t locale = unicodeLocale();
    while (!text.empty()) {
        // A run of ASCII, the usual case, folds a byte at a time.
        std::size_t run = 0;
        while (run < text.size() && static_cast<unsigned char>(text[run]) < 0x80) {
            ++run;
        }
        const std::size_t at = out.size();
        out.resize(at + run);
        for (std::size_t i = 0; i < run; ++i) {
            const char c = text[i];
            out[at + i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        text.remove_prefix(run);
        if (text.empty()) {
            return;
        }
        char32_t code = 0;
        const std::size_t length = utf8Character(text, code);
        if (length == 0) {
            // Not UTF-8: the byte becomes a lone surrogate, U+DC80 to
            // U+DCFF, which no folded character holds; so a match never
            // starts or ends inside a character.
            encode(0xDC00 + static_cast<unsigned char>(text[0]), out);
            text.remove_prefix(1);
            continue;
        }
        encode(static_cast<char32_t>(::towlower_l(static_cast<wint_t>(code), locale)), out);
        text.remove_prefix(length);
    }
}

}  // namespace

Search::Search(std::string_view text) : folded(fold(text)) {}

std::string Search::fold(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    foldInto(text, out);
    return out;
}

bool Search::holds(std::string_view field)
{
    buffer.clear();
    foldInto(field, buffer);
    return buffer.find(folded) != std::string::npos;
}

bool Search::matches(std::string_view id, std::string_view shelf,
                     std::string_view name)
{
    return folded.empty() || holds(id) || holds(shelf) || holds(name);
}
