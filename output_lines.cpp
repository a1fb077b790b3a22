#include "output_lines.hh"

#include <cerrno>
#include <iostream>

namespace {

int firstOutputError = 0;

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
    std::streambuf& out = *std::cout.rdbuf();
    const auto size = static_cast<std::streamsize>(text.size());
    errno = 0;
    if (out.sputn(text.data(), size) != size || out.pubsync() == -1) {
        firstOutputError = errno != 0 ? errno : EIO;
    }
}

int outputError()
{
    return firstOutputError;
}
