// The warehouse console: reads one-letter commands from standard input, echoes
// each with its arguments and carries it out on the stock table. Also home of
// the stock file reader, the synthetic product generator, the memory peak
// probe and the efficiency test that times the table.
#include "main.hh"

#include "console_input.hh"
#include "memory_reserve.hh"
#include "output_lines.hh"
#include "progress.hh"
#include "stock_save.hh"
#include "store.hh"
#include "workload.hh"
#ifdef WAREHOUSE_LINE_EDITING
#include "terminal_input.hh"
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
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

const std::string PROMPT = "> ";
const std::string DEFAULT_FILE = "varasto.txt";
constexpr std::string_view FILE_NOT_FOUND = "Tiedostoa ei l\xC3\xB6ydy.";
constexpr std::string_view OUT_OF_MEMORY = "Out of memory: command stopped.";
constexpr std::string_view STOPPED = "Stopped by Ctrl-C";
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

// ---------------------------------------------------------------------------
// Numbers: one parser for every amount and count, at the console and in stock
// files alike.

enum class NumberRead {
    Done,       // value holds the number
    Missing,    // the text ended before a number began; value is untouched
    Malformed,  // not a plain unsigned decimal below 2^32; value is untouched
};

bool isDigit(int c)
{
    return c >= '0' && c <= '9';
}

/// Skips white space, then reads an optional '+' and a run of decimal digits
/// that must fit in 32 bits. The number ends before the first non-digit,
/// which stays unread ("5x" reads 5). Chars supplies peek(), the next byte as
/// 0 to 255 or -1 at the end, and next(), which moves past it.
template <typename Chars>
NumberRead parseNumber(Chars& chars, std::uint32_t& value)
{
    while (isSpace(chars.peek())) {
        chars.next();
    }
    int c = chars.peek();
    if (c == -1) {
        return NumberRead::Missing;
    }
    if (c == '+') {
        chars.next();
        c = chars.peek();
    }
    if (!isDigit(c)) {
        return NumberRead::Malformed;
    }
    std::uint64_t number = 0;
    for (; isDigit(c); chars.next(), c = chars.peek()) {
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
        if (number > std::numeric_limits<std::uint32_t>::max()) {
            return NumberRead::Malformed;
        }
    }
    value = static_cast<std::uint32_t>(number);
    return NumberRead::Done;
}

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

// Bytes of one line of a stock file.
struct LineChars {
    std::string_view line;
    std::size_t position;

    int peek() const
    {
        return position < line.size()
                   ? static_cast<unsigned char>(line[position])
                   : -1;
    }
    void next() { ++position; }
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

}  // namespace

// ---------------------------------------------------------------------------
// Stock file reader.

namespace {

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
    LineChars chars{line, idEnd + 1};
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

/// Reads the whole of a regular file into text. Returns false, with errno
/// set, when it cannot be opened or read through to its end. Anything but a
/// regular file is refused: a FIFO could block the console for ever and a
/// device such as /dev/zero never ends.
bool readWholeFile(const std::string& fileName, std::string& text)
{
    // Not blocking, so that opening a FIFO does not wait for a writer.
    const int file =
        ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    struct stat status {};
    bool complete = ::fstat(file, &status) == 0 && S_ISREG(status.st_mode);
    // One byte more than the file's size, so that the end is met without
    // growing the text when the file keeps its size.
    constexpr std::size_t BLOCK = 1 << 16;
    text.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t size = 0;
    while (complete) {
        if (size == text.size()) {
            text.resize(text.size() + BLOCK);
        }
        const ssize_t got = ::read(file, text.data() + size,
                                   std::min(BLOCK, text.size() - size));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            complete = got == 0;
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    const int error = errno;
    ::close(file);
    errno = error;
    text.resize(size);
    return complete;
}

}  // namespace

namespace {

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

void readStockText(std::string_view text, Datastructure& table,
                   Progress* progress)
{
    // Which lines changed the stock: should memory run out part-way, they
    // are taken back, and the text is loaded whole or not at all.
    std::vector<bool> changed(
        static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
        1);
    StockLine line;
    std::size_t index = 0;
    try {
        forEachLine(text, [&](std::string_view bytes) {
            if (line.parse(bytes)) {
                changed[index] =
                    table.add(line.id, line.shelf, line.amount, line.name);
            }
            ++index;
            if (progress != nullptr) {
                progress->at(static_cast<std::uint64_t>(bytes.data() - text.data()) +
                             bytes.size());
            }
            return true;
        });
    } catch (const std::bad_alloc&) {
        takeBack(text, index, changed, line, table);
        throw;
    }
}

/// Loads a stock file into the table: all of it, or, when the file cannot
/// be read through to its end, none of it, with the message for a file that
/// is not there.
void ReadFile(const std::string& fileName, Datastructure& table)
{
    std::string text;
    if (!readWholeFile(fileName, text)) {
        printLine(FILE_NOT_FOUND);
        return;
    }
    Progress progress("R " + fileName, text.size());
    readStockText(text, table, &progress);
}

// ---------------------------------------------------------------------------
// Synthetic product generator.

namespace {

const std::string GENERATED_TAIL = ":098765retfg:1212:965";
constexpr std::string_view ints = "123456789";
constexpr std::string_view alphas =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890";

// A position from 4 to 22 of a generated id.
std::uint16_t drawPosition()
{
    return static_cast<std::uint16_t>(std::rand() % 19 + 4);
}

// Digits go after the second colon (position 15), letters and digits before.
char drawCharacterFor(std::uint16_t position)
{
    if (position > 15) {
        return ints[static_cast<std::size_t>(std::rand()) % ints.size()];
    }
    return alphas[static_cast<std::size_t>(std::rand()) % alphas.size()];
}

}  // namespace

void drawGeneratedId(std::string& id)
{
    // Drawing modulo size - 1 leaves "WIN" out; generated data has always
    // been made this way, so the products of a given count stay the same.
    constexpr std::string_view prefixes[] = {"LKS", "GUM", "SMK", "MIX",
                                             "SUK", "TIK", "VHT", "WIN"};
    constexpr int prefixCount = std::size(prefixes) - 1;
    id = prefixes[std::rand() % prefixCount];
    id += GENERATED_TAIL;
    std::uint16_t p = drawPosition();
    while (id[p] == ':') {
        p = drawPosition();
    }
    std::uint16_t q = drawPosition();
    while (id[q] == ':' || q == p) {
        q = drawPosition();
    }
    id[p] = drawCharacterFor(p);
    id[q] = drawCharacterFor(q);
}

void generate(Datastructure& table, std::uint32_t n)
{
    workload::generate(table, n);
}

// ---------------------------------------------------------------------------
// Memory peak probe.

MemoryPeak mempeak()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        std::getline(fields, key, ':');
        if (key != "VmPeak") {
            continue;
        }
        MemoryPeak peak{0, "?"};
        fields >> peak.value >> peak.unit;
        return peak;
    }
    return {0, "?"};
}

