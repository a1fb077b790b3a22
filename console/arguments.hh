// A command's arguments as the console reads them: a script's words
// wherever they are, as they always have been, or a clerk's line, and a
// strict script's, checked whole; and how a command that is not run is
// told.
#ifndef WAREHOUSE_CONSOLE_ARGUMENTS_HH
#define WAREHOUSE_CONSOLE_ARGUMENTS_HH

#include "console/console.hh"

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

/// How a command that is not run is told. A clerk at a terminal gets a
/// reply that names the problem and the command's form ("Not run: ...
/// Form: F id"); a strict script stops at the first command refused, with
/// a reason that names its input line; a plain script goes on.
class Refusals {
public:
    explicit Refusals(const ConsoleOptions& options) : options(options) {}

    /// The command read next is on this input line, which a strict
    /// script's reason names.
    void atInputLine(std::uint64_t inputLine) { commandLine = inputLine; }

    /// A command starts: its form, which replies show.
    void commandStarts(std::string_view form) { commandForm = form; }

    std::string_view form() const { return commandForm; }

    /// Refuses the command, at a terminal with a reply, in a strict script
    /// by stopping it. Returns false: the command does not run.
    bool notRun(const std::string& problem);

    /// In a strict script, stops the run at the command's line, for why.
    /// Returns false: the command does not run.
    bool stopScript(const std::string& why);

    /// Why a strict script stopped, naming its line; empty while it goes on.
    const std::string& stopReason() const { return reason; }

private:
    const ConsoleOptions& options;
    std::string_view commandForm;   // the running command's
    std::uint64_t commandLine = 0;  // its input line, in a strict script
    std::string reason;
};

/// Reads the running command's arguments from its input: a script's from
/// the words that follow, wherever they are; a clerk's and a strict
/// script's from the command's own line, which must hold every argument and
/// nothing more. Each reader returns false, the refusal told, when the
/// command must not run.
///
/// A script's arguments are read as they always have been: an argument the
/// input ends before keeps the value the last command left in it; a
/// malformed number is "Invalid number." and drops the rest of its line.
class Arguments {
public:
    Arguments(const ConsoleOptions& options, Refusals& refusals)
        : options(options), refusals(refusals)
    {
    }

    /// From now on arguments come from in: the script, or the line typed.
    void readFrom(std::istream& input) { in = &input; }
    std::istream& input() const { return *in; }

    /// A clerk's line, and a strict script's, is one whole command, checked
    /// whole before it runs; a script's commands are words wherever they
    /// are.
    bool wholeLines() const { return options.atTerminal || options.strict; }

    /// A word argument, what names it in a reply ("the id").
    bool word(std::string& value, std::string_view what);

    /// A number argument, of unit, such as "units". A clerk types plain
    /// digits; a script's numbers are read as they always have been.
    bool number(std::uint32_t& value, std::string_view what,
                std::string_view unit);

    /// A's name: the rest of the line after the one character that follows
    /// the amount. A clerk's line must hold one.
    bool name(std::string& value);

    /// The word on the command's own line, if there is one: never one from
    /// the next line.
    bool ownLineWord(std::string& value);

    /// The file a command names, or fallback when it names none. A script's
    /// R takes the fallback when the line ends right after it, and the next
    /// word otherwise, wherever it is; every other, and a clerk's R, takes
    /// it from its own line only.
    void fileName(std::string& value, const std::string& fallback,
                  bool fromNextWord);

    /// The rest of the command's own line, without the blanks around it.
    void restOfLine(std::string& value);

    /// At a terminal, nothing may follow the command's arguments.
    bool lineEnds();

private:
    /// An argument the input ended before: a script's command runs with the
    /// value the last command left, unless the script is strict.
    bool inputEnded(std::string_view what);
    bool scriptNumber(std::uint32_t& value, std::string_view what);

    const ConsoleOptions& options;
    Refusals& refusals;
    std::istream* in = nullptr;
};

/// Text without the blanks and carriage returns around it.
std::string_view trimmed(std::string_view text);

#endif
