// Drives a program through a real pseudo-terminal, as a clerk would type at
// it: line editing keys, history, completion, Ctrl-C and Ctrl-D. Every step
// waits for the output it expects, never for a fixed time.
// Usage: terminal_test PROGRAM [GoogleTest options]
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string program;  // the program under test, from the command line

// What a step may wait for its output before the test fails.
constexpr auto PATIENCE = std::chrono::seconds(20);

const std::string GUM = "GUM:31415926:1007:961";
const std::string UNSAVED = "The stock has changes that are not saved";

/// A run of the program on a pseudo-terminal of 80 by 24, in its own folder,
/// which is also its HOME: the program with arguments, or another command
/// that starts it. The environment names variables to set, as NAME=VALUE;
/// WAREHOUSE_HISTORY and XDG_STATE_HOME are unset unless it sets them.
class Terminal {
public:
    explicit Terminal(const std::string& folder,
                      const std::vector<std::string>& environment = {},
                      std::vector<std::string> command = {})
    {
        if (command.empty() || command.front().front() == '-') {
            command.insert(command.begin(), program);
        }
        std::vector<char*> arguments;
        for (std::string& argument : command) {
            arguments.push_back(argument.data());
        }
        arguments.push_back(nullptr);
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        child = forkpty(&master, nullptr, nullptr, &size);
        if (child == 0) {
            if (::chdir(folder.c_str()) != 0) {
                std::_Exit(127);
            }
            ::setenv("TERM", "vt100", 1);
            // Names of several bytes a letter.
            ::setenv("LC_ALL", "C.UTF-8", 1);
            ::setenv("WAREHOUSE_PROGRAM", program.c_str(), 1);
            ::setenv("HOME", folder.c_str(), 1);
            ::unsetenv("WAREHOUSE_HISTORY");
            ::unsetenv("XDG_STATE_HOME");
            for (const std::string& variable : environment) {
                const std::size_t is = variable.find('=');
                ::setenv(variable.substr(0, is).c_str(),
                         variable.c_str() + is + 1, 1);
            }
            ::execvp(arguments[0], arguments.data());
            std::_Exit(127);
        }
    }

    ~Terminal()
    {
        if (child > 0 && status == -1) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        if (master >= 0) {
            ::close(master);
        }
    }

    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    void type(std::string_view keys)
    {
        ASSERT_EQ(::write(master, keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
    }

    /// Reads output until text appears after what earlier waits consumed;
    /// false when it has not appeared in time. The output before it goes
    /// to before, when given.
    bool waitFor(std::string_view text, std::string* before = nullptr)
    {
        const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
        for (;;) {
            const std::size_t found = screen.find(text, consumed);
            if (found != std::string::npos) {
                if (before != nullptr) {
                    before->assign(screen, consumed, found - consumed);
                }
                consumed = found + text.size();
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 ||
                !readSome(static_cast<int>(left.count()))) {
                return false;
            }
        }
    }

    /// Waits for the next prompt and for the line editor to take the
    /// terminal: the editor prints the prompt before it switches the
    /// terminal to single keys, and keys typed before that are seen by the
    /// terminal's own line discipline instead. The output before the prompt
    /// goes to before, when given. A prompt may be looked for as the start
    /// of a line, when the output before it may hold "> ".
    bool ready(std::string* before = nullptr, std::string_view prompt = "> ")
    {
        if (!waitFor(prompt, before)) {
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
        while (std::chrono::steady_clock::now() < deadline) {
            termios modes{};
            if (::tcgetattr(master, &modes) == 0 &&
                (modes.c_lflag & ICANON) == 0) {
                return true;
            }
            readSome(1);
        }
        return false;
    }

    /// Types a line and Enter once the editor is ready for it.
    void enter(std::string_view keys)
    {
        ASSERT_TRUE(ready()) << shown();
        type(keys);
        type("\r");
    }

    /// Ctrl-D once the editor is ready; returns the exit status, or -1.
    int endWithCtrlD()
    {
        if (!ready()) {
            return -1;
        }
        type("\x04");
        return exitStatus();
    }

    /// Waits for the program to end and returns its exit status, or -1.
    int exitStatus()
    {
        const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
        while (std::chrono::steady_clock::now() < deadline) {
            int raw = 0;
            if (::waitpid(child, &raw, WNOHANG) == child) {
                while (readSome(0)) {
                    // the last lines it wrote
                }
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
                return status;
            }
            readSome(50);  // keep the terminal drained while it shuts down
        }
        return -1;
    }

    /// Everything the terminal has shown, for failure messages.
    const std::string& shown() const { return screen; }

private:
    bool readSome(int milliseconds)
    {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, milliseconds) <= 0) {
            return false;
        }
        char block[4096];
        const ssize_t got = ::read(master, block, sizeof block);
        if (got <= 0) {
            return false;
        }
        screen.append(block, static_cast<std::size_t>(got));
        return true;
    }

    int master = -1;
    pid_t child = -1;
    int status = -1;
    std::string screen;        // all output so far
    std::size_t consumed = 0;  // where the next wait starts looking
};

class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folderTemplate[] = "/tmp/warehouse-terminal-XXXXXX";
        ASSERT_NE(::mkdtemp(folderTemplate), nullptr);
        folder = folderTemplate;
        std::ofstream(folder + "/stock.txt")
            << GUM << ";10;3.25;Jenkki Purukumi\n";
    }
    void TearDown() override
    {
        std::system(("rm -rf '" + folder + "'").c_str());
    }

    // The names in the folder, which is also HOME, other than the stock
    // file the test made.
    std::string strayFiles() const
    {
        std::string names;
        DIR* directory = ::opendir(folder.c_str());
        while (const dirent* entry = ::readdir(directory)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != "stock.txt") {
                names += name + ' ';
            }
        }
        ::closedir(directory);
        return names;
    }

    // The stock is the one product of stock.txt, untouched.
    static void expectStockAsLoaded(Terminal& terminal)
    {
        terminal.enter("C");
        EXPECT_TRUE(terminal.waitFor("C\r\n1 different kinds of candy."))
            << terminal.shown();
        terminal.enter("F " + GUM);
        EXPECT_TRUE(terminal.waitFor("Jenkki Purukumi 10 3.25"))
            << terminal.shown();
    }

    std::string folder;
};

