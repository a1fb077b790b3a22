// The command console: prompts for commands, reads them, echoes them and
// carries them out on the stock table, for a clerk at a terminal or a
// script alike.
#ifndef WAREHOUSE_CONSOLE_HH
#define WAREHOUSE_CONSOLE_HH

#include "benchmark.hh"
#include "datastructure.hh"

#include <cstdint>
#include <istream>

#include <string_view>

class Store;

/// The prompt before each command.
inline constexpr std::string_view PROMPT = "> ";

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

/// Prompts for, echoes and carries out commands from in until "Q" or the
/// end of input, then prints the closing "Q" line. Stops early, without the
/// closing line, when standard output or the store fails.
void runConsole(std::istream& in, Datastructure& table, std::uint64_t baseline,
                ConsoleOptions options = {});

#endif
