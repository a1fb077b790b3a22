// Feeds arbitrary bytes to the stock file reader as a file's contents.
#include "tests/fuzz/fuzz_support.hh"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    static const bool discarding = (discardOutput(), true);
    (void)discarding;
    FreshTable fresh;
    readStockText(std::string_view(reinterpret_cast<const char*>(data), size),
                  fresh.table);
    // Every product in stock is counted and found again as it was stored.
    static std::ostringstream found;
    std::streambuf* discarded = std::cout.rdbuf(found.rdbuf());
    std::uint64_t visited = 0;
    fresh.table.forEachProduct(
        [&](const std::string& id, const std::string& shelf,
            std::uint32_t amount, const std::string& name) {
            ++visited;
            found.str("");
            fresh.table.find(id);
            if (found.str() !=
                name + ' ' + std::to_string(amount) + ' ' + shelf + '\n') {
                __builtin_trap();
            }
        });
    std::cout.rdbuf(discarded);
    if (visited != fresh.table.count() || visited > size) {
        __builtin_trap();
    }
    return 0;
}