TEST_F(TerminalTest, EnteredCommandsAreEchoedAndCarriedOut)
{
    Terminal terminal(folder);
    terminal.enter("R stock.txt");
    terminal.enter("F " + GUM);
    EXPECT_TRUE(
        terminal.waitFor("F " + GUM + "\r\nJenkki Purukumi 10 3.25\r\n"))
        << terminal.shown();
    terminal.enter("Q");
    EXPECT_TRUE(terminal.waitFor(UNSAVED)) << terminal.shown();
    terminal.enter("Q");
    EXPECT_TRUE(terminal.waitFor("Q\r\n")) << terminal.shown();
    EXPECT_EQ(terminal.exitStatus(), 0);
}

TEST_F(TerminalTest, UpRecallsTheLastLine)
{
    Terminal terminal(folder);
    terminal.enter("R stock.txt");
    terminal.enter("F " + GUM);
    ASSERT_TRUE(terminal.waitFor("Jenkki Purukumi 10 3.25"))
        << terminal.shown();
    terminal.enter("\x1b[A");  // Up
    EXPECT_TRUE(terminal.waitFor("F " + GUM + "\r\nJenkki Purukumi 10 3.25"))
        << terminal.shown();
}

TEST_F(TerminalTest, TabCompletesAnIdInStockAndAFileName)
{
    Terminal terminal(folder);
    terminal.enter("R sto\t");
    terminal.enter("F GU\t");
    EXPECT_TRUE(terminal.waitFor("F " + GUM + "\r\nJenkki Purukumi 10 3.25"))
        << terminal.shown();
}

TEST_F(TerminalTest, CtrlCAbandonsTheLineAndKeepsTheStock)
{
    Terminal terminal(folder);
    terminal.enter("R stock.txt");
    ASSERT_TRUE(terminal.ready()) << terminal.shown();
    terminal.type("D " + GUM + " 10\x03");  // Ctrl-C instead of Enter
    ASSERT_TRUE(terminal.ready()) << terminal.shown();
    terminal.type("A x s 5 P\xC3\xA4tkis\x03");  // "ä" is two bytes
    expectStockAsLoaded(terminal);
}

TEST_F(TerminalTest, TabWithOnlyTheEmptyIdInStockKeepsTheRunGoing)
{
    std::ofstream(folder + "/empty_id.txt") << ";5;s;n\n";
    Terminal terminal(folder);
    terminal.enter("R empty_id.txt");
    ASSERT_TRUE(terminal.ready()) << terminal.shown();
    terminal.type("F \t\x03");
    terminal.enter("C");
    EXPECT_TRUE(terminal.waitFor("C\r\n1 different kinds of candy."))
        << terminal.shown();
}

