// The store's history as H prints it: a product's entries, or the last
// commands that changed the stock.
#ifndef WAREHOUSE_HISTORY_LINES_HH
#define WAREHOUSE_HISTORY_LINES_HH

#include "store/history_entry.hh"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// The most products the history lists one by one for a command: a command
/// that changes more is one entry, with no product.
inline constexpr std::size_t MOST_ENTRIES = std::size_t{1} << 16;

/// What H asks of the history: a product's entries, or those of commands,
/// the newest first, older than a command or within a day.
struct HistoryRequest {
    const std::string* id = nullptr;  // a product's; null: commands
    std::size_t commands = 0;         // at most this many; 0: no bound
    std::int64_t before = 0;          // older than this command; 0: any
    std::string from;                 // UTC times the entries are within,
    std::string to;                   // from up to but not to; empty: any
};

/// A product's entries, oldest first, a line each: when, who, the command,
/// and the units it left.
std::vector<std::string> productLines(const std::vector<HistoryEntry>& entries);

/// The commands of entries, oldest first, a line each: when, who, and what,
/// with how many products it changed when more than one; for another
/// program, the products and their units after.
std::vector<std::string> commandLines(const std::vector<HistoryEntry>& entries);

#endif
