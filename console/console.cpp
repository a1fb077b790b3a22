// The command console: the loop that prompts, reads, echoes and runs each
// command, and the steps every command takes before it runs.
#include "console/console.hh"

#include "console/console_input.hh"
#include "console/session.hh"
#include "util/memory_reserve.hh"
#include "util/output_lines.hh"

#include <new>
#include <sstream>

namespace {

constexpr std::string_view OUT_OF_MEMORY = "Out of memory: command stopped.";
constexpr std::string_view UNKNOWN_COMMAND = "Unknown command: ";
constexpr std::string_view UNSAVED_CHANGES =
    "The stock has changes that are not saved: W saves them; Q or Ctrl-D "
    "again quits without saving.";
constexpr std::string_view MAY_ONLY_READ =
    "Not run: this login may only read the stock.";

/// The closing line of every run, as the command that quits is typed.
constexpr std::string_view QUIT = "Q";

}  // namespace

Session::Session(Datastructure& table, std::uint64_t baseline,
                 ConsoleOptions options)
    : table(table), baseline(baseline), options(std::move(options))
{
    // At a terminal without a store, the console watches the stock for
    // changes that no save has covered.
    if (this->options.atTerminal && this->options.store == nullptr) {
        table.watch([this](const std::string*, std::uint32_t, std::uint32_t) {
            unsaved = true;
        });
    }
}

Session::~Session()
{
    if (options.atTerminal && options.store == nullptr) {
        table.watch({});  // a store's watcher is the store's to end
    }
}

bool Session::runNext(std::istream& input)
{
    return arguments.wholeLines() ? runTypedLine(input)
                                  : runScriptCommand(input);
}

bool Session::runScriptCommand(std::istream& input)
{
    arguments.readFrom(input);
    if (!readWord(input, commandWord) || commandWord == QUIT) {
        return false;
    }
    run(commandWord);
    return true;
}

bool Session::runTypedLine(std::istream& input)
{
    std::string typed;
    std::istringstream line;
    bool worded = false;
    std::uint64_t inputLine = 0;
    // A clerk's empty line gets a fresh prompt; a script's is passed over,
    // as a script's blank lines always were.
    do {
        if (options.strict && options.inputLine) {
            inputLine = options.inputLine();
        }
        readRestOfLine(input, typed);
        if (input.fail() && typed.empty()) {
            return false;  // the end of input, or Ctrl-D on an empty line
        }
        line.clear();
        line.str(typed);
        worded = readWord(line, commandWord);
    } while (!worded && !options.atTerminal && input.good());
    arguments.readFrom(line);
    refusals.atInputLine(inputLine);
    refusals.commandStarts(commandWord);
    std::function<void()> next = screens.takeNext();
    if (!worded && !options.atTerminal) {
        return false;  // a script that ends in blank lines
    }
    if (!worded) {
        if (next) {
            next();
        }
        return true;  // nothing typed
    }
    // A strict script quits at the words a clerk quits with, too.
    const Command* command = findCommand(commandWord, true);
    if (command != nullptr && command->quits) {
        emptyAsked = false;  // a line in between takes E's question back
        return !arguments.lineEnds();
    }
    run(commandWord);
    return true;
}

// Unknown words, lower-case letters included, do nothing in a script.
void Session::run(const std::string& word)
{
    emptyConfirmed = emptyAsked;
    emptyAsked = false;
    running = findCommand(word, options.atTerminal);
    if (running == nullptr || running->run == nullptr) {
        refuse(word);
        return;
    }
    refusals.commandStarts(running->form.empty() ? std::string_view(word)
                                                 : running->form);
    (this->*running->run)();
}

bool Session::loginMayRun() const
{
    return options.store == nullptr ||
           running->access != Store::Access::Changes ||
           options.store->mayChange();
}

bool Session::refuseReadOnly()
{
    printLine(MAY_ONLY_READ);
    return refusals.stopScript("this login may only read the stock");
}

bool Session::beginTransaction()
{
    return reopen(running->access);
}

bool Session::reopen(Store::Access access)
{
    Store* const store = options.store;
    if (store == nullptr || store->begin(access)) {
        return true;
    }
    if (!store->failed()) {
        printLine(store->refusal());
    }
    return false;
}

void Session::noteCommand(std::string_view echoed)
{
    if (options.store != nullptr) {
        options.store->commandRuns(echoed.substr(0, echoed.size() - 1),
                                   running->changes);
    }
}

bool Session::storeAsNeeded()
{
    const bool hasStore = options.store != nullptr;
    if ((running->store == StoreUse::Needed && !hasStore) ||
        (running->store == StoreUse::Refused && hasStore) ||
        (running->store == StoreUse::OwnerOnly && hasStore &&
         !options.store->mayOwn())) {
        printLine(running->storeLine);
        return false;
    }
    return true;
}

void Session::refuse(const std::string& word)
{
    if (options.atTerminal) {
        printLine(UNKNOWN_COMMAND, word, ". Commands: ", commandWords(),
                  " (upper case); help explains them.");
        return;
    }
    refusals.stopScript("'" + word + "' is not a command");
}

std::string runConsole(std::istream& in, Datastructure& table,
                       std::uint64_t baseline, ConsoleOptions options)
{
    Session session{table, baseline, std::move(options)};
    const ConsoleOptions& mode = session.mode();
    bool warned = false;  // the last command was a quit held back
    for (;;) {
        if (!mode.atTerminal) {
            printFlushed(PROMPT);  // no line end: the echo completes the line
        }
        session.stopRequested();  // a Ctrl-C from before this command
        bool goOn = true;
        try {
            goOn = session.runNext(in);
        } catch (const std::bad_alloc&) {
            // Each change to the table is whole or not made, so the stock
            // is sound: what the command did before it ran out stays.
            printLine(OUT_OF_MEMORY);
            MemoryReserve::take();
        }
        if (!goOn) {
            // At a terminal, the first Q or Ctrl-D with unsaved changes
            // only warns; the next, right after it, quits.
            if (!session.unsaved || warned || in.bad()) {
                break;
            }
            printLine(UNSAVED_CHANGES);
            warned = true;
            in.clear();
            continue;
        }
        warned = false;
        if (in.eof() || outputError() != 0 || session.storeFailed() ||
            !session.stopReason().empty()) {
            break;
        }
    }
    if (session.stopReason().empty()) {
        printLine(QUIT);
    }
    return session.stopReason();
}