TEST_F(TerminalTest, UnsavedStockIsNotLostToOneQOrCtrlD)
{
    {
        Terminal terminal(folder);
        terminal.enter("A x s 5 n");
        terminal.enter("Q");
        ASSERT_TRUE(terminal.waitFor(UNSAVED)) << terminal.shown();
        terminal.enter("C");  // not right after the warning: warns again
        terminal.enter("Q");
        ASSERT_TRUE(terminal.waitFor(UNSAVED)) << terminal.shown();
        EXPECT_EQ(terminal.endWithCtrlD(), 0) << terminal.shown();
    }
    {
        Terminal terminal(folder);
        terminal.enter("A x s 5 n");
        ASSERT_TRUE(terminal.ready()) << terminal.shown();
        terminal.type("\x04");
        ASSERT_TRUE(terminal.waitFor(UNSAVED)) << terminal.shown();
        terminal.enter("W saved.txt");  // saves every product: nothing to lose
        terminal.enter("Q");
        EXPECT_EQ(terminal.exitStatus(), 0) << terminal.shown();
    }
    Terminal stored(folder, {}, {"--store", "stock.db"});
    EXPECT_TRUE(stored.waitFor("created a new store stock.db\r\n"))
        << stored.shown();
    stored.enter("A x s 5 n");
    stored.enter("Q");  // a stored stock has nothing unsaved
    EXPECT_EQ(stored.exitStatus(), 0) << stored.shown();
    EXPECT_EQ(stored.shown().find(UNSAVED), std::string::npos);
}

TEST_F(TerminalTest, HelpListsTheCommandsAndQuitOrExitQuitsAsQDoes)
{
    for (const auto& [help, quit] : {std::pair{"help", "quit"}, {"?", "exit"}}) {
        Terminal terminal(folder);
        terminal.enter(help);
        EXPECT_TRUE(terminal.waitFor("\r\nA id shelf amount name   add units"))
            << terminal.shown();
        EXPECT_TRUE(terminal.waitFor("\r\nhelp, ?                  this list"))
            << terminal.shown();
        terminal.enter("A x s 5 n");
        terminal.enter(quit);
        ASSERT_TRUE(terminal.waitFor(UNSAVED)) << terminal.shown();
        terminal.enter("W saved.txt");
        terminal.enter(quit);  // nothing unsaved: it quits at once
        EXPECT_EQ(terminal.exitStatus(), 0) << terminal.shown();
        EXPECT_TRUE(terminal.waitFor(std::string(quit) + "\r\nQ\r\n"))
            << terminal.shown();
    }
}

TEST_F(TerminalTest, AWaitForTheStoreIsShownThenTheCommandRuns)
{
    Terminal terminal(folder, {}, {"--store", "shared.db"});
    terminal.enter("A x s 5 n");
    ASSERT_TRUE(terminal.ready()) << terminal.shown();
    // Another program holds the store's lock for two seconds.
    const std::string held = folder + "/held";
    ASSERT_EQ(
        std::system(("cd '" + folder +
                     "' && { printf 'BEGIN IMMEDIATE;\\n.shell touch held; "
                     "sleep 2\\nCOMMIT;\\n' | sqlite3 shared.db & }")
                        .c_str()),
        0);
    struct stat status {};
    for (int tries = 0; tries < 2000 && ::stat(held.c_str(), &status) != 0;
         ++tries) {
        ::usleep(1000);
    }
    terminal.type("D x 1\r");
    EXPECT_TRUE(terminal.waitFor("Waiting for the store (1 s)"))
        << terminal.shown();
    EXPECT_TRUE(terminal.waitFor("D x 1\r\nAmount: 4 Shelf: s"))
        << terminal.shown();
}

// Past the wait limit, and at Ctrl-C, the command waiting for the store is
// refused with a line, and the run goes on.
TEST_F(TerminalTest, AWaitPastTheLimitOrStoppedRefusesTheCommandAlone)
{
    Terminal terminal(folder, {}, {"--store", "shared.db", "--wait", "2"});
    terminal.enter("A x s 5 n");
    const std::string heldMark = folder + "/held";
    const auto whileHeld = [&](bool held) {
        struct stat status {};
        for (int tries = 0;
             tries < 20000 && (::stat(heldMark.c_str(), &status) == 0) != held;
             ++tries) {
            ::usleep(1000);
        }
    };
    const struct {
        const char* keys;
        const char* reply;
    } waits[] = {
        {"",
         "Not run: the store was locked by another run or program for 2 s."},
        {"\x03", "Not run: stopped by Ctrl-C while it waited for the store."},
    };
    for (const auto& wait : waits) {
        ASSERT_TRUE(terminal.ready()) << terminal.shown();
        // Another program holds the store's lock for three seconds.
        ASSERT_EQ(std::system(("cd '" + folder +
                               "' && { printf 'BEGIN IMMEDIATE;\\n.shell "
                               "touch held; sleep 3\\nCOMMIT;\\n.shell rm "
                               "held\\n' | sqlite3 shared.db & }")
                                  .c_str()),
                  0);
        whileHeld(true);
        terminal.type("D x 1\r");
        if (*wait.keys != '\0') {
            ASSERT_TRUE(terminal.waitFor("Waiting for the store ("))
                << terminal.shown();
            terminal.type(wait.keys);
        }
        EXPECT_TRUE(terminal.waitFor(wait.reply)) << terminal.shown();
        whileHeld(false);
    }
    terminal.enter("D x 1");
    EXPECT_TRUE(terminal.waitFor("D x 1\r\nAmount: 4 Shelf: s"))
        << terminal.shown();
}

