// The progress and wait lines on standard error at a terminal.
#include "util/progress.hh"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// Writes to standard error at once, in one call; a line that cannot be
// written is no loss.
void show(std::string_view text)
{
    [[maybe_unused]] const ssize_t written =
        ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

void Progress::showAtTerminal()
{
    shown = true;
}

Progress::Progress(std::string_view what, std::uint64_t total)
    : what(what), total(total)
{
    if (shown) {
        start = Clock::now();
    }
}

void Progress::end()
{
    if (lineOnScreen) {
        show("\r\x1b[K");  // back to the start of the line, and clear it
        lineOnScreen = false;
    }
}

void Progress::update(std::uint64_t done)
{
    using namespace std::chrono_literals;
    const Clock::time_point now = Clock::now();
    if (now - start < 500ms || (lineOnScreen && now - lastShown < 100ms)) {
        return;
    }
    const unsigned percent =
        total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
    char line[128];
    const int length =
        std::snprintf(line, sizeof line, "\r%.*s: %u%%\x1b[K",
                      static_cast<int>(std::min<std::size_t>(what.size(), 100)),
                      what.c_str(), percent);
    show(std::string_view(
        line, std::min(static_cast<std::size_t>(length), sizeof line - 1)));
    lineOnScreen = true;
    lastShown = now;
}

WaitNotice::WaitNotice(std::string_view what)
    : what(what), start(std::chrono::steady_clock::now())
{
}

WaitNotice::~WaitNotice()
{
    if (shownSeconds > 0) {
        show("\r\x1b[K");
    }
}

void WaitNotice::tick()
{
    if (!Progress::showing()) {
        return;
    }
    const auto waited = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    if (waited < 1 || waited == shownSeconds) {
        return;
    }
    char line[160];
    const int length = std::snprintf(
        line, sizeof line, "\r%.*s (%ld s)\x1b[K",
        static_cast<int>(std::min<std::size_t>(what.size(), 120)),
        what.data(), static_cast<long>(waited));
    show(std::string_view(
        line, std::min(static_cast<std::size_t>(length), sizeof line - 1)));
    shownSeconds = waited;
}
