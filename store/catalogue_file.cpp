// CSV as RFC 4180 has it, the catalogue's columns, and the changes a file
// asks for, checked before anything changes.
#include "store/catalogue_file.hh"

#include "util/money.hh"

#include <algorithm>
#include <limits>
#include <map>
#include <unordered_map>

namespace {

constexpr std::string_view FIELD_WORDS[CATALOGUE_FIELDS] = {
    "name", "shelf", "price", "cost", "reorder_level", "discontinued"};

std::string money(const std::optional<std::int64_t>& cents)
{
    return cents ? formatCents(*cents) : std::string();
}

std::string count(const std::optional<std::int64_t>& number)
{
    return number ? std::to_string(*number) : std::string();
}

/// The text of a field of record, as the file writes it.
std::string textOf(const CatalogueRecord& record, CatalogueField field)
{
    switch (field) {
    case CatalogueField::Name: return record.name;
    case CatalogueField::Shelf: return record.shelf;
    case CatalogueField::Price: return money(record.price);
    case CatalogueField::Cost: return money(record.cost);
    case CatalogueField::ReorderLevel: return count(record.reorderLevel);
    case CatalogueField::Discontinued: break;
    }
    return record.discontinued ? "yes" : "";
}

/// Whether a spreadsheet would take text as a formula once the apostrophes
/// in front of it, which keep a formula as text, were gone: it starts with
/// =, +, -, @, a tab or a carriage return.
bool formulaLike(std::string_view text)
{
    const std::size_t first = text.find_first_not_of('\'');
    return first != std::string_view::npos &&
           std::string_view("=+-@\t\r").find(text[first]) != std::string_view::npos;
}

}  // namespace

std::string inertText(std::string_view text)
{
    return formulaLike(text) ? "'" + std::string(text) : std::string(text);
}

std::string meantText(const std::string& cell)
{
    return !cell.empty() && cell.front() == '\'' && formulaLike(cell) ? cell.substr(1) : cell;
}

namespace {

/// Reads cell into field of record; false, with why, when it is not one.
/// A name or shelf is taken as it is: whether it may be one is a question
/// of the record it would change (badChange).
bool readCell(const std::string& cell, CatalogueField field,
              CatalogueRecord& record, std::string& why)
{
    switch (field) {
    case CatalogueField::Name:
        record.name = meantText(cell);
        return true;
    case CatalogueField::Shelf:
        record.shelf = meantText(cell);
        return true;
    case CatalogueField::Price:
    case CatalogueField::Cost: {
        auto& cents = field == CatalogueField::Price ? record.price : record.cost;
        cents.reset();
        if (cell.empty()) {
            return true;
        }
        cents = parseCents(cell, why);
        if (!cents) {
            why = std::string(fieldWord(field)) + " '" + cell + "': " + why;
        }
        return cents.has_value();
    }
    case CatalogueField::ReorderLevel: {
        record.reorderLevel.reset();
        if (cell.empty()) {
            return true;
        }
        std::int64_t level = 0;
        for (const char digit : cell) {
            // Bounded by the digit itself: the largest level the catalogue
            // holds, which another program may have set, is written out
            // and must read back.
            if (digit < '0' || digit > '9' ||
                level > (std::numeric_limits<std::int64_t>::max() - (digit - '0')) / 10) {
                why = "reorder_level '" + cell + "': not a whole number of units";
                return false;
            }
            level = level * 10 + (digit - '0');
        }
        record.reorderLevel = level;
        return true;
    }
    case CatalogueField::Discontinued:
        break;
    }
    if (cell != "yes" && cell != "no" && !cell.empty()) {
        why = "discontinued '" + cell + "': yes, no or empty";
        return false;
    }
    record.discontinued = cell == "yes";
    return true;
}

}  // namespace

