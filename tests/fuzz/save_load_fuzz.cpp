// Builds a stock from the input, with ids, shelves and names of any bytes,
// saves it, loads the saved lines into a fresh table and requires the same
// stock back, less exactly the products the format cannot hold, each of
// which must have been named.
#include "fuzz_support.hh"
#include "stock_save.hh"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

namespace {

// A field of up to 7 bytes of any value, its length first.
std::string field(FuzzBytes& bytes)
{
    std::string text(bytes.next() % 8, '\0');
    for (char& c : text) {
        c = static_cast<char>(bytes.next());
    }
    return text;
}

bool fitsStockFile(const std::string& id, const std::string& shelf,
                   const std::string& name)
{
    return id.find_first_of(";\n") == std::string::npos &&
           shelf.find_first_of(";\n") == std::string::npos &&
           name.find('\n') == std::string::npos;
}

struct Expected {
    std::map<std::string, std::string> saved;  // "id;amount;shelf;name" by id
    std::string refusals;                      // the lines naming the rest
};

Expected expectedSave(const Datastructure& table)
{
    Expected expected;
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        if (!fitsStockFile(id, shelf, name)) {
            expected.refusals +=
                std::string(CANNOT_SAVE_PRODUCT) + ' ' + id + '\n';
            return;
        }
        expected.saved[id] =
            id + ';' + std::to_string(amount) + ';' + shelf + ';' + name + '\n';
    });
    return expected;
}

std::map<std::string, std::string> loaded(const Datastructure& table)
{
    std::map<std::string, std::string> lines;
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        lines[id] =
            id + ';' + std::to_string(amount) + ';' + shelf + ';' + name + '\n';
    });
    return lines;
}

/// Everything written to the descriptor, which is rewound first.
std::string contents(int descriptor)
{
    std::string text;
    ::lseek(descriptor, 0, SEEK_SET);
    char block[4096];
    ssize_t got = 0;
    while ((got = ::read(descriptor, block, sizeof block)) > 0) {
        text.append(block, static_cast<std::size_t>(got));
    }
    return text;
}

void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    std::string& printed = captureOutput();
    printed.clear();

    Expected expected;
    std::string file;
    {
        FreshTable fresh;
        FuzzBytes bytes{data, size};
        while (!bytes.done()) {
            const std::uint8_t operation = bytes.next() % 8;
            std::string id = field(bytes);
            if (operation == 7) {
                fresh.table.substract(id, bytes.next());
                continue;
            }
            std::string shelf = field(bytes);
            std::string name = field(bytes);
            fresh.table.add(id, shelf, 1 + bytes.next(), name);
        }
        expected = expectedSave(fresh.table);
        printed.clear();
        // One file in memory serves every input.
        static const int descriptor = ::memfd_create("stock", 0);
        if (descriptor < 0 || ::ftruncate(descriptor, 0) != 0 ||
            ::lseek(descriptor, 0, SEEK_SET) != 0 ||
            !writeStockLines(descriptor, fresh.table)) {
            fail("the stock could not be written");
        }
        file = contents(descriptor);
    }
    if (printed != expected.refusals) {
        fail("the products left out were not named as expected");
    }

    FreshTable fresh;
    std::istringstream stock(file);
    readStockLines(stock, fresh.table);
    if (loaded(fresh.table) != expected.saved ||
        fresh.table.count() != expected.saved.size()) {
        fail("the stock loaded back differs from the stock saved");
    }
    return 0;
}
