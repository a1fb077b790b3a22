// A store as the owner's view reads it: never written, read in snapshots,
// and the same few questions asked of an SQLite file or a PostgreSQL
// database alike.
#ifndef WAREHOUSE_WEB_STORE_READER_HH
#define WAREHOUSE_WEB_STORE_READER_HH

#include "store/history_entry.hh"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

/// What a store read failed with, in the database library's own words.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A product as a read gives it: the views last until the visitor returns.
struct ProductView {
    std::string_view id;
    std::uint64_t amount;  // units, 1 to 4294967295
    std::string_view shelf;
    std::string_view name;
};

/// A product kept past the read that found it.
struct Product {
    std::string id;
    std::uint64_t amount = 0;
    std::string shelf;
    std::string name;

    Product() = default;
    explicit Product(const ProductView& view)
        : id(view.id), amount(view.amount), shelf(view.shelf), name(view.name)
    {
    }
};

/// The orders the stock can be read in; ties go by id.
enum class Order { Id, Amount, Shelf, Name };

/// A stretch of the stock in an order: the products past a boundary
/// product, or before it.
struct StockSlice {
    Order order = Order::Id;
    const Product* after = nullptr;   // those that come after it; null: all
    const Product* before = nullptr;  // those before it, nearest first
    std::size_t limit = 0;            // at most this many
};

struct Totals {
    std::uint64_t kinds = 0;
    std::uint64_t units = 0;
};

/// A product's record in the catalogue, which outlives its last unit: what
/// the shop sells it at and pays for it, in whole cents, and at how many
/// units more should be ordered; none where nobody has said.
struct CatalogueRecord {
    std::string id;
    std::string name;
    std::string shelf;
    std::optional<std::int64_t> price;
    std::optional<std::int64_t> cost;
    std::optional<std::int64_t> reorderLevel;
    bool discontinued = false;
};

/// What the stock is worth: units times cents over the products whose
/// price (cost) is known, and how many kinds in stock have none. The
/// worths are whole cents in decimal digits, exact however large: a
/// million products of up to 2^32 - 1 units each at up to 2^63 - 1 cents
/// can be worth far more than 64 bits hold.
struct StockValue {
    Totals totals;
    std::string atCost = "0";
    std::string atPrice = "0";
    std::uint64_t withoutCost = 0;
    std::uint64_t withoutPrice = 0;
};

/// A product at or below the units at which more should be ordered.
struct ReorderRow {
    CatalogueRecord record;
    std::uint64_t units = 0;      // in stock; 0 when sold out
    std::uint64_t withdrawn = 0;  // by withdrawals since the time asked
};

/// A lot: units of a product with one best-before date, "YYYY-MM-DD".
/// Only dated units are lots; a product's other units are undated.
struct Lot {
    std::string id;
    std::string name;   // the product's, as in stock
    std::string shelf;
    std::string bestBefore;
    std::uint64_t units = 0;
    std::optional<std::int64_t> cost;  // cents a unit, as the catalogue says
};

/// The lots of a list together: their units, their worth at cost over the
/// lots whose cost is known, and how many lots have none.
struct LotTotals {
    std::uint64_t lots = 0;
    std::uint64_t units = 0;
    std::string atCost = "0";  // cents, in decimal digits: past 64 bits
    std::uint64_t withoutCost = 0;
};

/// A product's difference that a stock-take found: its history entry (the
/// units expected before, those counted after), the reason given, if any,
/// and the product's name and cost a unit in the catalogue.
struct CountDifference {
    HistoryEntry entry;
    std::optional<std::string> reason;
    std::string name;
    std::optional<std::int64_t> cost;
};

using ProductVisitor = std::function<bool(const ProductView&)>;  // false stops
using LotVisitor = std::function<bool(const Lot&)>;              // false stops
using CountVisitor = std::function<void(const CountDifference&)>;
using EntryVisitor = std::function<void(const HistoryEntry&)>;
using SoldOutVisitor = std::function<void(const HistoryEntry&, std::string_view name)>;
using RecordVisitor = std::function<void(const CatalogueRecord&)>;
using ReorderVisitor = std::function<void(const ReorderRow&)>;

