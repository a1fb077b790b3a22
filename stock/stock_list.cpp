// The stock listed by id in aligned columns, or the products that hold a text.
#include "stock/stock_list.hh"

#include "util/output_lines.hh"

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

ListRest listStock(const Datastructure& table, const ListRequest& request)
{
    CaselessSearch search(request.text, request.letters);
    const std::size_t limit = request.limit;
    // With a limit, the rows are a heap of the first by id: the largest
    // of them on top, to make room for a smaller one.
    std::vector<Row> rows;
    std::uint64_t matched = 0;
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        if ((request.after != nullptr && id <= *request.after) ||
            (!request.text.empty() && !search.foundIn(id) &&
             !search.foundIn(shelf) && !search.foundIn(name))) {
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
        if (request.after != nullptr) {
            printLine("Nothing more to list.");  // gone since the last screen
        } else if (request.text.empty()) {
            printLine("The stock is empty.");
        } else {
            printLine("No product's id, shelf or name contains '",
                      request.text, "'.");
        }
        return {};
    }
    std::sort(rows.begin(), rows.end(), byId);
    printRows(rows);
    return {matched - rows.size(), *rows.back().id};
}