TEST_F(TerminalTest, ALineIsOneWholeCommandCheckedBeforeItRuns)
{
    Terminal terminal(folder);
    terminal.enter("R stock.txt");
    EXPECT_TRUE(terminal.waitFor("Loaded 1 line.")) << terminal.shown();
    // Each line gets one reply, and nothing of it runs.
    const std::pair<std::string, std::string> slips[] = {
        {"f E", "Unknown command: f. Commands: A D F C E R W G P H L Q"},
        {"D " + GUM, "Not run: the amount is missing. Form: D id amount"},
        {"D " + GUM + " 5.5",
         "Not run: '5.5' is not a whole number of units. Form: D id amount"},
        {"D " + GUM + " -3",
         "Not run: '-3' is not a whole number of units. Form: D id amount"},
        {"D " + GUM + " +1",
         "Not run: '+1' is not a whole number of units. Form: D id amount"},
        {"D " + GUM + " 5 extra",
         "Not run: 'extra' is left over. Form: D id amount"},
        {"A SWAP:1 24 4.10 Salmiakki",
         "Not run: '4.10' is not a whole number of units. "
         "Form: A id shelf amount name"},
        {"A HALF:1 1.00 5",
         "Not run: the name is missing. Form: A id shelf amount name"},
        {"C C", "Not run: 'C' is left over. Form: C"},
        {"G 99999999999",
         "Not run: '99999999999' is more products than 4294967295. Form: G n"},
        {"W a b", "Not run: 'b' is left over. Form: W [file]"},
        // R takes its file from its own line: the next line stays a command.
        {"R ", "R varasto.txt\r\nTiedostoa ei l\xC3\xB6ydy."},
        {"E", "E empties all 1 kind; E again to confirm."},
    };
    for (const auto& [line, reply] : slips) {
        terminal.enter(line);
        EXPECT_TRUE(terminal.waitFor(reply)) << line << terminal.shown();
    }
    expectStockAsLoaded(terminal);  // after the E, a C took the question back
    terminal.enter("E");
    terminal.enter("E");
    terminal.enter("C");
    EXPECT_TRUE(terminal.waitFor("C\r\n0 different kinds of candy."))
        << terminal.shown();
}

// On a store, E's question holds for the kinds it named: another clerk's
// products brought in before the answer make it ask again, and only the
// answer to that empties them too.
TEST_F(TerminalTest, EmptyAsksAgainWhenOthersBroughtInMore)
{
    Terminal asking(folder, {}, {"--store", "shared.db"});
    asking.enter("A x s 5 n");
    asking.enter("E");
    ASSERT_TRUE(asking.waitFor("E empties all 1 kind; E again to confirm."))
        << asking.shown();
    {
        Terminal other(folder, {}, {"--store", "shared.db"});
        other.enter("A y s 1 n");
        other.enter("A z s 1 n");
        other.enter("Q");
        ASSERT_EQ(other.exitStatus(), 0) << other.shown();
    }
    asking.enter("E");
    EXPECT_TRUE(asking.waitFor("E\r\nE empties all 3 kinds; E again to confirm."))
        << asking.shown();
    {  // as many kinds again, but not the same ones
        Terminal other(folder, {}, {"--store", "shared.db"});
        other.enter("D y 1");
        other.enter("A w s 1 n");
        other.enter("Q");
        ASSERT_EQ(other.exitStatus(), 0) << other.shown();
    }
    asking.enter("E");
    EXPECT_TRUE(asking.waitFor("E\r\nE empties all 3 kinds; E again to confirm."))
        << asking.shown();
    asking.enter("E");
    asking.enter("C");
    EXPECT_TRUE(asking.waitFor("C\r\n0 different kinds of candy."))
        << asking.shown();
}

