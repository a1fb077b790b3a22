// Where the console's commands come from: a descriptor read in blocks, and
// the readers of words and lines over any input stream.
#ifndef WAREHOUSE_CONSOLE_INPUT_HH
#define WAREHOUSE_CONSOLE_INPUT_HH

#include <cstdint>
#include <functional>
#include <ios>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

/// Called each time before more input is read: the moment to make durable
/// what the commands read so far have done, and to show it. Returning false
/// ends the input there, and a command cut short by it does not run.
using BeforeRead = std::function<bool()>;

/// A read-only stream buffer over a file descriptor that reads in large
/// blocks. A read error ends the input and marks the stream it feeds bad, so
/// that a command it cut short is told from one that met the end of the
/// input; the error is kept for the caller to report. (The standard buffers
/// would throw from deep inside a read instead.)
class BlockInput : public std::streambuf {
public:
    explicit BlockInput(int descriptor) : descriptor(descriptor) {}

    /// The stream to mark bad when a read fails.
    void feeds(std::ios& stream) { reader = &stream; }

    void callBeforeReading(BeforeRead hook) { beforeRead = std::move(hook); }

    /// The errno of the read that failed, or 0 while none has.
    int error() const { return readError; }

    /// From now on, before any input is read, lines are counted.
    void countLines() { countingLines = true; }

    /// The number of the line that the next byte to read is on, from 1,
    /// once countLines() was called. Costs a count of the bytes read since
    /// it was last asked.
    std::uint64_t lineNumber();

protected:
    int_type underflow() override;

private:
    /// Counts the line breaks from counted up to end.
    void countLinesUpTo(const char* end);

    int descriptor;
    int readError = 0;
    std::ios* reader = nullptr;
    BeforeRead beforeRead;
    // Bytes between eback() and egptr(); on the heap, where a block this
    // size does not take the stack a command has.
    std::vector<char> block = std::vector<char>(std::size_t{1} << 18);
    bool countingLines = false;
    std::uint64_t lineBreaks = 0;     // line breaks read before counted
    const char* counted = nullptr;    // the block is counted up to here
};

// Words and lines, read straight from the stream's buffer with the meaning
// the stream's own extractors give them in the "C" locale: no sentry and no
// locale look-up per character. Like the extractors, they do nothing but set
// failbit on a stream that is no longer good, and set eofbit when they reach
// the end of the input.

/// Reads the next word, as in >> word does: white space is skipped and the
/// word ends before the next white space. At the end of input with no word,
/// word keeps its value and false is returned.
bool readWord(std::istream& in, std::string& word);

/// Reads the rest of the line into line, as std::getline does: the line
/// break is taken and dropped. At the end of input with nothing read, line
/// is empty and failbit is set.
void readRestOfLine(std::istream& in, std::string& line);

/// Takes and drops one character, as in.get() does.
void skipCharacter(std::istream& in);

/// Skips the blanks that follow on the current line and tells whether the
/// line, or the input, ends there; the line break itself stays unread.
bool atLineEnd(std::istream& in);

#endif
