// Writes a captured console transcript to standard output the way the console
// itself must: one write(2) per prompt and one per line. Its running time is
// the floor that the flush-per-line rule sets for a console run.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view PROMPT = "> ";

bool writeAll(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written =
            ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (written < 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: replay TRANSCRIPT\n";
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    std::string_view rest = text;
    while (!rest.empty()) {
        // A prompt shares its line with the echo that follows it.
        if (rest.substr(0, PROMPT.size()) == PROMPT) {
            if (!writeAll(PROMPT)) {
                return 1;
            }
            rest.remove_prefix(PROMPT.size());
            continue;
        }
        const std::size_t end = rest.find('\n');
        const std::size_t length =
            end == std::string_view::npos ? rest.size() : end + 1;
        if (!writeAll(rest.substr(0, length))) {
            return 1;
        }
        rest.remove_prefix(length);
    }
    return 0;
}
