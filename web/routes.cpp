// Which page answers an address, and the page read for it.
#include "web/routes.hh"

#include "web/text.hh"

namespace {

bool endsWith(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() &&
           text.substr(text.size() - end.size()) == end;
}

}  // namespace

Route routeOf(std::string_view path)
{
    static const std::pair<std::string_view, Route::Kind> fixed[] = {
        {"/", Route::Stock},   {"/stock.csv", Route::StockCsv},
        {"/low", Route::Low},  {"/low.csv", Route::LowCsv},
        {"/soldout.csv", Route::SoldOutCsv}, {"/day", Route::Day},
        {"/reorder", Route::Reorder}, {"/reorder.csv", Route::ReorderCsv},
        {"/days", Route::Days}, {"/days.csv", Route::DaysCsv},
        {"/expiring", Route::Expiring}, {"/expiring.csv", Route::ExpiringCsv},
        {"/counts", Route::Counts}, {"/counts.csv", Route::CountsCsv},
    };
    for (const auto& [name, kind] : fixed) {
        if (path == name) {
            return {kind, {}};
        }
    }
    Route route;
    std::string_view rest;
    if (path.rfind("/product/", 0) == 0) {
        rest = path.substr(9);
        route.kind = endsWith(rest, ".csv") ? Route::ProductCsv : Route::Product;
        if (route.kind == Route::ProductCsv) {
            rest.remove_suffix(4);
        }
    } else if (path.rfind("/day/", 0) == 0) {
        rest = path.substr(5);
        static const std::pair<std::string_view, DayTable> files[] = {
            {"/clerks.csv", DayTable::Clerks},
            {"/commands.csv", DayTable::Commands},
            {".csv", DayTable::Products},
        };
        route.kind = Route::Day;
        for (const auto& [end, table] : files) {
            if (endsWith(rest, end)) {
                route.kind = Route::DayCsv;
                route.table = table;
                rest.remove_suffix(end.size());
                break;
            }
        }
    } else {
        return {};
    }
    if (rest.empty()) {
        return {};
    }
    const auto decoded = percentDecoded(rest);
    if (!decoded) {
        return {Route::BadEncoding, {}};
    }
    route.argument = *decoded;
    return route;
}

Reply pageOf(StoreReader& store, const Route& route, const Params& params)
{
    switch (route.kind) {
    case Route::Stock: return stockPage(store, params);
    case Route::StockCsv: return stockCsv(store, params);
    case Route::Low: return lowPage(store, params);
    case Route::LowCsv: return lowCsv(store, params);
    case Route::SoldOutCsv: return soldOutCsv(store);
    case Route::Reorder: return reorderPage(store, params);
    case Route::ReorderCsv: return reorderCsv(store, params);
    case Route::Days: return spanPage(store, params);
    case Route::DaysCsv: return spanCsv(store, params);
    case Route::Expiring: return expiringPage(store, params);
    case Route::ExpiringCsv: return expiringCsv(store, params);
    case Route::Counts: return countsPage(store, params);
    case Route::CountsCsv: return countsCsv(store);
    case Route::Day: return dayPage(store, route.argument, params);
    case Route::DayCsv: return dayCsv(store, route.argument, route.table);
    case Route::Product: return productPage(store, route.argument);
    case Route::ProductCsv: return productCsv(store, route.argument);
    case Route::Missing:
    case Route::BadEncoding: break;
    }
    return {};
}
