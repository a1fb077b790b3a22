// The owner's view over HTTP: requests checked, the key, and the page that
// answers each address.
#include "web/server.hh"

#include "web/pages.hh"
#include "web/text.hh"

#include <httplib.h>

namespace {

constexpr const char* HTML = "text/html; charset=utf-8";
constexpr const char* CSV = "text/csv; charset=utf-8; header=present";
constexpr const char* BYTE_ORDER_MARK = "\xEF\xBB\xBF";
constexpr const char* KEY_COOKIE = "warehouse_key";

// Requests served at once. A browser keeps a few connections open between
// pages, and each holds a thread until it has been idle for the keep-alive
// time; so there are many more threads than cores, and a request takes a
// view of the store only while it runs.
constexpr std::size_t THREADS = 32;
constexpr std::time_t KEEP_ALIVE_SECONDS = 2;

// The pages load nothing but themselves and run no script; none is kept in
// a cache, so that each shows the store as it is; the key in an address
// goes nowhere else.
const httplib::Headers SAFETY = {
    {"Content-Security-Policy",
     "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
     "base-uri 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

/// Compares in a time that does not tell how much of a guess was right.
bool sameKey(std::string_view given, std::string_view key)
{
    if (given.size() != key.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ key[i]);
    }
    return difference == 0;
}

/// The value of a cookie in the request's Cookie header; empty when none.
std::string cookie(const httplib::Request& request, std::string_view name)
{
    const std::string header = request.get_header_value("Cookie");
    std::string_view rest(header);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find(';'), rest.size());
        std::string_view pair = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
            pair[name.size()] == '=') {
            return std::string(pair.substr(name.size() + 1));
        }
    }
    return {};
}

void send(httplib::Response& response, const Reply& reply)
{
    response.status = reply.status;
    response.set_content(reply.html, HTML);
}

bool endsWith(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() &&
           text.substr(text.size() - end.size()) == end;
}

/// Which page answers a path, and the id or the day it names, decoded.
struct Route {
    enum Kind { Stock, StockCsv, Low, LowCsv, SoldOutCsv, Reorder, ReorderCsv,
                Days, DaysCsv, Day, DayCsv,
                Product, ProductCsv, Missing, BadEncoding } kind = Missing;
    std::string argument;
    DayTable table = DayTable::Products;
};

Route routeOf(std::string_view path)
{
    static const std::pair<std::string_view, Route::Kind> fixed[] = {
        {"/", Route::Stock},   {"/stock.csv", Route::StockCsv},
        {"/low", Route::Low},  {"/low.csv", Route::LowCsv},
        {"/soldout.csv", Route::SoldOutCsv}, {"/day", Route::Day},
        {"/reorder", Route::Reorder}, {"/reorder.csv", Route::ReorderCsv},
        {"/days", Route::Days}, {"/days.csv", Route::DaysCsv},
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
    case Route::Day: return dayPage(store, route.argument, params);
    case Route::DayCsv: return dayCsv(store, route.argument, route.table);
    case Route::Product: return productPage(store, route.argument);
    case Route::ProductCsv: return productCsv(store, route.argument);
    case Route::Missing:
    case Route::BadEncoding: break;
    }
    return {};
}

}  // namespace

WebServer::WebServer(ReaderPool& pool, ServerOptions options)
    : pool(pool), options(std::move(options)),
      server(std::make_unique<httplib::Server>())
{
    server->new_task_queue = [] { return new httplib::ThreadPool(THREADS); };
    server->set_keep_alive_timeout(KEEP_ALIVE_SECONDS);
    server->set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            for (const auto& [name, value] : SAFETY) {
                response.set_header(name, value);
            }
            return admitted(request, response)
                       ? httplib::Server::HandlerResponse::Unhandled
                       : httplib::Server::HandlerResponse::Handled;
        });
    server->Get(".*", [this](const httplib::Request& request,
                             httplib::Response& response) {
        answer(request, response);
    });
    // What the library refuses itself, such as a request line that is too
    // long, gets a page too.
    server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            const Refusal why = response.status == 414 ? Refusal::TooLong : Refusal::Other;
            send(response, refusedPage(response.status, why));
        }
    });
}

WebServer::~WebServer() = default;

bool WebServer::admitted(const httplib::Request& request,
                         httplib::Response& response) const
{
    if (!options.key.empty()) {
        const bool inQuery = request.has_param("key");
        const std::string given = inQuery ? request.get_param_value("key")
                                          : cookie(request, KEY_COOKIE);
        if (!sameKey(given, options.key)) {
            send(response, refusedPage(403, Refusal::Key));
            return false;
        }
        if (inQuery) {  // the pages' own links carry no key
            response.set_header("Set-Cookie", std::string(KEY_COOKIE) + "=" +
                                                  options.key +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
        }
    }
    if (request.method != "GET" && request.method != "HEAD") {
        send(response, refusedPage(405, Refusal::Method, request.method));
        response.set_header("Allow", "GET, HEAD");
        return false;
    }
    return true;
}

void WebServer::answer(const httplib::Request& request,
                       httplib::Response& response)
{
    const std::string_view target(request.target);
    const std::string_view path = target.substr(0, target.find('?'));
    const Route route = routeOf(path);
    if (route.kind == Route::Missing) {
        send(response, missingPage(path));
        return;
    }
    if (route.kind == Route::BadEncoding) {
        send(response, refusedPage(400, Refusal::Encoding));
        return;
    }
    std::optional<ReaderPool::Lease> lease;
    try {
        lease.emplace(pool.lend());
        (*lease)->begin();
        Reply reply = pageOf(**lease, route, request.params);
        if (!reply.csv) {
            send(response, reply);
            return;
        }
        // The file is written after this returns, in the same snapshot:
        // the view goes with it.
        auto held = std::make_shared<ReaderPool::Lease>(std::move(*lease));
        response.set_header("Content-Disposition",
                            "attachment; filename=\"" + reply.fileName + "\"");
        response.set_chunked_content_provider(
            CSV, [held, write = std::move(reply.csv)](std::size_t, httplib::DataSink& sink) {
                try {
                    // The mark tells a spreadsheet the file is UTF-8.
                    if (!sink.write(BYTE_ORDER_MARK, 3)) {
                        return false;
                    }
                    write(**held, [&sink](std::string_view part) {
                        return sink.is_writable() && sink.write(part.data(), part.size());
                    });
                } catch (const StoreError&) {
                    held->failed();
                    return false;  // the client sees the file cut off
                }
                sink.done();
                return true;
            });
    } catch (const StoreError& error) {
        if (lease) {
            lease->failed();
        }
        send(response, storeDownPage(error.what()));
    }
}

int WebServer::bind()
{
    if (options.port == 0) {
        return server->bind_to_any_port(options.host);
    }
    return server->bind_to_port(options.host, options.port) ? options.port : -1;
}

bool WebServer::serve()
{
    return server->listen_after_bind();
}

void WebServer::stop()
{
    server->stop();
}
