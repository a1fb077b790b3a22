// Best-before dates and stock-takes: the lots that expire soon or have
// expired, and what each count of the shelves found, as pages and CSV files.
#include "web/pages.hh"

#include "web/csv.hh"
#include "web/local_time.hh"
#include "web/templates.hh"
#include "web/text.hh"

#include <map>
#include <variant>
#include <vector>

namespace {

constexpr std::size_t PAGE_SIZE = 100;
constexpr std::uint64_t DEFAULT_DAYS = 14;
constexpr std::uint64_t MOST_DAYS = 3650;

/// The page asked for, from 1; none when it cannot be read.
std::optional<std::uint64_t> pageParam(const Params& params)
{
    const auto pageNo = numberParam(params, "page", 1);
    // Its first row is an offset the stores take as a signed number.
    if (!pageNo || *pageNo == 0 || *pageNo > INT64_MAX / PAGE_SIZE) {
        return std::nullopt;
    }
    return pageNo;
}

/// What the list of lots asks for: those whose best-before date is at most
/// days after today, and which page of them.
struct Window {
    std::uint64_t days = DEFAULT_DAYS;
    std::uint64_t page = 1;
    std::string today;  // local, "YYYY-MM-DD"
    std::string last;   // the latest best-before date listed
};

std::variant<Window, Refusal> readWindow(const Params& params)
{
    Window window;
    const auto days = numberParam(params, "days", DEFAULT_DAYS);
    if (!days || *days > MOST_DAYS) {
        return Refusal::Window;
    }
    const auto pageNo = pageParam(params);
    if (!pageNo) {
        return Refusal::Boundary;
    }
    window.days = *days;
    window.page = *pageNo;
    window.today = today();
    window.last = dayAfter(window.today, static_cast<int>(window.days));
    return window;
}

std::string windowLink(const Window& window, std::uint64_t pageNo,
                       const char* path = "/expiring")
{
    std::string link = std::string(path) + "?days=" + std::to_string(window.days);
    if (pageNo > 1) {
        link += "&page=" + std::to_string(pageNo);
    }
    return link;
}

/// A lot is expired once its best-before day is over: on the day itself it
/// is still good.
bool expired(const Lot& lot, const std::string& today)
{
    return lot.bestBefore < today;
}

/// Units times cents, or none when the cost is not known.
std::optional<WideCents> valueOf(std::int64_t units, const std::optional<std::int64_t>& cost)
{
    return cost ? std::optional<WideCents>(static_cast<WideCents>(units) * *cost) : std::nullopt;
}

std::string shownMoney(const std::optional<WideCents>& cents)
{
    return cents ? wideMoney(*cents) : std::string();
}

void moneyCell(CsvWriter& line, const std::optional<WideCents>& cents)
{
    if (cents) {
        line.figure(wideMoney(*cents));
    } else {
        line.none();
    }
}

/// The page of a store older than its lots, which says so.
Reply noLotsPage(const page::Template& shape)
{
    page::Data data;
    data.set("no_lots", true);
    Reply reply;
    reply.html = page::render(shape, data);
    return reply;
}

/// A CSV file of rows the store writes into out; only its header on a store
/// that keeps no lots.
Reply csvOf(std::string fileName, const char* header,
            std::function<void(StoreReader&, CsvWriter&)> rows)
{
    Reply reply;
    reply.fileName = std::move(fileName);
    reply.csv = [header, rows = std::move(rows)](StoreReader& store, const CsvWrite& write) {
        std::string out = header;
        CsvWriter line(out);
        if (store.keepsLots()) {
            rows(store, line);
        }
        write(out);
    };
    return reply;
}

/// One stock-take's, one reason's or all differences together: the
/// products, the units found over (under, negative) the records, and
/// their worth at cost over those whose cost is known.
struct Sums {
    std::uint64_t products = 0;
    std::int64_t units = 0;
    WideCents atCost = 0;
    std::uint64_t withoutCost = 0;

