// What main.cpp offers besides its main(): the tests and fuzz targets link
// main.cpp built with WAREHOUSE_NO_MAIN and drive these.
#ifndef WAREHOUSE_MAIN_HH
#define WAREHOUSE_MAIN_HH

#include "datastructure.hh"
#include "progress.hh"

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <string_view>

class Store;

/// The process's peak virtual memory size and the unit the system states it
/// in; (0, "?") when it cannot be learnt.
struct MemoryPeak {
    std::uint64_t value;
    std::string unit;
};

MemoryPeak mempeak();

/// Adds n generated products. The count seeds the C library's generator, so
/// a given n always gives the same products.
void generate(Datastructure& table, std::uint32_t n);

/// Adds the lines of a stock file's text to the table, one add per line
/// with a readable amount, telling progress, if any, how many bytes are
/// done.
void readStockText(std::string_view text, Datastructure& table,
                   Progress* progress = nullptr);

/// Tells whether the clerk asked the running command to stop, forgetting
/// the request as it tells.
using StopCheck = std::function<bool()>;

/// How the console runs.
struct ConsoleOptions {
    // A clerk types at a terminal: the line editor shows the prompt, a line
    // is a command, slips get a reply, and unsaved changes a warning.
    bool atTerminal = false;
    // The store the stock is kept in, or null. A stored stock is never
    // unsaved, keeps a history, and is not wiped by the efficiency test.
    Store* store = nullptr;
    StopCheck stopRequested;  // none: commands run to their end
};

/// Times r repeats of the efficiency test's workload over n generated
/// products; see the console's "P".
void efficiencyTest(Datastructure& table, std::uint32_t n, std::uint32_t r,
                    std::uint64_t baseline,
                    const StopCheck& stopRequested = {});

/// Prompts for, echoes and carries out commands from in until "Q" or the
/// end of input, then prints the closing "Q" line. Stops early, without the
/// closing line, when standard output fails.
void runConsole(std::istream& in, Datastructure& table, std::uint64_t baseline,
                ConsoleOptions options = {});

#endif
