// A product's page: what is in stock now, its history, and the chart of
// its units over time.
#include "web/pages.hh"

#include "web/chart.hh"
#include "web/csv.hh"
#include "web/local_time.hh"
#include "web/templates.hh"
#include "web/text.hh"

#include <chrono>
#include <vector>

namespace {

std::vector<HistoryEntry> historyOf(StoreReader& store, std::string_view id)
{
    std::vector<HistoryEntry> entries;
    store.historyOf(id, [&entries](const HistoryEntry& entry) {
        entries.push_back(entry);
    });
    return entries;
}

/// The page of an id that is neither in stock nor in the history.
Reply unknownProduct(std::string_view id)
{
    page::Data data;
    data.set("product", shownText(id));
    Reply reply;
    reply.status = 404;
    reply.html = page::render(page::MISSING, data);
    return reply;
}

std::string unitsOf(const std::optional<std::uint32_t>& units)
{
    return units ? std::to_string(*units) : page::MANY_PRODUCTS;
}

page::Data chartData(const std::vector<HistoryEntry>& entries,
                     const std::string& label)
{
    std::vector<ChartPoint> points;
    for (const HistoryEntry& entry : entries) {
        const auto moment = utcMilliseconds(entry.time);
        if (moment && entry.after) {
            points.push_back({*moment, *entry.after});
        }
    }
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const Chart chart = unitsChart(points, now.count());
    page::Object data;
    data["width"] = std::to_string(chart.width);
    data["height"] = std::to_string(chart.height);
    data["left"] = std::to_string(chart.left);
    data["right"] = std::to_string(chart.right);
    data["top"] = std::to_string(chart.top);
    data["bottom"] = std::to_string(chart.bottom);
    data["scale_x"] = std::to_string(chart.scaleX);
    data["top_label_y"] = std::to_string(chart.topLabelY);
    data["date_y"] = std::to_string(chart.dateY);
    data["points"] = chart.points;
    page::List ticks;
    for (const ChartTick& tick : chart.ticks) {
        page::Object mark;
        mark["x"] = std::to_string(tick.x);
        mark["label"] = tick.label;
        mark["anchor"] = std::string(tick.anchor);
        ticks.emplace_back(std::move(mark));
    }
    data["ticks"] = ticks;
    data["tick_top"] = std::to_string(chart.bottom);
    data["tick_bottom"] = std::to_string(chart.bottom + 4);
    data["most"] = std::to_string(chart.most);
    data["label"] = label;
    data["first"] = localTime(entries.front().time).substr(0, 10);
    data["last"] = today();
    return data;
}

std::string shownCents(std::int64_t units, const std::optional<std::int64_t>& cost)
{
    return cost ? moneyTimes(units, *cost) : std::string();
}

/// A product's lots, as "lots" in data: each lot's date, units and worth
/// at cost (cents a unit), and the units of the product's that no lot
/// holds, undated. Nothing on a store that keeps no lots.
void lotsData(StoreReader& store, std::string_view id, std::uint64_t units,
              const std::optional<std::int64_t>& cost, page::Data& data)
{
    if (!store.keepsLots()) {
        return;
    }
    page::List rows;
    std::uint64_t dated = 0;
    const std::string now = today();
    store.lotsOf(id, [&](const Lot& lot) {
        page::Object row;
        row["best_before"] = shownText(lot.bestBefore);
        row["units"] = std::to_string(lot.units);
        row["value"] = shownCents(static_cast<std::int64_t>(lot.units), cost);
        if (lot.bestBefore < now) {  // as /expiring has it
            row["expired"] = true;
        }
        rows.emplace_back(std::move(row));
        dated += lot.units;
        return true;
    });
    page::Object lots;
    lots["rows"] = rows;
    if (units > dated) {
        lots["undated"] = std::to_string(units - dated);
        lots["undated_value"] = shownCents(static_cast<std::int64_t>(units - dated), cost);
    }
    data.set("lots", lots);
}

}  // namespace

Reply productPage(StoreReader& store, std::string_view id)
{
    const std::optional<Product> product = store.product(id);
    const std::vector<HistoryEntry> entries = historyOf(store, id);
    if (!product && entries.empty()) {
        return unknownProduct(id);
    }
    page::Data data;
    data.set("id", shownText(id));
    data.set("csv", productPath(id) + ".csv");
    const auto record = store.catalogueRecord(id);
    if (record) {
        const auto cents = [](const std::optional<std::int64_t>& value) {
            return value ? money(*value) : std::string();
        };
        page::Object shown;
        shown["name"] = shownText(record->name);
        shown["shelf"] = shownText(record->shelf);
        shown["price"] = cents(record->price);
        shown["cost"] = cents(record->cost);
        shown["reorder_level"] =
            record->reorderLevel ? std::to_string(*record->reorderLevel) : std::string();
        shown["discontinued"] = record->discontinued ? "yes" : "no";
        data.set("record", shown);
    }
    if (product) {
        data.set("in_stock", true);
        data.set("name", shownText(product->name));
        data.set("amount", std::to_string(product->amount));
        data.set("shelf", shownText(product->shelf));
        lotsData(store, id, product->amount,
                 record ? record->cost : std::optional<std::int64_t>(), data);
    }
    if (!entries.empty()) {
        data.set("chart", chartData(entries, shownText(product ? product->name : id)));
    }
    page::List rows;
    for (const HistoryEntry& entry : entries) {
        page::Object row;
        row["time"] = localTime(entry.time);
        row["clerk"] = shownText(who(entry));
        row["command"] = shownText(entry.command.value_or(""));
        row["before"] = entry.before ? std::to_string(*entry.before) : "";
        row["after"] = unitsOf(entry.after);
        rows.emplace_back(std::move(row));
    }
    data.set("entries", rows);
    Reply reply;
    // Not in stock: the history is there, and the status says it is gone.
    reply.status = product ? 200 : 404;
    reply.html = page::render(page::PRODUCT, data);
    return reply;
}

Reply productCsv(StoreReader& store, std::string_view id)
{
    if (!store.product(id) && historyOf(store, id).empty()) {
        return unknownProduct(id);
    }
    Reply reply;
    reply.fileName = datedFileName("product-" + percentEncoded(id));
    reply.csv = [id = std::string(id)](StoreReader& reader, const CsvWrite& write) {
        std::string out = page::PRODUCT_CSV;
        CsvWriter line(out);
        for (const HistoryEntry& entry : historyOf(reader, id)) {
            line.text(localTime(entry.time)).text(who(entry));
            line.text(entry.command.value_or(""));
            if (entry.before) {
                line.number(static_cast<std::int64_t>(*entry.before));
            } else {
                line.none();
            }
            if (entry.after) {
                line.number(static_cast<std::int64_t>(*entry.after));
            } else {
                line.text(page::MANY_PRODUCTS);
            }
            line.end();
        }
        write(out);
    };
    return reply;
}
