// What the programs' command lines share: the usage with the program's name
// in it, --help and --version, which stand alone, and the lines that tell
// of a wrong command line or a failure on standard error.
#ifndef WAREHOUSE_UTIL_COMMAND_LINE_HH
#define WAREHOUSE_UTIL_COMMAND_LINE_HH

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

/// Writes usage with the program's name in place of each "{}".
void printUsage(std::ostream& out, std::string_view usage);

/// True for the options that stand alone: --help, -h and --version.
bool asksHelpOrVersion(std::string_view option);

/// Answers argv[at], one of the options that stand alone: prints the
/// program's name and version, or what help writes, on standard output.
/// Gives the exit status: 0, 1 when standard output failed, or that of a
/// usage error when any other argument stands beside it.
int answerHelpOrVersion(int argc, char** argv, int at,
                        const std::function<void(std::ostream&)>& help);

/// Says what is wrong with the command line, and where to learn better, on
/// standard error; gives the exit status of a usage error, 2.
int usageError(const std::string& what);

/// One line on standard error: the program, then the message.
void report(std::string_view message);

/// One line on standard error: the program, what failed, and why.
void report(std::string_view what, std::string_view why);

#endif