/// A read-only view of one store, for one request at a time. Every read
/// between begin() and finish() sees the store as it was when the first of
/// them ran, with every commit made before; a read never blocks a clerk's
/// commit. A failed read throws StoreError, and the view should then be
/// dropped.
class StoreReader {
public:
    virtual ~StoreReader() = default;

    /// Opens a view of the store that where names: a file, or a
    /// postgresql:// URI. Throws StoreError when it cannot be read as a
    /// store of a version this program knows; creates and changes nothing.
    static std::unique_ptr<StoreReader> open(const std::string& where);

    /// True when the store this view opened is no longer where it was
    /// found: its file was replaced or removed.
    virtual bool replaced() const { return false; }

    virtual void begin() = 0;
    /// Ends the snapshot; also after a failure.
    virtual void finish() = 0;

    /// The kinds of products in stock, and their units together.
    virtual Totals totals() = 0;
    /// The products of the slice, nearest to its boundary first.
    virtual void slice(const StockSlice& slice, const ProductVisitor& visit) = 0;
    /// Every product (with fewer than below units, when given), in that
    /// order, or in the store's own order without one.
    virtual void everyProduct(std::optional<std::uint64_t> below,
                              std::optional<Order> order,
                              const ProductVisitor& visit) = 0;
    virtual std::optional<Product> product(std::string_view id) = 0;
    /// A product's own entries, and the entries of many products after its
    /// first one, oldest first: what H shows of it.
    virtual void historyOf(std::string_view id, const EntryVisitor& visit) = 0;
    /// The entries from the UTC time from up to, not including, to, oldest
    /// first.
    virtual void historyBetween(const std::string& from, const std::string& to,
                                const EntryVisitor& visit) = 0;
    /// For each product that is not in stock and has a history, the entry
    /// that took it to 0 units, with the product's id: its own last entry,
    /// or the emptying of the stock that followed it, and the product's
    /// name in the catalogue. Newest first.
    virtual void soldOut(const SoldOutVisitor& visit) = 0;

    /// The stock's totals and its worth at cost and at sale price, in one
    /// pass; kept by the view while the store is unchanged.
    virtual StockValue stockValue() = 0;
    virtual std::optional<CatalogueRecord> catalogueRecord(std::string_view id) = 0;
    /// The records of the products that the entries from the UTC time from
    /// up to to changed, in no order.
    virtual void catalogueBetween(const std::string& from, const std::string& to,
                                  const RecordVisitor& visit) = 0;
    /// Every product that is not discontinued and has no more units than
    /// its reorder level (fewer than below, without one), sold-out ones
    /// too, with the units withdrawn since the UTC time since; by id. The
    /// products are kept by the view while the store is unchanged; the
    /// withdrawals are summed at each call.
    virtual void reorder(std::uint64_t below, const std::string& since,
                         const ReorderVisitor& visit) = 0;

    /// True when the store keeps lots and stock-takes: a store made or
    /// brought up to date by a warehouse that has them. An older one has
    /// neither, and the reads below must not be asked of it.
    virtual bool keepsLots() = 0;
    /// The lots whose best-before date is last ("YYYY-MM-DD") or earlier,
    /// the earliest first (ties: the lot received first), past the first
    /// skip of them, at most limit (0: all).
    virtual void lotsUntil(const std::string& last, std::uint64_t skip,
                           std::uint64_t limit, const LotVisitor& visit) = 0;
    virtual LotTotals lotTotalsUntil(const std::string& last) = 0;
    /// A product's lots, the earliest first.
    virtual void lotsOf(std::string_view id, const LotVisitor& visit) = 0;
    /// Every difference of every stock-take, the newest stock-take first,
    /// by id within one.
    virtual void countDifferences(const CountVisitor& visit) = 0;
};

#endif
