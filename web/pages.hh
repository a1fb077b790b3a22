// The pages and CSV files of the owner's view: what each one reads from the
// store and how it fills its template. The server picks the page; a page
// never sees HTTP beyond its parameters and its reply.
#ifndef WAREHOUSE_WEB_PAGES_HH
#define WAREHOUSE_WEB_PAGES_HH

#include "web/store_reader.hh"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

/// A request's query parameters, decoded.
using Params = std::multimap<std::string, std::string>;

/// Writes a part of a CSV file to the client; false when the client is
/// gone and the writing should stop.
using CsvWrite = std::function<bool(std::string_view part)>;

/// What a page answers: a whole HTML page, or a CSV file that is written
/// as the store is read, in the snapshot the page began.
struct Reply {
    int status = 200;
    std::string html;
    std::function<void(StoreReader&, const CsvWrite&)> csv;  // set: a CSV
    std::string fileName;                                    // the CSV's
};

/// Why a request is refused before any page reads the store.
enum class Refusal { Key, Method, Below, Sort, Boundary, Encoding, TooLong, Host, Other, Days, Span,
                     Window };

// Pages that read nothing.
Reply refusedPage(int status, Refusal why, std::string_view method = {});

/// A number of a query's parameter: plain decimal digits that fit in 64
/// bits, or none.
std::optional<std::uint64_t> queryNumber(const std::string& text);
/// The number of the parameter name, otherwise when there is none; none
/// when it cannot be read.
std::optional<std::uint64_t> numberParam(const Params& params, const char* name,
                                         std::uint64_t otherwise);
Reply missingPage(std::string_view path);
/// The store could not be read: why is the view's log's to tell, not the
/// browser's, which would show a server's words and its queries.
Reply storeDownPage();

// The stock and the low: "/", "/stock.csv", "/low", "/low.csv",
// "/soldout.csv".
Reply stockPage(StoreReader& store, const Params& params);
Reply stockCsv(StoreReader& store, const Params& params);
Reply lowPage(StoreReader& store, const Params& params);
Reply lowCsv(StoreReader& store, const Params& params);
Reply soldOutCsv(StoreReader& store);

/// The tables of a day's report, each with its own CSV.
enum class DayTable { Products, Clerks, Commands };

// A local day, "YYYY-MM-DD": "/day/DATE" and its CSV files.
Reply dayPage(StoreReader& store, std::string_view date, const Params& params);
// A span of days, "/days?from=DATE&to=DATE", and its CSV ("&table=clerks").
Reply spanPage(StoreReader& store, const Params& params);
Reply spanCsv(StoreReader& store, const Params& params);
Reply dayCsv(StoreReader& store, std::string_view date, DayTable table);

// A product by its id: "/product/ID", "/product/ID.csv".
Reply productPage(StoreReader& store, std::string_view id);
Reply productCsv(StoreReader& store, std::string_view id);

// What to order: "/reorder", "/reorder.csv".
Reply reorderPage(StoreReader& store, const Params& params);
Reply reorderCsv(StoreReader& store, const Params& params);

// The lots that expire within days or have expired, "/expiring?days=N",
// and its CSV; the stock-takes and their differences, "/counts", and its
// CSV. On a store older than the lots they say it keeps none.
Reply expiringPage(StoreReader& store, const Params& params);
Reply expiringCsv(StoreReader& store, const Params& params);
Reply countsPage(StoreReader& store, const Params& params);
Reply countsCsv(StoreReader& store);

/// A CSV file's name with today's date: "stock" gives
/// "stock-2026-12-09.csv".
std::string datedFileName(std::string_view what);

/// Where a product's page is.
std::string productPath(std::string_view id);

#endif
