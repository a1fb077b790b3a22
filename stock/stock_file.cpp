// Stock files read into the table whole or not at all, and the table written to
// one.
#include "stock/stock_file.hh"

#include "util/files.hh"
#include "util/output_lines.hh"
#include "util/progress.hh"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Reading.

namespace {

constexpr std::string_view FILE_NOT_FOUND = "Tiedostoa ei l\xC3\xB6ydy.";


/// Splits one stock file line "id;amount;shelf;name" into its fields. The id
/// runs to the first ';', the amount is a number, exactly one character
/// after the amount is dropped, the shelf runs to the next ';' and the name
/// to the end of the line. Returns false, leaving the fields in any state,
/// when the line has no readable amount.
bool parseStockLine(std::string_view line, std::string& id,
                    std::uint32_t& amount, std::string& shelf,
                    std::string& name)
{
    const std::size_t idEnd = line.find(';');
    if (idEnd == std::string_view::npos) {
        return false;
    }
    TextChars chars{line, idEnd + 1};
    if (parseNumber(chars, amount) != NumberRead::Done) {
        return false;
    }
    id.assign(line.substr(0, idEnd));
    const std::size_t shelfStart = std::min(chars.position + 1, line.size());
    const std::size_t shelfEnd = line.find(';', shelfStart);
    if (shelfEnd == std::string_view::npos) {
        shelf.assign(line.substr(shelfStart));
        name.clear();
        return true;
    }
    shelf.assign(line.substr(shelfStart, shelfEnd - shelfStart));
    name.assign(line.substr(shelfEnd + 1));
    return true;
}

/// The fields of a stock file line, reused from line to line so that a line
/// costs no allocation once the fields have grown to their size.
struct StockLine {
    std::string id;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;

    bool parse(std::string_view line)
    {
        return parseStockLine(line, id, amount, shelf, name);
    }
};

/// Calls read with each line of text, without its line feed, until read
/// returns false; returns the bytes of the lines read.
template <typename Read> std::size_t forEachLine(std::string_view text, Read read)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const std::size_t lineEnd = std::min(text.find('\n', done), text.size());
        const bool goOn = read(text.substr(done, lineEnd - done));
        done = std::min(lineEnd + 1, text.size());
        if (!goOn) {
            break;
        }
    }
    return done;
}

/// Takes back what the first lines of text added, those that changed says
/// did, with the fields of line, which have room for them already: it
/// allocates nothing, and so cannot run out of memory in turn.
void takeBack(std::string_view text, std::size_t lines,
              const std::vector<bool>& changed, StockLine& line,
              Datastructure& table)
{
    std::size_t index = 0;
    forEachLine(text, [&](std::string_view bytes) {
        if (index == lines) {
            return false;
        }
        if (changed[index++] && line.parse(bytes)) {
            const std::string* shelf = nullptr;
            const std::string* name = nullptr;
            std::uint32_t units = 0;
            table.lookUp(line.id, [&](const std::string&, const std::string& s,
                                      std::uint32_t amount,
                                      const std::string& n) {
                shelf = &s;
                name = &n;
                units = amount;
            });
            // The line's units are there still: R only adds. Given the
            // product's own shelf and name, put changes the units only.
            assert(shelf != nullptr && units >= line.amount);
            table.put(line.id, *shelf, units - line.amount, *name);
        }
        return true;
    });
}

}  // namespace

LoadReport readStockText(std::string_view text, Datastructure& table,
                         Progress* progress, const StopCheck& stopRequested)
{
    // A request to stop is looked for once in this many lines.
    constexpr std::size_t STOP_LOOKED_FOR = 1024;
    // Which lines changed the stock: should memory run out part-way, they
    // are taken back, and the text is loaded whole or not at all.
    std::vector<bool> changed(
        static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
        1);
    LoadReport report;
    report.read = true;
    StockLine line;
    std::size_t index = 0;
    try {
        forEachLine(text, [&](std::string_view bytes) {
            if (line.parse(bytes)) {
                changed[index] =
                    table.add(line.id, line.shelf, line.amount, line.name);
                ++report.loaded;
            } else if (report.skipped++ < LoadReport::NAMED) {
                report.firstSkipped[report.skipped - 1] = index + 1;
            }
            ++index;
            if (progress != nullptr) {
                progress->at(static_cast<std::uint64_t>(bytes.data() - text.data()) +
                             bytes.size());
            }
            report.stopped = index % STOP_LOOKED_FOR == 0 && stopRequested &&
                             stopRequested();
            return !report.stopped;
        });
    } catch (const std::bad_alloc&) {
        takeBack(text, index, changed, line, table);
        throw;
    }
    if (report.stopped) {
        takeBack(text, index, changed, line, table);
    }
    return report;
}

LoadReport ReadFile(const std::string& fileName, Datastructure& table,
                    const StopCheck& stopRequested)
{
    std::string text;
    if (readRegularFile(fileName, text) != nullptr) {
        printLine(FILE_NOT_FOUND);
        return {};
    }
    Progress progress("R " + fileName, text.size());
    return readStockText(text, table, &progress, stopRequested);
}

// ---------------------------------------------------------------------------
// Writing.

namespace {

/// True when a product's fields come back from a stock file as they are:
/// the id and shelf end at the first ';', and every field at a line feed.
bool fitsStockFile(std::string_view id, std::string_view shelf,
                   std::string_view name)
{
    return id.find_first_of(";\n") == std::string_view::npos &&
           shelf.find_first_of(";\n") == std::string_view::npos &&
           name.find('\n') == std::string_view::npos;
}

}  // namespace

bool writeStockLines(int descriptor, const Datastructure& table,
                     std::uint64_t& leftOut)
{
    constexpr std::size_t BLOCK = 1 << 16;
    std::string block;
    bool written = true;
    leftOut = 0;
    std::uint64_t visited = 0;
    Progress progress("W", table.count());
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        progress.at(++visited);
        if (!fitsStockFile(id, shelf, name)) {
            progress.end();  // the line goes where the progress line was
            printLine(CANNOT_SAVE_PRODUCT, ' ', id);
            ++leftOut;
            return;
        }
        if (!written) {
            return;  // the save has failed: only the names above still count
        }
        char digits[10];
        const char* digitsEnd =
            std::to_chars(digits, digits + sizeof digits, amount).ptr;
        block.append(id).append(1, ';');
        block.append(digits, static_cast<std::size_t>(digitsEnd - digits));
        block.append(1, ';').append(shelf).append(1, ';').append(name);
        block += '\n';
        if (block.size() >= BLOCK) {
            written = writeAll(descriptor, block);
            block.clear();
        }
    });
    return written && writeAll(descriptor, block);
}

bool SaveFile(const std::string& fileName, const Datastructure& table)
{
    std::uint64_t leftOut = 0;
    const auto write = [&](int descriptor) {
        return writeStockLines(descriptor, table, leftOut);
    };
    if (const char* reason = replaceWholeFile(fileName, write)) {
        printLine(STOCK_NOT_SAVED, ' ', std::string_view(reason), '.');
        return false;
    }
    return leftOut == 0;
}