// With a store: a load stopped leaves nothing in the history either.
TEST_F(TerminalTest, LoadSaysWhatItSkippedAndCtrlCLoadsNothing)
{
    std::ofstream(folder + "/mixed.txt") << "a;1;s;n\nb;2;s;n\nno amount\n"
                                            "c;3;s;n\n;x;s;n\n";
    {
        std::ofstream big(folder + "/big.txt");
        for (int i = 0; i < 2000000; ++i) {
            big << 'p' << i << ";1;s;n\n";
        }
    }
    Terminal terminal(folder, {}, {"--store", "loads.db"});
    terminal.enter("R mixed.txt");
    EXPECT_TRUE(terminal.waitFor("Loaded 3 lines; skipped 2 (lines 3, 5)."))
        << terminal.shown();
    terminal.enter("R big.txt");
    ASSERT_TRUE(terminal.waitFor("R big.txt: ")) << terminal.shown();
    terminal.type("\x03");
    EXPECT_TRUE(terminal.waitFor("Stopped by Ctrl-C: nothing loaded."))
        << terminal.shown();
    terminal.enter("C");
    EXPECT_TRUE(terminal.waitFor("C\r\n3 different kinds of candy."))
        << terminal.shown();
    terminal.enter("H");
    EXPECT_TRUE(terminal.waitFor(": R mixed.txt (3 changes)\r\n> "))
        << terminal.shown();
    EXPECT_EQ(terminal.shown().find(": R big.txt"), std::string::npos)
        << terminal.shown();
}

// The generated ids that start lines of output.
std::vector<std::string> generatedIds(const std::string& output)
{
    std::vector<std::string> ids;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 24 && line[3] == ':' && line[24] == ' ') {
            ids.push_back(line.substr(0, 24));
        }
    }
    return ids;
}

TEST_F(TerminalTest, AListShowsAScreenAtATimeAndMatchesLettersInAnyCase)
{
    Terminal terminal(folder);
    terminal.enter("G 100");
    terminal.enter("L");
    // 24 rows: the typed line, the echo, 20 products, the rest, a prompt;
    // each Enter on an empty line shows the next 20, the last without a
    // line of more, and every product once, in order.
    std::vector<std::string> listed;
    std::string screen;
    for (int more = 80; more > 0; more -= 20) {
        ASSERT_TRUE(terminal.waitFor(
            "... " + std::to_string(more) +
                " more; Enter shows the next screen, L text narrows it.\r\n",
            &screen))
            << terminal.shown();
        const std::vector<std::string> ids = generatedIds(screen);
        EXPECT_EQ(ids.size(), 20u) << screen;
        listed.insert(listed.end(), ids.begin(), ids.end());
        terminal.enter("");
    }
    ASSERT_TRUE(terminal.ready(&screen)) << terminal.shown();
    const std::vector<std::string> last = generatedIds(screen);
    listed.insert(listed.end(), last.begin(), last.end());
    EXPECT_EQ(listed.size(), 100u);
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
    EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());

    // After the last screen, or after another line, Enter shows nothing.
    for (const std::string line : {"", "L", "C", ""}) {
        terminal.type(line + "\r");
        ASSERT_TRUE(terminal.ready(&screen)) << terminal.shown();
        if (line.empty()) {
            EXPECT_EQ(generatedIds(screen).size(), 0u) << screen;
        }
    }
    terminal.type("A P1 s 5 P\xC3\xA4tkis\r");
    ASSERT_TRUE(terminal.ready()) << terminal.shown();
    terminal.type("L P\xC3\x84TK\r");  // PÄTK
    EXPECT_TRUE(
        terminal.waitFor("L P\xC3\x84TK\r\nP1  5  s  P\xC3\xA4tkis\r\n"))
        << terminal.shown();
}

