// The stock and the low, a page of products at a time, and their CSV files.
#include "web/pages.hh"

#include "web/csv.hh"
#include "web/local_time.hh"
#include "web/search.hh"
#include "web/templates.hh"
#include "web/text.hh"

#include <algorithm>
#include <charconv>
#include <variant>
#include <vector>

namespace {

constexpr std::size_t PAGE_SIZE = 100;
constexpr std::uint64_t DEFAULT_BELOW = 10;
constexpr std::size_t SOLD_OUT_SHOWN = 100;
// A CSV file goes to the client in parts of about this size.
constexpr std::size_t CSV_PART = 64 * 1024;

/// What a list of products asks for: the page at a boundary of a list
/// that a text, a number of units and an order make.
struct Listing {
    std::string path;                    // "/" or "/low"
    Order defaultOrder = Order::Id;      // the path's order without sort=
    std::string text;                    // the products must hold it
    std::optional<std::uint64_t> below;  // they must have fewer units
    Order order = Order::Id;
    std::optional<Product> after;   // the page starts after it
    std::optional<Product> before;  // or ends before it
};

/// A page of a list, in its order.
struct Picked {
    std::vector<Product> rows;
    bool hasPrevious = false;
    bool hasNext = false;
    std::uint64_t matched = 0;  // read whole: the products in the list
};

const std::string* param(const Params& params, const char* name)
{
    const auto found = params.find(name);
    return found == params.end() ? nullptr : &found->second;
}

/// A whole number of plain digits that fits in 64 bits.
constexpr std::uint64_t MOST_UNITS = 4294967295;


const char* const ORDER_NAMES[] = {"id", "amount", "shelf", "name"};

std::optional<Order> orderNamed(const std::string& name)
{
    for (int i = 0; i < 4; ++i) {
        if (name == ORDER_NAMES[i]) {
            return static_cast<Order>(i);
        }
    }
    return std::nullopt;
}

const char* nameOf(Order order)
{
    return ORDER_NAMES[static_cast<int>(order)];
}

/// The boundary product of a page link: its id, and its value in the
/// list's order (none for the order by id).
std::optional<Product> boundaryOf(Order order, const std::string& id,
                                  const std::string* value)
{
    Product product;
    product.id = id;
    if (order == Order::Id) {
        return product;
    }
    if (value == nullptr) {
        return std::nullopt;
    }
    if (order == Order::Amount) {
        const auto amount = queryNumber(*value);
        if (!amount) {
            return std::nullopt;
        }
        product.amount = *amount;
        return product;
    }
    (order == Order::Shelf ? product.shelf : product.name) = *value;
    return product;
}

/// Reads a list's parameters: q, below, sort, and after or before with
/// value. A refusal when one of them cannot be read.
std::variant<Listing, Refusal> readListing(const Params& params, bool low)
{
    Listing listing;
    listing.path = low ? "/low" : "/";
    listing.defaultOrder = low ? Order::Amount : Order::Id;
    listing.order = listing.defaultOrder;
    if (const std::string* text = param(params, "q"); text != nullptr && !low) {
        listing.text = *text;
    }
    if (low) {
        const std::string* below = param(params, "below");
        listing.below = below != nullptr ? queryNumber(*below) : DEFAULT_BELOW;
        // No product holds more than 2^32 - 1 units: a larger bound finds
        // what that one does, and is not passed on where it would not fit.
        if (listing.below && *listing.below > MOST_UNITS + 1) {
            listing.below = MOST_UNITS + 1;
        }
        if (!listing.below || *listing.below == 0) {
            return Refusal::Below;
        }
    }
    if (const std::string* sort = param(params, "sort"); sort != nullptr) {
        const auto order = orderNamed(*sort);
        if (!order) {
            return Refusal::Sort;
        }
        listing.order = *order;
    }
    const std::string* value = param(params, "value");
    if (const std::string* after = param(params, "after"); after != nullptr) {
        listing.after = boundaryOf(listing.order, *after, value);
        if (!listing.after) {
            return Refusal::Boundary;
        }
    } else if (const std::string* before = param(params, "before");
               before != nullptr) {
        listing.before = boundaryOf(listing.order, *before, value);
        if (!listing.before) {
            return Refusal::Boundary;
        }
    }
    return listing;
}

/// The address of a page of the list in order, after or before a product.
std::string linkTo(const Listing& listing, Order order,
                   const Product* after = nullptr,
                   const Product* before = nullptr)
{
    std::string query;
    const auto add = [&query](const char* name, std::string_view value) {
        query += query.empty() ? "?" : "&";
        query += name;
        query += '=';
        query += percentEncoded(value);
    };
    if (!listing.text.empty()) {
        add("q", listing.text);
    }
    if (listing.below) {
        add("below", std::to_string(*listing.below));
    }
    if (order != listing.defaultOrder) {
        add("sort", nameOf(order));
    }
    const Product* const boundary = after != nullptr ? after : before;
    if (boundary != nullptr) {
        add(after != nullptr ? "after" : "before", boundary->id);
        if (order == Order::Amount) {
            add("value", std::to_string(boundary->amount));
        } else if (order != Order::Id) {
            add("value", order == Order::Shelf ? boundary->shelf : boundary->name);
        }
    }
    return listing.path + query;
}

ProductView viewOf(const Product& product)
{
    return {product.id, product.amount, product.shelf, product.name};
}

/// True when a comes before b in order; ties go by id, as in the store.
bool comesBefore(Order order, const ProductView& a, const ProductView& b)
{
    switch (order) {
    case Order::Id: return a.id < b.id;
    case Order::Amount:
        return a.amount != b.amount ? a.amount < b.amount : a.id < b.id;
    case Order::Shelf:
        return a.shelf != b.shelf ? a.shelf < b.shelf : a.id < b.id;
    case Order::Name: return a.name != b.name ? a.name < b.name : a.id < b.id;
    }
    return false;
}

/// A page of the products that hold a text (or all of them, below a
/// number): every product is read once and held to the text, and the page
/// is kept in a heap of those nearest the boundary, the farthest on top, as
/// the console's L keeps its first.
Picked pickMatching(StoreReader& store, const Listing& listing)
{
    const bool backwards = listing.before.has_value();
    const std::optional<Product>& boundary =
        backwards ? listing.before : listing.after;
    const Order order = listing.order;
    // a is nearer the boundary than b, in the page's way.
    const auto nearerView = [order, backwards](const ProductView& a,
                                               const ProductView& b) {
        return backwards ? comesBefore(order, b, a) : comesBefore(order, a, b);
    };
    const auto nearer = [&nearerView](const Product& a, const Product& b) {
        return nearerView(viewOf(a), viewOf(b));
    };
    Search search(listing.text);
    Picked picked;
    std::vector<Product>& heap = picked.rows;
    bool otherSide = false;  // a match on the far side of the boundary
    store.everyProduct(listing.below, std::nullopt, [&](const ProductView& product) {
        if (!search.matches(product.id, product.shelf, product.name)) {
            return true;
        }
        ++picked.matched;
        if (boundary) {
            const ProductView edge = viewOf(*boundary);
            const bool beyond = backwards ? comesBefore(order, product, edge)
                                          : comesBefore(order, edge, product);
            if (!beyond) {
                otherSide = true;
                return true;
            }
        }
        if (heap.size() <= PAGE_SIZE) {
            heap.emplace_back(product);
            std::push_heap(heap.begin(), heap.end(), nearer);
        } else if (nearerView(product, viewOf(heap.front()))) {
            std::pop_heap(heap.begin(), heap.end(), nearer);
            heap.back() = Product(product);
            std::push_heap(heap.begin(), heap.end(), nearer);
        }
        return true;
    });
    std::sort_heap(heap.begin(), heap.end(), nearer);
    const bool more = heap.size() > PAGE_SIZE;
    if (more) {
        heap.pop_back();
    }
    if (backwards) {
        std::reverse(heap.begin(), heap.end());
    }
    (backwards ? picked.hasPrevious : picked.hasNext) = more;
    (backwards ? picked.hasNext : picked.hasPrevious) = otherSide;
    return picked;
}

/// A page of the whole stock, which the store finds in its order and stops
/// reading at the page's end.
Picked pickSlice(StoreReader& store, const Listing& listing)
{
    const bool backwards = listing.before.has_value();
    StockSlice slice;
    slice.order = listing.order;
    slice.after = listing.after ? &*listing.after : nullptr;
    slice.before = listing.before ? &*listing.before : nullptr;
    slice.limit = PAGE_SIZE + 1;
    Picked picked;
    store.slice(slice, [&picked](const ProductView& product) {
        picked.rows.emplace_back(product);
        return true;
    });
    const bool more = picked.rows.size() > PAGE_SIZE;
    if (more) {
        picked.rows.pop_back();
    }
    if (backwards) {
        std::reverse(picked.rows.begin(), picked.rows.end());
    }
    (backwards ? picked.hasPrevious : picked.hasNext) = more;
    const Product* const boundary = slice.after != nullptr ? slice.after : slice.before;
    if (boundary != nullptr) {
        // Is there a product on the far side of the page?
        StockSlice far;
        far.order = listing.order;
        const Product* edge = boundary;
        if (!picked.rows.empty()) {
            edge = backwards ? &picked.rows.back() : &picked.rows.front();
        }
        (backwards ? far.after : far.before) = edge;
        far.limit = 1;
        bool found = false;
        store.slice(far, [&found](const ProductView&) {
            found = true;
            return false;
        });
        (backwards ? picked.hasNext : picked.hasPrevious) = found;
    }
    return picked;
}

/// The data of a page of products, for the template's product table.
void fillTable(page::Data& data, const Listing& listing, const Picked& picked)
{
    page::List rows;
    for (const Product& product : picked.rows) {
        page::Object row;
        row["href"] = productPath(product.id);
        row["id"] = shownText(product.id);
        row["amount"] = std::to_string(product.amount);
        row["shelf"] = shownText(product.shelf);
        row["name"] = shownText(product.name);
        rows.emplace_back(std::move(row));
    }
    data.set("has_rows", !rows.empty());
    data.set("rows", rows);
    data.set("page_size", std::to_string(PAGE_SIZE));
    for (int i = 0; i < 4; ++i) {
        const auto order = static_cast<Order>(i);
        data.set(std::string("sort_") + nameOf(order), linkTo(listing, order));
        if (order == listing.order) {
            data.set(std::string("by_") + nameOf(order), true);
        }
    }
    if (picked.hasPrevious && !picked.rows.empty()) {
        data.set("previous", linkTo(listing, listing.order, nullptr, &picked.rows.front()));
    }
    if (picked.hasNext && !picked.rows.empty()) {
        data.set("next", linkTo(listing, listing.order, &picked.rows.back()));
    }
    // Products gone since the link was made can leave a page with none.
    if (picked.rows.empty() && (listing.after || listing.before)) {
        data.set("past_end", linkTo(listing, listing.order));
    }
}

/// A page of the list. The whole stock comes a page at a time from the
/// store's index; products that hold a text, or have fewer units than a
/// number, are read once, which also counts them.
Picked pick(StoreReader& store, const Listing& listing)
{
    return listing.text.empty() && !listing.below ? pickSlice(store, listing)
                                                  : pickMatching(store, listing);
}

/// Collects a CSV file and hands it to the client a part at a time.
class CsvParts {
public:
    explicit CsvParts(const CsvWrite& write, const char* header)
        : write(write), writer(buffer)
    {
        buffer = header;
    }

