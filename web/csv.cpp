// Cells and rows of the CSV files, with formulas disarmed.
#include "web/csv.hh"

#include "web/text.hh"

void CsvWriter::separate()
{
    if (lineStarted) {
        out += ',';
    }
    lineStarted = true;
}

CsvWriter& CsvWriter::text(std::string_view bytes)
{
    separate();
    std::string cell = shownText(bytes);
    if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' ||
                          cell[0] == '@')) {
        cell.insert(0, 1, '\'');
    }
    // Always quoted: a spreadsheet takes an unquoted 1-2 or 0012 for a
    // date or a number.
    out += '"';
    for (const char c : cell) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    out += '"';
    return *this;
}

CsvWriter& CsvWriter::number(std::int64_t value)
{
    separate();
    out += std::to_string(value);
    return *this;
}

CsvWriter& CsvWriter::figure(std::string_view digits)
{
    separate();
    out += digits;
    return *this;
}

CsvWriter& CsvWriter::none()
{
    separate();
    return *this;
}

void CsvWriter::end()
{
    out += "\r\n";
    lineStarted = false;
}
