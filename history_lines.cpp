#include "history_lines.hh"

#include "output_lines.hh"

#include <cstdio>
#include <string_view>

namespace {

constexpr std::string_view ANOTHER_PROGRAM = "(another program)";
constexpr std::string_view TOO_MANY =
    " (changed too many products to list them one by one)";

/// A stored UTC time, "YYYY-MM-DD HH:MM:SS.SSS", as the clerk's local time
/// to the second; as it is when it does not read as one.
std::string localTime(const std::string& utc)
{
    std::tm moment{};
    if (std::sscanf(utc.c_str(), "%d-%d-%d %d:%d:%d", &moment.tm_year,
                    &moment.tm_mon, &moment.tm_mday, &moment.tm_hour,
                    &moment.tm_min, &moment.tm_sec) != 6) {
        return utc;
    }
    moment.tm_year -= 1900;
    moment.tm_mon -= 1;
    const std::time_t seconds = ::timegm(&moment);
    std::tm local{};
    char text[32];
    if (::localtime_r(&seconds, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return utc;
    }
    return text;
}

/// Who made an entry: the login the store verified, after the name the
/// clerk gave when that differs ("maija (shop)"); for another program, who
/// ran it when the store knows, and that it was another program.
std::string who(const HistoryEntry& entry)
{
    const std::string login = entry.clerk.value_or("");
    if (!entry.command) {
        return login.empty() ? std::string(ANOTHER_PROGRAM)
                             : login + ' ' + std::string(ANOTHER_PROGRAM);
    }
    if (entry.namedClerk && !entry.namedClerk->empty() &&
        *entry.namedClerk != login) {
        return *entry.namedClerk + " (" + login + ')';
    }
    return login;
}

void printProductEntry(const HistoryEntry& entry)
{
    const std::string when = localTime(entry.time);
    if (!entry.command) {
        const std::string after =
            entry.after ? std::to_string(*entry.after) : "?";
        printLine(when, ' ', who(entry), " -> ", after);
        return;
    }
    if (!entry.id && !entry.after) {
        printLine(when, ' ', who(entry), ": ", *entry.command, TOO_MANY);
        return;
    }
    printLine(when, ' ', who(entry), ": ", *entry.command, " -> ",
              std::to_string(entry.after.value_or(0)));
}

/// One command: the entries from first to last share its number.
void printCommand(const HistoryEntry* first, const HistoryEntry* last)
{
    const std::string when = localTime(first->time);
    if (!first->command) {
        std::string changes;
        for (const HistoryEntry* entry = first; entry != last; ++entry) {
            changes += changes.empty() ? "" : ", ";
            changes += entry->id.value_or("(many products)");
            changes += " -> ";
            changes += entry->after ? std::to_string(*entry->after) : "?";
        }
        printLine(when, ' ', who(*first), ": ", changes);
        return;
    }
    const auto products = static_cast<std::size_t>(last - first);
    if (products > 1) {
        printLine(when, ' ', who(*first), ": ", *first->command, " (", products,
                  " changes)");
        return;
    }
    printLine(when, ' ', who(*first), ": ", *first->command);
}

}  // namespace

std::string historyTime(const std::timespec& time)
{
    std::tm utc{};
    ::gmtime_r(&time.tv_sec, &utc);
    char text[40];
    const std::size_t length =
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03ld",
                  static_cast<long>(time.tv_nsec / 1000000));
    return text;
}

void printProductHistory(const std::string& id,
                         const std::vector<HistoryEntry>& entries)
{
    if (entries.empty()) {
        printLine("No history of ", id, '.');
        return;
    }
    for (const HistoryEntry& entry : entries) {
        printProductEntry(entry);
    }
}

void printLastCommands(const std::vector<HistoryEntry>& entries)
{
    if (entries.empty()) {
        printLine("No history yet.");
        return;
    }
    const HistoryEntry* const end = entries.data() + entries.size();
    for (const HistoryEntry* first = entries.data(); first != end;) {
        const HistoryEntry* last = first;
        while (last != end && last->commandNo == first->commandNo) {
            ++last;
        }
        printCommand(first, last);
        first = last;
    }
}