    CsvWriter& line() { return writer; }

    /// Ends a line; false when the client is gone.
    bool end()
    {
        writer.end();
        return buffer.size() < CSV_PART || flush();
    }

    bool flush()
    {
        const bool written = write(buffer);
        buffer.clear();
        return written;
    }

private:
    const CsvWrite& write;
    std::string buffer;
    CsvWriter writer;
};

Reply csvReply(std::string fileName,
               std::function<void(StoreReader&, const CsvWrite&)> write)
{
    Reply reply;
    reply.fileName = std::move(fileName);
    reply.csv = std::move(write);
    return reply;
}

/// Every product of a list as CSV, in the list's order.
Reply productsCsv(std::string fileName, std::optional<std::uint64_t> below,
                  Order order, std::string text)
{
    return csvReply(std::move(fileName), [below, order, text](StoreReader& store,
                                                               const CsvWrite& write) {
        CsvParts parts(write, page::STOCK_CSV);
        Search search(text);
        bool open = true;
        store.everyProduct(below, order, [&](const ProductView& product) {
            if (!search.matches(product.id, product.shelf, product.name)) {
                return true;
            }
            parts.line().text(product.id).number(
                static_cast<std::int64_t>(product.amount));
            parts.line().text(product.shelf).text(product.name);
            open = parts.end();
            return open;
        });
        if (open) {
            parts.flush();
        }
    });
}

}  // namespace

