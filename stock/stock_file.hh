// Stock files: read into the table, and the table written to one that "R"
// loads back as it was.
#ifndef WAREHOUSE_STOCK_FILE_HH
#define WAREHOUSE_STOCK_FILE_HH

#include "datastructure.hh"
#include "util/numbers.hh"
#include "util/progress.hh"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Reading.

/// What loading a stock file did.
struct LoadReport {
    static constexpr std::size_t NAMED = 5;  // skipped lines named at most

    bool read = false;     // the file was read whole; if not, nothing loaded
    bool stopped = false;  // stopped on request: nothing loaded
    std::uint64_t loaded = 0;   // lines with a readable amount, one add each
    std::uint64_t skipped = 0;  // lines without one
    std::uint64_t firstSkipped[NAMED] = {};  // their numbers, the first few
};

/// Adds the lines of a stock file's text to the table, one add per line
/// with a readable amount, telling progress, if any, how many bytes are
/// done. Should memory run out part-way, or stopRequested say so, what the
/// text added is taken back: a text is loaded whole or not at all. Out of
/// memory, the failure goes on once the text is taken back.
LoadReport readStockText(std::string_view text, Datastructure& table,
                         Progress* progress = nullptr,
                         const StopCheck& stopRequested = {});

/// Loads a stock file into the table: all of it, or, when the file cannot
/// be read through to its end, none of it, with the message for a file that
/// is not there.
LoadReport ReadFile(const std::string& fileName, Datastructure& table,
                    const StopCheck& stopRequested = {});

// ---------------------------------------------------------------------------
// Writing.

/// Writes every product in stock to fileName, one line "id;amount;shelf;name"
/// each, in the table's own order. A product whose id or shelf holds a ';'
/// or whose fields hold a line feed would load back as another product: it
/// is left out and named in a CANNOT_SAVE_PRODUCT line. The old file is
/// replaced only by a complete new one, keeping its permission bits; on any
/// failure it stays untouched, nothing is left behind, and a STOCK_NOT_SAVED
/// line says why. Prints nothing else. Returns true when the file holds
/// every product in stock.
bool SaveFile(const std::string& fileName, const Datastructure& table);

/// Writes the stock lines of SaveFile to an open descriptor, naming the
/// products the format cannot hold and counting them in leftOut. Returns
/// false, with errno set, when a write fails.
bool writeStockLines(int descriptor, const Datastructure& table,
                     std::uint64_t& leftOut);

#endif
