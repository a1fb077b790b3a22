// A day's report: per product the units delivered and withdrawn and the
// net, per clerk the commands and the units withdrawn, and the commands.
#include "web/pages.hh"

#include "web/csv.hh"
#include "web/local_time.hh"
#include "web/templates.hh"
#include "web/text.hh"

#include <map>
#include <vector>

namespace {

struct ProductDay {
    std::uint64_t delivered = 0;  // by deliveries, loads and generated ones
    std::uint64_t withdrawn = 0;  // by withdrawals
    std::int64_t net = 0;         // by every change, another program's too
};

struct ClerkDay {
    std::uint64_t commands = 0;
    std::uint64_t withdrawn = 0;
};

/// A command as the report lists it.
struct CommandDay {
    std::string time;     // local
    std::string clerk;    // as who() shows it
    std::string command;  // as echoed; for another program, its changes
    std::optional<std::uint64_t> changes;  // none: many products at once
};

struct DayReport {
    std::map<std::string, ProductDay> products;  // by id
    std::map<std::string, ClerkDay> clerks;      // by who() made them
    std::vector<CommandDay> commands;            // in the order they ran
};

/// Whether an entry brings units in: a delivery, a load, or products
/// generated.
bool isDelivery(const HistoryEntry& entry)
{
    return entry.kind == ChangeKind::Delivery ||
           entry.kind == ChangeKind::Load || entry.kind == ChangeKind::Generate;
}

bool isWithdrawal(const HistoryEntry& entry)
{
    return entry.kind == ChangeKind::Withdrawal;
}

/// Counts one entry into the products, the clerk and the command it
/// belongs to.
void count(const HistoryEntry& entry, DayReport& report, ClerkDay& clerk,
           CommandDay& command)
{
    if (!entry.id || !entry.before || !entry.after) {  // many products
        command.changes.reset();
        return;
    }
    if (command.changes) {
        ++*command.changes;
    }
    if (!entry.command) {  // another program: its changes are its command
        command.command += command.command.empty() ? "" : ", ";
        command.command += *entry.id + " -> " + std::to_string(*entry.after);
    }
    ProductDay& product = report.products[*entry.id];
    const std::uint64_t before = *entry.before;
    const std::uint64_t after = *entry.after;
    product.net += static_cast<std::int64_t>(after) - static_cast<std::int64_t>(before);
    if (isDelivery(entry) && after > before) {
        product.delivered += after - before;
    }
    if (isWithdrawal(entry) && before > after) {
        product.withdrawn += before - after;
        clerk.withdrawn += before - after;
    }
}

DayReport reportOf(StoreReader& store, const DayBounds& day)
{
    DayReport report;
    std::optional<std::int64_t> commandNo;  // of the command being counted
    ClerkDay* clerk = nullptr;
    store.historyBetween(day.from, day.to, [&](const HistoryEntry& entry) {
        if (commandNo != entry.commandNo) {
            commandNo = entry.commandNo;
            const std::string name = who(entry);
            clerk = &report.clerks[name];
            ++clerk->commands;
            report.commands.push_back(
                {localTime(entry.time), name, entry.command.value_or(""), 0});
        }
        count(entry, report, *clerk, report.commands.back());
    });
    return report;
}

std::string changesOf(const CommandDay& command)
{
    return command.changes ? std::to_string(*command.changes)
                           : page::MANY_PRODUCTS;
}

/// The report's data for the template.
page::Data dataOf(const DayReport& report, const std::string& date)
{
    page::Data data;
    data.set("date", date);
    // No link leads past the first or the last day a page is kept for.
    for (const auto& [name, days] : {std::pair("previous", -1), std::pair("next", 1)}) {
        const std::string day = dayAfter(date, days);
        if (localDay(day)) {
            data.set(std::string(name) + "_date", day);
            data.set(name, "/day/" + day);
        }
    }
    data.set("csv", "/day/" + date);
    page::List products;
    ProductDay total;
    for (const auto& [id, product] : report.products) {
        page::Object row;
        row["href"] = productPath(id);
        row["id"] = shownText(id);
        row["delivered"] = std::to_string(product.delivered);
        row["withdrawn"] = std::to_string(product.withdrawn);
        row["net"] = std::to_string(product.net);
        products.emplace_back(std::move(row));
        total.delivered += product.delivered;
        total.withdrawn += product.withdrawn;
        total.net += product.net;
    }
    data.set("has_products", !products.empty());
    data.set("products", products);
    data.set("total_delivered", std::to_string(total.delivered));
    data.set("total_withdrawn", std::to_string(total.withdrawn));
    data.set("total_net", std::to_string(total.net));
    page::List clerks;
    for (const auto& [name, clerk] : report.clerks) {
        page::Object row;
        row["clerk"] = shownText(name);
        row["commands"] = std::to_string(clerk.commands);
        row["withdrawn"] = std::to_string(clerk.withdrawn);
        clerks.emplace_back(std::move(row));
    }
    data.set("has_clerks", !clerks.empty());
    data.set("clerks", clerks);
    page::List commands;
    for (const CommandDay& command : report.commands) {
        page::Object row;
        row["time"] = command.time;
        row["clerk"] = shownText(command.clerk);
        row["command"] = shownText(command.command);
        row["changes"] = changesOf(command);
        commands.emplace_back(std::move(row));
    }
    data.set("has_commands", !commands.empty());
    data.set("commands", commands);
    return data;
}

/// The table of a report as CSV.
std::string csvOf(const DayReport& report, DayTable table)
{
    std::string out;
    CsvWriter line(out);
    switch (table) {
    case DayTable::Products:
        out = page::DAY_PRODUCTS_CSV;
        for (const auto& [id, product] : report.products) {
            line.text(id).number(static_cast<std::int64_t>(product.delivered));
            line.number(static_cast<std::int64_t>(product.withdrawn)).number(product.net);
            line.end();
        }
        break;
    case DayTable::Clerks:
        out = page::DAY_CLERKS_CSV;
        for (const auto& [name, clerk] : report.clerks) {
            line.text(name).number(static_cast<std::int64_t>(clerk.commands));
            line.number(static_cast<std::int64_t>(clerk.withdrawn)).end();
        }
        break;
    case DayTable::Commands:
        out = page::DAY_COMMANDS_CSV;
        for (const CommandDay& command : report.commands) {
            line.text(command.time).text(command.clerk).text(command.command);
            line.text(changesOf(command)).end();
        }
        break;
    }
    return out;
}

Reply notADay(std::string_view date)
{
    page::Data data;
    data.set("day", shownText(date));
    Reply reply;
    reply.status = 404;
    reply.html = page::render(page::MISSING, data);
    return reply;
}

}  // namespace

Reply dayPage(StoreReader& store, std::string_view date)
{
    const std::string day = date.empty() ? today() : std::string(date);
    const auto bounds = localDay(day);
    if (!bounds) {
        return notADay(date);
    }
    Reply reply;
    reply.html = page::render(page::DAY, dataOf(reportOf(store, *bounds), day));
    return reply;
}

Reply dayCsv(StoreReader&, std::string_view date, DayTable table)
{
    const auto bounds = localDay(date);
    if (!bounds) {
        return notADay(date);
    }
    static const char* const names[] = {"", "-clerks", "-commands"};
    Reply reply;
    reply.fileName = std::string(date) + names[static_cast<int>(table)] + ".csv";
    reply.csv = [bounds = *bounds, table](StoreReader& store, const CsvWrite& write) {
        write(csvOf(reportOf(store, bounds), table));
    };
    return reply;
}
