// The command console: the loop that prompts, reads, echoes and runs each
// command.
#include "console/console.hh"

#include "console/console_input.hh"
#include "stock/benchmark.hh"
#include "stock/stock_file.hh"
#include "stock/stock_list.hh"
#include "stock/workload.hh"
#include "store/store.hh"
#include "util/memory_reserve.hh"
#include "util/output_lines.hh"
#include "util/progress.hh"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
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
const std::string LIST = "L";
// Words a clerk may reach for at a terminal; a script passes over them, as
// over any word that is not a command, as it always has.
const std::string QUIT_WORDS[] = {"quit", "exit"};
const std::string HELP_WORDS[] = {"help", "?"};

const std::string DEFAULT_FILE = "varasto.txt";
constexpr std::string_view OUT_OF_MEMORY = "Out of memory: command stopped.";
constexpr std::string_view UNKNOWN_COMMAND = "Unknown command: ";
constexpr std::string_view COMMAND_LIST =
    ". Commands: A D F C E R W G P H L Q (upper case); help explains them.";
// What help adds to the command table at a terminal.
constexpr std::string_view TERMINAL_WORDS =
    "quit, exit               Q\n"
    "help, ?                  this list\n"
    "Enter on an empty line   the next screen of a list cut short\n";
constexpr std::string_view UNSAVED_CHANGES =
    "The stock has changes that are not saved: W saves them; Q or Ctrl-D "
    "again quits without saving.";
constexpr std::string_view NOT_RUN_ON_STORED_STOCK =
    "The efficiency test empties the stock: it is not run on a stored stock.";
constexpr std::string_view MAY_ONLY_READ =
    "Not run: this login may only read the stock.";
// The commands that H alone shows a script.
constexpr std::size_t LAST_COMMANDS = 20;
constexpr std::string_view HISTORY_NEEDS_A_STORE =
    "History is kept only in a store: start with --store FILE.";
// W and R refuse the files of the store: a stock file written over it
// would destroy it, and a read would drop the locks SQLite holds on it.
constexpr std::string_view STORE_FILE = "that is a file of the store";
constexpr std::string_view NOT_LOADED = "Not loaded:";
// A command a clerk typed that is not run: "Not run: problem. Form: form".
constexpr std::string_view NOT_RUN = "Not run: ";
constexpr std::string_view FORM = ". Form: ";

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

/// Text without the blanks and carriage returns around it.
std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

template <std::size_t N>
bool isOneOf(const std::string& word, const std::string (&words)[N])
{
    return std::find(std::begin(words), std::end(words), word) !=
           std::end(words);
}

bool allDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return isDigit(c); });
}

/// "Loaded 3 lines; skipped 2 (lines 3, 5).": what a load at a terminal did.
void tellLoad(const LoadReport& report)
{
    if (report.stopped) {
        printLine(STOPPED, ": nothing loaded.");
        return;
    }
    const auto lines = [](std::uint64_t count) {
        return std::to_string(count) + (count == 1 ? " line" : " lines");
    };
    if (report.skipped == 0) {
        printLine("Loaded ", lines(report.loaded), '.');
        return;
    }
    std::string named;
    const std::uint64_t shown =
        std::min<std::uint64_t>(report.skipped, LoadReport::NAMED);
    for (std::uint64_t i = 0; i < shown; ++i) {
        named += (i == 0 ? "" : ", ") + std::to_string(report.firstSkipped[i]);
    }
    if (report.skipped > shown) {
        named += ", ...";
    }
    printLine("Loaded ", lines(report.loaded), "; skipped ", report.skipped,
              " (", report.skipped == 1 ? "line " : "lines ", named, ").");
}

/// What the console keeps between commands: an argument that a command
/// cannot read keeps the value the last command left in it.
///
/// A script's commands are read as they always have been: words wherever
/// they are, across lines; an argument the input ends before keeps its
/// value; a malformed number is "Invalid number." and drops the rest of its
/// line; an unknown word is passed over. A clerk's line is one whole
/// command, checked whole before it runs: a missing argument, a number that
/// is not plain digits, or words left over get one reply that names the
/// problem and the command's form, and nothing runs. A strict script's lines
/// are checked as a clerk's are, and the script stops at the first line
/// refused, and at a file not loaded or not saved.
class Console {
public:
    Console(Datastructure& table, std::uint64_t baseline,
            ConsoleOptions options)
        : table(table), baseline(baseline), options(std::move(options))
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