std::optional<std::uint64_t> queryNumber(const std::string& text)
{
    std::uint64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end) {
        return std::nullopt;
    }
    return value;
}

Reply stockPage(StoreReader& store, const Params& params)
{
    auto read = readListing(params, false);
    if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
        return refusedPage(400, *refusal);
    }
    const Listing& listing = std::get<Listing>(read);
    // The first page without a search opens with the stock's worth, and
    // the totals come with it, in the one pass over the stock that both
    // need; the pages after it, which the worth would slow, leave it out.
    std::optional<StockValue> value;
    if (listing.text.empty() && !listing.after && !listing.before) {
        value = store.stockValue();
    }
    const Totals totals = value ? value->totals : store.totals();
    const Picked picked = pick(store, listing);
    page::Data data;
    data.set("kinds", std::to_string(totals.kinds));
    data.set("units", std::to_string(totals.units));
    if (value) {
        data.set("at_cost", moneyOfDigits(value->atCost));
        data.set("at_price", moneyOfDigits(value->atPrice));
        data.set("without_cost", std::to_string(value->withoutCost));
        data.set("without_price", std::to_string(value->withoutPrice));
    }
    if (!listing.text.empty()) {
        data.set("q", shownText(listing.text));
        data.set("matched", std::to_string(picked.matched));
    }
    fillTable(data, listing, picked);
    data.set("csv", listing.text.empty()
                        ? std::string("/stock.csv")
                        : "/stock.csv?q=" + percentEncoded(listing.text));
    Reply reply;
    reply.html = page::render(page::STOCK, data);
    return reply;
}

