// Typing commands at a terminal: line editing, history and tab completion.
#ifndef WAREHOUSE_TERMINAL_INPUT_HH
#define WAREHOUSE_TERMINAL_INPUT_HH

#include "console/console_input.hh"
#include "datastructure.hh"

#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

/// A read-only stream buffer that takes each line from a line editor at the
/// terminal: it shows the prompt, offers the usual editing keys, recalls
/// earlier lines with Up and Down, and completes product ids after F, D and
/// A and file names after R and W with Tab. Ctrl-C abandons the line being
/// typed and gives a fresh prompt, or, while a command runs, is kept for
/// interruptPending(); Ctrl-D on an empty line ends the input, and may be
/// followed by more lines when the reader goes on.
/// History is read from and saved to the file that WAREHOUSE_HISTORY
/// names, or else to warehouse/history in the user's XDG state folder; it
/// is kept in memory only when WAREHOUSE_HISTORY is set but empty.
class TerminalInput : public std::streambuf {
public:
    /// table is read, never changed, to complete product ids.
    TerminalInput(std::string prompt, const Datastructure& table);
    ~TerminalInput() override;
    TerminalInput(const TerminalInput&) = delete;
    TerminalInput& operator=(const TerminalInput&) = delete;

    void callBeforeReading(BeforeRead hook) { beforeRead = std::move(hook); }

    /// Tells whether Ctrl-C was pressed while a command ran since the last
    /// call: a long command takes it as a request to stop.
    static bool interruptPending();

    /// The rows of the terminal the output goes to, or 24 when it does not
    /// say.
    static std::size_t screenRows();

protected:
    int_type underflow() override;

private:
    struct Editor;
    std::unique_ptr<Editor> editor;
    std::string line;  // the line being read, line feed included
    BeforeRead beforeRead;
};

/// The completions of the word that ends at the cursor of a command line:
/// product ids in stock after F, D or A, file names after R or W, nothing
/// elsewhere. Sorted, each whole.
std::vector<std::string> completionsFor(std::string_view lineToCursor,
                                        const Datastructure& table);

#endif