std::string badNewId(const std::string& id)
{
    if (id.empty()) {
        return "no id";
    }
    if (id.find_first_of(" \t\r\n") != std::string::npos) {
        return "an id is one word";
    }
    // A stock file's id ends at its first ';'.
    return id.find(';') == std::string::npos ? "" : "a ';' in the id";
}

std::string badNewText(const std::string& text, std::string_view what)
{
    if (text.find_first_of("\r\n") != std::string::npos) {
        return "a line break in the " + std::string(what);
    }
    // A stock file's shelf ends at the next ';'; a name runs to the line's end.
    return what == "shelf" && text.find(';') != std::string::npos ? "a ';' in the shelf" : "";
}

namespace {

const CatalogueRecord* recordOf(const std::vector<CatalogueRecord>& records,
                                const std::string& id)
{
    const auto at = std::lower_bound(
        records.begin(), records.end(), id,
        [](const CatalogueRecord& record, const std::string& key) { return record.id < key; });
    return at != records.end() && at->id == id ? &*at : nullptr;
}

/// Why the name or shelf a line gives could not become its record's (none:
/// a record the line adds), or empty when they could. What the record
/// holds already is taken as it is, whatever put it there, so that the
/// file written reads back; a new one follows the rules of every file. A
/// record's name or shelf is never emptied: the product in stock would be
/// renamed to nothing, which no file means (an empty cell of a sheet or a
/// note leaves the name to the record). A record the line adds may start
/// without, as one added by a file of prices alone does.
std::string badChange(const CatalogueFile& file, const CatalogueRecord& values,
                      const CatalogueRecord* record)
{
    const std::pair<CatalogueField, std::string CatalogueRecord::*> texts[] = {
        {CatalogueField::Name, &CatalogueRecord::name},
        {CatalogueField::Shelf, &CatalogueRecord::shelf}};
    for (const auto& [field, member] : texts) {
        const std::string& now = values.*member;
        const std::string what(fieldWord(field));
        if (!file.holds[static_cast<std::size_t>(field)] ||
            (record != nullptr && now == record->*member)) {
            continue;
        }
        if (now.empty() && record != nullptr) {
            return "no " + what + ", where the record has one";
        }
        const std::string why = badNewText(now, what);
        if (!why.empty()) {
            return why;
        }
    }
    return "";
}

}  // namespace

std::vector<std::string> refusedChanges(const CatalogueFile& file,
                                        const std::vector<CatalogueRecord>& records)
{
    std::vector<std::string> refused;
    for (const CatalogueFile::Row& row : file.rows) {
        const CatalogueRecord* record = recordOf(records, row.values.id);
        std::string why = record != nullptr ? std::string() : badNewId(row.values.id);
        if (why.empty()) {
            why = badChange(file, row.values, record);
        }
        if (!why.empty()) {
            refused.push_back("line " + std::to_string(row.line) + ": " + why);
        }
    }
    return refused;
}

const char* const CATALOGUE_HEADER =
    "id,name,shelf,price,cost,reorder_level,discontinued";

std::string_view fieldWord(CatalogueField field)
{
    return FIELD_WORDS[static_cast<std::size_t>(field)];
}

std::string csvCell(std::string_view text)
{
    const bool quoted =
        text.find_first_of(",\"\r\n") != std::string_view::npos ||
        (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quoted) {
        return std::string(text);
    }
    std::string cell = "\"";
    for (const char c : text) {
        cell += c;
        if (c == '"') {
            cell += '"';
        }
    }
    return cell + '"';
}

std::string catalogueCsv(const std::vector<CatalogueRecord>& records)
{
    std::string text = std::string(CATALOGUE_HEADER) + "\r\n";
    for (const CatalogueRecord& record : records) {
        text += csvCell(inertText(record.id));
        for (std::size_t field = 0; field < CATALOGUE_FIELDS; ++field) {
            // Every cell is made inert: a record's numbers never start so,
            // but one another program set below 0 past the store's checks
            // goes out as text, which the file's reading refuses.
            text += ',' + csvCell(inertText(textOf(record, static_cast<CatalogueField>(field))));
        }
        text += "\r\n";
    }
    return text;
}

