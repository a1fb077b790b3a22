#include "output_lines.hh"

#include <cerrno>
#include <iostream>

namespace {

int firstOutputError = 0;
bool holding = false;  // lines go to held until they are released

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

int outputError()
{
    return firstOutputError;
}

std::size_t heldOutputBytes()
{
    return held().size();
}
