// What the programs' command lines share: usage, --help and --version, and
// the lines on standard error.
#include "util/command_line.hh"

#include "util/output_lines.hh"

#include <unistd.h>

#include <cerrno>
#include <iostream>

void printUsage(std::ostream& out, std::string_view usage)
{
    for (std::size_t slot; (slot = usage.find("{}")) != std::string_view::npos;
         usage.remove_prefix(slot + 2)) {
        out << usage.substr(0, slot) << program_invocation_short_name;
    }
    out << usage;
}

bool asksHelpOrVersion(std::string_view option)
{
    return option == "--help" || option == "-h" || option == "--version";
}

int answerHelpOrVersion(int argc, char** argv, int at,
                        const std::function<void(std::ostream&)>& help)
{
    if (argc > 2) {  // they stand alone
        return usageError("unexpected argument '" +
                          std::string(argv[at == 1 ? 2 : 1]) + "'");
    }
    if (std::string_view(argv[at]) == "--version") {
        std::cout << program_invocation_short_name << ' ' << WAREHOUSE_VERSION
                  << std::endl;
    } else {
        help(std::cout);
    }
    return std::cout ? 0 : 1;
}

int usageError(const std::string& what)
{
    report(what);
    std::cerr << "Try '" << program_invocation_short_name << " --help'."
              << std::endl;
    return 2;
}

void report(std::string_view message)
{
    // A message may quote a store's, a file's or a script's text: at a
    // terminal its control bytes are shown, not obeyed.
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    std::cerr << program_invocation_short_name << ": ";
    if (terminal) {
        std::cerr << shownText(message) << std::endl;
    } else {
        std::cerr << message << std::endl;
    }
}

void report(std::string_view what, std::string_view why)
{
    std::string message(what);
    message += ": ";
    message += why;
    report(message);
}
