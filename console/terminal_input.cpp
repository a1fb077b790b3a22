// Typing commands at a terminal through the line editor: editing, history,
// completion and Ctrl-C.
#include "console/terminal_input.hh"

#include "console/command_table.hh"
#include "util/output_lines.hh"

#include <dirent.h>
#include <fcntl.h>
#include <histedit.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <queue>

namespace {

// Set by Ctrl-C while a command runs; taken by interruptPending().
volatile std::sig_atomic_t interruptPressed = 0;

constexpr std::string_view NOT_UTF8 =
    "This run's locale cannot show UTF-8 (see LANG and LC_ALL): every byte "
    "typed is kept, but letters beyond ASCII may show wrongly.";

// The most completions listed under the line; the rest are only counted, so
// that Tab stays quick with a million products in stock.
constexpr std::size_t LISTED = 100;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

/// The words of a command line up to the cursor; the last is the word being
/// completed, empty when the cursor follows white space.
std::vector<std::string_view> wordsOf(std::string_view text)
{
    std::vector<std::string_view> words;
    std::size_t i = 0;
    for (;;) {
        while (i < text.size() && isBlank(text[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && !isBlank(text[i])) {
            ++i;
        }
        words.push_back(text.substr(start, i - start));
        if (i >= text.size()) {
            return words;
        }
    }
}

/// Matches gathered one by one: how many, their longest common prefix, and
/// the first LISTED of them in sorted order.
class Matches {
public:
    void add(std::string_view match)
    {
        if (total++ == 0) {
            common = match;
        } else {
            const auto differ = std::mismatch(common.begin(), common.end(),
                                              match.begin(), match.end());
            common.erase(differ.first, common.end());
        }
        if (smallest.size() < LISTED) {
            smallest.emplace(match);
        } else if (match < smallest.top()) {
            smallest.pop();
            smallest.emplace(match);
        }
    }

    std::vector<std::string> sorted()
    {
        std::vector<std::string> listed;
        for (; !smallest.empty(); smallest.pop()) {
            listed.push_back(smallest.top());
        }
        std::reverse(listed.begin(), listed.end());
        return listed;
    }

    std::size_t total = 0;
    std::string common;  // longest prefix shared by every match

private:
    std::priority_queue<std::string> smallest;  // largest of them on top
};

void matchIds(const Datastructure& table, std::string_view prefix,
              Matches& matches)
{
    table.forEachProduct([&](const std::string& id, const std::string&,
                             std::uint32_t, const std::string&) {
        if (startsWith(id, prefix)) {
            matches.add(id);
        }
    });
}

/// File names that start with the word, which may name a folder first;
/// folders end in '/'. Hidden files only when the name starts with '.'.
void matchFiles(std::string_view word, Matches& matches)
{
    const std::size_t slash = word.rfind('/');
    const std::string folder(
        slash == std::string_view::npos ? "" : word.substr(0, slash + 1));
    const std::string_view base =
        slash == std::string_view::npos ? word : word.substr(slash + 1);
    DIR* directory = ::opendir(folder.empty() ? "." : folder.c_str());
    if (directory == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name = entry->d_name;
        // A command reads one word: a name with white space is no use.
        if (name == "." || name == ".." || !startsWith(name, base) ||
            (name[0] == '.' && !startsWith(base, ".")) ||
            name.find_first_of(" \t\n\v\f\r") != std::string_view::npos) {
            continue;
        }
        std::string path = folder + std::string(name);
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            path += '/';
        }
        matches.add(path);
    }
    ::closedir(directory);
}

/// Where the line history is kept between runs: the file WAREHOUSE_HISTORY
/// names, none when it is set but empty, or else warehouse/history in the
/// user's state folder ($XDG_STATE_HOME, or ~/.local/state), whose missing
/// folders are to be made.
struct HistoryPlace {
    std::string file;  // empty: none
    bool makeFolders = false;
};

HistoryPlace whereHistoryIsKept()
{
    if (const char* named = std::getenv("WAREHOUSE_HISTORY")) {
        return {named};
    }
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string folder;
    if (state != nullptr && state[0] == '/') {  // a relative one is ignored
        folder = state;
    } else if (home != nullptr && home[0] != '\0') {
        folder = std::string(home) + "/.local/state";
    } else {
        return {};
    }
    return {folder + "/warehouse/history", true};
}

/// Writes the history to file, which a new file, and any folder made for
/// it, leaves to the user alone: the lines typed name products and files.
/// A history that cannot be kept is no reason to trouble the clerk.
void saveHistory(History* lines, HistEvent& event, const HistoryPlace& place)
{
    const std::string& file = place.file;
    for (std::size_t slash = file.find('/', 1);
         place.makeFolders && slash != std::string::npos;
         slash = file.find('/', slash + 1)) {
        ::mkdir(file.substr(0, slash).c_str(), 0700);  // one there stays
    }
    const int descriptor = ::open(
        file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return;
    }
    FILE* stream = ::fdopen(descriptor, "w");
    if (stream == nullptr) {
        ::close(descriptor);
        return;
    }
    history(lines, &event, H_SAVE_FP, stream);
    std::fclose(stream);
}

Matches matchesFor(std::string_view lineToCursor, const Datastructure& table)
{
    Matches matches;
    const std::vector<std::string_view> words = wordsOf(lineToCursor);
    if (words.size() != 2) {
        return matches;  // only a command's first argument is completed
    }
    const Command* command = findCommand(words[0], true);
    if (command == nullptr) {
        return matches;
    }
    if (command->completes == Completion::ProductIds) {
        matchIds(table, words[1], matches);
    } else if (command->completes == Completion::FileNames) {
        matchFiles(words[1], matches);
    }
    return matches;
}

/// Sets the encoding the line editor reads keys in, which drops every byte
/// that is no character of it: the run's own where it takes every byte
/// typed, UTF-8 where the run's is plain ASCII (an empty or unset LANG, or
/// C). Returns false when the run's own encoding is not UTF-8, and cannot
/// show the letters of UTF-8 names as letters.
bool setEditorEncoding()
{
    std::setlocale(LC_CTYPE, "");
    if (std::string_view(nl_langinfo(CODESET)) == "UTF-8") {
        return true;
    }
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        std::mbstate_t state{};
        wchar_t character = 0;
        const char typed = static_cast<char>(byte);
        if (std::mbrtowc(&character, &typed, 1, &state) != 1) {
            for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
                if (std::setlocale(LC_CTYPE, name) != nullptr) {
                    break;
                }
            }
            break;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> completionsFor(std::string_view lineToCursor,
                                        const Datastructure& table)
{
    return matchesFor(lineToCursor, table).sorted();
}

/// Makes the terminal's keys signal this program alone, for as long as it
/// lives. Started from a shell, the program is a job of its own already.
/// Started by a program that does no job control, such as make, it shares
/// that program's process group, and a Ctrl-C while a command runs would end
/// the parent and hand the terminal back to the shell under the running
/// program. It then takes a group of its own into the terminal's foreground,
/// and gives the terminal back as it ends. No shell knows that group as a
/// job, so nobody could resume it after Ctrl-Z: the stop key is ignored.
class OwnForeground {
public:
    OwnForeground()
    {
        const pid_t group = ::getpgrp();
        if (group == ::getpid() || ::tcgetpgrp(STDIN_FILENO) != group ||
            ::setpgid(0, 0) != 0) {
            return;  // a job already, or not in the foreground to begin with
        }
        handOver(::getpid());
        previous = group;
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGTSTP, &ignore, &previousStop);
    }
    ~OwnForeground()
    {
        if (previous > 0) {
            handOver(previous);
            sigaction(SIGTSTP, &previousStop, nullptr);
        }
    }
    OwnForeground(const OwnForeground&) = delete;
    OwnForeground& operator=(const OwnForeground&) = delete;

private:
    // A group that is not in the foreground may set it only with SIGTTOU
    // held back, or the call stops the program.
    static void handOver(pid_t group)
    {
        sigset_t ttou;
        sigset_t before;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        sigprocmask(SIG_BLOCK, &ttou, &before);
        ::tcsetpgrp(STDIN_FILENO, group);
        sigprocmask(SIG_SETMASK, &before, nullptr);
    }

    pid_t previous = -1;  // the group to give the terminal back to
    struct sigaction previousStop {};
};

struct TerminalInput::Editor {
    std::string prompt;
    const Datastructure& table;
    HistoryPlace historyPlace;  // no file: history lives in memory only
    EditLine* line = nullptr;
    History* history = nullptr;
    HistEvent event{};
    struct sigaction previousInterrupt {};
    OwnForeground foreground{};  // while the editor lives

    /// Ctrl-C: drops the line typed so far and starts afresh on a new line.
    static unsigned char abandonLine(EditLine* line, int)
    {
        // The wide line: the editor moves and deletes by characters, and a
        // character of a name such as "Pätkis" may take several bytes.
        const LineInfoW* typed = el_wline(line);
        el_cursor(line, static_cast<int>(typed->lastchar - typed->cursor));
        el_deletestr(line, static_cast<int>(typed->lastchar - typed->buffer));
        std::fputc('\n', stdout);
        std::fflush(stdout);
        return CC_REDISPLAY;
    }

    static Editor& of(EditLine* line)
    {
        void* editor = nullptr;
        el_get(line, EL_CLIENTDATA, &editor);
        return *static_cast<Editor*>(editor);
    }

    static char* showPrompt(EditLine* line) { return of(line).prompt.data(); }

    /// Tab: completes the word at the cursor as far as its matches agree,
    /// and lists them when that adds nothing.
    static unsigned char complete(EditLine* line, int)
    {
        // Nothing may be thrown back through the editor's C frames.
        try {
            return completeWord(line);
        } catch (const std::bad_alloc&) {
            return CC_ERROR;
        }
    }

    static unsigned char completeWord(EditLine* line)
    {
        const LineInfo* typed = el_line(line);
        const std::string_view toCursor(
            typed->buffer,
            static_cast<std::size_t>(typed->cursor - typed->buffer));
        Matches matches = matchesFor(toCursor, of(line).table);
        if (matches.total == 0) {
            return CC_ERROR;
        }
        const std::string_view word = wordsOf(toCursor).back();
        std::string rest = matches.common.substr(word.size());
        const bool folder =
            !matches.common.empty() && matches.common.back() == '/';
        if (matches.total == 1 && !folder) {
            rest += ' ';
        }
        if (!rest.empty()) {
            el_insertstr(line, rest.c_str());
            return CC_REFRESH;
        }
        std::fputc('\n', stdout);
        for (const std::string& match : matches.sorted()) {
            // An id may hold bytes a terminal would obey.
            std::fprintf(stdout, "%s\n", shownText(match).c_str());
        }
        if (matches.total > LISTED) {
            std::fprintf(stdout, "(%zu more)\n", matches.total - LISTED);
        }
        std::fflush(stdout);
        return CC_REDISPLAY;
    }
};

TerminalInput::TerminalInput(std::string prompt, const Datastructure& table)
    : editor(new Editor{std::move(prompt), table, whereHistoryIsKept()})
{
    if (!setEditorEncoding()) {
        printLine(NOT_UTF8);
    }
    Editor& e = *editor;
    e.history = history_init();
    history(e.history, &e.event, H_SETSIZE, 1000);
    history(e.history, &e.event, H_SETUNIQUE, 1);
    if (!e.historyPlace.file.empty()) {
        history(e.history, &e.event, H_LOAD, e.historyPlace.file.c_str());
    }
    e.line = el_init("warehouse", stdin, stdout, stderr);
    el_set(e.line, EL_CLIENTDATA, &e);
    el_set(e.line, EL_EDITOR, "emacs");
    el_set(e.line, EL_PROMPT, &Editor::showPrompt);
    el_set(e.line, EL_HIST, history, e.history);
    // The wide form keeps the names as given; the narrow one copies them
    // and never frees the copies.
    el_wset(e.line, EL_ADDFN, L"warehouse-complete",
            L"Complete an id or a file", &Editor::complete);
    el_set(e.line, EL_BIND, "^I", "warehouse-complete", nullptr);

    // While a line is edited, Ctrl-C is a key that abandons it rather than a
    // signal; while a command runs, the signal only asks the command to stop,
    // which a long G or P does. Either way the run, and the stock, go on.
    el_set(e.line, EL_SETTY, "-d", "-isig", nullptr);
    el_wset(e.line, EL_ADDFN, L"warehouse-abandon", L"Abandon the line",
            &Editor::abandonLine);
    el_set(e.line, EL_BIND, "^C", "warehouse-abandon", nullptr);
    struct sigaction askToStop {};
    askToStop.sa_handler = [](int) { interruptPressed = 1; };
    askToStop.sa_flags = SA_RESTART;
    sigemptyset(&askToStop.sa_mask);
    sigaction(SIGINT, &askToStop, &e.previousInterrupt);
}

TerminalInput::~TerminalInput()
{
    Editor& e = *editor;
    el_end(e.line);
    sigaction(SIGINT, &e.previousInterrupt, nullptr);
    if (!e.historyPlace.file.empty()) {
        saveHistory(e.history, e.event, e.historyPlace);
    }
    history_end(e.history);
}

std::size_t TerminalInput::screenRows()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0) {
        return 24;
    }
    return size.ws_row;
}

bool TerminalInput::interruptPending()
{
    const bool pressed = interruptPressed != 0;
    interruptPressed = 0;
    return pressed;
}

TerminalInput::int_type TerminalInput::underflow()
{
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    if (beforeRead && !beforeRead()) {
        return traits_type::eof();
    }
    int count = 0;
    const char* typed = el_gets(editor->line, &count);
    if (typed == nullptr || count <= 0) {
        // Ctrl-D on an empty line: the closing line starts on a line of its
        // own, not after the editor's "^D".
        std::fputc('\n', stdout);
        std::fflush(stdout);
        return traits_type::eof();
    }
    line.assign(typed, static_cast<std::size_t>(count));
    if (line.back() != '\n') {
        line += '\n';  // a line ended by Ctrl-D still ends its last word
    }
    if (line.find_first_not_of(" \t\n") != std::string::npos) {
        history(editor->history, &editor->event, H_ENTER,
                line.substr(0, line.size() - 1).c_str());
    }
    setg(line.data(), line.data(), line.data() + line.size());
    return traits_type::to_int_type(*gptr());
}
