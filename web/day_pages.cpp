// A day's report: per product the units delivered and withdrawn and the
// net, per clerk the commands and the units withdrawn, and the commands.
#include "web/pages.hh"

#include "web/csv.hh"
#include "web/local_time.hh"
#include "web/templates.hh"
#include "web/text.hh"

#include <algorithm>
#include <charconv>
#include <map>
#include <vector>

namespace {

constexpr std::size_t PAGE_SIZE = 100;
constexpr std::size_t BEST_SELLERS = 10;
// The longest span of days one report sums.
constexpr int MOST_DAYS = 366;

struct ProductDay {
    std::uint64_t delivered = 0;  // by deliveries alone
    std::uint64_t withdrawn = 0;  // by withdrawals
    std::int64_t net = 0;         // by every change, another program's too
};

struct ClerkDay {
    std::uint64_t commands = 0;
    std::uint64_t delivered = 0;
    std::uint64_t withdrawn = 0;
    std::uint64_t takings = 0;  // cents, over the products with a price
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
    std::map<std::string, CatalogueRecord> records;  // of the products, by id
};

/// A delivery brings units in; a load after an emptying or products
/// generated only put back or make up a stock, and count in the net alone.
bool isDelivery(const HistoryEntry& entry)
{
    return entry.kind == ChangeKind::Delivery;
}

bool isWithdrawal(const HistoryEntry& entry)
{
    return entry.kind == ChangeKind::Withdrawal;
}

/// The sale price of a product in cents; none when not known.
std::optional<std::int64_t> priceOf(const DayReport& report, const std::string& id)
{
    const auto found = report.records.find(id);
    return found == report.records.end() ? std::nullopt : found->second.price;
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
        clerk.delivered += after - before;
    }
    if (isWithdrawal(entry) && before > after) {
        product.withdrawn += before - after;
        clerk.withdrawn += before - after;
        if (const auto price = priceOf(report, *entry.id)) {
            clerk.takings += (before - after) * static_cast<std::uint64_t>(*price);
        }
    }
}

