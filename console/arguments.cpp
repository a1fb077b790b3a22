// A command's arguments read from a script or a clerk's line, and the
// refusals of commands that are not run.
#include "console/arguments.hh"

#include "console/console_input.hh"
#include "util/numbers.hh"
#include "util/output_lines.hh"

#include <algorithm>
#include <limits>

namespace {

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

bool allDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return isDigit(c); });
}

}  // namespace

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool Refusals::notRun(const std::string& problem)
{
    if (options.atTerminal) {
        printLine(NOT_RUN, problem, FORM, commandForm);
        return false;
    }
    return stopScript(problem + " (" + std::string(commandForm) + ")");
}

bool Refusals::stopScript(const std::string& why)
{
    if (options.strict && reason.empty()) {
        reason = "input line " + std::to_string(commandLine) + ": " + why;
    }
    return false;
}

bool Arguments::inputEnded(std::string_view what)
{
    if (!options.strict || in->bad()) {
        return true;  // a read error is told, and stops the command, later
    }
    return refusals.notRun("the input ends before " + std::string(what));
}

bool Arguments::word(std::string& value, std::string_view what)
{
    if (readWord(*in, value)) {
        return true;
    }
    return wholeLines() ? refusals.notRun(std::string(what) + " is missing")
                        : inputEnded(what);
}

bool Arguments::number(std::uint32_t& value, std::string_view what,
                       std::string_view unit)
{
    if (!wholeLines()) {
        return scriptNumber(value, what);
    }
    std::string typed;
    if (!readWord(*in, typed)) {
        return refusals.notRun(std::string(what) + " is missing");
    }
    if (parseWholeNumber(typed, value) == NumberRead::Done) {
        return true;
    }
    if (allDigits(typed)) {
        return refusals.notRun("'" + typed + "' is more " + std::string(unit) +
                               " than 4294967295");
    }
    return refusals.notRun("'" + typed + "' is not a whole number of " +
                           std::string(unit));
}

/// A script's number. At the end of input value keeps what it held. A
/// malformed number is reported, the rest of its input line dropped, and
/// the command does not run.
bool Arguments::scriptNumber(std::uint32_t& value, std::string_view what)
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
    return refusals.notRun("an invalid number for " + std::string(what));
}

bool Arguments::name(std::string& value)
{
    skipCharacter(*in);  // the separator before the name, whatever it is
    readRestOfLine(*in, value);
    if (!in->fail()) {
        return true;
    }
    return wholeLines() ? refusals.notRun("the name is missing")
                        : inputEnded("the name");
}

bool Arguments::ownLineWord(std::string& value)
{
    if (atLineEnd(*in)) {
        return false;
    }
    readWord(*in, value);
    return true;
}

void Arguments::fileName(std::string& value, const std::string& fallback,
                         bool fromNextWord)
{
    if (wholeLines() || !fromNextWord) {
        if (!ownLineWord(value)) {
            value = fallback;
        }
        return;
    }
    const int next = in->peek();
    if (next == '\n' || next == '\r') {
        value = fallback;
    } else {
        readWord(*in, value);  // at the end of input, the last name stays
    }
}

void Arguments::restOfLine(std::string& value)
{
    value.clear();
    if (!atLineEnd(*in)) {
        readRestOfLine(*in, value);
        value = trimmed(value);
    }
}

bool Arguments::lineEnds()
{
    if (!wholeLines() || atLineEnd(*in)) {
        return true;
    }
    std::string rest;
    readRestOfLine(*in, rest);
    return refusals.notRun("'" + std::string(trimmed(rest)) + "' is left over");
}
