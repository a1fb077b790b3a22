// Feeds arbitrary bytes to the command loop, with a fresh table per input.
// Inputs that could ask for much work or read or write outside the working
// folder are skipped, so that no input is slow or unsafe by design.
#include "fuzz_support.hh"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace {

// The most products "G" and "P" may be asked for, and the most repeats.
constexpr std::uint64_t WORK_LIMIT = 8;

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

// True when the word begins with a number above the limit, read the way the
// console reads numbers.
bool asksTooMuch(std::string_view word)
{
    std::size_t i = !word.empty() && word[0] == '+' ? 1 : 0;
    std::uint64_t value = 0;
    for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(word[i] - '0');
        if (value > WORK_LIMIT) {
            return true;
        }
    }
    return false;
}

bool namesAFile(char letter)
{
    return letter == 'R' || letter == 'W';
}

// Any "G", "P", "R" or "W" the console could take as a command ends where
// white space or the input ends; checking every such letter, wherever it
// stands, covers every command the console will run.
bool isSafe(std::string_view input)
{
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char letter = input[i];
        if ((letter != 'G' && letter != 'P' && !namesAFile(letter)) ||
            (i + 1 < input.size() && !isSpace(input[i + 1]))) {
            continue;
        }
        std::size_t position = i + 1;
        const std::string_view first = nextWord(input, position);
        if (namesAFile(letter) && first.find('/') != std::string_view::npos) {
            return false;
        }
        // A save costs a dozen system calls and a sync; save_load_fuzz
        // covers what it writes.
        if (letter == 'W') {
            return false;
        }
        if (!namesAFile(letter) && asksTooMuch(first)) {
            return false;
        }
        if (letter == 'P' && asksTooMuch(nextWord(input, position))) {
            return false;
        }
    }
    return true;
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
    std::istringstream in(input);
    FreshTable fresh;
    runConsole(in, fresh.table, 0);
    return 0;
}
