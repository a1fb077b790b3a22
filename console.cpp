#include "console.hh"

#include "console_input.hh"
#include "memory_reserve.hh"
#include "output_lines.hh"
#include "progress.hh"
#include "stock_file.hh"
#include "store.hh"
#include "workload.hh"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace {

// Command words, matched exactly.
const std::string READ = "R";
const std::string ADD = "A";
const std::string REMOVE = "D";
const std::string FIND = "F";
const std::string EMPTY = "E";
const std::string COUNT = "C";
const std::string QUIT = "Q";
const std::string GEN = "G";
const std::string EFF = "P";
const std::string SAVE = "W";
const std::string HISTORY = "H";

const std::string DEFAULT_FILE = "varasto.txt";
constexpr std::string_view OUT_OF_MEMORY = "Out of memory: command stopped.";
constexpr std::string_view UNKNOWN_COMMAND = "Unknown command: ";
constexpr std::string_view COMMAND_LIST =
    ". Commands: A D F C E R W G P H Q (upper case); see --help.";
constexpr std::string_view MISSING_ARGUMENTS = "Missing arguments: ";
constexpr std::string_view UNSAVED_CHANGES =
    "The stock has changes that are not saved: W saves them; Q or Ctrl-D "
    "again quits without saving.";
constexpr std::string_view NOT_RUN_ON_STORED_STOCK =
    "The efficiency test empties the stock: it is not run on a stored stock.";
constexpr std::string_view HISTORY_NEEDS_A_STORE =
    "History is kept only in a store: start with --store FILE.";
// W and R refuse the files of the store: a stock file written over it
// would destroy it, and a read would drop the locks SQLite holds on it.
constexpr std::string_view STORE_FILE = "that is a file of the store";
constexpr std::string_view NOT_LOADED = "Not loaded:";

// Bytes straight from a stream's buffer, so a number costs no sentry or
// locale look-up per character.
struct StreamChars {
    std::streambuf& buffer;

    int peek() const
    {
        const auto c = buffer.sgetc();
        return c == std::char_traits<char>::eof() ? -1 : c;
    }
    void next() { buffer.sbumpc(); }
};

/// Reads a command's number argument into value. At the end of input value
/// keeps what it held and the command still runs. A malformed number is
/// reported, the rest of its input line dropped, and false returned: the
/// command must not run.
bool readCommandNumber(std::istream& in, std::uint32_t& value)
{
    if (!in.good()) {
        return true;  // input is over: the argument keeps its value
    }
    StreamChars chars{*in.rdbuf()};
    const NumberRead result = parseNumber(chars, value);
    if (chars.peek() == -1) {
        in.setstate(std::ios::eofbit);
    }
    if (result != NumberRead::Malformed) {
        return true;
    }
    printLine(INVALID_NUMBER);
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    return false;
}