    const ConsoleOptions& mode() const { return options; }

    /// Reads the next command and carries it out. False at Q, and at the
    /// end of input.
    bool runNext(std::istream& input)
    {
        return wholeLines() ? runTypedLine(input) : runScriptCommand(input);
    }

    /// At a terminal without a store: the stock has changed since the run
    /// began or since the last save of every product.
    bool unsaved = false;

    /// Why a strict script stopped, naming its line; empty while it goes on.
    std::string stopReason;

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

private:
    bool runScriptCommand(std::istream& input)
    {
        in = &input;
        if (!readWord(input, commandWord) || commandWord == QUIT) {
            return false;
        }
        if (options.strict && options.inputLine) {
            commandLine = options.inputLine();
        }
        run(commandWord);
        return true;
    }

    bool runTypedLine(std::istream& input)
    {
        std::string typed;
        std::istringstream line;
        bool worded = false;
        // A clerk's empty line gets a fresh prompt; a script's is passed
        // over, as a script's blank lines always were.
        do {
            if (options.strict && options.inputLine) {
                commandLine = options.inputLine();
            }
            readRestOfLine(input, typed);
            if (input.fail() && typed.empty()) {
                return false;  // the end of input, or Ctrl-D on an empty line
            }
            line.clear();
            line.str(typed);
            worded = readWord(line, commandWord);
        } while (!worded && !options.atTerminal && input.good());
        in = &line;
        std::function<void()> next = std::move(nextScreen);
        nextScreen = nullptr;  // any line but an empty one drops it
        if (!worded && !options.atTerminal) {
            return false;  // a script that ends in blank lines
        }
        if (!worded) {
            if (next) {
                next();
            }
            return true;  // nothing typed
        }
        if (commandWord == QUIT || isOneOf(commandWord, QUIT_WORDS)) {
            emptyAsked = false;  // a line in between takes E's question back
            form = commandWord;
            return !lineEnds();
        }
        run(commandWord);
        return true;
    }

    /// A clerk's line, and a strict script's, is one whole command, checked
    /// whole before it runs; a script's commands are words wherever they
    /// are.
    bool wholeLines() const { return options.atTerminal || options.strict; }

    /// At a terminal without a store, the console watches the stock for
    /// changes that no save has covered.
    bool watchesForUnsaved() const
    {
        return options.atTerminal && options.store == nullptr;
    }

    /// In a strict script, stops the run at the command's line, for why.
    /// Returns false: the command does not run.
    bool stopScript(const std::string& why)
    {
        if (options.strict && stopReason.empty()) {
            stopReason =
                "input line " + std::to_string(commandLine) + ": " + why;
        }
        return false;
    }

    /// Refuses the command: at a terminal with a reply that names the
    /// problem and the command's form, in a strict script by stopping it.
    /// Returns false: the command does not run.
    bool notRun(const std::string& problem)
    {
        if (options.atTerminal) {
            printLine(NOT_RUN, problem, FORM, form);
            return false;
        }
        return stopScript(problem + " (" + std::string(form) + ")");
    }

    /// An argument the input ended before: a script's command runs with the
    /// value the last command left, unless the script is strict.
    bool inputEnded(std::string_view what)
    {
        if (!options.strict || in->bad()) {
            return true;  // a read error is told, and stops the command, later
        }
        return notRun("the input ends before " + std::string(what));
    }

    bool wordArgument(std::string& word, std::string_view what)
    {
        if (readWord(*in, word)) {
            return true;
        }
        return wholeLines() ? notRun(std::string(what) + " is missing")
                            : inputEnded(what);
    }

