#include "stock_list.hh"

#include "output_lines.hh"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// A product as the table holds it, for as long as the list is printed.
struct Row {
    const std::string* id;
    const std::string* shelf;
    std::uint32_t amount;
    const std::string* name;
};

bool byId(const Row& a, const Row& b)
{
    return *a.id < *b.id;
}

char lowered(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// True when field contains lowerText, which is in lower case already,
/// ignoring the case of ASCII letters.
bool contains(std::string_view field, std::string_view lowerText)
{
    return std::search(field.begin(), field.end(), lowerText.begin(),
                       lowerText.end(), [](char a, char b) {
                           return lowered(a) == b;
                       }) != field.end();
}

/// The characters a terminal shows for text in UTF-8: one for each byte but
/// the bytes that continue a character.
std::size_t shownWidth(std::string_view text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
}

std::size_t digits(std::uint32_t amount)
{
    std::size_t count = 1;
    for (; amount >= 10; amount /= 10) {
        ++count;
    }
    return count;
}

/// The rows, one a line: id and shelf padded to their columns' widths, the
/// amount to the right of its column, the name as it is.
void printRows(const std::vector<Row>& rows)
{
    std::size_t idWidth = 0;
    std::size_t amountWidth = 0;
    std::size_t shelfWidth = 0;
    for (const Row& row : rows) {
        idWidth = std::max(idWidth, shownWidth(*row.id));
        amountWidth = std::max(amountWidth, digits(row.amount));
        shelfWidth = std::max(shelfWidth, shownWidth(*row.shelf));
    }
    std::string line;
    for (const Row& row : rows) {
        line.assign(*row.id);
        line.append(idWidth - shownWidth(*row.id) + 2, ' ');
        line.append(amountWidth - digits(row.amount), ' ');
        line.append(std::to_string(row.amount)).append(2, ' ');
        line.append(*row.shelf);
        line.append(shelfWidth - shownWidth(*row.shelf) + 2, ' ');
        line.append(*row.name);
        printLine(line);
    }
}

}  // namespace

void listStock(const Datastructure& table, std::string_view text,
               std::size_t limit)
{
    std::string lowerText(text);
    std::transform(lowerText.begin(), lowerText.end(), lowerText.begin(),
                   lowered);
    // With a limit, the rows are a heap of the first by id: the largest
    // of them on top, to make room for a smaller one.
    std::vector<Row> rows;
    std::uint64_t matched = 0;
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        if (!lowerText.empty() && !contains(id, lowerText) &&
            !contains(shelf, lowerText) && !contains(name, lowerText)) {
            return;
        }
        ++matched;
        const Row row{&id, &shelf, amount, &name};
        if (limit == 0 || rows.size() < limit) {
            rows.push_back(row);
            if (limit != 0) {
                std::push_heap(rows.begin(), rows.end(), byId);
            }
        } else if (id < *rows.front().id) {
            std::pop_heap(rows.begin(), rows.end(), byId);
            rows.back() = row;
            std::push_heap(rows.begin(), rows.end(), byId);
        }
    });
    if (matched == 0) {
        if (lowerText.empty()) {
            printLine("The stock is empty.");
        } else {
            printLine("No product's id, shelf or name contains '", text,
                      "'.");
        }
        return;
    }
    std::sort(rows.begin(), rows.end(), byId);
    printRows(rows);
    if (matched > rows.size()) {
        printLine("... ", matched - rows.size(), " more; L text narrows it.");
    }
}
