// Builds a stock from the input, with ids, shelves and names of any bytes,
// saves it, loads the saved lines into a fresh table and requires the same
// stock back, less exactly the products the format cannot hold, each of
// which must have been named.
#include "tests/fuzz/fuzz_support.hh"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

/// A product as its stock file line.
void appendLine(std::string& lines, const std::string& id,
                const std::string& shelf, std::uint32_t amount,
                const std::string& name)
{
    lines.append(id).append(1, ';').append(std::to_string(amount));
    lines.append(1, ';').append(shelf).append(1, ';').append(name);
    lines += '\n';
}

struct Expected {
    std::string saved;      // the lines of the products that fit, in order
    std::string refusals;   // the lines naming the rest
    std::size_t count = 0;  // the products that fit
};

Expected expectedSave(const Datastructure& table)
{
    Expected expected;
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        if (!fitsStockFile(id, shelf, name)) {
            expected.refusals.append(CANNOT_SAVE_PRODUCT).append(1, ' ');
            expected.refusals.append(id).append(1, '\n');
            return;
        }
        appendLine(expected.saved, id, shelf, amount, name);
        ++expected.count;
    });
    return expected;
}

/// The lines of a table's products in its own order. A table loaded from a
/// saved file visits them in the file's order: a bucket's products come
/// together, head first, and go back into the chain in the same order.
std::string linesOf(const Datastructure& table)
{
    std::string lines;
    table.forEachProduct(
        [&lines](const std::string& id, const std::string& shelf,
                 std::uint32_t amount, const std::string& name) {
            appendLine(lines, id, shelf, amount, name);
        });
    return lines;
}

// The largest input taken: its stock fits in the pipe many times over.
constexpr std::size_t LARGEST_INPUT = 16384;

/// A pipe that holds a saved stock until it is read back: cheaper than a
/// file, and neither end ever waits.
struct StockPipe {
    int readEnd = -1;
    int writeEnd = -1;

    StockPipe()
    {
        int ends[2];
        if (::pipe2(ends, O_NONBLOCK) == 0) {
            readEnd = ends[0];
            writeEnd = ends[1];
            ::fcntl(writeEnd, F_SETPIPE_SZ, 1 << 20);
        }
    }

    /// Everything written to the pipe so far.
    std::string drain() const
    {
        std::string text;
        char block[4096];
        ssize_t got = 0;
        while ((got = ::read(readEnd, block, sizeof block)) > 0) {
            text.append(block, static_cast<std::size_t>(got));
        }
        return text;
    }
};

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
    if (size > LARGEST_INPUT) {
        return -1;
    }

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
        static const StockPipe pipe;
        std::uint64_t leftOut = 0;
        if (pipe.writeEnd < 0 ||
            !writeStockLines(pipe.writeEnd, fresh.table, leftOut)) {
            fail("the stock could not be written");
        }
        file = pipe.drain();
    }
    if (printed != expected.refusals) {
        fail("the products left out were not named as expected");
    }
    if (file != expected.saved) {
        fail("the saved lines differ from the stock");
    }

    FreshTable fresh;
    readStockText(file, fresh.table);
    if (linesOf(fresh.table) != file || fresh.table.count() != expected.count) {
        fail("the stock loaded back differs from the stock saved");
    }
    return 0;
}