// The store's history, newest first, a screen at a time, and further back
// on Enter; the last few commands; one day's.
TEST_F(TerminalTest, HistoryShowsTheNewestFirstAScreenAtATime)
{
    std::string commands;
    for (int product = 1; product <= 25; ++product) {
        commands += "A p" + std::to_string(product) + " s 1 n\n";
    }
    ASSERT_EQ(std::system(("cd '" + folder + "' && printf '" + commands +
                           "' | '" + program + "' --store days.db > /dev/null")
                              .c_str()),
              0);
    Terminal terminal(folder, {}, {"--store", "days.db"});
    // 24 rows: the typed line, the echo, 20 commands, the rest, a prompt.
    terminal.enter("H");
    ASSERT_TRUE(terminal.waitFor(": A p25 s 1 n\r\n")) << terminal.shown();
    EXPECT_TRUE(terminal.waitFor(
        ": A p6 s 1 n\r\n... older commands; Enter shows the next screen, "
        "H YYYY-MM-DD shows one day.\r\n"))
        << terminal.shown();
    terminal.enter("");
    EXPECT_TRUE(terminal.waitFor(": A p5 s 1 n\r\n")) << terminal.shown();
    EXPECT_TRUE(terminal.waitFor(": A p1 s 1 n\r\n")) << terminal.shown();
    terminal.enter("H 2");
    EXPECT_TRUE(terminal.waitFor(": A p25 s 1 n\r\n")) << terminal.shown();
    EXPECT_TRUE(terminal.waitFor(": A p24 s 1 n\r\n")) << terminal.shown();
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%Y-%m-%d", std::localtime(&now));
    terminal.enter(std::string("H ") + today);
    EXPECT_TRUE(terminal.waitFor(": A p25 s 1 n\r\n")) << terminal.shown();
    EXPECT_TRUE(terminal.waitFor("... 5 more; Enter shows the next screen"))
        << terminal.shown();
    terminal.enter("H 1999-01-01");
    EXPECT_TRUE(terminal.waitFor("No history on 1999-01-01.")) << terminal.shown();
}

TEST_F(TerminalTest, LongGenerationShowsProgressAndStopsAtCtrlC)
{
    Terminal terminal(folder);
    terminal.enter("G 4000000000");
    ASSERT_TRUE(terminal.waitFor("G 4000000000: 0%")) << terminal.shown();
    terminal.type("\x03");
    EXPECT_TRUE(terminal.waitFor("Stopped by Ctrl-C after "))
        << terminal.shown();
    EXPECT_TRUE(terminal.waitFor(" of 4000000000 products."))
        << terminal.shown();
    terminal.enter("C");
    EXPECT_TRUE(terminal.waitFor(" different kinds of candy."))
        << terminal.shown();
}

TEST_F(TerminalTest, CtrlCStopsTheCommandNotTheProgramThatStartedIt)
{
    // make does no job control: the program shares its process group.
    std::ofstream(folder + "/Makefile") << "run:\n\t$(WAREHOUSE_PROGRAM)\n";
    Terminal terminal(folder, {},
                      {"/bin/sh", "-c", "make -s run; echo after make: $?"});
    terminal.enter("G 4000000000");
    ASSERT_TRUE(terminal.waitFor("G 4000000000: 0%")) << terminal.shown();
    terminal.type("\x03");
    ASSERT_TRUE(terminal.waitFor("Stopped by Ctrl-C")) << terminal.shown();
    terminal.enter("Q");
    terminal.enter("Q");
    EXPECT_TRUE(terminal.waitFor("after make: 0")) << terminal.shown();
}

TEST_F(TerminalTest, CtrlDOnAnEmptyLineEndsTheRunWithQ)
{
    Terminal terminal(folder);
    EXPECT_EQ(terminal.endWithCtrlD(), 0);
    EXPECT_TRUE(terminal.shown().find("Q\r\n") != std::string::npos)
        << terminal.shown();
}

TEST_F(TerminalTest, HistoryIsKeptBetweenRunsForTheUserAlone)
{
    // Each environment, and the file it keeps the history in; "": none.
    const std::pair<std::vector<std::string>, std::string> places[] = {
        {{}, ".local/state/warehouse/history"},
        {{"XDG_STATE_HOME=" + folder + "/state"}, "state/warehouse/history"},
        {{"WAREHOUSE_HISTORY=" + folder + "/named"}, "named"},
        {{"WAREHOUSE_HISTORY="}, ""},
    };
    for (const auto& [environment, place] : places) {
        SCOPED_TRACE(place);
        std::system(("cd '" + folder + "' && rm -rf .local state named")
                        .c_str());
        {
            Terminal terminal(folder, environment);
            terminal.enter("R stock.txt");
            terminal.enter("C");
            ASSERT_TRUE(terminal.ready()) << terminal.shown();
            terminal.type("\x04");  // the first Ctrl-D only warns
            ASSERT_TRUE(terminal.waitFor(UNSAVED)) << terminal.shown();
            ASSERT_EQ(terminal.endWithCtrlD(), 0) << terminal.shown();
        }
        if (place.empty()) {
            EXPECT_EQ(strayFiles(), "") << "a history was written";
            continue;
        }
        const std::string file = folder + "/" + place;
        struct stat status {};
        ASSERT_EQ(::stat(file.c_str(), &status), 0) << "no history file";
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        if (place != "named") {
            ASSERT_EQ(::stat(file.substr(0, file.rfind('/')).c_str(), &status),
                      0);
            EXPECT_EQ(status.st_mode & 07777, 0700u);
        }

        Terminal terminal(folder, environment);
        terminal.enter("\x1b[A\x1b[A");  // Up twice: R stock.txt
        terminal.enter("\x1b[A\x1b[A");  // Up twice again: the earlier C
        EXPECT_TRUE(terminal.waitFor("C\r\n1 different kinds of candy."))
            << terminal.shown();
    }
}


