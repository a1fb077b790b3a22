// What main.cpp offers besides its main(): the tests and fuzz targets link
// main.cpp built with WAREHOUSE_NO_MAIN and drive these.
#ifndef WAREHOUSE_MAIN_HH
#define WAREHOUSE_MAIN_HH

#include "datastructure.hh"

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

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
/// with a readable amount.
void readStockText(std::string_view text, Datastructure& table);

/// How the console runs.
struct ConsoleOptions {
    bool inputPrompts = false;  // the input shows the prompt itself, as the
                                // line editor at a terminal does
    bool stockStored = false;   // the stock is kept in a store, which the
                                // efficiency test would wipe
};

/// Prompts for, echoes and carries out commands from in until "Q" or the
/// end of input, then prints the closing "Q" line. Stops early, without the
/// closing line, when standard output fails.
void runConsole(std::istream& in, Datastructure& table, std::uint64_t baseline,
                ConsoleOptions options = {});

#endif
