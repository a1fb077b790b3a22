// Feeds arbitrary bytes to the stock file reader as a file's contents.
#include "fuzz_support.hh"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    static const bool discarding = (discardOutput(), true);
    (void)discarding;
    std::istringstream stock(
        std::string(reinterpret_cast<const char*>(data), size));
    FreshTable fresh;
    readStockLines(stock, fresh.table);
    // Every live product must be countable and found again.
    if (fresh.table.count() > size) {
        __builtin_trap();
    }
    return 0;
}