// Text from the store, a file or another clerk cannot drive the terminal
// that shows it: each control byte is shown as \xNN.
class TerminalGuardTest : public TerminalTest {
protected:
    // Runs a shell command in the folder; true when it succeeded.
    bool shell(const std::string& command) const
    {
        return std::system(("cd '" + folder + "' && " + command).c_str()) == 0;
    }
};

/// The bytes a terminal could act on in text shown between the end of the
/// typed line and the next prompt: every control byte but the line ends.
std::string obeyedBytes(const std::string& shown)
{
    std::string found;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto byte = static_cast<unsigned char>(shown[i]);
        const bool lineEnd = (byte == '\r' && i + 1 < shown.size() &&
                              shown[i + 1] == '\n') ||
                             (byte == '\n' && i > 0 && shown[i - 1] == '\r');
        const bool c1 = byte == 0xC2 && i + 1 < shown.size() &&
                        static_cast<unsigned char>(shown[i + 1]) < 0xA0;
        if ((byte < 0x20 && !lineEnd) || byte == 0x7F ||
            (byte >= 0x80 && byte < 0xA0) || c1) {
            char code[8];
            std::snprintf(code, sizeof code, "%02X ", byte);
            found += code;
        }
    }
    return found;
}

TEST_F(TerminalGuardTest, ControlBytesOfStoredTextAreShownNotObeyed)
{
    const struct {
        std::string hex;    // the bytes, for sqlite3
        std::string shown;  // as the terminal shows them
    } cases[] = {
        {"1B", "\\x1B"},       {"0D", "\\x0D"},     {"0A", "\\x0A"},
        {"07", "\\x07"},       {"08", "\\x08"},     {"00", "\\x00"},
        {"7F", "\\x7F"},       {"9B", "\\x9B"},     {"C29B", "\\xC2\\x9B"},
        {"C285", "\\xC2\\x85"}, {"1B5D303B", "\\x1B]0;"},
    };
    std::string made;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        made += "A P" + std::to_string(i) + " s 5 n\\n";
    }
    ASSERT_TRUE(shell("printf '" + made + "' | '" + program +
                      "' --store s.db > /dev/null"));
    // Another program's rows: ids, shelves, names, commands and clerks.
    std::string forged;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string n = std::to_string(i);
        const std::string bytes = "CAST(X'" + cases[i].hex + "' AS TEXT)";
        forged += "UPDATE stock SET shelf = 's' || " + bytes +
                  ", name = 'n' || " + bytes + " WHERE id = 'P" + n + "';" +
                  "INSERT INTO stock VALUES ('X" + n + "' || " + bytes +
                  ", 5, 's', 'n');" + "UPDATE history SET command = command || " +
                  bytes + ", clerk = 'c' || " + bytes +
                  " WHERE command = 'A P" + n + " s 5 n';";
    }
    ASSERT_TRUE(shell("sqlite3 s.db \"" + forged + "\""));
    Terminal terminal(folder, {}, {"--store", "s.db"});
    ASSERT_TRUE(terminal.ready()) << terminal.shown();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string n = std::to_string(i);
        const std::string& shown = cases[i].shown;
        SCOPED_TRACE(cases[i].hex);
        for (const auto& [typed, expected] :
             std::vector<std::pair<std::string, std::string>>{
                 {"D P" + n + " 1", "Amount: 4 Shelf: s" + shown},
                 {"F P" + n, "n" + shown + " 4 s" + shown},
                 {"L X" + n, "X" + n + shown + " "},
                 {"H P" + n, "c" + shown + ": A P" + n + " s 5 n" + shown},
             }) {
            terminal.type(typed + "\r");  // the editor is ready for it
            ASSERT_TRUE(terminal.waitFor(typed + "\r\n")) << terminal.shown();
            std::string lines;
            ASSERT_TRUE(terminal.ready(&lines, "\r\n> ")) << terminal.shown();
            EXPECT_NE(lines.find(expected), std::string::npos)
                << typed << " showed " << lines;
            EXPECT_EQ(obeyedBytes(lines), "") << typed << " showed " << lines;
        }
    }
    // A script's output keeps every byte.
    ASSERT_TRUE(shell("printf 'F P0\\nL X2\\n' | '" + program +
                      "' --store s.db > script.out"));
    std::ifstream scriptOutput(folder + "/script.out");
    const std::string script{std::istreambuf_iterator<char>(scriptOutput), {}};
    EXPECT_NE(script.find("> F P0\nn\x1b 4 s\x1b\n"), std::string::npos) << script;
    EXPECT_NE(script.find("X2\n  5  s  n\n"), std::string::npos) << script;
}