bool splitCsv(std::string_view text, std::vector<CsvLine>& lines,
              std::string& problem)
{
    std::size_t line = 1;
    std::size_t at = 0;
    while (at < text.size()) {
        CsvLine record;
        record.line = line;
        std::string cell;
        bool ended = false;
        while (!ended) {
            if (at < text.size() && text[at] == '"') {
                // A quoted cell: to the quote that is not doubled.
                for (++at;; ++at) {
                    if (at >= text.size()) {
                        problem = "line " + std::to_string(record.line) +
                                  ": a quoted cell is not closed";
                        return false;
                    }
                    if (text[at] == '"' && at + 1 < text.size() && text[at + 1] == '"') {
                        cell += '"';
                        ++at;
                    } else if (text[at] == '"') {
                        ++at;
                        break;
                    } else {
                        line += text[at] == '\n';
                        cell += text[at];
                    }
                }
                if (at < text.size() && text.find_first_of(",\r\n", at) != at) {
                    problem = "line " + std::to_string(line) +
                              ": text after a quoted cell";
                    return false;
                }
            } else {
                const std::size_t end = std::min(text.find_first_of(",\r\n", at), text.size());
                cell.append(text.substr(at, end - at));
                at = end;
            }
            record.cells.push_back(std::move(cell));
            cell.clear();
            if (at < text.size() && text[at] == ',') {
                ++at;
                continue;
            }
            ended = true;
            if (at < text.size() && text[at] == '\r') {
                ++at;
            }
            if (at < text.size() && text[at] == '\n') {
                ++at;
            }
            ++line;
        }
        if (record.cells.size() > 1 || !record.cells.front().empty()) {
            lines.push_back(std::move(record));
        }
    }
    return true;
}

CatalogueFile readCatalogueFile(std::string_view text,
                                const std::vector<CatalogueRecord>& records)
{
    CatalogueFile file;
    std::vector<CsvLine> lines;
    std::string problem;
    // The mark a spreadsheet may put first, to say the file is UTF-8.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    if (!splitCsv(text, lines, problem)) {
        file.problems.push_back(problem);
        return file;
    }
    if (lines.empty()) {
        file.problems.push_back("line 1: no header: the file is empty");
        return file;
    }
    // Each column: the field it holds, or -1 for the id.
    std::vector<int> columns;
    int idColumn = -1;
    const CsvLine& header = lines.front();
    for (std::size_t at = 0; at < header.cells.size(); ++at) {
        const std::string& name = header.cells[at];
        const auto* found = std::find(std::begin(FIELD_WORDS), std::end(FIELD_WORDS), name);
        const int field = name == "id" ? -1
                          : found == std::end(FIELD_WORDS)
                              ? -2
                              : static_cast<int>(found - std::begin(FIELD_WORDS));
        const bool again = field == -1 ? idColumn >= 0 : field >= 0 && file.holds[field];
        if (field == -2 || again) {
            file.problems.push_back("line " + std::to_string(header.line) + ": " +
                                    (again ? "the column " + name + " twice"
                                           : "an unknown column '" + name + "'"));
            continue;
        }
        if (field == -1) {
            idColumn = static_cast<int>(at);
        } else {
            file.holds[field] = true;
        }
        columns.push_back(field);
    }
    if (idColumn < 0) {
        file.problems.push_back("line " + std::to_string(header.line) + ": no id column");
    }
    if (!file.problems.empty()) {
        return file;
    }
    std::map<std::string, std::size_t> firstLine;
    for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
        const std::string where = "line " + std::to_string(line->line) + ": ";
        if (line->cells.size() != columns.size()) {
            file.problems.push_back(where + std::to_string(line->cells.size()) +
                                    " cells, the header names " +
                                    std::to_string(columns.size()));
            continue;
        }
        CatalogueRecord values;
        values.id = meantText(line->cells[idColumn]);
        const CatalogueRecord* record = recordOf(records, values.id);
        std::string why = record != nullptr ? std::string() : badNewId(values.id);
        for (std::size_t at = 0; at < columns.size() && why.empty(); ++at) {
            if (columns[at] >= 0) {
                readCell(line->cells[at], static_cast<CatalogueField>(columns[at]), values, why);
            }
        }
        if (why.empty()) {
            why = badChange(file, values, record);
        }
        const auto [first, added] = firstLine.emplace(values.id, line->line);
        if (why.empty() && !added) {
            why = "the id " + values.id + " again (first on line " +
                  std::to_string(first->second) + ")";
        }
        if (!why.empty()) {
            file.problems.push_back(where + why);
            continue;
        }
        file.rows.push_back({line->line, std::move(values)});
    }
    return file;
}

