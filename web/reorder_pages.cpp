// What to order: the products at or below their reorder level, how fast
// they go, how long they last, and how many to order, as a page and a CSV
// for the supplier.
#include "web/pages.hh"

#include "web/csv.hh"
#include "web/local_time.hh"
#include "web/templates.hh"
#include "web/text.hh"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <variant>
#include <vector>

namespace {

constexpr std::size_t PAGE_SIZE = 100;
constexpr std::uint64_t DEFAULT_DAYS = 14;
constexpr std::uint64_t MOST_DAYS = 3650;
constexpr std::uint64_t DEFAULT_BELOW = 10;  // as /low's
// The rate of a product is its withdrawals over these last days.
constexpr std::uint64_t RATE_DAYS = 28;

/// What the list asks for: enough for days, fewer than below units where
/// a product has no reorder level, and which page.
struct Asked {
    std::uint64_t days = DEFAULT_DAYS;
    std::uint64_t below = DEFAULT_BELOW;
    std::uint64_t page = 1;
};

std::variant<Asked, Refusal> readAsked(const Params& params)
{
    Asked asked;
    const auto days = numberParam(params, "days", DEFAULT_DAYS);
    if (!days || *days == 0 || *days > MOST_DAYS) {
        return Refusal::Days;
    }
    const auto below = numberParam(params, "below", DEFAULT_BELOW);
    if (!below || *below == 0) {
        return Refusal::Below;
    }
    const auto pageNo = numberParam(params, "page", 1);
    if (!pageNo || *pageNo == 0) {
        return Refusal::Boundary;
    }
    asked.days = *days;
    asked.below = *below;
    asked.page = *pageNo;
    return asked;
}

/// A product to order, with what its rate makes of it.
struct ToOrder {
    ReorderRow row;
    std::uint64_t order = 0;  // units to order for the days asked
};

/// The UTC time, as the history keeps it, a number of days before now.
std::string daysAgo(std::uint64_t days)
{
    const auto now = std::chrono::system_clock::now() -
                     std::chrono::hours(24 * static_cast<std::int64_t>(days));
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           now.time_since_epoch())
                           .count();
    std::timespec time{};
    time.tv_sec = static_cast<std::time_t>(since / 1000000000);
    time.tv_nsec = static_cast<long>(since % 1000000000);
    return historyTime(time);
}

/// Enough units for days at the rate of withdrawn over RATE_DAYS, less
/// those in stock: max(0, ceil(rate × days) − units), in whole numbers.
std::uint64_t orderOf(const ReorderRow& row, std::uint64_t days)
{
    const std::uint64_t needed = (row.withdrawn * days + RATE_DAYS - 1) / RATE_DAYS;
    return needed > row.units ? needed - row.units : 0;
}

/// Every product to order, the soonest gone first: by days left (units
/// over rate, compared crosswise, units times the other's withdrawn), those
/// that nobody withdrew last, then by id.
std::vector<ToOrder> listOf(StoreReader& store, const Asked& asked)
{
    std::vector<ToOrder> list;
    store.reorder(asked.below, daysAgo(RATE_DAYS), [&](const ReorderRow& row) {
        list.push_back({row, orderOf(row, asked.days)});
    });
    std::stable_sort(list.begin(), list.end(), [](const ToOrder& a, const ToOrder& b) {
        if ((a.row.withdrawn == 0) != (b.row.withdrawn == 0)) {
            return b.row.withdrawn == 0;
        }
        if (a.row.withdrawn == 0) {
            return false;  // by id, as the store gave them
        }
        return static_cast<long double>(a.row.units) * b.row.withdrawn <
               static_cast<long double>(b.row.units) * a.row.withdrawn;
    });
    return list;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

/// Units withdrawn a day, to two decimals.
std::string rateOf(const ReorderRow& row)
{
    return fixed(static_cast<double>(row.withdrawn) / RATE_DAYS, 2);
}

/// Days the units last at the rate, to one decimal; none when nobody
/// withdrew any.
std::optional<std::string> daysLeftOf(const ReorderRow& row)
{
    if (row.withdrawn == 0) {
        return std::nullopt;
    }
    return fixed(static_cast<double>(row.units * RATE_DAYS) /
                     static_cast<double>(row.withdrawn),
                 1);
}

std::string linkTo(const Asked& asked, std::uint64_t pageNo, const char* path = "/reorder")
{
    std::string link = std::string(path) + "?days=" + std::to_string(asked.days) +
                       "&below=" + std::to_string(asked.below);
    if (pageNo > 1) {
        link += "&page=" + std::to_string(pageNo);
    }
    return link;
}

}  // namespace

Reply reorderPage(StoreReader& store, const Params& params)
{
    auto read = readAsked(params);
    if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
        return refusedPage(400, *refusal);
    }
    const Asked& asked = std::get<Asked>(read);
    const std::vector<ToOrder> list = listOf(store, asked);
    page::Data data;
    data.set("days", std::to_string(asked.days));
    data.set("below", std::to_string(asked.below));
    data.set("rate_days", std::to_string(RATE_DAYS));
    data.set("matched", std::to_string(list.size()));
    std::uint64_t units = 0;
    for (const ToOrder& item : list) {
        units += item.order;
    }
    data.set("order_total", std::to_string(units));
    const std::size_t first = static_cast<std::size_t>(asked.page - 1) * PAGE_SIZE;
    page::List rows;
    for (std::size_t i = first; i < list.size() && i < first + PAGE_SIZE; ++i) {
        const ReorderRow& row = list[i].row;
        page::Object line;
        line["href"] = productPath(row.record.id);
        line["id"] = shownText(row.record.id);
        line["name"] = shownText(row.record.name);
        line["shelf"] = shownText(row.record.shelf);
        line["units"] = std::to_string(row.units);
        line["level"] = row.record.reorderLevel ? std::to_string(*row.record.reorderLevel)
                                                : std::string();
        line["rate"] = rateOf(row);
        line["days_left"] = daysLeftOf(row).value_or("");
        line["order"] = std::to_string(list[i].order);
        rows.emplace_back(std::move(line));
    }
    data.set("has_rows", !rows.empty());
    data.set("rows", rows);
    if (asked.page > 1) {
        data.set("previous", linkTo(asked, asked.page - 1));
    }
    if (first + PAGE_SIZE < list.size()) {
        data.set("next", linkTo(asked, asked.page + 1));
    }
    data.set("page_size", std::to_string(PAGE_SIZE));
    data.set("csv", linkTo(asked, 1, "/reorder.csv"));
    Reply reply;
    reply.html = page::render(page::REORDER, data);
    return reply;
}

Reply reorderCsv(StoreReader&, const Params& params)
{
    auto read = readAsked(params);
    if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
        return refusedPage(400, *refusal);
    }
    Reply reply;
    reply.fileName = datedFileName("reorder");
    reply.csv = [asked = std::get<Asked>(read)](StoreReader& store, const CsvWrite& write) {
        std::string out = page::REORDER_CSV;
        CsvWriter line(out);
        for (const ToOrder& item : listOf(store, asked)) {
            const ReorderRow& row = item.row;
            line.text(row.record.id).text(row.record.name).text(row.record.shelf);
            line.number(static_cast<std::int64_t>(row.units));
            if (row.record.reorderLevel) {
                line.number(*row.record.reorderLevel);
            } else {
                line.none();
            }
            line.number(static_cast<std::int64_t>(row.withdrawn));
            line.figure(rateOf(row)).figure(daysLeftOf(row).value_or(""));
            line.number(static_cast<std::int64_t>(item.order)).end();
        }
        write(out);
    };
    return reply;
}
