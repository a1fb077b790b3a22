// A line on standard error that shows how far long work has got, for a clerk
// watching at a terminal.
#ifndef WAREHOUSE_PROGRESS_HH
#define WAREHOUSE_PROGRESS_HH

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

/// Tells whether the clerk asked the running command to stop, forgetting
/// the request as it tells: long work asks now and then.
using StopCheck = std::function<bool()>;

/// Work of a known number of steps. Once it has run for half a second, a
/// line "what: 42%" on standard error shows the share done, at most ten
/// times a second, and is erased when the work ends, so that the screen
/// reads as before. Shows nothing unless showAtTerminal() was called.
class Progress {
public:
    /// Progress lines are shown from now on: standard error is a terminal
    /// that someone watches.
    static void showAtTerminal();

    /// Whether progress lines are shown: work that must count its steps
    /// first need not, when not.
    static bool showing() { return shown; }

    Progress(std::string_view what, std::uint64_t total);
    ~Progress() { end(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    /// Notes that done of the steps are done. Costs a count and a test: the
    /// clock is read once in 4096 calls.
    void at(std::uint64_t done)
    {
        if (shown && (++calls & 4095) == 0) {
            update(done);
        }
    }

    /// Erases the line, if one is shown, before the work's own output.
    void end();

private:
    using Clock = std::chrono::steady_clock;

    void update(std::uint64_t done);

    static inline bool shown = false;
    std::string what;
    std::uint64_t total;
    std::uint32_t calls = 0;
    Clock::time_point start;
    Clock::time_point lastShown;
    bool lineOnScreen = false;
};

/// A wait for someone else, such as a lock another run holds. Once it has
/// lasted a second, a line "what (N s)" on standard error says so, and is
/// erased when the wait ends. Shows nothing unless
/// Progress::showAtTerminal() was called.
class WaitNotice {
public:
    /// what, a text that outlives the notice, says what is waited for.
    explicit WaitNotice(std::string_view what);
    ~WaitNotice();
    WaitNotice(const WaitNotice&) = delete;
    WaitNotice& operator=(const WaitNotice&) = delete;

    /// Called now and then while the wait goes on; shows or updates the
    /// line when it is due.
    void tick();

private:
    std::string_view what;
    std::chrono::steady_clock::time_point start;
    long shownSeconds = 0;  // the seconds the line shows; 0 while none
};

#endif