// ---------------------------------------------------------------------------
// Efficiency test.

/// Times r repeats of a fixed workload over n generated products and prints
/// the seconds taken and the growth of the peak virtual memory since the
/// baseline on standard error. Empties the table first. When stopRequested
/// says so, between two products or passes, the test stops there and says
/// how far it got instead.
void efficiencyTest(Datastructure& table, std::uint32_t n, std::uint32_t r,
                    std::uint64_t baseline, const StopCheck& stopRequested)
{
    // A monotonic clock: a step of the wall clock must not skew the figure.
    const auto start = std::chrono::steady_clock::now();
    const auto keepGoing = [&stopRequested](std::uint32_t) {
        return !stopRequested || !stopRequested();
    };
    for (std::uint32_t repeat = 0; repeat < r; ++repeat) {
        if (!workload::repeatOnce(table, n, keepGoing)) {
            printLine(STOPPED, " in repeat ", repeat + 1, " of ", r, '.');
            return;
        }
    }
    const auto end = std::chrono::steady_clock::now();
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start);
    const double seconds = static_cast<double>(nanoseconds.count()) / 1e9;

    const MemoryPeak peak = mempeak();
    // Built whole first: standard error is unbuffered, and the line should
    // reach it in one write.
    std::ostringstream line;
    line << seconds << " sec, " << peak.value - baseline << ' ' << peak.unit
         << '\n';
    std::cerr << line.str() << std::flush;
}

// ---------------------------------------------------------------------------
// The console.

