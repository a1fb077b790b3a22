// The command console: prompts for commands, reads them, echoes them and
// carries them out on the stock table, for a clerk at a terminal or a
// script alike.
#ifndef WAREHOUSE_CONSOLE_HH
#define WAREHOUSE_CONSOLE_HH

#include "datastructure.hh"
#include "util/progress.hh"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <string_view>

class Store;

/// The prompt before each command.
inline constexpr std::string_view PROMPT = "> ";

/// How the console runs.
struct ConsoleOptions {
    // A clerk types at a terminal: the line editor shows the prompt, and a
    // line is a command, checked whole before it runs; slips get a reply,
    // and E and Q with something to lose ask again. Otherwise a script
    // feeds the commands, read as they always have been.
    bool atTerminal = false;
    // A script stops at the first command it has refused (--strict).
    bool strict = false;
    // The store the stock is kept in, or null. A stored stock is never
    // unsaved, keeps a history, and is not wiped by the efficiency test.
    Store* store = nullptr;
    StopCheck stopRequested;  // none: commands run to their end
    // The number of the input line being read, which names a refused line
    // in a strict script.
    std::function<std::uint64_t()> inputLine;
    // The terminal's rows: how long a list fits on one screen.
    std::function<std::size_t()> screenRows;
};

/// Prompts for, echoes and carries out commands from in until "Q" or the
/// end of input, then prints the closing "Q" line. Stops early, without the
/// closing line, when standard output or the store fails, or a strict
/// script has a command refused. Returns why a strict script was stopped,
/// naming its input line, or nothing.
std::string runConsole(std::istream& in, Datastructure& table,
                       std::uint64_t baseline, ConsoleOptions options = {});

#endif
