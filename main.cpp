// The warehouse program: reads the command line, and wires the stock table,
// the store, the console and standard input and output together.
#include "console/command_table.hh"
#include "console/console.hh"
#include "console/console_input.hh"
#include "stock/benchmark.hh"
#include "store/backup.hh"
#include "store/catalogue_job.hh"
#include "store/clerk_name.hh"
#include "store/stock_take_job.hh"
#include "store/store_open.hh"
#include "util/command_line.hh"
#include "util/memory_reserve.hh"
#include "util/numbers.hh"
#include "util/output_lines.hh"
#include "util/progress.hh"
#ifdef WAREHOUSE_LINE_EDITING
#include "console/terminal_input.hh"
#endif

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view USAGE =
    R"(Usage: {} [--store FILE [--wait SECONDS] [--clerk NAME]] [--strict]
       {} --store FILE [--clerk NAME] --catalogue-out|--catalogue-in CSV
       {} --store FILE [--clerk NAME] --count-sheet|--count|--deliveries CSV
       {} --store FILE --backup FILE | --restore FILE
       {} -h | --help | --version

An interactive stock keeper for a candy warehouse. Reads one-letter commands
from standard input and echoes each, with its results, on standard output.

Options:
  --store FILE             keep the stock in FILE, an SQLite database made
                           when it does not exist: every change is on disk
                           before the program shows it, the next run starts
                           from it, and several runs may share it, each
                           seeing what the others change. P is not run on a
                           stored stock.
  --store postgresql://... keep it in that PostgreSQL database instead (a
                           libpq URI; PG variables fill in the rest), which
                           clerks on several machines may share
  --wait SECONDS           how long a command waits for a store that another
                           run or program is changing (10 without it); then
                           a clerk's command is refused, and a script's run
                           fails
  --clerk NAME             the name the history records beside the login,
                           for clerks who share one login
  --strict                 for scripts: each line is checked whole, as a
                           clerk's is, and the first line refused (a missing
                           argument, a number that is not plain digits,
                           words left over, an unknown word, a file not
                           loaded or not saved) ends the run before any of
                           it runs, with status 1 and a line on standard
                           error that names its input line
)";

// After the command table.
constexpr std::string_view USAGE_END = R"(
At a terminal, a line is one command: it is checked whole, and a missing
argument, a number that is not plain digits (+5 and -5 are refused) or
words left over get a reply, and nothing runs. help or ? lists the
commands; quit and exit do what Q does. R takes its file from its own line
and says what it loaded; E with stock asks to be typed again; L shows one
screen, and Enter on an empty line the next; L text ignores the case of
every letter, not only ASCII's. Lines can be edited, Up and Down recall
earlier lines, of this run and earlier ones, Tab completes product ids
after F, D and A and file names after R and W, Ctrl-C abandons the line
being typed or stops a long G, P or R, and Ctrl-D on an empty line ends the
run; with changes not saved, Q and Ctrl-D warn once first.

Environment:
  WAREHOUSE_STORE          the store when --store does not name one
  WAREHOUSE_HISTORY        file that keeps the line history between runs
                           instead of $XDG_STATE_HOME/warehouse/history or,
                           without XDG_STATE_HOME, of
                           ~/.local/state/warehouse/history; set but empty,
                           none is kept

The manual: man warehouse (in a source tree: man -l docs/warehouse.1)
)";

/// Writes the usage, with the command table that help shows at a terminal.
void printHelp(std::ostream& out)
{
    printUsage(out, USAGE);
    out << CATALOGUE_USAGE << STOCK_TAKE_USAGE << BACKUP_USAGE << "\nCommands:\n";
    for (const std::string& line : commandHelpLines(false)) {
        out << "  " << line << '\n';
    }
    out << USAGE_END << std::flush;
}

/// What the command line asks for besides the console.
struct CommandLine {
    std::string storePath;  // the store's file; empty: no store
    StoreOptions store;
    bool strict = false;       // a script stops at its first refused command
    std::string job, jobFile;  // a one-shot job's option, and its file
};

/// Handles the options. Returns the exit status when the program must stop
/// here, or -1 to go on to the console.
int handleArguments(int argc, char** argv, CommandLine& line)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (asksHelpOrVersion(option)) {
            return answerHelpOrVersion(argc, argv, i, printHelp);
        }
        if (option == "--strict") {
            line.strict = true;
            continue;
        }
        if (option == "--store" || option == "--wait" || option == "--clerk" ||
            option == "--backup" || option == "--restore" ||
            option == "--catalogue-out" || option == "--catalogue-in" ||
            option == "--count-sheet" || option == "--count" || option == "--deliveries") {
            const char* value = i + 1 < argc ? argv[++i] : "";
            if (option == "--store" && value[0] != '\0') {
                line.storePath = value;
                continue;
            }
            if (option != "--wait" && option != "--clerk" && value[0] != '\0') {
                line.job = line.job.empty() ? std::string(option) : "twice";
                line.jobFile = value;
                continue;
            }
            if (option == "--wait" && parseSeconds(value, 86400, line.store.wait)) {
                continue;
            }
            if (option == "--clerk") {
                if (!isClerkName(value)) {  // one line: the name is not shown
                    report("option '--clerk'", CLERK_NAME_RULE);
                    return 2;
                }
                line.store.clerk = value;
                continue;
            }
            return usageError("option '" + std::string(option) + "' needs " +
                              (option == "--wait" ? "a whole number of seconds up to 86400"
                                                  : "a file name"));
        }
        return usageError(
            (option[0] == '-' ? "unknown option '" : "unexpected argument '") +
            std::string(option) + "'");
    }
    if (const char* named = std::getenv("WAREHOUSE_STORE")) {
        line.storePath = line.storePath.empty() ? named : line.storePath;
    }
    return -1;
}