std::vector<FieldChange> applyCatalogueFile(const CatalogueFile& file,
                                            std::vector<CatalogueRecord>& records,
                                            std::vector<std::string>& changed)
{
    std::vector<FieldChange> changes;
    const auto byId = [](const CatalogueRecord& record, const std::string& id) {
        return record.id < id;
    };
    // The records the file adds wait aside, and join the others in one
    // merge at the end: put in place one by one, each would move every
    // record after it, and a file of new ids out of order would take time
    // that grows with their square, the store locked all the while.
    std::vector<CatalogueRecord> added;
    std::unordered_map<std::string, std::size_t> addedAt;
    for (const CatalogueFile::Row& row : file.rows) {
        const auto at = std::lower_bound(records.begin(), records.end(), row.values.id, byId);
        const bool held = at != records.end() && at->id == row.values.id;
        const auto [aside, adds] =
            held ? std::pair(addedAt.end(), false) : addedAt.emplace(row.values.id, added.size());
        if (adds) {
            added.emplace_back().id = row.values.id;
        }
        CatalogueRecord& record = held ? *at : added[aside->second];
        bool any = adds;
        for (std::size_t index = 0; index < CATALOGUE_FIELDS; ++index) {
            const auto field = static_cast<CatalogueField>(index);
            const std::string before = textOf(record, field);
            const std::string after = textOf(row.values, field);
            if (!file.holds[index] || (before == after && !adds)) {
                continue;
            }
            switch (field) {
            case CatalogueField::Name: record.name = row.values.name; break;
            case CatalogueField::Shelf: record.shelf = row.values.shelf; break;
            case CatalogueField::Price: record.price = row.values.price; break;
            case CatalogueField::Cost: record.cost = row.values.cost; break;
            case CatalogueField::ReorderLevel: record.reorderLevel = row.values.reorderLevel; break;
            case CatalogueField::Discontinued: record.discontinued = row.values.discontinued; break;
            }
            const auto known = [](const std::string& text) {
                return text.empty() ? std::nullopt : std::optional<std::string>(text);
            };
            if (adds && after.empty()) {
                continue;
            }
            changes.push_back({record.id, field, adds ? std::nullopt : known(before),
                               known(after)});
            any = true;
        }
        if (any) {
            changed.push_back(record.id);
        }
    }
    const auto order = [](const CatalogueRecord& left, const CatalogueRecord& right) {
        return left.id < right.id;
    };
    std::sort(added.begin(), added.end(), order);
    const auto held = static_cast<std::ptrdiff_t>(records.size());
    records.insert(records.end(), std::make_move_iterator(added.begin()),
                   std::make_move_iterator(added.end()));
    std::inplace_merge(records.begin(), records.begin() + held, records.end(), order);
    return changes;
}

std::unordered_set<std::string> idsChanging(const std::vector<FieldChange>& changes,
                                            CatalogueField field)
{
    std::unordered_set<std::string> ids;
    for (const FieldChange& change : changes) {
        if (change.field == field) {
            ids.insert(change.id);
        }
    }
    return ids;
}
