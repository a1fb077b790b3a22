// Output a screen at a time at a terminal, and the next screen on Enter.
#include "console/paging.hh"

#include "util/output_lines.hh"

#include <algorithm>

std::size_t Screens::lines() const
{
    if (!options.atTerminal || !options.screenRows) {
        return 0;
    }
    return std::max<std::size_t>(options.screenRows(), 8) - 4;
}

void Screens::show(std::vector<std::string> lines, std::size_t first,
                   std::string_view narrowing)
{
    const std::size_t limit = this->lines();
    std::size_t shown = 0;
    for (; first < lines.size() && (limit == 0 || shown < limit);
         ++first, ++shown) {
        printLine(lines[first]);
    }
    if (first == lines.size()) {
        return;
    }
    const std::size_t more = lines.size() - first;
    offerNext(std::to_string(more) + " more", narrowing,
              [this, lines = std::move(lines), first, narrowing]() mutable {
                  show(std::move(lines), first, narrowing);
              });
}

void Screens::offerNext(std::string_view more, std::string_view narrowing,
                        std::function<void()> then)
{
    printLine("... ", more, "; Enter shows the next screen, ", narrowing, '.');
    next = std::move(then);
}

std::function<void()> Screens::takeNext()
{
    std::function<void()> taken = std::move(next);
    next = nullptr;
    return taken;
}
