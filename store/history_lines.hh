// The store's history as H prints it: a product's entries, or the last
// commands that changed the stock.
#ifndef WAREHOUSE_HISTORY_LINES_HH
#define WAREHOUSE_HISTORY_LINES_HH

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

/// The most products the history lists one by one for a command: a command
/// that changes more is one entry, with no product.
inline constexpr std::size_t MOST_ENTRIES = std::size_t{1} << 16;

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

/// What H asks of the history: a product's entries, or those of commands,
/// the newest first, older than a command or within a day.
struct HistoryRequest {
    const std::string* id = nullptr;  // a product's; null: commands
    std::size_t commands = 0;         // at most this many; 0: no bound
    std::int64_t before = 0;          // older than this command; 0: any
    std::string from;                 // UTC times the entries are within,
    std::string to;                   // from up to but not to; empty: any
};

/// A time as the history keeps it: UTC, "YYYY-MM-DD HH:MM:SS.SSS", the form
/// of SQLite's own date functions.
std::string historyTime(const std::timespec& time);

/// The UTC times a local day "YYYY-MM-DD" starts and ends at, as the
/// history keeps times; false when day is not such a date.
bool localDay(const std::string& day, std::string& from, std::string& to);

/// A product's entries, oldest first, a line each: when, who, the command,
/// and the units it left.
std::vector<std::string> productLines(const std::vector<HistoryEntry>& entries);

/// The commands of entries, oldest first, a line each: when, who, and what,
/// with how many products it changed when more than one; for another
/// program, the products and their units after.
std::vector<std::string> commandLines(const std::vector<HistoryEntry>& entries);

#endif