Reply stockCsv(StoreReader&, const Params& params)
{
    const std::string* text = param(params, "q");
    return productsCsv(datedFileName("stock"), std::nullopt, Order::Id,
                       text != nullptr ? *text : std::string());
}

Reply lowPage(StoreReader& store, const Params& params)
{
    auto read = readListing(params, true);
    if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
        return refusedPage(400, *refusal);
    }
    const Listing& listing = std::get<Listing>(read);
    const Picked picked = pick(store, listing);
    page::Data data;
    data.set("below", std::to_string(*listing.below));
    data.set("matched", std::to_string(picked.matched));
    fillTable(data, listing, picked);
    data.set("csv", "/low.csv?below=" + std::to_string(*listing.below));
    page::List soldOut;
    std::uint64_t count = 0;
    store.soldOut([&](const HistoryEntry& entry, std::string_view name) {
        if (++count > SOLD_OUT_SHOWN) {
            return;
        }
        page::Object row;
        row["href"] = productPath(*entry.id);
        row["id"] = shownText(*entry.id);
        row["name"] = shownText(name);
        row["time"] = localTime(entry.time);
        row["clerk"] = shownText(who(entry));
        row["command"] = shownText(entry.command.value_or(""));
        soldOut.emplace_back(std::move(row));
    });
    data.set("has_sold_out", !soldOut.empty());
    data.set("sold_out", soldOut);
    data.set("sold_out_count", std::to_string(count));
    if (count > SOLD_OUT_SHOWN) {
        data.set("sold_out_cut", true);
        data.set("sold_out_shown", std::to_string(SOLD_OUT_SHOWN));
    }
    Reply reply;
    reply.html = page::render(page::LOW, data);
    return reply;
}

Reply lowCsv(StoreReader&, const Params& params)
{
    auto read = readListing(params, true);
    if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
        return refusedPage(400, *refusal);
    }
    return productsCsv(datedFileName("low"), std::get<Listing>(read).below, Order::Amount,
                       std::string());
}

Reply soldOutCsv(StoreReader&)
{
    return csvReply(datedFileName("soldout"), [](StoreReader& store, const CsvWrite& write) {
        CsvParts parts(write, page::SOLD_OUT_CSV);
        bool open = true;
        store.soldOut([&](const HistoryEntry& entry, std::string_view name) {
            if (!open) {
                return;
            }
            parts.line().text(*entry.id).text(name).text(localTime(entry.time));
            parts.line().text(who(entry)).text(entry.command.value_or(""));
            open = parts.end();
        });
        if (open) {
            parts.flush();
        }
    });
}
