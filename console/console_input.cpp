// Standard input read in blocks, and words and lines read straight from a
// stream's buffer.
#include "console/console_input.hh"

#include "util/numbers.hh"

#include <unistd.h>

#include <cerrno>

namespace {

constexpr int END = std::char_traits<char>::eof();

}  // namespace

BlockInput::int_type BlockInput::underflow()
{
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    if (readError != 0) {
        return traits_type::eof();
    }
    if (beforeRead && !beforeRead()) {
        // The run is over: a command that this read would have completed
        // must not run on what it has.
        if (reader != nullptr) {
            reader->setstate(std::ios::badbit);
        }
        return traits_type::eof();
    }
    ssize_t got = 0;
    do {
        got = ::read(descriptor, block.data(), block.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        readError = errno;
        if (reader != nullptr) {
            reader->setstate(std::ios::badbit);
        }
    }
    if (got <= 0) {
        return traits_type::eof();
    }
    if (countingLines && counted != nullptr) {
        countLinesUpTo(egptr());  // the block about to be replaced
    }
    setg(block.data(), block.data(), block.data() + got);
    counted = block.data();
    return traits_type::to_int_type(*gptr());
}

void BlockInput::countLinesUpTo(const char* end)
{
    for (const char* c = counted; c != end; ++c) {
        lineBreaks += *c == '\n';
    }
    counted = end;
}

std::uint64_t BlockInput::lineNumber()
{
    if (counted != nullptr) {
        countLinesUpTo(gptr());
    }
    return lineBreaks + 1;
}

bool readWord(std::istream& in, std::string& word)
{
    if (!in.good()) {
        in.setstate(std::ios::failbit);
        return false;
    }
    std::streambuf& buffer = *in.rdbuf();
    int c = buffer.sgetc();
    while (c != END && isSpace(c)) {
        c = buffer.snextc();
    }
    if (c == END) {
        in.setstate(std::ios::eofbit | std::ios::failbit);
        return false;
    }
    word.clear();
    do {
        word += static_cast<char>(c);
        c = buffer.snextc();
    } while (c != END && !isSpace(c));
    if (c == END) {
        in.setstate(std::ios::eofbit);
    }
    return true;
}

void readRestOfLine(std::istream& in, std::string& line)
{
    if (!in.good()) {
        in.setstate(std::ios::failbit);
        return;
    }
    std::streambuf& buffer = *in.rdbuf();
    line.clear();
    for (int c = buffer.sgetc();; c = buffer.snextc()) {
        if (c == END) {
            in.setstate(line.empty() ? std::ios::eofbit | std::ios::failbit
                                     : std::ios::eofbit);
            return;
        }
        if (c == '\n') {
            buffer.sbumpc();
            return;
        }
        line += static_cast<char>(c);
    }
}

void skipCharacter(std::istream& in)
{
    if (!in.good()) {
        in.setstate(std::ios::failbit);
        return;
    }
    if (in.rdbuf()->sbumpc() == END) {
        in.setstate(std::ios::eofbit | std::ios::failbit);
    }
}

bool atLineEnd(std::istream& in)
{
    if (!in.good()) {
        return true;
    }
    std::streambuf& buffer = *in.rdbuf();
    int c = buffer.sgetc();
    while (c != END && c != '\n' && c != '\r' && isSpace(c)) {
        c = buffer.snextc();
    }
    if (c == END) {
        in.setstate(std::ios::eofbit);
        return true;
    }
    return c == '\n' || c == '\r';
}