    /// A number argument: of unit, such as "units". A clerk types plain
    /// digits; a script's numbers are read as they always have been.
    bool numberArgument(std::uint32_t& value, std::string_view what,
                        std::string_view unit)
    {
        if (!wholeLines()) {
            return scriptNumber(value, what);
        }
        std::string typed;
        if (!readWord(*in, typed)) {
            return notRun(std::string(what) + " is missing");
        }
        if (parseWholeNumber(typed, value) == NumberRead::Done) {
            return true;
        }
        if (allDigits(typed)) {
            return notRun("'" + typed + "' is more " + std::string(unit) +
                          " than 4294967295");
        }
        return notRun("'" + typed + "' is not a whole number of " +
                      std::string(unit));
    }

    /// A script's number. At the end of input value keeps what it held. A
    /// malformed number is reported, the rest of its input line dropped,
    /// and the command does not run.
    bool scriptNumber(std::uint32_t& value, std::string_view what)
    {
        if (!in->good()) {
            return inputEnded(what);
        }
        StreamChars chars{*in->rdbuf()};
        const NumberRead result = parseNumber(chars, value);
        if (chars.peek() == -1) {
            in->setstate(std::ios::eofbit);
        }
        if (result == NumberRead::Done) {
            return true;
        }
        if (result == NumberRead::Missing) {
            return inputEnded(what);
        }
        printLine(INVALID_NUMBER);
        in->ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        return notRun("an invalid number for " + std::string(what));
    }

    /// A's name: the rest of the line after the one character that follows
    /// the amount. A clerk's line must hold one.
    bool nameArgument(std::string& value)
    {
        skipCharacter(*in);  // the separator before the name, whatever it is
        readRestOfLine(*in, value);
        if (!in->fail()) {
            return true;
        }
        return wholeLines() ? notRun("the name is missing")
                            : inputEnded("the name");
    }

    /// The word on the command's own line, if there is one: never one from
    /// the next line.
    bool ownLineWord(std::string& word)
    {
        if (atLineEnd(*in)) {
            return false;
        }
        readWord(*in, word);
        return true;
    }

    /// At a terminal, nothing may follow the command's arguments.
    bool lineEnds()
    {
        if (!wholeLines() || atLineEnd(*in)) {
            return true;
        }
        std::string rest;
        readRestOfLine(*in, rest);
        return notRun("'" + std::string(trimmed(rest)) + "' is left over");
    }

