// Which page answers an address: the path read into a route, and the route
// answered from a view of the store.
#ifndef WAREHOUSE_WEB_ROUTES_HH
#define WAREHOUSE_WEB_ROUTES_HH

#include "web/pages.hh"

#include <string>
#include <string_view>

/// Which page answers a path, and the id or the day it names, decoded.
struct Route {
    enum Kind { Stock, StockCsv, Low, LowCsv, SoldOutCsv, Reorder, ReorderCsv,
                Days, DaysCsv, Day, DayCsv, Expiring, ExpiringCsv, Counts, CountsCsv,
                Product, ProductCsv, Missing, BadEncoding } kind = Missing;
    std::string argument;
    DayTable table = DayTable::Products;
};

/// The route of a path: Missing for none, BadEncoding for a % that stands
/// for nothing in the id or day it names.
Route routeOf(std::string_view path);

/// The page of a route, read from store with the query's params.
Reply pageOf(StoreReader& store, const Route& route, const Params& params);

#endif
