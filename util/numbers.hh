// Numbers and white space read as the "C" locale reads them: the one parser
// for every amount and count, in stock files and at the console alike.
#ifndef WAREHOUSE_UTIL_NUMBERS_HH
#define WAREHOUSE_UTIL_NUMBERS_HH

#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

/// White space as the "C" locale has it.
inline bool isSpace(int c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

enum class NumberRead {
    Done,       // value holds the number
    Missing,    // the text ended before a number began; value is untouched
    Malformed,  // not a plain unsigned decimal below 2^32; value is untouched
};

inline bool isDigit(int c)
{
    return c >= '0' && c <= '9';
}

/// Skips white space, then reads an optional '+' and a run of decimal digits
/// that must fit in 32 bits. The number ends before the first non-digit,
/// which stays unread ("5x" reads 5). Chars supplies peek(), the next byte as
/// 0 to 255 or -1 at the end, and next(), which moves past it.
template <typename Chars>
NumberRead parseNumber(Chars& chars, std::uint32_t& value)
{
    while (isSpace(chars.peek())) {
        chars.next();
    }
    int c = chars.peek();
    if (c == -1) {
        return NumberRead::Missing;
    }
    if (c == '+') {
        chars.next();
        c = chars.peek();
    }
    if (!isDigit(c)) {
        return NumberRead::Malformed;
    }
    std::uint64_t number = 0;
    for (; isDigit(c); chars.next(), c = chars.peek()) {
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
        if (number > std::numeric_limits<std::uint32_t>::max()) {
            return NumberRead::Malformed;
        }
    }
    value = static_cast<std::uint32_t>(number);
    return NumberRead::Done;
}

// Bytes of a text in memory, such as a line of a stock file.
struct TextChars {
    std::string_view text;
    std::size_t position;

    int peek() const
    {
        return position < text.size()
                   ? static_cast<unsigned char>(text[position])
                   : -1;
    }
    void next() { ++position; }
};

/// Reads text that is a number and nothing else, as a clerk must type one:
/// plain digits, up to 4294967295, with no sign and no white space. Returns
/// Done, or Malformed for anything else, leaving value untouched.
inline NumberRead parseWholeNumber(std::string_view text, std::uint32_t& value)
{
    TextChars chars{text, 0};
    std::uint32_t number = 0;
    if (text.empty() || !isDigit(text.front()) ||
        parseNumber(chars, number) != NumberRead::Done ||
        chars.position != text.size()) {
        return NumberRead::Malformed;
    }
    value = number;
    return NumberRead::Done;
}

/// Reads a whole number of seconds up to most, such as an option's wait.
inline bool parseSeconds(std::string_view text, unsigned most,
                         std::chrono::milliseconds& wait)
{
    unsigned seconds = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, seconds);
    if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end ||
        seconds > most) {
        return false;
    }
    wait = std::chrono::seconds(seconds);
    return true;
}

#endif
