// Stock files: read into the table, and the table written to one that "R"
// loads back as it was, with the one number parser that stock files and
// commands share.
#ifndef WAREHOUSE_STOCK_FILE_HH
#define WAREHOUSE_STOCK_FILE_HH

#include "console_input.hh"
#include "datastructure.hh"
#include "progress.hh"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Numbers: one parser for every amount and count, in stock files and at the
// console alike.

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

// ---------------------------------------------------------------------------
// Reading.

/// What loading a stock file did.
struct LoadReport {
    static constexpr std::size_t NAMED = 5;  // skipped lines named at most

    bool read = false;     // the file was read whole; if not, nothing loaded
    bool stopped = false;  // stopped on request: nothing loaded
    std::uint64_t loaded = 0;   // lines with a readable amount, one add each
    std::uint64_t skipped = 0;  // lines without one
    std::uint64_t firstSkipped[NAMED] = {};  // their numbers, the first few
};

/// Adds the lines of a stock file's text to the table, one add per line
/// with a readable amount, telling progress, if any, how many bytes are
/// done. Should memory run out part-way, or stopRequested say so, what the
/// text added is taken back: a text is loaded whole or not at all. Out of
/// memory, the failure goes on once the text is taken back.
LoadReport readStockText(std::string_view text, Datastructure& table,
                         Progress* progress = nullptr,
                         const StopCheck& stopRequested = {});

/// Loads a stock file into the table: all of it, or, when the file cannot
/// be read through to its end, none of it, with the message for a file that
/// is not there.
LoadReport ReadFile(const std::string& fileName, Datastructure& table,
                    const StopCheck& stopRequested = {});

// ---------------------------------------------------------------------------
// Writing.

/// Writes every product in stock to fileName, one line "id;amount;shelf;name"
/// each, in the table's own order. A product whose id or shelf holds a ';'
/// or whose fields hold a line feed would load back as another product: it
/// is left out and named in a CANNOT_SAVE_PRODUCT line. The old file is
/// replaced only by a complete new one, keeping its permission bits; on any
/// failure it stays untouched, nothing is left behind, and a STOCK_NOT_SAVED
/// line says why. Prints nothing else. Returns true when the file holds
/// every product in stock.
bool SaveFile(const std::string& fileName, const Datastructure& table);

/// Writes the stock lines of SaveFile to an open descriptor, naming the
/// products the format cannot hold and counting them in leftOut. Returns
/// false, with errno set, when a write fails.
bool writeStockLines(int descriptor, const Datastructure& table,
                     std::uint64_t& leftOut);

#endif
