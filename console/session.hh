// A console session: what the console keeps between commands, and the
// commands that the command table runs.
#ifndef WAREHOUSE_CONSOLE_SESSION_HH
#define WAREHOUSE_CONSOLE_SESSION_HH

#include "console/arguments.hh"
#include "console/command_table.hh"
#include "console/console.hh"
#include "console/paging.hh"
#include "datastructure.hh"
#include "store/history_lines.hh"
#include "util/output_lines.hh"

#include <cstdint>
#include <istream>
#include <string>

/// What the console keeps between commands: an argument that a script's
/// command cannot read keeps the value the last command left in it.
///
/// A command runs in three steps: its handler reads its arguments; it
/// starts (the store's transaction begins, and the command is echoed as the
/// program now holds it); and it runs on the table. A command refused in
/// any step is told (see Refusals) and changes nothing.
class Session {
public:
    Session(Datastructure& table, std::uint64_t baseline,
            ConsoleOptions options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const ConsoleOptions& mode() const { return options; }

    /// Reads the next command and carries it out. False at Q, and at the
    /// end of input.
    bool runNext(std::istream& input);

    /// At a terminal without a store: the stock has changed since the run
    /// began or since the last save of every product.
    bool unsaved = false;

    /// Why a strict script stopped, naming its line; empty while it goes on.
    const std::string& stopReason() const { return refusals.stopReason(); }

    /// The store failed: the run must end, showing nothing more.
    bool storeFailed() const
    {
        return options.store != nullptr && options.store->failed();
    }

    /// Tells whether the clerk asked the running command to stop.
    bool stopRequested() const
    {
        return options.stopRequested && options.stopRequested();
    }

    // The command table's handlers, in its order.
    void addStock();
    void withdrawStock();
    void findProduct();
    void countKinds();
    void emptyStock();
    void readStock();
    void saveStock();
    void generateProducts();
    void testEfficiency();
    void showHistory();
    void listProducts();
    void showHelp();

private:
    bool runScriptCommand(std::istream& input);
    bool runTypedLine(std::istream& input);
    /// Runs a command whose word was read; a word that is not one is
    /// refused.
    void run(const std::string& word);

    /// The steps between reading a command's arguments and running it:
    /// the store's transaction begins, the command is echoed with its
    /// arguments as the program now holds them, and the store is told of
    /// it. False when it must not run: a read error cut its arguments short,
    /// and they are not what was typed; the store failed, refused it, or
    /// may not be changed by this login; or it needs a store the run has
    /// not, or is not run on one the run has.
    template <typename... Args> bool starts(const Args&... args)
    {
        if (arguments.input().bad()) {
            return false;
        }
        if (!loginMayRun()) {
            echo(args...);
            return refuseReadOnly();
        }
        if (!beginTransaction()) {
            return false;
        }
        const std::string_view echoed = echo(args...);
        // The store keeps the command as typed, however a terminal shows it.
        noteCommand(controlBytesShownAtTerminal()
                        ? formatKeptLine(commandWord, Spaced<Args>{args}...)
                        : echoed);
        return storeAsNeeded();
    }

    /// Prints the running command's word and args on a line of their own:
    /// the echo. Returns the line, line break and all.
    template <typename... Args> std::string_view echo(const Args&... args)
    {
        const std::string_view line =
            formatLine(commandWord, Spaced<Args>{args}...);
        printFlushed(line);
        return line;
    }

    bool loginMayRun() const;
    bool refuseReadOnly();
    bool beginTransaction();
    void noteCommand(std::string_view echoed);
    bool storeAsNeeded();
    /// Begins a transaction for a later screen of output, telling the
    /// clerk when the store refuses it.
    bool reopen(Store::Access access);

    /// True, with a line that says so, when fileName names a file of the
    /// store, which no command may write or read.
    bool storeOwns(std::string_view refused);
    void historyScreen(HistoryRequest request, const std::string& none,
                       bool pages);
    void listScreen(const std::string& text, const std::string* after);
    /// A word that is not a command: at a terminal it gets a reply; in a
    /// script it is passed over, unless the script is strict.
    void refuse(const std::string& word);

    Datastructure& table;
    std::uint64_t baseline;  // peak memory before the table was built
    ConsoleOptions options;
    Refusals refusals{options};
    Arguments arguments{options, refusals};
    Screens screens{options};
    const Command* running = nullptr;  // the command that runs
    std::string commandWord;           // as typed
    bool emptyAsked = false;        // the last command was an E held back
    std::uint64_t emptyAskedKinds = 0;  // kindsOf() the stock E asked of
    bool emptyConfirmed = false;    // this command is E right after one
    std::string id;
    std::string shelf;
    std::string name;
    std::string fileName;      // shared by "R" and "W"
    std::uint32_t amount = 0;  // shared by "A" and "D"
    std::uint32_t size = 0;    // "P"'s product count
};

#endif
