// The console's commands: the command table, and each command's handler,
// which reads its arguments, starts it and runs it on the table.
#include "console/command_table.hh"
#include "console/session.hh"

#include "stock/benchmark.hh"
#include "stock/stock_file.hh"
#include "stock/stock_list.hh"
#include "stock/workload.hh"
#include "util/numbers.hh"
#include "util/progress.hh"

#include <algorithm>

namespace {

const std::string DEFAULT_FILE = "varasto.txt";
constexpr std::string_view NOT_RUN_ON_STORED_STOCK =
    "The efficiency test empties the stock: it is not run on a stored stock.";
constexpr std::string_view HISTORY_NEEDS_A_STORE =
    "History is kept only in a store: start with --store FILE.";
// A shared stock is emptied or filled with made-up products by its owner
// alone: a clerk's slip would cost every other clerk the stock.
constexpr std::string_view OWNER_EMPTIES =
    "Only the store's owner may empty the stock.";
constexpr std::string_view OWNER_GENERATES =
    "Only the store's owner may add generated products to the stock.";
// The commands that H alone shows a script.
constexpr std::size_t LAST_COMMANDS = 20;
// W and R refuse the files of the store: a stock file written over it
// would destroy it, and a read would drop the locks SQLite holds on it.
constexpr std::string_view STORE_FILE = "that is a file of the store";
constexpr std::string_view NOT_LOADED = "Not loaded:";
// The column help's texts start in: the longest form, and two spaces.
constexpr std::size_t HELP_COLUMN = 25;
// What help adds at a terminal after the commands: a key, not a command.
constexpr std::string_view NEXT_SCREEN_KEY =
    "Enter on an empty line   the next screen of a list cut short";

using Access = Store::Access;
using S = Session;

// clang-format off
const std::vector<Command> COMMANDS = {
//   word    alias   form                       help
//   access           store              storeLine
//   changes               completes                clerkOnly quits handler
    {"A",    "",     "A id shelf amount name",  "add units; the name is the rest of the line",
     Access::Changes, StoreUse::Either,   "",
     ChangeKind::Delivery,   Completion::ProductIds, false, false, &S::addStock},
    {"D",    "",     "D id amount",             "withdraw units; tells what is left, and the shelf",
     Access::Changes, StoreUse::Either,   "",
     ChangeKind::Withdrawal, Completion::ProductIds, false, false, &S::withdrawStock},
    {"F",    "",     "F id",                    "show the product's name, amount and shelf",
     Access::Reads,   StoreUse::Either,   "",
     ChangeKind::Other,      Completion::ProductIds, false, false, &S::findProduct},
    {"C",    "",     "C",                       "count the kinds of candy in stock",
     Access::Reads,   StoreUse::Either,   "",
     ChangeKind::Other,      Completion::Nothing,    false, false, &S::countKinds},
    {"E",    "",     "E",                       "empty the stock",
     Access::Changes, StoreUse::OwnerOnly, OWNER_EMPTIES,
     ChangeKind::Empty,      Completion::Nothing,    false, false, &S::emptyStock},
    {"R",    "",     "R [file]",                "load a stock file (varasto.txt without a name)",
     Access::Changes, StoreUse::Either,   "",
     ChangeKind::Load,       Completion::FileNames,  false, false, &S::readStock},
    {"W",    "",     "W [file]",                "save the stock to a stock file (likewise)",
     Access::Reads,   StoreUse::Either,   "",
     ChangeKind::Other,      Completion::FileNames,  false, false, &S::saveStock},
    {"G",    "",     "G n",                     "add n generated products (G 1000 gives 999 kinds)",
     Access::Changes, StoreUse::OwnerOnly, OWNER_GENERATES,
     ChangeKind::Generate,   Completion::Nothing,    false, false, &S::generateProducts},
    // P reads nothing of a store: it is not run on one.
    {"P",    "",     "P n r",                   "time r repeats of a workload over n products",
     Access::History, StoreUse::Refused,  NOT_RUN_ON_STORED_STOCK,
     ChangeKind::Other,      Completion::Nothing,    false, false, &S::testEfficiency},
    {"H",    "",     "H [id | n | YYYY-MM-DD]", "history: a product's, the last n commands, a day's",
     Access::History, StoreUse::Needed,   HISTORY_NEEDS_A_STORE,
     ChangeKind::Other,      Completion::Nothing,    false, false, &S::showHistory},
    {"L",    "",     "L [text]",                "list the stock by id, or the products holding text",
     Access::Reads,   StoreUse::Either,   "",
     ChangeKind::Other,      Completion::Nothing,    false, false, &S::listProducts},
    {"Q",    "",     "Q",                       "quit",
     Access::History, StoreUse::Either,   "",
     ChangeKind::Other,      Completion::Nothing,    false, true,  nullptr},
    // Words a clerk may reach for at a terminal; a script passes over them,
    // as over any word that is not a command, as it always has.
    {"quit", "exit", "",                        "Q",
     Access::History, StoreUse::Either,   "",
     ChangeKind::Other,      Completion::Nothing,    true,  true,  nullptr},
    {"help", "?",    "",                        "this list",
     Access::History, StoreUse::Either,   "",
     ChangeKind::Other,      Completion::Nothing,    true,  false, &S::showHelp},
};
// clang-format on

/// "A id shelf amount name   add units; ...": a command's line of help.
std::string helpLine(const Command& command)
{
    std::string line(command.word);
    if (!command.form.empty()) {
        line = command.form;
    } else if (!command.alias.empty()) {
        line.append(", ").append(command.alias);
    }
    line.resize(std::max(line.size() + 1, HELP_COLUMN), ' ');
    return line.append(command.help);
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

}  // namespace

const std::vector<Command>& commandTable()
{
    return COMMANDS;
}

const Command* findCommand(std::string_view word, bool clerkWords)
{
    for (const Command& command : COMMANDS) {
        if ((command.word == word ||
             (!command.alias.empty() && command.alias == word)) &&
            (clerkWords || !command.clerkOnly)) {
            return &command;
        }
    }
    return nullptr;
}

std::vector<std::string> commandHelpLines(bool clerkWords)
{
    std::vector<std::string> lines;
    for (const Command& command : COMMANDS) {
        if (clerkWords || !command.clerkOnly) {
            lines.push_back(helpLine(command));
        }
    }
    if (clerkWords) {
        lines.emplace_back(NEXT_SCREEN_KEY);
    }
    return lines;
}

std::string commandWords()
{
    std::string words;
    for (const Command& command : COMMANDS) {
        if (!command.clerkOnly) {
            words.append(words.empty() ? "" : " ").append(command.word);
        }
    }
    return words;
}

// ---------------------------------------------------------------------------
// The handlers. Each reads its arguments, starts, and runs; a step that
// fails has told why.

void Session::addStock()
{
    if (arguments.word(id, "the id") && arguments.word(shelf, "the shelf") &&
        arguments.number(amount, "the amount", "units") &&
        arguments.name(name) && starts(id, shelf, amount, name)) {
        table.add(id, shelf, amount, name);
    }
}

void Session::withdrawStock()
{
    if (arguments.word(id, "the id") &&
        arguments.number(amount, "the amount", "units") &&
        arguments.lineEnds() && starts(id, amount)) {
        table.substract(id, amount);
    }
}

void Session::findProduct()
{
    if (arguments.word(id, "the id") && arguments.lineEnds() && starts(id)) {
        table.find(id);
    }
}

void Session::countKinds()
{
    if (arguments.lineEnds() && starts()) {
        printLine(table.count(), " different kinds of candy.");
    }
}

namespace {

/// Which products the stock holds, as one number: the sum of their ids'
/// hashes, whatever order the table keeps them in.
std::uint64_t kindsOf(const Datastructure& table)
{
    std::uint64_t kinds = table.count();
    table.forEachProduct([&kinds](const std::string& id, const std::string&,
                                  std::uint32_t, const std::string&) {
        kinds += std::hash<std::string>{}(id);
    });
    return kinds;
}

}  // namespace

// At a terminal, E with stock to lose asks to be typed again; any other
// line in between takes the question back. The answer holds for the kinds
// the question named: on a store, others may have brought in other kinds
// between the two, and E asks again.
void Session::emptyStock()
{
    if (!arguments.lineEnds() || !starts()) {
        return;
    }
    const std::size_t count = table.count();
    if (options.atTerminal && count > 0) {
        const std::uint64_t kinds = kindsOf(table);
        if (!emptyConfirmed || kinds != emptyAskedKinds) {
            printLine("E empties all ", count, count == 1 ? " kind" : " kinds",
                      "; E again to confirm.");
            emptyAsked = true;
            emptyAskedKinds = kinds;
            return;
        }
    }
    table.empty();
}

bool Session::storeOwns(std::string_view refused)
{
    if (options.store == nullptr || !options.store->ownsFile(fileName)) {
        return false;
    }
    printLine(refused, ' ', STORE_FILE, '.');
    return true;
}

void Session::readStock()
{
    arguments.fileName(fileName, DEFAULT_FILE, true);
    if (!arguments.lineEnds() || !starts(fileName)) {
        return;
    }
    if (storeOwns(NOT_LOADED)) {
        refusals.stopScript("the stock file " + fileName + " was not loaded");
        return;
    }
    const LoadReport report =
        ReadFile(fileName, table, options.stopRequested);
    if (!report.read) {
        refusals.stopScript("the stock file " + fileName + " was not loaded");
    } else if (options.atTerminal) {
        tellLoad(report);
    }
}

// A command that writes a file takes its name from its own line only,
// never from the next line or an earlier command.
void Session::saveStock()
{
    arguments.fileName(fileName, DEFAULT_FILE, false);
    if (!arguments.lineEnds() || !starts(fileName)) {
        return;
    }
    if (storeOwns(STOCK_NOT_SAVED) || !SaveFile(fileName, table)) {
        refusals.stopScript("the stock was not saved whole to " + fileName);
        return;
    }
    unsaved = false;
}

void Session::generateProducts()
{
    std::uint32_t count = 0;
    if (!arguments.number(count, "n", "products") || !arguments.lineEnds() ||
        !starts(count)) {
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

void Session::testEfficiency()
{
    std::uint32_t repeats = 0;
    if (!arguments.number(size, "n", "products") ||
        !arguments.number(repeats, "r", "repeats") || !arguments.lineEnds() ||
        !starts(size, repeats)) {
        return;
    }
    efficiencyTest(table, size, repeats, baseline, options.stopRequested);
}

// H takes what it shows from its own line: a product's id, a count of
// commands, or a day; alone, the last commands. A clerk sees the newest
// first, a screen at a time; a script, all of it, oldest first.
void Session::showHistory()
{
    std::string word;
    const bool worded = arguments.ownLineWord(word);
    if (!arguments.lineEnds() || !(worded ? starts(word) : starts())) {
        return;
    }
    HistoryRequest request;
    std::uint32_t count = 0;
    std::string none = "No history yet.";
    if (!worded) {
        request.commands = options.atTerminal ? screens.lines() : LAST_COMMANDS;
    } else if (parseWholeNumber(word, count) == NumberRead::Done &&
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
void Session::historyScreen(HistoryRequest request, const std::string& none,
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
        screens.show(std::move(lines), 0, "H YYYY-MM-DD shows one day");
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
    request.commands = screens.lines();
    screens.offerNext("older commands", "H YYYY-MM-DD shows one day",
                      [this, request, none] {
                          if (reopen(Store::Access::History)) {
                              historyScreen(request, none, true);
                          }
                      });
}

// L lists what matches the rest of its own line, or everything; a clerk
// sees one screen of it, and the next on Enter.
void Session::listProducts()
{
    std::string text;
    arguments.restOfLine(text);
    if (!(text.empty() ? starts() : starts(text))) {
        return;
    }
    listScreen(text, nullptr);
}

/// A screen of the products that match text, after the id after, or from
/// the first. A clerk's text matches letters of any script, a script's
/// ASCII letters only, as it always has.
void Session::listScreen(const std::string& text, const std::string* after)
{
    ListRequest request{text, CaselessSearch::Letters::Ascii, screens.lines(),
                        after};
    if (options.atTerminal) {
        request.letters = CaselessSearch::Letters::All;
    }
    ListRest rest = listStock(table, request);
    if (rest.more == 0) {
        return;
    }
    // By id, not by position: the next screen starts after the last id
    // shown, whatever others added or took away meanwhile, which a stored
    // stock catches up with first.
    screens.offerNext(std::to_string(rest.more) + " more", "L text narrows it",
                      [this, text, last = std::move(rest.lastId)] {
                          if (reopen(Store::Access::Reads)) {
                              listScreen(text, &last);
                          }
                      });
}

/// At a terminal, help and ? list the commands, one a line.
void Session::showHelp()
{
    if (!arguments.lineEnds()) {
        return;
    }
    for (const std::string& line : commandHelpLines(true)) {
        printLine(line);
    }
}
