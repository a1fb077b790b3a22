// Result lines written and flushed whole, or held back until a commit.
#include "util/output_lines.hh"

#include <cerrno>
#include <iostream>

namespace {

int firstOutputError = 0;
bool holding = false;  // lines go to held until they are released

// Past this many bytes held, heldOutputFull() says so; room for twice as
// many is had at once.
constexpr std::size_t HELD_BOUND = std::size_t{1} << 20;

std::string& held()
{
    static std::string lines;
    return lines;
}

void write(std::string_view text)
{
    std::streambuf& out = *std::cout.rdbuf();
    const auto size = static_cast<std::streamsize>(text.size());
    errno = 0;
    if (out.sputn(text.data(), size) != size || out.pubsync() == -1) {
        firstOutputError = errno != 0 ? errno : EIO;
    }
}

}  // namespace

std::string& detail::lineBuffer()
{
    static std::string line;
    return line;
}

void printFlushed(std::string_view text)
{
    if (firstOutputError != 0) {
        return;  // the lines after a lost one would mislead
    }
    if (holding) {
        held().append(text);
        return;
    }
    write(text);
}

void holdOutput()
{
    held().reserve(2 * HELD_BOUND);
    holding = true;
}

bool releaseOutput()
{
    if (firstOutputError == 0 && !held().empty()) {
        write(held());
    }
    held().clear();
    return firstOutputError == 0;
}

void discardHeldOutput()
{
    held().clear();
}

std::string takeHeldOutput()
{
    std::string lines = held();
    held().clear();
    return lines;
}

int outputError()
{
    return firstOutputError;
}

bool heldOutputFull()
{
    return held().size() > HELD_BOUND;
}