    /// Echoes the command word and its arguments as the program now holds
    /// them, and tells whether the command may run: not when a read error
    /// cut its arguments short, for then they are not what was typed, nor
    /// when the store, which a stored stock's command runs in, failed or
    /// may not be changed by this login.
    template <typename... Args>
    bool echo(const std::string& command, const Args&... args)
    {
        if (in->bad()) {
            return false;
        }
        Store* const store = options.store;
        const bool refused = store != nullptr &&
                             access == Store::Access::Changes &&
                             !store->mayChange();
        if (store != nullptr && !refused && !store->begin(access)) {
            if (!store->failed()) {
                printLine(store->refusal());
            }
            return false;
        }
        const std::string_view line =
            formatLine(command, Spaced<Args>{args}...);
        if (refused) {
            printFlushed(line);
            printLine(MAY_ONLY_READ);
            return stopScript("this login may only read the stock");
        }
        if (store != nullptr) {
            store->commandRuns(line.substr(0, line.size() - 1),
                               changeKindOf(command));
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

    // A script's R takes the default file when the line ends right after
    // it, and the next word otherwise, wherever it is; a clerk's R takes
    // its file from its own line only, as W does.
    void readFileName()
    {
        if (wholeLines()) {
            if (!ownLineWord(fileName)) {
                fileName = DEFAULT_FILE;
            }
            return;
        }
        const int next = in->peek();
        if (next == '\n' || next == '\r') {
            fileName = DEFAULT_FILE;
        } else {
            readWord(*in, fileName);
        }
    }

    void readStock()
    {
        form = "R [file]";
        readFileName();
        if (!lineEnds() || !echo(READ, fileName)) {
            return;
        }
        if (storeOwns(NOT_LOADED)) {
            stopScript("the stock file " + fileName + " was not loaded");
            return;
        }
        const LoadReport report =
            ReadFile(fileName, table, options.stopRequested);
        if (!report.read) {
            stopScript("the stock file " + fileName + " was not loaded");
        } else if (options.atTerminal) {
            tellLoad(report);
        }
    }

    // A command that writes a file takes its name from its own line only,
    // never from the next line or an earlier command.
    void saveStock()
    {
        form = "W [file]";
        if (!ownLineWord(fileName)) {
            fileName = DEFAULT_FILE;
        }
        if (!lineEnds() || !echo(SAVE, fileName)) {
            return;
        }
        if (storeOwns(STOCK_NOT_SAVED) || !SaveFile(fileName, table)) {
            stopScript("the stock was not saved whole to " + fileName);
            return;
        }
        unsaved = false;
    }

    void addStock()
    {
        form = "A id shelf amount name";
        if (wordArgument(id, "the id") && wordArgument(shelf, "the shelf") &&
            numberArgument(amount, "the amount", "units") &&
            nameArgument(name) && echo(ADD, id, shelf, amount, name)) {
            table.add(id, shelf, amount, name);
        }
    }

    void withdrawStock()
    {
        form = "D id amount";
        if (wordArgument(id, "the id") &&
            numberArgument(amount, "the amount", "units") && lineEnds() &&
            echo(REMOVE, id, amount)) {
            table.substract(id, amount);
        }
    }

    void findProduct()
    {
        form = "F id";
        if (wordArgument(id, "the id") && lineEnds() && echo(FIND, id)) {
            table.find(id);
        }
    }

    // At a terminal, E with stock to lose asks to be typed again; any other
    // line in between takes the question back.
    void emptyStock(bool confirmed)
    {
        form = "E";
        if (!lineEnds() || !echo(EMPTY)) {
            return;
        }
        if (options.atTerminal && !confirmed && table.count() > 0) {
            printLine("E empties all ", table.count(),
                      table.count() == 1 ? " kind" : " kinds",
                      "; E again to confirm.");
            emptyAsked = true;
            return;
        }
        table.empty();
    }

    void countKinds()
    {
        form = "C";
        if (lineEnds() && echo(COUNT)) {
            printLine(table.count(), " different kinds of candy.");
        }
    }

    void generateProducts()
    {
        form = "G n";
        std::uint32_t count = 0;
        if (!numberArgument(count, "n", "products") || !lineEnds() ||
            !echo(GEN, count)) {
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
        form = "P n r";
        std::uint32_t repeats = 0;
        if (!numberArgument(size, "n", "products") ||
            !numberArgument(repeats, "r", "repeats") || !lineEnds() ||
            !echo(EFF, size, repeats)) {
            return;
        }
        if (options.store != nullptr) {
            printLine(NOT_RUN_ON_STORED_STOCK);
            return;
        }
        efficiencyTest(table, size, repeats, baseline, options.stopRequested);
    }

    // H takes what it shows from its own line: a product's id, a count of
    // commands, or a day; alone, the last commands. A clerk sees the
    // newest first, a screen at a time; a script, all of it, oldest first.
    void showHistory()
    {
        form = "H [id | n | YYYY-MM-DD]";
        std::string word;
        const bool worded = ownLineWord(word);
        if (!lineEnds() || !(worded ? echo(HISTORY, word) : echo(HISTORY))) {
            return;
        }
        if (options.store == nullptr) {
            printLine(HISTORY_NEEDS_A_STORE);
            return;
        }
        HistoryRequest request;
        std::uint32_t count = 0;
        std::string none = "No history yet.";
        if (!worded) {
            request.commands = options.atTerminal ? screenLines() : LAST_COMMANDS;
        } else if (allDigits(word) &&
                   parseWholeNumber(word, count) == NumberRead::Done &&
                   count > 0) {
            request.commands = count;
        } else if (localDay(word, request.from, request.to)) {
            none = "No history on " + word + '.';
        } else {
            request.id = &word;
            none = "No history of " + word + '.';
        }
        historyScreen(request, none, !worded);
    }

    /// Shows what request asks of the history: all of it in a script; at a
    /// terminal the newest first, a screen at a time, and when pages is set
    /// the commands before it on the next screen.
    void historyScreen(HistoryRequest request, const std::string& none,
                       bool pages)
    {
        // One more command than a screen holds tells whether there are more.
        if (pages && options.atTerminal) {
            ++request.commands;
        }
        std::vector<HistoryEntry> entries;
        if (!options.store->history(request, entries)) {
            return;
        }
        std::vector<std::string> lines = request.id != nullptr
                                             ? productLines(entries)
                                             : commandLines(entries);
        if (lines.empty()) {
            printLine(none);
            return;
        }
        if (!options.atTerminal) {
            for (const std::string& line : lines) {
                printLine(line);
            }
            return;
        }
        std::reverse(lines.begin(), lines.end());
        if (!pages) {
            showLines(std::move(lines), 0);
            return;
        }
        const bool more = lines.size() == request.commands;
        if (more) {
            lines.pop_back();
        }
        // Older than the oldest command shown, whatever was added since.
        std::size_t oldest = entries.size();
        for (std::size_t shown = 0; oldest > 0 && shown < lines.size();) {
            --oldest;
            if (oldest == 0 ||
                entries[oldest - 1].commandNo != entries[oldest].commandNo) {
                ++shown;
            }
        }
        for (const std::string& line : lines) {
            printLine(line);
        }
        if (!more) {
            return;
        }
        request.before = entries[oldest].commandNo;
        request.commands = screenLines();
        offerNextScreen("older commands", "H YYYY-MM-DD shows one day",
                        [this, request, none] {
                            Store* const store = options.store;
                            if (store->begin(Store::Access::History)) {
                                historyScreen(request, none, true);
                            } else if (!store->failed()) {
                                printLine(store->refusal());
                            }
                        });
    }

    /// Shows lines from first on, a screen at a time.
    void showLines(std::vector<std::string> lines, std::size_t first)
    {
        const std::size_t limit = screenLines();
        std::size_t shown = 0;
        for (; first < lines.size() && (limit == 0 || shown < limit);
             ++first, ++shown) {
            printLine(lines[first]);
        }
        if (first == lines.size()) {
            return;
        }
        const std::size_t more = lines.size() - first;
        offerNextScreen(std::to_string(more) + " more", "H YYYY-MM-DD shows one day",
                        [this, lines = std::move(lines), first]() mutable {
                            showLines(std::move(lines), first);
                        });
    }

    /// Ends a screen that output was cut short at: says how many more there
    /// are, with a hint of how to narrow them, and keeps next for an empty
    /// line to show the next screen with.
    void offerNextScreen(std::string_view more, std::string_view narrowing,
                         std::function<void()> next)
    {
        printLine("... ", more, "; Enter shows the next screen, ", narrowing,
                  '.');
        nextScreen = std::move(next);
    }

    /// The lines of output that fit one screen: its rows less the typed
    /// line, the echo, the line that tells of more, and the next prompt.
    /// 0, no limit, in a script.
    std::size_t screenLines() const
    {
        if (!options.atTerminal || !options.screenRows) {
            return 0;
        }
        return std::max<std::size_t>(options.screenRows(), 8) - 4;
    }

    // L lists what matches the rest of its own line, or everything; a clerk
    // sees one screen of it, and the next on Enter.
    void listProducts()
    {
        form = "L [text]";
        std::string text;
        if (!atLineEnd(*in)) {
            readRestOfLine(*in, text);
            text = trimmed(text);
        }
        if (!(text.empty() ? echo(LIST) : echo(LIST, text))) {
            return;
        }
        listScreen(text, nullptr);
    }

    /// A screen of the products that match text, after the id after, or
    /// from the first. A clerk's text matches letters of any script, a
    /// script's ASCII letters only, as it always has.
    void listScreen(const std::string& text, const std::string* after)
    {
        ListRequest request{text, CaselessSearch::Letters::Ascii,
                            screenLines(), after};
        if (options.atTerminal) {
            request.letters = CaselessSearch::Letters::All;
        }
        ListRest rest = listStock(table, request);
        if (rest.more == 0) {
            return;
        }
        // By id, not by position: the next screen starts after the last id
        // shown, whatever others added or took away meanwhile, which a
        // stored stock catches up with first.
        offerNextScreen(
            std::to_string(rest.more) + " more", "L text narrows it",
            [this, text, last = std::move(rest.lastId)] {
                Store* const store = options.store;
                if (store == nullptr || store->begin(Store::Access::Reads)) {
                    listScreen(text, &last);
                } else if (!store->failed()) {
                    printLine(store->refusal());
                }
            });
    }

    /// At a terminal, help and ? list the commands, one a line.
    void showHelp()
    {
        form = commandWord;
        if (!lineEnds()) {
            return;
        }
        for (std::string_view table : {COMMAND_TABLE, TERMINAL_WORDS}) {
            for (std::size_t end; (end = table.find('\n')) != table.npos;
                 table.remove_prefix(end + 1)) {
                printLine(table.substr(0, end));
            }
        }
    }

    /// A word that is not a command: at a terminal it gets a reply; in a
    /// script it is passed over, unless the script is strict.
    void refuse(const std::string& word)
    {
        if (options.atTerminal) {
            printLine(UNKNOWN_COMMAND, word, COMMAND_LIST);
            return;
        }
        stopScript("'" + word + "' is not a command");
    }

    /// What kind of change a command makes, as the history keeps it.
    static ChangeKind changeKindOf(const std::string& command)
    {
        return command == ADD      ? ChangeKind::Delivery
               : command == REMOVE ? ChangeKind::Withdrawal
               : command == READ   ? ChangeKind::Load
               : command == GEN    ? ChangeKind::Generate
               : command == EMPTY  ? ChangeKind::Empty
                                   : ChangeKind::Other;
    }

    /// What a command needs of the store.
    static Store::Access accessOf(const std::string& command)
    {
        if (command == HISTORY || command == EFF) {
            return Store::Access::History;  // P is not run on a store
        }
        if (command == FIND || command == COUNT || command == LIST ||
            command == SAVE) {
            return Store::Access::Reads;
        }
        return Store::Access::Changes;
    }

    // Unknown words, lower-case letters included, do nothing in a script.
    void run(const std::string& command)
    {
        const bool emptyConfirmed = emptyAsked;
        emptyAsked = false;
        access = accessOf(command);
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
            emptyStock(emptyConfirmed);
        } else if (command == COUNT) {
            countKinds();
        } else if (command == SAVE) {
            saveStock();
        } else if (command == HISTORY) {
            showHistory();
        } else if (command == LIST) {
            listProducts();
        } else if (options.atTerminal && isOneOf(command, HELP_WORDS)) {
            showHelp();
        } else {
            refuse(command);
        }
    }

    Datastructure& table;
    std::uint64_t baseline;  // peak memory before the table was built
    ConsoleOptions options;
    std::istream* in = nullptr;  // the input, or at a terminal the line typed
    std::string commandWord;
    std::string_view form;  // the running command's, for replies
    Store::Access access = Store::Access::Changes;  // the running command's
    std::uint64_t commandLine = 0;  // its input line, in a strict script
    bool emptyAsked = false;        // the last command was an E held back
    // How to show the next screen of output that the last line cut short;
    // empty when it was not.
    std::function<void()> nextScreen;
    std::string id;
    std::string shelf;
    std::string name;
    std::string fileName;
    std::uint32_t amount = 0;  // shared by "A" and "D"
    std::uint32_t size = 0;    // "P"'s product count
};

}  // namespace

std::string runConsole(std::istream& in, Datastructure& table,
                       std::uint64_t baseline, ConsoleOptions options)
{
    Console console{table, baseline, std::move(options)};
    const ConsoleOptions& mode = console.mode();
    bool warned = false;  // the last command was a quit held back
    for (;;) {
        if (!mode.atTerminal) {
            printFlushed(PROMPT);  // no line end: the echo completes the line
        }
        console.stopRequested();  // a Ctrl-C from before this command
        bool goOn = true;
        try {
            goOn = console.runNext(in);
        } catch (const std::bad_alloc&) {
            // Each change to the table is whole or not made, so the stock
            // is sound: what the command did before it ran out stays.
            printLine(OUT_OF_MEMORY);
            MemoryReserve::take();
        }
        if (!goOn) {
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
        if (in.eof() || outputError() != 0 || console.storeFailed() ||
            !console.stopReason.empty()) {
            break;
        }
    }
    if (console.stopReason.empty()) {
        printLine(QUIT);
    }
    return console.stopReason;
}