/// What the console keeps between commands: an argument that a command
/// cannot read keeps the value the last command left in it.
struct Console {
    Console(std::istream& in, Datastructure& table, std::uint64_t baseline,
            ConsoleOptions options)
        : in(in), table(table), baseline(baseline), options(std::move(options))
    {
        if (watchesForUnsaved()) {
            table.watch([this](const std::string*, std::uint32_t,
                               std::uint32_t) { unsaved = true; });
        }
    }
    ~Console()
    {
        if (watchesForUnsaved()) {
            table.watch({});  // a store's watcher is the store's to end
        }
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    std::istream& in;
    Datastructure& table;
    std::uint64_t baseline;  // peak memory before the table was built
    ConsoleOptions options;
    std::string id;
    std::string shelf;
    std::string name;
    std::string fileName;
    std::uint32_t amount = 0;  // shared by "A" and "D"
    std::uint32_t size = 0;    // "P"'s product count
    // At a terminal without a store: the stock has changed since the run
    // began or since the last save of every product.
    bool unsaved = false;

    /// At a terminal without a store, the console watches the stock for
    /// changes that no save has covered.
    bool watchesForUnsaved() const
    {
        return options.atTerminal && options.store == nullptr;
    }

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

    /// At a terminal a line is a command: an argument missing from it is
    /// not awaited on the next line. Says what the command needs and drops
    /// the line instead.
    bool argumentOnLine(std::string_view usage)
    {
        if (!options.atTerminal || !atLineEnd(in)) {
            return true;
        }
        printLine(MISSING_ARGUMENTS, usage);
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        return false;
    }

    bool readArgument(std::string& word, std::string_view usage)
    {
        if (!argumentOnLine(usage)) {
            return false;
        }
        readWord(in, word);  // at the end of input, word keeps its value
        return true;
    }

    bool readNumberArgument(std::uint32_t& value, std::string_view usage)
    {
        return argumentOnLine(usage) && readCommandNumber(in, value);
    }

    /// Echoes the command word and its arguments as the program now holds
    /// them, and tells whether the command may run: not when a read error
    /// cut its arguments short, for then they are not what was typed, nor
    /// when the store, which a stored stock's command runs in, failed.
    template <typename... Args>
    bool echo(const std::string& command, const Args&... args)
    {
        if (in.bad()) {
            return false;
        }
        Store* const store = options.store;
        if (store != nullptr && !store->begin()) {
            return false;
        }
        const std::string_view line =
            formatLine(command, Spaced<Args>{args}...);
        if (store != nullptr) {
            store->commandRuns(line.substr(0, line.size() - 1));
        }
        printFlushed(line);
        return true;
    }

    /// True, with a line that says so, when fileName names a file of the
    /// store, which no command may write or read.
    bool storeOwns(std::string_view refused)
    {
        if (options.store == nullptr || !options.store->ownsFile(fileName)) {
            return false;
        }
        printLine(refused, ' ', STORE_FILE, '.');
        return true;
    }

    // The default file when the line ends right after the command, the next
    // word otherwise.
    void readFileName()
    {
        const int next = in.peek();
        if (next == '\n' || next == '\r') {
            fileName = DEFAULT_FILE;
        } else {
            readWord(in, fileName);
        }
    }

    void readStock()
    {
        readFileName();
        if (echo(READ, fileName) && !storeOwns(NOT_LOADED)) {
            ReadFile(fileName, table);
        }
    }

    // A command that writes a file takes its name from its own line only,
    // never from the next line or an earlier command.
    void saveStock()
    {
        if (atLineEnd(in)) {
            fileName = DEFAULT_FILE;
        } else {
            readWord(in, fileName);
        }
        if (echo(SAVE, fileName) && !storeOwns(STOCK_NOT_SAVED) &&
            SaveFile(fileName, table)) {
            unsaved = false;
        }
    }

    void addStock()
    {
        constexpr std::string_view USAGE = "A id shelf amount name";
        if (!readArgument(id, USAGE) || !readArgument(shelf, USAGE) ||
            !readNumberArgument(amount, USAGE)) {
            return;
        }
        skipCharacter(in);  // the separator before the name, whatever it is
        readRestOfLine(in, name);
        if (echo(ADD, id, shelf, amount, name)) {
            table.add(id, shelf, amount, name);
        }
    }

    void withdrawStock()
    {
        constexpr std::string_view USAGE = "D id amount";
        if (readArgument(id, USAGE) && readNumberArgument(amount, USAGE) &&
            echo(REMOVE, id, amount)) {
            table.substract(id, amount);
        }
    }

    void findProduct()
    {
        if (readArgument(id, "F id") && echo(FIND, id)) {
            table.find(id);
        }
    }

    void emptyStock()
    {
        if (echo(EMPTY)) {
            table.empty();
        }
    }

    void countKinds()
    {
        if (echo(COUNT)) {
            printLine(table.count(), " different kinds of candy.");
        }
    }

    void generateProducts()
    {
        std::uint32_t count = 0;
        if (!readNumberArgument(count, "G n") || !echo(GEN, count)) {
            return;
        }
        Progress progress("G " + std::to_string(count), count);
        const std::uint32_t made =
            workload::generate(table, count, [&](std::uint32_t done) {
                progress.at(done);
                return !stopRequested();
            });
        progress.end();
        if (made < count) {
            printLine(STOPPED, " after ", made, " of ", count, " products.");
        }
    }

    void testEfficiency()
    {
        std::uint32_t repeats = 0;
        constexpr std::string_view USAGE = "P n r";
        if (!readNumberArgument(size, USAGE) ||
            !readNumberArgument(repeats, USAGE) || !echo(EFF, size, repeats)) {
            return;
        }
        if (options.store != nullptr) {
            printLine(NOT_RUN_ON_STORED_STOCK);
            return;
        }
        efficiencyTest(table, size, repeats, baseline, options.stopRequested);
    }

    // Like W, H takes its product from its own line only: "H" alone shows
    // the last commands.
    void showHistory()
    {
        std::string product;
        const bool ofProduct = !atLineEnd(in);
        if (ofProduct) {
            readWord(in, product);
        }
        if (!(ofProduct ? echo(HISTORY, product) : echo(HISTORY))) {
            return;
        }
        if (options.store == nullptr) {
            printLine(HISTORY_NEEDS_A_STORE);
            return;
        }
        options.store->printHistory(ofProduct ? &product : nullptr);
    }

    /// At a terminal, a word that is not a command gets a reply, and the
    /// rest of its line is dropped: its words would be taken for commands.
    void refuse(const std::string& word)
    {
        if (options.atTerminal) {
            printLine(UNKNOWN_COMMAND, word, COMMAND_LIST);
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
    }

    // Unknown words, lower-case letters included, do nothing; at a terminal
    // they are answered.
    void run(const std::string& command)
    {
        if (command == READ) {
            readStock();
        } else if (command == GEN) {
            generateProducts();
        } else if (command == EFF) {
            testEfficiency();
        } else if (command == ADD) {
            addStock();
        } else if (command == REMOVE) {
            withdrawStock();
        } else if (command == FIND) {
            findProduct();
        } else if (command == EMPTY) {
            emptyStock();
        } else if (command == COUNT) {
            countKinds();
        } else if (command == SAVE) {
            saveStock();
        } else if (command == HISTORY) {
            showHistory();
        } else {
            refuse(command);
        }
    }
};

}  // namespace

void runConsole(std::istream& in, Datastructure& table, std::uint64_t baseline,
                ConsoleOptions options)
{
    Console console{in, table, baseline, std::move(options)};
    const ConsoleOptions& mode = console.options;
    std::string command;
    bool warned = false;  // the last command was a quit held back
    for (;;) {
        if (!mode.atTerminal) {
            printFlushed(PROMPT);  // no line end: the echo completes the line
        }
        if (!readWord(in, command) || command == QUIT) {
            // At a terminal, the first Q or Ctrl-D with unsaved changes
            // only warns; the next, right after it, quits.
            if (!console.unsaved || warned || in.bad()) {
                break;
            }
            printLine(UNSAVED_CHANGES);
            warned = true;
            in.clear();
            continue;
        }
        warned = false;
        console.stopRequested();  // a Ctrl-C from before this command
        try {
            console.run(command);
        } catch (const std::bad_alloc&) {
            // Each change to the table is whole or not made, so the stock
            // is sound: what the command did before it ran out stays.
            printLine(OUT_OF_MEMORY);
            MemoryReserve::take();
        }
        if (in.eof() || outputError() != 0 || console.storeFailed()) {
            break;
        }
    }
    printLine(QUIT);
}