DayReport reportOf(StoreReader& store, const DayBounds& span)
{
    DayReport report;
    store.catalogueBetween(span.from, span.to, [&report](const CatalogueRecord& record) {
        report.records.emplace(record.id, record);
    });
    std::optional<std::int64_t> commandNo;  // of the command being counted
    ClerkDay* clerk = nullptr;
    store.historyBetween(span.from, span.to, [&](const HistoryEntry& entry) {
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

std::string nameOf(const DayReport& report, const std::string& id)
{
    const auto found = report.records.find(id);
    return found == report.records.end() ? std::string() : found->second.name;
}

/// The takings of a product's withdrawals, in cents; none without a price.
std::optional<std::uint64_t> takingsOf(const DayReport& report, const std::string& id,
                                       const ProductDay& product)
{
    const auto price = priceOf(report, id);
    if (!price) {
        return std::nullopt;
    }
    return product.withdrawn * static_cast<std::uint64_t>(*price);
}

/// What a report asks for: a day or a span of days, and a page of its
/// products and commands.
struct Span {
    std::string from;  // local days, YYYY-MM-DD
    std::string to;
    std::uint64_t page = 1;
};

/// The address of a page of a report.
std::string linkTo(const Span& span, std::uint64_t pageNo, bool oneDay)
{
    std::string link = oneDay ? "/day/" + span.from
                           : "/days?from=" + span.from + "&to=" + span.to;
    if (pageNo > 1) {
        link += link.find('?') == std::string::npos ? "?" : "&";
        link += "page=" + std::to_string(pageNo);
    }
    return link;
}

/// The report's data for the template.
page::Data dataOf(const DayReport& report, const Span& span, bool oneDay)
{
    page::Data data;
    data.set("date", span.from);
    if (oneDay) {
        data.set("one_day", true);
        // No link leads past the first or the last day a page is kept for.
        for (const auto& [name, days] : {std::pair("previous", -1), std::pair("next", 1)}) {
            const std::string day = dayAfter(span.from, days);
            if (localDay(day)) {
                data.set(std::string(name) + "_date", day);
                data.set(name, "/day/" + day);
            }
        }
        data.set("csv", "/day/" + span.from);
    } else {
        data.set("from", span.from);
        data.set("to", span.to);
        data.set("csv", "/days.csv?from=" + span.from + "&to=" + span.to);
    }
    const std::size_t first = static_cast<std::size_t>(span.page - 1) * PAGE_SIZE;
    page::List products;
    ProductDay total;
    std::uint64_t takings = 0;
    std::uint64_t unpriced = 0;  // products withdrawn with no price
    std::size_t at = 0;
    std::vector<std::pair<const std::string*, const ProductDay*>> sold;
    for (const auto& [id, product] : report.products) {
        const auto taken = takingsOf(report, id, product);
        if (at >= first && at < first + PAGE_SIZE) {
            page::Object row;
            row["href"] = productPath(id);
            row["id"] = shownText(id);
            row["name"] = shownText(nameOf(report, id));
            row["delivered"] = std::to_string(product.delivered);
            row["withdrawn"] = std::to_string(product.withdrawn);
            row["net"] = std::to_string(product.net);
            row["takings"] = taken ? money(static_cast<std::int64_t>(*taken)) : "";
            products.emplace_back(std::move(row));
        }
        ++at;
        total.delivered += product.delivered;
        total.withdrawn += product.withdrawn;
        total.net += product.net;
        if (product.withdrawn > 0) {
            sold.emplace_back(&id, &product);
            if (taken) {
                takings += *taken;
            } else {
                ++unpriced;
            }
        }
    }
    data.set("has_products", !products.empty());
    data.set("products", products);
    data.set("product_count", std::to_string(report.products.size()));
    data.set("total_delivered", std::to_string(total.delivered));
    data.set("total_withdrawn", std::to_string(total.withdrawn));
    data.set("total_net", std::to_string(total.net));
    data.set("takings", money(static_cast<std::int64_t>(takings)));
    data.set("unpriced", std::to_string(unpriced));
    // The best sellers: the most units withdrawn, ties by id.
    const std::size_t best = std::min(BEST_SELLERS, sold.size());
    std::partial_sort(sold.begin(), sold.begin() + static_cast<std::ptrdiff_t>(best),
                      sold.end(), [](const auto& a, const auto& b) {
                          return a.second->withdrawn != b.second->withdrawn
                                     ? a.second->withdrawn > b.second->withdrawn
                                     : *a.first < *b.first;
                      });
    page::List sellers;
    for (std::size_t i = 0; i < best; ++i) {
        const std::string& id = *sold[i].first;
        const auto taken = takingsOf(report, id, *sold[i].second);
        page::Object row;
        row["href"] = productPath(id);
        row["id"] = shownText(id);
        row["name"] = shownText(nameOf(report, id));
        row["withdrawn"] = std::to_string(sold[i].second->withdrawn);
        row["takings"] = taken ? money(static_cast<std::int64_t>(*taken)) : "";
        sellers.emplace_back(std::move(row));
    }
    data.set("has_best", !sellers.empty());
    data.set("best", sellers);
    page::List clerks;
    for (const auto& [name, clerk] : report.clerks) {
        page::Object row;
        row["clerk"] = shownText(name);
        row["commands"] = std::to_string(clerk.commands);
        row["delivered"] = std::to_string(clerk.delivered);
        row["withdrawn"] = std::to_string(clerk.withdrawn);
        row["takings"] = money(static_cast<std::int64_t>(clerk.takings));
        clerks.emplace_back(std::move(row));
    }
    data.set("has_clerks", !clerks.empty());
    data.set("clerks", clerks);
    page::List commands;
    for (std::size_t i = first; i < report.commands.size() && i < first + PAGE_SIZE; ++i) {
        const CommandDay& command = report.commands[i];
        page::Object row;
        row["time"] = command.time;
        row["clerk"] = shownText(command.clerk);
        row["command"] = shownText(command.command);
        row["changes"] = changesOf(command);
        commands.emplace_back(std::move(row));
    }
    data.set("has_commands", !commands.empty());
    data.set("commands", commands);
    data.set("command_count", std::to_string(report.commands.size()));
    data.set("page_size", std::to_string(PAGE_SIZE));
    if (span.page > 1) {
        data.set("previous_page", linkTo(span, span.page - 1, oneDay));
    }
    if (first + PAGE_SIZE < std::max(report.products.size(), report.commands.size())) {
        data.set("next_page", linkTo(span, span.page + 1, oneDay));
    }
    data.set("page", std::to_string(span.page));
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
            line.text(id).text(nameOf(report, id));
            line.number(static_cast<std::int64_t>(product.delivered));
            line.number(static_cast<std::int64_t>(product.withdrawn)).number(product.net);
            const auto taken = takingsOf(report, id, product);
            (taken ? line.figure(money(static_cast<std::int64_t>(*taken))) : line.none()).end();
        }
        break;
    case DayTable::Clerks:
        out = page::DAY_CLERKS_CSV;
        for (const auto& [name, clerk] : report.clerks) {
            line.text(name).number(static_cast<std::int64_t>(clerk.commands));
            line.number(static_cast<std::int64_t>(clerk.delivered));
            line.number(static_cast<std::int64_t>(clerk.withdrawn));
            line.figure(money(static_cast<std::int64_t>(clerk.takings))).end();
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

/// The page number of a report's params; none when it cannot be read.
std::optional<std::uint64_t> pageOf(const Params& params)
{
    const auto found = params.find("page");
    if (found == params.end()) {
        return 1;
    }
    std::uint64_t value = 0;
    const std::string& text = found->second;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || parsed.ec != std::errc() ||
        parsed.ptr != text.data() + text.size() || value == 0) {
        return std::nullopt;
    }
    return value;
}

/// The span of a report over days: from its first day's start to its last
/// day's end; none unless both are days, in order, at most MOST_DAYS.
std::optional<DayBounds> boundsOf(const std::string& from, const std::string& to)
{
    const auto first = localDay(from);
    const auto last = localDay(to);
    // The span's last allowed day may be past the year 9999, later than
    // any day and longer.
    const std::string latest = dayAfter(from, MOST_DAYS - 1);
    if (!first || !last || to < from ||
        (latest.size() == to.size() && latest < to)) {
        return std::nullopt;
    }
    return DayBounds{first->from, last->to};
}

/// The span that /days asks for: from and to, a week up to today without
/// them.
std::optional<Span> spanOf(const Params& params)
{
    Span span;
    const auto from = params.find("from");
    const auto to = params.find("to");
    span.to = to == params.end() ? today() : to->second;
    span.from = from == params.end() ? dayAfter(span.to, -6) : from->second;
    const auto pageNo = pageOf(params);
    if (!pageNo || !boundsOf(span.from, span.to)) {
        return std::nullopt;
    }
    span.page = *pageNo;
    return span;
}

}  // namespace

Reply dayPage(StoreReader& store, std::string_view date, const Params& params)
{
    const std::string day = date.empty() ? today() : std::string(date);
    const auto bounds = localDay(day);
    if (!bounds) {
        return notADay(date);
    }
    const auto pageNo = pageOf(params);
    if (!pageNo) {
        return refusedPage(400, Refusal::Boundary);
    }
    Reply reply;
    reply.html = page::render(
        page::DAY, dataOf(reportOf(store, *bounds), Span{day, day, *pageNo}, true));
    return reply;
}

Reply spanPage(StoreReader& store, const Params& params)
{
    const auto span = spanOf(params);
    if (!span) {
        return refusedPage(400, Refusal::Span);
    }
    Reply reply;
    reply.html = page::render(
        page::DAY, dataOf(reportOf(store, *boundsOf(span->from, span->to)), *span, false));
    return reply;
}

Reply spanCsv(StoreReader&, const Params& params)
{
    const auto span = spanOf(params);
    if (!span) {
        return refusedPage(400, Refusal::Span);
    }
    const auto table = params.find("table");
    DayTable which = DayTable::Products;
    if (table != params.end()) {
        which = table->second == "clerks" ? DayTable::Clerks : DayTable::Products;
    }
    Reply reply;
    reply.fileName = "days-" + span->from + "-to-" + span->to +
                     (which == DayTable::Clerks ? "-clerks" : "") + ".csv";
    reply.csv = [bounds = *boundsOf(span->from, span->to), which](StoreReader& store,
                                                                  const CsvWrite& write) {
        write(csvOf(reportOf(store, bounds), which));
    };
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
    reply.fileName = "day-" + std::string(date) + names[static_cast<int>(table)] + ".csv";
    reply.csv = [bounds = *bounds, table](StoreReader& store, const CsvWrite& write) {
        write(csvOf(reportOf(store, bounds), table));
    };
    return reply;
}
