// One entry of a store's history as every reader gets it back, and how it
// reads: who made it, and its UTC time as the clerk's local time.
#ifndef WAREHOUSE_HISTORY_ENTRY_HH
#define WAREHOUSE_HISTORY_ENTRY_HH

#include "store/change_kind.hh"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

/// One entry of the history: a change to one product, or to many. Entries
/// of one command share commandNo; an entry with no command is another
/// program's change, and one with no id stands for a command that changed
/// too many products to list. H reads neither kind nor before: it shows the
/// command as echoed, the units after, and a count's reason.
struct HistoryEntry {
    std::int64_t commandNo = 0;             // entries of one command share it
    std::string time;                       // UTC, YYYY-MM-DD HH:MM:SS.SSS
    std::optional<std::string> clerk;       // the login; none: not known
    std::optional<std::string> namedClerk;  // the name given with --clerk
    std::optional<std::string> command;     // as echoed; none: another program
    std::optional<std::string> id;          // none: too many products to list
    std::optional<std::uint32_t> after;     // units after; none: not known
    std::optional<std::uint32_t> before = std::nullopt;  // none: not known
    std::optional<ChangeKind> kind = std::nullopt;       // none: not read
    std::optional<std::string> reason = std::nullopt;    // a count's, if given
    std::int64_t seq = 0;  // its place in the history
};

/// Who made an entry: the login the store verified, after the name the
/// clerk gave when that differs ("maija (shop)"); for another program, who
/// ran it when the store knows, and that it was another program.
std::string who(const HistoryEntry& entry);

/// A time as the history keeps it: UTC, "YYYY-MM-DD HH:MM:SS.SSS", the form
/// of SQLite's own date functions.
std::string historyTime(const std::timespec& time);

/// A stored UTC time, "YYYY-MM-DD HH:MM:SS.SSS", as local time (TZ) to the
/// second, "YYYY-MM-DD HH:MM:SS"; as it is when it does not read as one.
std::string localTime(const std::string& utc);

/// The UTC times a local day "YYYY-MM-DD" starts and ends at, as the
/// history keeps times; false when day is not such a date. A day on which
/// the clocks change is 23 or 25 hours long.
bool localDay(const std::string& day, std::string& from, std::string& to);

#endif