// Whatever the run's locale, every byte typed is kept, and a locale that
// cannot show UTF-8 is told of once.
TEST_F(TerminalGuardTest, EveryByteTypedIsKeptInAnyLocale)
{
    const std::string notUtf8 = "This run's locale cannot show UTF-8";
    const std::vector<std::string> locales[] = {
        {"LANG=", "LC_ALL=", "LC_CTYPE="},
        {"LANG=", "LC_ALL=C", "LC_CTYPE="},
        {"LANG=POSIX", "LC_ALL=", "LC_CTYPE="},
    };
    for (const auto& environment : locales) {
        SCOPED_TRACE(environment[0] + " " + environment[1]);
        Terminal terminal(folder, environment);
        terminal.enter("A KOL:6 6.06 10 P\xC3\xA4tkis");
        terminal.enter("F KOL:6");
        EXPECT_TRUE(terminal.waitFor("\r\nP\xC3\xA4tkis 10 6.06\r\n"))
            << terminal.shown();
        terminal.enter("L KOLAPER\xC3\x84T");
        EXPECT_TRUE(terminal.waitFor("L KOLAPER\xC3\x84T\r\n"))
            << terminal.shown();
        terminal.enter("Q");
        terminal.enter("Q");
        EXPECT_EQ(terminal.exitStatus(), 0) << terminal.shown();
        const std::string& shown = terminal.shown();
        const std::size_t told = shown.find(notUtf8);
        EXPECT_NE(told, std::string::npos) << shown;
        EXPECT_EQ(shown.find(notUtf8, told + 1), std::string::npos) << shown;
    }
    Terminal utf8(folder);  // C.UTF-8: nothing to tell
    EXPECT_EQ(utf8.endWithCtrlD(), 0) << utf8.shown();
    EXPECT_EQ(utf8.shown().find(notUtf8), std::string::npos) << utf8.shown();
}

// A clerk's run starts by naming the store and the login it knows the run
// by, or by saying that the stock lives only in the run; WAREHOUSE_STORE
// names the store when --store does not, and --store wins. A script's
// output does not change.
TEST_F(TerminalGuardTest, TheFirstLineNamesTheStoreAndTheLogin)
{
    const std::string login = ::getpwuid(::geteuid())->pw_name;
    const struct {
        std::vector<std::string> environment;
        std::vector<std::string> arguments;
        std::string first;
    } cases[] = {
        {{}, {}, "The stock lives only in this run: W saves it to a file."},
        {{}, {"--store", "a.db"}, "Store: a.db, as " + login + "."},
        {{"WAREHOUSE_STORE=b.db"}, {}, "Store: b.db, as " + login + "."},
        {{"WAREHOUSE_STORE=b.db"}, {"--store", "a.db"},
         "Store: a.db, as " + login + "."},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.first);
        std::vector<std::string> command = test.arguments;
        command.insert(command.begin(), program);
        Terminal terminal(folder, test.environment, command);
        terminal.enter("C");
        EXPECT_EQ(terminal.endWithCtrlD(), 0) << terminal.shown();
        EXPECT_EQ(terminal.shown().rfind(test.first + "\r\n", 0), 0u)
            << terminal.shown();
    }
    ASSERT_TRUE(shell("printf 'A x s 5 n\\n' | WAREHOUSE_STORE=b.db '" +
                      program + "' > b.out && printf 'C\\n' | '" + program +
                      "' --store b.db >> b.out"));
    std::ifstream scriptOutput(folder + "/b.out");
    const std::string script{std::istreambuf_iterator<char>(scriptOutput), {}};
    EXPECT_EQ(script, "> A x s 5 n\n> Q\n> C\n1 different kinds of candy.\n> Q\n");
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: terminal_test PROGRAM\n");
        return 2;
    }
    program = argv[1];
    return RUN_ALL_TESTS();
}
