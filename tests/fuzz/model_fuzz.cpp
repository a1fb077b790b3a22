// Decodes its input as a sequence of table operations over a few ids that
// share buckets, applies each to the table and to a plain reference model
// with the same rules, and stops at the first difference in a printed line,
// in the count, or in the table's invariants.
#include "tests/fuzz/fuzz_support.hh"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <sstream>
#include <string>

namespace {

constexpr std::uint32_t MAX_AMOUNT = std::numeric_limits<std::uint32_t>::max();

// In the fuzz build's table of 17 buckets, "tyhja" (the blank marker) and
// the empty id share a bucket, and so do p1150, "c;d" and "x y".
const std::string IDS[] = {"p105", "p1150", "p651617", "tyhja", "",
                           "a",    "b",     "GUM:1",   "c;d",   "x y"};
const std::string SHELVES[] = {"1.1", "", "s;t"};
const std::string NAMES[] = {"Jenkki Purukumi", "", "n;m"};
// Amounts near the edges: zero, one, and the largest the table holds.
const std::uint32_t AMOUNTS[] = {0, 1, 2, 7, 1000, MAX_AMOUNT - 1, MAX_AMOUNT};

/// The stock as a sorted map, with the rules the table must follow.
class Model {
public:
    std::string add(const std::string& id, const std::string& shelf,
                    std::uint32_t amount, const std::string& name)
    {
        if (amount == 0) {
            return "";
        }
        auto [product, added] =
            stock.try_emplace(id, Product{shelf, amount, name});
        if (added) {
            return "";
        }
        if (amount > MAX_AMOUNT - product->second.amount) {
            return line(TOO_MUCH_CANDY);
        }
        product->second.amount += amount;
        return "";
    }

    std::string find(const std::string& id) const
    {
        const auto product = stock.find(id);
        if (product == stock.end()) {
            return line(NOT_AVAILABLE);
        }
        const Product& p = product->second;
        return p.name + ' ' + std::to_string(p.amount) + ' ' + p.shelf + '\n';
    }

    std::string substract(const std::string& id, std::uint32_t amount)
    {
        const auto product = stock.find(id);
        if (product == stock.end()) {
            return line(NOT_AVAILABLE);
        }
        Product& p = product->second;
        if (p.amount < amount) {
            return line(NOT_ENOUGH_CANDY) + stockLine(p.amount, p.shelf);
        }
        p.amount -= amount;
        std::string printed = stockLine(p.amount, p.shelf);
        if (p.amount == 0) {
            stock.erase(product);
        }
        return printed;
    }

    void empty() { stock.clear(); }
    std::size_t count() const { return stock.size(); }

    /// True when the table holds exactly the model's products, each with
    /// the same shelf, amount and name, and counts them right.
    bool matches(const Datastructure& table) const
    {
        // One captured reference keeps the visitor within std::function's
        // own storage: no allocation per check.
        struct Tally {
            const Model& model;
            std::size_t visited = 0;
            bool same = true;
        } tally{*this};
        table.forEachProduct(
            [&tally](const std::string& id, const std::string& shelf,
                     std::uint32_t amount, const std::string& name) {
                ++tally.visited;
                const auto product = tally.model.stock.find(id);
                tally.same = tally.same && product != tally.model.stock.end() &&
                             product->second.amount == amount &&
                             product->second.shelf == shelf &&
                             product->second.name == name;
            });
        // Ids are unique in the model, so a duplicate or blank record handed
        // out shows as one visit too many.
        return tally.same && tally.visited == stock.size() &&
               table.count() == tally.visited;
    }

private:
    struct Product {
        std::string shelf;
        std::uint32_t amount;
        std::string name;
    };

    static std::string line(std::string_view message)
    {
        return std::string(message) + '\n';
    }
    static std::string stockLine(std::uint32_t amount, const std::string& shelf)
    {
        return "Amount: " + std::to_string(amount) + " Shelf: " + shelf + '\n';
    }

    std::map<std::string, Product> stock;
};

// One of a few choices, by the input's next byte.
template <typename T, std::size_t N>
const T& pick(FuzzBytes& bytes, const T (&choices)[N])
{
    return choices[bytes.next() % N];
}

void expectSame(const char* what, const std::string& table,
                const std::string& model)
{
    if (table == model) {
        return;
    }
    std::fprintf(stderr, "%s differs\n table: [%s]\n model: [%s]\n", what,
                 table.c_str(), model.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    std::string& printed = captureOutput();
    FreshTable fresh;
    Datastructure& table = fresh.table;
    Model model;
    FuzzBytes bytes{data, size};
    while (!bytes.done()) {
        printed.clear();
        std::string expected;
        const std::uint8_t operation = bytes.next() % 6;
        const std::string& id = pick(bytes, IDS);
        switch (operation) {
        case 0:
        case 1: {
            const std::string& shelf = pick(bytes, SHELVES);
            const std::uint32_t amount = pick(bytes, AMOUNTS);
            const std::string& name = pick(bytes, NAMES);
            table.add(id, shelf, amount, name);
            expected = model.add(id, shelf, amount, name);
            break;
        }
        case 2:
            table.find(id);
            expected = model.find(id);
            break;
        case 3: {
            const std::uint32_t amount = pick(bytes, AMOUNTS);
            table.substract(id, amount);
            expected = model.substract(id, amount);
            break;
        }
        case 4:
            table.empty();
            model.empty();
            break;
        default:
            // The kinds counter equals the live records, and they are the
            // model's products.
            if (!model.matches(table)) {
                std::fprintf(stderr, "the table's stock or count differs\n");
                std::abort();
            }
            break;
        }
        expectSame("printed lines", printed, expected);
        if (table.count() != model.count()) {
            std::fprintf(stderr, "count differs\n");
            std::abort();
        }
    }
    if (!model.matches(table)) {
        std::fprintf(stderr, "the table's stock or count differs at the end\n");
        std::abort();
    }
    return 0;
}
