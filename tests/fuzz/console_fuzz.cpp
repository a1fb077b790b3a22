// Feeds arbitrary bytes to the command loop, with a fresh table per input,
// read as a clerk's lines or as a script.
// Inputs that could ask for much work or read or write outside the working
// folder are skipped, so that no input is slow or unsafe by design.
#include "tests/fuzz/fuzz_support.hh"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace {

// The most work an input may ask of "G", "P" and "R" together: products
// generated, plus five for each repeat of the efficiency test, for every
// repeat; and for each "R" and "P" the file it reads (the stock file, the
// process status). Chains only grow, so many small requests cost as much as
// one large one.
constexpr std::uint64_t WORK_LIMIT = 48;
constexpr std::uint64_t FILE_READ_WORK = 8;

bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The word starting at the first non-space byte from position on; position
// moves past it.
std::string_view nextWord(std::string_view text, std::size_t& position)
{
    while (position < text.size() && isSpace(text[position])) {
        ++position;
    }
    const std::size_t start = position;
    while (position < text.size() && !isSpace(text[position])) {
        ++position;
    }
    return text.substr(start, position - start);
}

// The number at position, read the way the console reads numbers: white
// space skipped, an optional '+', then digits up to the first non-digit,
// which the next number may follow directly ("6+2149" is 6, then 2149).
// Held at just above the limit; 0 when there is none. position moves past
// it.
std::uint64_t readNumber(std::string_view text, std::size_t& position)
{
    while (position < text.size() && isSpace(text[position])) {
        ++position;
    }
    if (position < text.size() && text[position] == '+') {
        ++position;
    }
    std::uint64_t value = 0;
    for (; position < text.size() && text[position] >= '0' &&
           text[position] <= '9';
         ++position) {
        value = value * 10 + static_cast<std::uint64_t>(text[position] - '0');
        value = value > WORK_LIMIT ? WORK_LIMIT + 1 : value;
    }
    return value;
}

// Any "G", "P", "R" or "W" the console could take as a command ends where
// white space or the input ends; checking every such letter, wherever it
// stands, covers every command the console will run.
bool isSafe(std::string_view input)
{
    std::uint64_t work = 0;
    std::uint64_t size = 0;  // the largest size "P" may be holding
    for (std::size_t i = 0; i < input.size() && work <= WORK_LIMIT; ++i) {
        const char letter = input[i];
        if (i + 1 < input.size() && !isSpace(input[i + 1])) {
            continue;  // not a word of its own
        }
        std::size_t position = i + 1;
        if (letter == 'W') {
            // A save costs a dozen system calls and a sync; save_load_fuzz
            // covers what it writes.
            return false;
        }
        if (letter == 'R') {
            if (nextWord(input, position).find('/') != std::string_view::npos) {
                return false;
            }
            work += FILE_READ_WORK;
        }
        if (letter == 'G') {
            work += readNumber(input, position);
        }
        if (letter == 'P') {
            // A size that cannot be read keeps the last one.
            size = std::max(size, readNumber(input, position));
            work += (size + 5) * readNumber(input, position) + FILE_READ_WORK;
        }
    }
    return work <= WORK_LIMIT;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    static const bool discarding = (discardOutput(), true);
    (void)discarding;
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (!isSafe(input)) {
        return -1;  // keep it out of the corpus
    }
    // The first byte also picks how the console reads: as a clerk's lines
    // at a terminal, or as a script, strict or not.
    ConsoleOptions options;
    if (size > 0) {
        options.atTerminal = (data[0] & 1) != 0;
        options.strict = (data[0] & 2) != 0;
    }
    std::istringstream in(input);
    FreshTable fresh;
    runConsole(in, fresh.table, 0, options);
    return 0;
}