namespace {

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

// The tests link this file into programs of their own.
#ifndef WAREHOUSE_NO_MAIN

// ---------------------------------------------------------------------------
// Command line.

namespace {

constexpr std::string_view USAGE =
    R"(Usage: {} [--store FILE [--wait SECONDS] | -h | --help | --version]

An interactive stock keeper for a candy warehouse. Reads one-letter commands
from standard input and echoes each, with its results, on standard output.

Options:
  --store FILE             keep the stock in FILE, an SQLite database made
                           when it does not exist: every change is on disk
                           before the program shows it, the next run starts
                           from it, and several runs may share it, each
                           seeing what the others change. P is not run on a
                           stored stock.
  --wait SECONDS           how long a command waits for a store that another
                           run or program is changing before the run fails
                           (10 without it)

Commands:
  A id shelf amount name   add stock (the name is the rest of the line)
  D id amount              withdraw stock
  F id                     look a product up
  C                        count the kinds of candy in stock
  E                        empty the stock
  R [file]                 load a stock file (varasto.txt without a name)
  W [file]                 save the stock to a stock file (likewise)
  G n                      add n generated products
  P n r                    time r repeats of the table's workload over n
  H [id]                   with a store: the product's history, or the last
                           20 commands that changed the stock
  Q                        quit

At a terminal, lines can be edited, Up and Down recall earlier lines, Tab
completes product ids after F, D and A and file names after R and W, Ctrl-C
abandons the line being typed and Ctrl-D on an empty line ends the run.

Environment:
  WAREHOUSE_HISTORY        file that keeps the line history between runs
                           (without it, nothing is written)

The manual: man warehouse (in a source tree: man -l docs/warehouse.1)
)";

/// Writes the usage with the program's name in it.
void printUsage(std::ostream& out)
{
    const std::size_t slot = USAGE.find("{}");
    out << USAGE.substr(0, slot) << program_invocation_short_name
        << USAGE.substr(slot + 2) << std::flush;
}

/// Says what is wrong with the command line, and where to learn better, on
/// standard error; gives the exit status of a usage error.
int usageError(const std::string& what)
{
    std::cerr << program_invocation_short_name << ": " << what << "\nTry '"
              << program_invocation_short_name << " --help'." << std::endl;
    return 2;
}

/// What the command line asks for besides the console.
struct CommandLine {
    std::string storePath;  // the store's file; empty: no store
    Store::Options store;
};

/// Reads the seconds of --wait: a whole number up to a day.
bool parseWait(std::string_view text, std::chrono::milliseconds& wait)
{
    unsigned seconds = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, seconds);
    if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end ||
        seconds > 86400) {
        return false;
    }
    wait = std::chrono::seconds(seconds);
    return true;
}

/// Handles the options. Returns the exit status when the program must stop
/// here, or -1 to go on to the console.
int handleArguments(int argc, char** argv, CommandLine& line)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h" || option == "--version") {
            if (argc > 2) {  // they stand alone
                return usageError("unexpected argument '" +
                                  std::string(argv[i == 1 ? 2 : 1]) + "'");
            }
            if (option == "--version") {
                std::cout << program_invocation_short_name << ' '
                          << WAREHOUSE_VERSION << std::endl;
            } else {
                printUsage(std::cout);
            }
            return std::cout ? 0 : 1;
        }
        if (option == "--store" || option == "--wait") {
            const bool store = option == "--store";
            const char* value = i + 1 < argc ? argv[++i] : "";
            if (store && value[0] != '\0') {
                line.storePath = value;
                continue;
            }
            if (!store && parseWait(value, line.store.wait)) {
                continue;
            }
            return usageError("option '" + std::string(option) + "' needs " +
                              (store ? "a file name"
                                     : "a whole number of seconds up to 86400"));
        }
        return usageError(
            (option[0] == '-' ? "unknown option '" : "unexpected argument '") +
            std::string(option) + "'");
    }
    return -1;
}

/// One line on standard error: the program, what failed, and why.
void report(std::string_view what, std::string_view why)
{
    std::cerr << program_invocation_short_name << ": " << what << ": " << why
              << std::endl;
}

/// Ends the run: commits what is left and shows it, reports on standard
/// error what went wrong, and gives the exit status: 1 when the store,
/// standard output or standard input failed, 0 otherwise. Output that a
/// failed commit did not cover is never shown.
int finish(Store* store, const std::string& storePath, int inputError)
{
    const bool shown = store != nullptr ? store->end() : releaseOutput();
    if (store != nullptr && store->failed()) {
        report("store " + storePath, store->error());
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
    return 0;
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
    // A save that passes the file-size limit must fail with an error, not
    // end the run and lose the stock.
    std::signal(SIGXFSZ, SIG_IGN);
    MemoryReserve::keep();
    const std::uint64_t baseline = mempeak().value;
    Datastructure table;
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
    if (!line.storePath.empty()) {
        std::string error;
        store = Store::open(line.storePath, table, line.store, error);
        if (!store) {
            report("store " + line.storePath, error);
            return 1;
        }
        // A mistyped name starts a new, empty store: a clerk is told.
        if (store->created() && options.atTerminal) {
            std::cerr << program_invocation_short_name
                      << ": created a new store " << line.storePath
                      << std::endl;
        }
    }
    options.store = store.get();
    // Before more input is read, what the commands did is made durable, and
    // only then shown; false ends the run.
    const auto beforeRead = [&store] { return store->end(); };
#ifdef WAREHOUSE_LINE_EDITING
    if (options.atTerminal) {
        TerminalInput terminal(PROMPT, table);
        std::istream in(&terminal);
        if (store) {
            terminal.callBeforeReading(beforeRead);
        }
        options.stopRequested = &TerminalInput::interruptPending;
        runConsole(in, table, baseline, options);
        return finish(store.get(), line.storePath, 0);
    }
#endif
    BlockInput standardInput(STDIN_FILENO);
    std::istream in(&standardInput);
    standardInput.feeds(in);
    if (store) {
        standardInput.callBeforeReading(beforeRead);
    }
    runConsole(in, table, baseline, options);
    return finish(store.get(), line.storePath, standardInput.error());
}
#endif
