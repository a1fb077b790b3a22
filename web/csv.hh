// Tables written as CSV for a spreadsheet or a script: RFC 4180, in UTF-8.
#ifndef WAREHOUSE_WEB_CSV_HH
#define WAREHOUSE_WEB_CSV_HH

#include <cstdint>
#include <string>
#include <string_view>

/// Appends the cells of CSV lines to a text. A text cell is always quoted,
/// its quotes doubled, so that a spreadsheet keeps it as text; text from
/// the store is made valid UTF-8 first, with no control characters
/// (shownText). A text cell that a spreadsheet would run as a formula, one
/// that starts with = + - or @, gets an apostrophe in front, which the
/// spreadsheet shows as text. Lines end in CR LF.
class CsvWriter {
public:
    explicit CsvWriter(std::string& out) : out(out) {}

    CsvWriter& text(std::string_view bytes);
    CsvWriter& number(std::int64_t value);
    /// A number already written, such as "2.50": as it is, unquoted.
    CsvWriter& figure(std::string_view digits);
    /// An empty cell: a value that is not known.
    CsvWriter& none();
    /// Ends the line.
    void end();

private:
    void separate();

    std::string& out;
    bool lineStarted = false;
};

#endif
