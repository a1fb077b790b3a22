#include "console_input.hh"

#include <unistd.h>

#include <cerrno>

BlockInput::int_type BlockInput::underflow()
{
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    if (readError != 0) {
        return traits_type::eof();
    }
    ssize_t got = 0;
    do {
        got = ::read(descriptor, block.data(), block.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        readError = errno;
    }
    if (got <= 0) {
        return traits_type::eof();
    }
    setg(block.data(), block.data(), block.data() + got);
    return traits_type::to_int_type(*gptr());
}