/// Ends the run: commits what is left and shows it, reports on standard
/// error what went wrong, and gives the exit status: 1 when the store,
/// standard output or standard input failed, or a strict script was
/// stopped, 0 otherwise. Output that a failed commit did not cover is never
/// shown.
int finish(Store* store, const std::string& storePath, int inputError,
           const std::string& stopReason)
{
    const bool shown = store != nullptr ? store->end() : releaseOutput();
    if (store != nullptr && store->failed()) {
        report("store " + storeName(storePath),
               withoutPasswords(store->error(), storePath));
        return 1;
    }
    if (!shown || outputError() != 0) {
        report("cannot write standard output", std::strerror(outputError()));
        return 1;
    }
    if (inputError != 0) {
        report("cannot read standard input", std::strerror(inputError));
        return 1;
    }
    if (!stopReason.empty()) {
        report(stopReason);
        return 1;
    }
    return 0;
}

/// The run itself, once the command line is read: the table, the store,
/// the console over standard input. Gives the exit status.
int run(const CommandLine& line)
{
    const std::uint64_t baseline = mempeak().value;
    const auto heldTable = std::make_unique<Datastructure>();
    Datastructure& table = *heldTable;
    ConsoleOptions options;
#ifdef WAREHOUSE_LINE_EDITING
    // A clerk at a terminal gets the line editor; a script gets the plain
    // reader, and its output stays exactly as it always was.
    options.atTerminal =
        ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1;
    if (options.atTerminal && ::isatty(STDERR_FILENO) == 1) {
        Progress::showAtTerminal();
    }
#endif
    std::unique_ptr<Store> store;
    std::string error;
    if (!line.storePath.empty() &&
        !(store = openStore(line.storePath, table, line.store, error))) {
        report("store " + storeName(line.storePath), error);
        return 1;
    }
    if (options.atTerminal) {  // the run's first line, before any notice
        printLine(firstLine(store.get(), line.storePath));
        releaseOutput();
    }
    for (std::size_t i = 0; store && i < store->notices().size(); ++i) {
        report("store " + storeName(line.storePath), store->notices()[i]);
    }
    // A mistyped name starts a new, empty store: a clerk is told.
    if (store && store->created() && options.atTerminal) {
        report("created a new store " + storeName(line.storePath));
    }
    options.store = store.get();
    // Before more input is read, what the commands did is made durable, and
    // only then shown; false ends the run.
    const auto beforeRead = [&store] { return store->end(); };
#ifdef WAREHOUSE_LINE_EDITING
    if (options.atTerminal) {
        TerminalInput terminal(std::string(PROMPT), table);
        std::istream in(&terminal);
        if (store) {
            terminal.callBeforeReading(beforeRead);
        }
        options.stopRequested = &TerminalInput::interruptPending;
        options.screenRows = &TerminalInput::screenRows;
        if (store) {
            store->atTerminal(&TerminalInput::interruptPending);
        }
        const std::string stopReason = runConsole(in, table, baseline, options);
        return finish(store.get(), line.storePath, 0, stopReason);
    }
#endif
    BlockInput standardInput(STDIN_FILENO);
    std::istream in(&standardInput);
    standardInput.feeds(in);
    if (store) {
        standardInput.callBeforeReading(beforeRead);
    }
    if (line.strict) {
        options.strict = true;
        standardInput.countLines();
        options.inputLine = [&standardInput] {
            return standardInput.lineNumber();
        };
    }
    const std::string stopReason = runConsole(in, table, baseline, options);
    return finish(store.get(), line.storePath, standardInput.error(),
                  stopReason);
}

}  // namespace

int main(int argc, char** argv)
{
    CommandLine line;
    if (const int status = handleArguments(argc, argv, line); status >= 0) {
        return status;
    }
    // An unsynchronised standard output writes each line with a single
    // system call.
    std::ios::sync_with_stdio(false);
    if (::isatty(STDOUT_FILENO) == 1) {
        showControlBytes();  // what others typed is shown, never obeyed
    }
    // A save that passes the file-size limit must fail with an error, not
    // end the run and lose the stock.
    std::signal(SIGXFSZ, SIG_IGN);
    if (!MemoryReserve::keep()) {
        report("out of memory",
               "the address space limit leaves no room to start");
        return 1;
    }
    // A command that runs out of memory stops alone; what runs out before
    // the first command, such as the table's head records, ends the run.
    try {
        return line.job.empty()
                   ? run(line)
                   : runStoreJob(line.job, line.storePath, line.store, line.jobFile);
    } catch (const std::bad_alloc&) {
        report("out of memory", "the run could not start");
        return 1;
    }
}