    void add(std::int64_t difference, const std::optional<std::int64_t>& cost)
    {
        ++products;
        units += difference;
        if (cost) {
            atCost += static_cast<WideCents>(difference) * *cost;
        } else {
            ++withoutCost;
        }
    }
};

/// Counted less expected: what a stock-take found over the records.
std::int64_t differenceOf(const CountDifference& found)
{
    return static_cast<std::int64_t>(found.entry.after.value_or(0)) -
           static_cast<std::int64_t>(found.entry.before.value_or(0));
}

page::Object sumsObject(const Sums& sums)
{
    page::Object shown;
    shown["products"] = std::to_string(sums.products);
    shown["units"] = std::to_string(sums.units);
    shown["at_cost"] = wideMoney(sums.atCost);
    shown["without_cost"] = std::to_string(sums.withoutCost);
    return shown;
}

/// The reason as the pages show it; a difference without one says so.
std::string reasonShown(const std::optional<std::string>& reason)
{
    return reason ? *reason : std::string(page::NO_REASON);
}

}  // namespace

Reply expiringPage(StoreReader& store, const Params& params)
{
    auto read = readWindow(params);
    if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
        return refusedPage(400, *refusal);
    }
    if (!store.keepsLots()) {
        return noLotsPage(page::EXPIRING);
    }
    const Window& window = std::get<Window>(read);
    const std::uint64_t first = (window.page - 1) * PAGE_SIZE;
    page::List rows;
    bool more = false;  // a lot after the page's
    store.lotsUntil(window.last, first, PAGE_SIZE + 1, [&](const Lot& lot) {
        if (rows.size() == PAGE_SIZE) {
            more = true;
            return false;
        }
        page::Object row;
        row["href"] = productPath(lot.id);
        row["id"] = shownText(lot.id);
        row["name"] = shownText(lot.name);
        row["shelf"] = shownText(lot.shelf);
        row["units"] = std::to_string(lot.units);
        row["best_before"] = shownText(lot.bestBefore);
        row["value"] = shownMoney(valueOf(static_cast<std::int64_t>(lot.units), lot.cost));
        if (expired(lot, window.today)) {
            row["expired"] = true;
        }
        rows.emplace_back(std::move(row));
        return true;
    });
    page::Data data;
    data.set("days", std::to_string(window.days));
    data.set("today", window.today);
    data.set("last", window.last);
    // The first page opens with the totals, which read every lot listed
    // and its cost; the pages after it, which they would slow as much,
    // leave them out, as the stock's pages leave out its worth.
    if (window.page == 1) {
        const LotTotals totals = store.lotTotalsUntil(window.last);
        page::Object shown;
        shown["lots"] = std::to_string(totals.lots);
        shown["units"] = std::to_string(totals.units);
        shown["at_cost"] = moneyOfDigits(totals.atCost);
        shown["without_cost"] = std::to_string(totals.withoutCost);
        shown["one_lot"] = totals.lots == 1;
        shown["one_without_cost"] = totals.withoutCost == 1;
        data.set("totals", shown);
    }
    data.set("page", std::to_string(window.page));
    data.set("has_rows", !rows.empty());
    data.set("rows", rows);
    data.set("page_size", std::to_string(PAGE_SIZE));
    if (window.page > 1) {
        data.set("previous", windowLink(window, window.page - 1));
    }
    if (more) {
        data.set("next", windowLink(window, window.page + 1));
    }
    data.set("csv", windowLink(window, 1, "/expiring.csv"));
    Reply reply;
    reply.html = page::render(page::EXPIRING, data);
    return reply;
}

Reply expiringCsv(StoreReader&, const Params& params)
{
    auto read = readWindow(params);
    if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
        return refusedPage(400, *refusal);
    }
    return csvOf(datedFileName("expiring"), page::EXPIRING_CSV,
                 [window = std::get<Window>(read)](StoreReader& store, CsvWriter& line) {
                     store.lotsUntil(window.last, 0, 0, [&](const Lot& lot) {
                         const auto units = static_cast<std::int64_t>(lot.units);
                         line.text(lot.id).text(lot.name).text(lot.shelf);
                         line.number(units).text(lot.bestBefore);
                         moneyCell(line, valueOf(units, lot.cost));
                         line.text(expired(lot, window.today) ? "yes" : "no").end();
                         return true;
                     });
                 });
}

