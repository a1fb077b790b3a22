// Where the console's commands come from: a descriptor read in blocks.
#ifndef WAREHOUSE_CONSOLE_INPUT_HH
#define WAREHOUSE_CONSOLE_INPUT_HH

#include <array>
#include <streambuf>

/// A read-only stream buffer over a file descriptor that reads in large
/// blocks. A read error ends the input like the end of the file does, and is
/// kept for the caller to report: the standard buffers would throw from deep
/// inside a read instead.
class BlockInput : public std::streambuf {
public:
    explicit BlockInput(int descriptor) : descriptor(descriptor) {}

    /// The errno of the read that failed, or 0 while none has.
    int error() const { return readError; }

protected:
    int_type underflow() override;

private:
    int descriptor;
    int readError = 0;
    std::array<char, 1 << 16> block;  // bytes between eback() and egptr()
};

#endif
