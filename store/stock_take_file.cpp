// Count sheets and delivery notes, written and read back in the CSV of the
// catalogue's files.
#include "store/stock_take_file.hh"

#include "store/catalogue_file.hh"
#include "store/change_kind.hh"
#include "util/numbers.hh"

#include <algorithm>
#include <map>

const char* const COUNT_SHEET_HEADER = "id,name,shelf,expected,counted,reason";

namespace {

/// A file's lines with its header's columns found: the cell of a column
/// named, or none.
struct Columns {
    std::vector<std::string> names;
    std::optional<std::size_t> of(std::string_view name) const
    {
        const auto found = std::find(names.begin(), names.end(), name);
        if (found == names.end()) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(found - names.begin());
    }
};

std::string where(std::size_t line)
{
    return "line " + std::to_string(line) + ": ";
}

/// Splits text into lines after its header, whose columns must be among
/// known and hold every one of needed; false, with problems, when not.
bool readLines(std::string_view text, const std::vector<std::string_view>& known,
               const std::vector<std::string_view>& needed, Columns& columns,
               std::vector<CsvLine>& lines, std::vector<std::string>& problems)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::string problem;
    if (!splitCsv(text, lines, problem)) {
        problems.push_back(problem);
        return false;
    }
    if (lines.empty()) {
        problems.push_back("line 1: no header: the file is empty");
        return false;
    }
    const CsvLine& header = lines.front();
    for (const std::string& name : header.cells) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            problems.push_back(where(header.line) + "an unknown column '" + name + "'");
        } else if (columns.of(name)) {
            problems.push_back(where(header.line) + "the column " + name + " twice");
        }
        columns.names.push_back(name);
    }
    for (const std::string_view name : needed) {
        if (!columns.of(name)) {
            problems.push_back(where(header.line) + "no " + std::string(name) + " column");
        }
    }
    return problems.empty();
}

/// The cell of a column, or empty when the file has no such column.
std::string cellOf(const CsvLine& line, const Columns& columns, std::string_view name)
{
    const std::optional<std::size_t> at = columns.of(name);
    return at ? meantText(line.cells[*at]) : std::string();
}

/// Why a line's id, shelf or name could be no product's, or empty when
/// they could all be. The stock's own are taken as they are, whatever put
/// them there: a product in stock keeps its shelf and name whatever a
/// line says, and a line that repeats them brings them in only should the
/// product leave the stock before the count is taken, as they were. Any
/// other must be one a file may bring in.
std::string badProduct(const std::string& id, const std::string& shelf,
                       const std::string& name, const HeldProduct& held)
{
    std::string heldShelf;
    std::string heldName;
    const bool inStock = held && held(id, heldShelf, heldName);
    std::string why = inStock ? "" : badNewId(id);
    if (why.empty() && !(inStock && shelf == heldShelf)) {
        why = badNewText(shelf, "shelf");
    }
    if (why.empty() && !(inStock && name == heldName)) {
        why = badNewText(name, "name");
    }
    return why;
}

}  // namespace

std::string countSheetCsv(std::vector<SheetProduct> products)
{
    std::sort(products.begin(), products.end(),
              [](const SheetProduct& a, const SheetProduct& b) {
                  return a.shelf != b.shelf ? a.shelf < b.shelf : a.id < b.id;
              });
    std::string text = std::string(COUNT_SHEET_HEADER) + "\r\n";
    for (const SheetProduct& product : products) {
        text += csvCell(inertText(product.id)) + ',' + csvCell(inertText(product.name)) +
                ',' + csvCell(inertText(product.shelf)) + ',' +
                std::to_string(product.expected) + ",,\r\n";
    }
    return text;
}

CountSheet readCountSheet(std::string_view text, const HeldProduct& held)
{
    CountSheet sheet;
    Columns columns;
    std::vector<CsvLine> lines;
    if (!readLines(text, {"id", "name", "shelf", "expected", "counted", "reason"},
                   {"id", "counted"}, columns, lines, sheet.problems)) {
        return sheet;
    }
    std::map<std::string, std::size_t> firstLine;
    for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
        if (line->cells.size() != columns.names.size()) {
            sheet.problems.push_back(where(line->line) + std::to_string(line->cells.size()) +
                                     " cells, the header names " +
                                     std::to_string(columns.names.size()));
            continue;
        }
        CountSheet::Row row{line->line, cellOf(*line, columns, "id"), 0,
                            cellOf(*line, columns, "reason"), cellOf(*line, columns, "name"),
                            cellOf(*line, columns, "shelf")};
        const std::string counted = cellOf(*line, columns, "counted");
        if (counted.empty() && row.reason.empty()) {
            continue;  // not counted
        }
        std::string why = badProduct(row.id, row.shelf, row.name, held);
        if (why.empty() && parseWholeNumber(counted, row.counted) != NumberRead::Done) {
            why = counted.empty() ? "a reason but no count"
                                  : "the count '" + counted + "' is not a whole number of units";
        }
        if (why.empty() && !row.reason.empty() && !isCountReason(row.reason)) {
            why = "the reason '" + row.reason +
                  "' is none of damaged, expired, sample, theft, miscount";
        }
        const auto [first, added] = firstLine.emplace(row.id, line->line);
        if (why.empty() && !added) {
            why = "the id " + row.id + " again (first on line " + std::to_string(first->second) + ")";
        }
        if (!why.empty()) {
            sheet.problems.push_back(where(line->line) + why);
            continue;
        }
        sheet.rows.push_back(std::move(row));
    }
    return sheet;
}

bool isCalendarDate(std::string_view text)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return false;
    }
    for (const std::size_t at : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[at] < '0' || text[at] > '9') {
            return false;
        }
    }
    const auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const int year = number(0, 4);
    const int month = number(5, 2);
    const int day = number(8, 2);
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DAYS[month - 1] + (month == 2 && leap ? 1 : 0);
}

DeliveryNote readDeliveryNote(std::string_view text, const HeldProduct& held)
{
    DeliveryNote note;
    Columns columns;
    std::vector<CsvLine> lines;
    if (!readLines(text, {"id", "amount", "best_before", "shelf", "name"}, {"id", "amount"},
                   columns, lines, note.problems)) {
        return note;
    }
    for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
        if (line->cells.size() != columns.names.size()) {
            note.problems.push_back(where(line->line) + std::to_string(line->cells.size()) +
                                    " cells, the header names " +
                                    std::to_string(columns.names.size()));
            continue;
        }
        // A spreadsheet's blank row, which a count sheet passes over too.
        if (std::all_of(line->cells.begin(), line->cells.end(),
                        [](const std::string& cell) { return cell.empty(); })) {
            continue;
        }
        DeliveryNote::Row row{line->line, cellOf(*line, columns, "id"), 0,
                              cellOf(*line, columns, "best_before"),
                              cellOf(*line, columns, "shelf"), cellOf(*line, columns, "name")};
        const std::string amount = cellOf(*line, columns, "amount");
        std::string why = badProduct(row.id, row.shelf, row.name, held);
        if (why.empty() &&
            (parseWholeNumber(amount, row.amount) != NumberRead::Done || row.amount == 0)) {
            why = "the amount '" + amount + "' is not a whole number of units from 1";
        }
        if (why.empty() && !row.bestBefore.empty() && !isCalendarDate(row.bestBefore)) {
            why = "the best-before date '" + row.bestBefore + "' is no date YYYY-MM-DD";
        }
        if (!why.empty()) {
            note.problems.push_back(where(line->line) + why);
            continue;
        }
        note.rows.push_back(std::move(row));
    }
    return note;
}
