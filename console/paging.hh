// Output a screen at a time for a clerk at a terminal: how many lines fit,
// and the next screen kept for Enter on an empty line.
#ifndef WAREHOUSE_CONSOLE_PAGING_HH
#define WAREHOUSE_CONSOLE_PAGING_HH

#include "console/console.hh"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class Screens {
public:
    explicit Screens(const ConsoleOptions& options) : options(options) {}

    /// The lines of output that fit one screen: its rows less the typed
    /// line, the echo, the line that tells of more, and the next prompt.
    /// 0, no limit, in a script.
    std::size_t lines() const;

    /// Shows lines from first on, a screen at a time; narrowing hints how
    /// to see fewer.
    void show(std::vector<std::string> lines, std::size_t first,
              std::string_view narrowing);

    /// Ends a screen that output was cut short at: says how many more there
    /// are, with a hint of how to narrow them, and keeps next for an empty
    /// line to show the next screen with.
    void offerNext(std::string_view more, std::string_view narrowing,
                   std::function<void()> next);

    /// How to show the next screen, or nothing; forgotten as it is taken:
    /// any line but an empty one drops it.
    std::function<void()> takeNext();

private:
    const ConsoleOptions& options;
    // How to show the next screen of output that the last line cut short;
    // empty when it was not.
    std::function<void()> next;
};

#endif
