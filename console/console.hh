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

/// The commands, one a line, each form padded to one column: what help
/// shows a clerk and --help lists.
inline constexpr std::string_view COMMAND_TABLE =
    R"(A id shelf amount name   add units; the name is the rest of the line
D id amount              withdraw units; tells what is left, and the shelf
F id                     show the product's name, amount and shelf
C                        count the kinds of candy in stock
E                        empty the stock
R [file]                 load a stock file (varasto.txt without a name)
W [file]                 save the stock to a stock file (likewise)
G n                      add n generated products (G 1000 gives 999 kinds)
P n r                    time r repeats of a workload over n products
H [id | n | YYYY-MM-DD]  history: a product's, the last n commands, a day's
L [text]                 list the stock by id, or the products holding text
Q                        quit
)";

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
