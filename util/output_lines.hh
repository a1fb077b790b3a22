// Result lines on standard output: each assembled whole, then written and
// flushed at once.
#ifndef WAREHOUSE_OUTPUT_LINES_HH
#define WAREHOUSE_OUTPUT_LINES_HH

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

// Every result is one line on standard output, flushed as soon as it is
// complete, so that a clerk or a script reading the transcript sees it at
// once. A line is assembled first and handed to the stream's buffer in one
// call, which costs less than a call per part, and leaves it in one write.

/// A line part printed after a space, as echoed arguments are.
template <typename T> struct Spaced {
    const T& value;
};

namespace detail {

/// True once showControlBytes() was called: text parts are then shown with
/// their control bytes written out.
extern bool controlBytesShown;

/// Appends text to line with each control byte that a terminal would act
/// on written as \xNN: C0 (line feed, carriage return and escape among
/// them), DEL, the C1 range whether encoded in UTF-8 or not.
void appendShown(std::string& line, std::string_view text);

/// The one buffer lines are assembled in, reused so that printing a line
/// allocates nothing.
std::string& lineBuffer();

template <typename Part> void appendPart(std::string& line, const Part& part)
{
    if constexpr (std::is_same_v<Part, char>) {
        line += part;
    } else if constexpr (std::is_integral_v<Part>) {
        static_assert(std::is_unsigned_v<Part>, "amounts are unsigned");
        char digits[20];
        line.append(digits,
                    std::to_chars(digits, digits + sizeof digits, part).ptr);
    } else if (controlBytesShown) {
        appendShown(line, std::string_view(part));
    } else {
        line.append(std::string_view(part));
    }
}

template <typename T> void appendPart(std::string& line, const Spaced<T>& part)
{
    line += ' ';
    appendPart(line, part.value);
}

}  // namespace detail

/// From now on, the text parts of lines that formatLine() assembles show
/// each control byte as \xNN, so that an id, a name or a command, wherever
/// it came from, cannot move the cursor, rewrite a line or retitle the
/// window of the clerk who reads it. For a terminal only: a script's
/// output keeps every byte as stored. Characters and numbers, which are
/// the program's own, are left alone, as is each line's own line break.
void showControlBytes();

/// Whether showControlBytes() was called.
bool controlBytesShownAtTerminal();

/// Writes text as showControlBytes() makes a line show it.
std::string shownText(std::string_view text);

/// Hands text to standard output's buffer and flushes it, in one write as
/// far as the buffer allows. Once a write has failed, nothing more is
/// written: the caller finishes what it is doing, cleans up, and ends the
/// run when it sees outputError().
void printFlushed(std::string_view text);

/// Assembles one line made of the parts (texts, characters, unsigned
/// numbers in decimal, Spaced parts) and a line break, in a buffer that the
/// next line reuses.
template <typename... Parts> std::string_view formatLine(const Parts&... parts)
{
    std::string& line = detail::lineBuffer();
    line.clear();
    (detail::appendPart(line, parts), ...);
    line += '\n';
    return line;
}

/// Assembles one line as formatLine() does, with every byte of its parts as
/// given whatever showControlBytes() asked: what is kept, not shown.
template <typename... Parts>
std::string_view formatKeptLine(const Parts&... parts)
{
    const bool shown = detail::controlBytesShown;
    detail::controlBytesShown = false;
    const std::string_view line = formatLine(parts...);
    detail::controlBytesShown = shown;
    return line;
}

/// Prints one line made of the parts, as formatLine() assembles it, and
/// flushes it.
template <typename... Parts> void printLine(const Parts&... parts)
{
    printFlushed(formatLine(parts...));
}

/// From now on, lines are kept back instead of written, until
/// releaseOutput(): a stored stock shows a change only once it is on disk.
/// Room for the lines is had now, so that keeping them back allocates
/// nothing until heldOutputFull().
void holdOutput();

/// Writes the lines kept back, in one write as far as the buffer allows.
/// Returns false when standard output has failed.
bool releaseOutput();

/// Drops the lines kept back: they told of what, in the end, did not
/// happen.
void discardHeldOutput();

/// The lines kept back, taken out of the way until it is known whether what
/// they tell happened.
std::string takeHeldOutput();

/// True once more than a mebibyte is kept back: time to release it, rather
/// than keep more.
bool heldOutputFull();

/// The errno of the first write to standard output that failed, or 0 while
/// none has: a transcript with lines missing must not pass for a finished
/// run.
int outputError();

#endif
