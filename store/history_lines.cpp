// The store's history put into the lines that H prints.
#include "store/history_lines.hh"

#include <string_view>

namespace {

constexpr std::string_view TOO_MANY =
    " (changed too many products to list them one by one)";

std::string productLine(const HistoryEntry& entry)
{
    const std::string when = localTime(entry.time);
    if (!entry.command) {
        const std::string after =
            entry.after ? std::to_string(*entry.after) : "?";
        return when + ' ' + who(entry) + " -> " + after;
    }
    if (!entry.id && !entry.after) {
        return when + ' ' + who(entry) + ": " + *entry.command +
               std::string(TOO_MANY);
    }
    // A stock-take's difference says why, when its sheet said.
    const std::string reason = entry.reason ? " (" + *entry.reason + ")" : "";
    return when + ' ' + who(entry) + ": " + *entry.command + " -> " +
           std::to_string(entry.after.value_or(0)) + reason;
}

/// One command: the entries from first to last share its number.
std::string commandLine(const HistoryEntry* first, const HistoryEntry* last)
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
        return when + ' ' + who(*first) + ": " + changes;
    }
    const auto products = static_cast<std::size_t>(last - first);
    if (products > 1) {
        return when + ' ' + who(*first) + ": " + *first->command + " (" +
               std::to_string(products) + " changes)";
    }
    return when + ' ' + who(*first) + ": " + *first->command;
}

}  // namespace

std::vector<std::string> productLines(const std::vector<HistoryEntry>& entries)
{
    std::vector<std::string> lines;
    for (const HistoryEntry& entry : entries) {
        lines.push_back(productLine(entry));
    }
    return lines;
}

std::vector<std::string> commandLines(const std::vector<HistoryEntry>& entries)
{
    std::vector<std::string> lines;
    const HistoryEntry* const end = entries.data() + entries.size();
    for (const HistoryEntry* first = entries.data(); first != end;) {
        const HistoryEntry* last = first;
        while (last != end && last->commandNo == first->commandNo) {
            ++last;
        }
        lines.push_back(commandLine(first, last));
        first = last;
    }
    return lines;
}