Reply countsPage(StoreReader& store, const Params& params)
{
    const auto pageNo = pageParam(params);
    if (!pageNo) {
        return refusedPage(400, Refusal::Boundary);
    }
    if (!store.keepsLots()) {
        return noLotsPage(page::COUNTS);
    }
    // One pass over every difference: the sums of each stock-take, of each
    // reason and of all, and the rows of the page asked for.
    struct Take {
        HistoryEntry entry;  // the first of its differences
        Sums sums;
    };
    std::vector<Take> takes;
    std::map<std::string, Sums> reasons;  // by reasonShown
    Sums all;
    const std::uint64_t first = (*pageNo - 1) * PAGE_SIZE;
    page::List rows;
    store.countDifferences([&](const CountDifference& found) {
        const std::int64_t difference = differenceOf(found);
        if (takes.empty() || takes.back().entry.commandNo != found.entry.commandNo) {
            takes.push_back({found.entry, {}});
        }
        takes.back().sums.add(difference, found.cost);
        reasons[reasonShown(found.reason)].add(difference, found.cost);
        if (all.products >= first && all.products < first + PAGE_SIZE) {
            page::Object row;
            row["time"] = localTime(found.entry.time);
            row["clerk"] = shownText(who(found.entry));
            row["href"] = productPath(found.entry.id.value_or(""));
            row["id"] = shownText(found.entry.id.value_or(""));
            row["name"] = shownText(found.name);
            row["expected"] = std::to_string(found.entry.before.value_or(0));
            row["counted"] = std::to_string(found.entry.after.value_or(0));
            row["difference"] = std::to_string(difference);
            row["reason"] = shownText(reasonShown(found.reason));
            row["value"] = shownMoney(valueOf(difference, found.cost));
            rows.emplace_back(std::move(row));
        }
        all.add(difference, found.cost);
    });
    page::List takeRows;
    for (const Take& take : takes) {
        page::Object row = sumsObject(take.sums);
        row["time"] = localTime(take.entry.time);
        row["clerk"] = shownText(who(take.entry));
        row["command"] = shownText(take.entry.command.value_or(""));
        takeRows.emplace_back(std::move(row));
    }
    page::List reasonRows;
    for (const auto& [reason, sums] : reasons) {
        page::Object row = sumsObject(sums);
        row["reason"] = shownText(reason);
        reasonRows.emplace_back(std::move(row));
    }
    page::Data data;
    data.set("takes_count", std::to_string(takes.size()));
    data.set("one_take", takes.size() == 1);
    data.set("has_takes", !takes.empty());
    data.set("takes", takeRows);
    data.set("reasons", reasonRows);
    data.set("all", sumsObject(all));
    data.set("has_rows", !rows.empty());
    data.set("rows", rows);
    data.set("page", std::to_string(*pageNo));
    data.set("page_size", std::to_string(PAGE_SIZE));
    if (*pageNo > 1) {
        data.set("previous", *pageNo == 2 ? std::string("/counts")
                                          : "/counts?page=" + std::to_string(*pageNo - 1));
    }
    if (first + PAGE_SIZE < all.products) {
        data.set("next", "/counts?page=" + std::to_string(*pageNo + 1));
    }
    Reply reply;
    reply.html = page::render(page::COUNTS, data);
    return reply;
}

Reply countsCsv(StoreReader&)
{
    return csvOf(datedFileName("counts"), page::COUNTS_CSV,
                 [](StoreReader& store, CsvWriter& line) {
                     store.countDifferences([&line](const CountDifference& found) {
                         const std::int64_t difference = differenceOf(found);
                         line.text(localTime(found.entry.time)).text(who(found.entry));
                         line.text(found.entry.id.value_or("")).text(found.name);
                         line.number(found.entry.before.value_or(0));
                         line.number(found.entry.after.value_or(0));
                         line.number(difference).text(found.reason.value_or(""));
                         moneyCell(line, valueOf(difference, found.cost));
                         line.end();
                     });
                 });
}
