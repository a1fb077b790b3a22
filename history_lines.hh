// The store's history as H prints it: a product's entries, or the last
// commands that changed the stock.
#ifndef WAREHOUSE_HISTORY_LINES_HH
#define WAREHOUSE_HISTORY_LINES_HH

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

/// One entry of the history as a store gives it back.
struct HistoryEntry {
    std::int64_t commandNo = 0;             // entries of one command share it
    std::string time;                       // UTC, YYYY-MM-DD HH:MM:SS.SSS
    std::optional<std::string> clerk;       // the login; none: not known
    std::optional<std::string> namedClerk;  // the name given with --clerk
    std::optional<std::string> command;     // as echoed; none: another program
    std::optional<std::string> id;          // none: too many products to list
    std::optional<std::uint32_t> after;     // units after; none: not known
};

/// A time as the history keeps it: UTC, "YYYY-MM-DD HH:MM:SS.SSS", the form
/// of SQLite's own date functions.
std::string historyTime(const std::timespec& time);

/// Prints a product's entries, oldest first: when, who, the command, and
/// the units it left; or a line that says there are none.
void printProductHistory(const std::string& id,
                         const std::vector<HistoryEntry>& entries);

/// Prints the commands of entries, oldest first, one a line: when, who, and
/// what, with how many products it changed when more than one; for another
/// program, the products and their units after.
void printLastCommands(const std::vector<HistoryEntry>& entries);

#endif
