// The questions of the owner's view put in the SQL that SQLite and
// PostgreSQL share: each kind of store runs the statements, and says where
// its dialect differs.
#ifndef WAREHOUSE_WEB_SQL_READER_HH
#define WAREHOUSE_WEB_SQL_READER_HH

#include "web/store_reader.hh"
#include "web/wide_cents.hh"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

/// A statement's parameter, $1, $2, ... in the order given: bytes (an id,
/// a shelf), a text the server reads as it needs (a time), or a whole
/// number.
struct SqlParam {
    enum class Kind { Bytes, Text, Number } kind;
    std::string bytes;  // the bytes or the text
    std::int64_t number;
};

/// A row of a result, read while the row visitor runs.
class SqlRow {
public:
    virtual bool isNull(int column) const = 0;
    virtual std::string_view text(int column) const = 0;
    virtual std::int64_t number(int column) const = 0;

protected:
    ~SqlRow() = default;
};

using RowVisitor = std::function<bool(const SqlRow&)>;  // false stops

class SqlReader : public StoreReader {
public:
    /// Where the stores' SQL differs.
    struct Dialect {
        std::string time;        // changed_at as UTC text, YYYY-MM-DD HH:MM:SS.SSS
        std::string timeSuffix;  // what a UTC time compared with changed_at ends in
        // The sum of units times cents over the rows where both are known,
        // exactly, as decimal text: "0" for none.
        std::string (*productSum)(const std::string& units, const std::string& cents);
        std::string lotDate;     // lots.best_before, as l, as text YYYY-MM-DD
        std::string lotsFound;   // one row, one number: 1 when the table lots is there
        // What orders the lots picked for their totals, ahead of a look-up
        // of each one's cost: empty where the store plans that join alone.
        std::string lotsByIdForCosts;
        // Where the history stands: one row, one text, which the three
        // below are given as $1 to tell what came after it.
        std::string historyAt;
        // The condition on the table history of the entries added since $1.
        std::string addedSince;
        // One row, one number: 1 when $1 is still a place of the history,
        // 0 when the history has been replaced since.
        std::string historyHolds;
    };

    Totals totals() override;
    void slice(const StockSlice& slice, const ProductVisitor& visit) override;
    void everyProduct(std::optional<std::uint64_t> below,
                      std::optional<Order> order,
                      const ProductVisitor& visit) override;
    std::optional<Product> product(std::string_view id) override;
    void historyOf(std::string_view id, const EntryVisitor& visit) override;
    void historyBetween(const std::string& from, const std::string& to,
                        const EntryVisitor& visit) override;
    void soldOut(const SoldOutVisitor& visit) override;
    StockValue stockValue() override;
    std::optional<CatalogueRecord> catalogueRecord(std::string_view id) override;
    void catalogueBetween(const std::string& from, const std::string& to,
                          const RecordVisitor& visit) override;
    void reorder(std::uint64_t below, const std::string& since,
                 const ReorderVisitor& visit) override;
    bool keepsLots() override;
    void lotsUntil(const std::string& last, std::uint64_t skip,
                   std::uint64_t limit, const LotVisitor& visit) override;
    LotTotals lotTotalsUntil(const std::string& last) override;
    void lotsOf(std::string_view id, const LotVisitor& visit) override;
    void countDifferences(const CountVisitor& visit) override;

protected:
    explicit SqlReader(Dialect dialect) : dialect(std::move(dialect)) {}

    const Dialect dialect;

    /// How many rows a statement may give: few (a page, a count), or as
    /// many as the stock or the history holds, which are better not held in
    /// memory at once.
    enum class Rows { Few, Many };

    /// Runs sql with params, and calls visit for each row until it returns
    /// false. Throws StoreError when the store fails.
    virtual void query(const std::string& sql, const std::vector<SqlParam>& params,
                       Rows rows, const RowVisitor& visit) = 0;

    /// A mark of what the request's snapshot sees: two snapshots with one
    /// mark see the same store, and every commit of another client changes
    /// it. Read inside the snapshot, which reading it may take.
    virtual std::string changeMark() = 0;

    /// What the catalogue is now, kept beside the figures read from it;
    /// empty where the store cannot tell a later change of it.
    virtual std::string catalogueNow() = 0;
    /// What catalogueNow gives now, when the catalogue is the one of which
    /// it gave was while the history stood at historyAt, but for records
    /// made since of products that the history's entries since name, as a
    /// product's first delivery makes one (those had no units before, and
    /// their records are read with the others the entries name); none when
    /// it is not, or that cannot be told.
    virtual std::optional<std::string> catalogueAfter(const std::string& was,
                                                      const std::string& historyAt) = 0;
    /// Whether the store tells the changes of the lots that no entry of
    /// the history names (lotsFollowHistory); a read of the lots' totals
    /// then keeps each product's share, to be carried across a change.
    virtual bool notesLotChanges() = 0;
    /// Whether the lots are those they were while the history stood at
    /// historyAt, but for those of the products the entries since name;
    /// false when they may not be, or that cannot be told.
    virtual bool lotsFollowHistory(const std::string& historyAt) = 0;

    /// The first column of the first row of sql, as text; empty for none.
    std::string oneText(const std::string& sql, const std::vector<SqlParam>& params);

    /// Runs sql, which ends in "IN ", with the list of ids after it, a few
    /// of them at a time, and the params first (from $1) before them.
    void queryIds(const std::string& sql, const std::vector<std::string>& ids,
                  const std::vector<SqlParam>& first, const RowVisitor& visit);

private:
    /// What the view keeps of the stock and the catalogue between
    /// requests: read in a snapshot of the mark, and good for every
    /// snapshot of the same mark. Reading them takes a pass over a million
    /// products; the mark, a moment.
    struct Withdrawal {
        std::string time;  // UTC, as the dialect gives it
        std::string id;
        std::uint64_t units = 0;
    };
    struct Kept {
        std::string mark;
        std::string historyAt;    // where the history stood at the mark
        std::string catalogueAt;  // the catalogue then; empty: not read
        std::optional<StockValue> value;     // none: not read at this mark
        std::optional<std::uint64_t> below;  // the candidates': none, not read
        std::vector<ReorderRow> candidates;  // by id, nothing withdrawn
        // Every withdrawal since this UTC time; none: not read. A later
        // time's are among them, as long as the mark stays.
        std::optional<std::string> withdrawalsSince;
        std::vector<Withdrawal> withdrawals;
    };
    /// Lots' totals: those of the lots of a window, or of one product's.
    struct LotShare {
        std::uint64_t lots = 0;
        std::uint64_t units = 0;
        WideCents atCost = 0;           // of the lots whose product has a cost
        std::uint64_t withoutCost = 0;  // lots whose product has none

        LotShare& operator+=(const LotShare& other)
        {
            lots += other.lots;
            units += other.units;
            atCost += other.atCost;
            withoutCost += other.withoutCost;
            return *this;
        }
        LotShare& operator-=(const LotShare& other)
        {
            lots -= other.lots;
            units -= other.units;
            atCost -= other.atCost;
            withoutCost -= other.withoutCost;
            return *this;
        }
    };
    /// The totals of the lots best before a date or earlier, the last
    /// window asked, read at a mark. Apart from Kept, so that a page of
    /// lots brings neither the worth nor the list to order up to the mark.
    /// Where the store tells the lots' changes that no entry names, each
    /// product's share is kept, and the totals are carried across a change
    /// by the shares of the products its entries name; elsewhere they are
    /// read anew after any change.
    struct KeptLotTotals {
        std::string mark;
        std::string last;
        std::string historyAt;    // where the history stood at the mark
        std::string catalogueAt;  // the catalogue then (catalogueNow)
        LotShare total;
        // By id; none: not kept (too many, or not to be carried).
        std::optional<std::unordered_map<std::string, LotShare>> shares;
    };
    /// Candidates to order, or withdrawals, beyond these many are read at
    /// each request rather than kept.
    static constexpr std::size_t MOST_CANDIDATES_KEPT = 100000;
    static constexpr std::size_t MOST_WITHDRAWALS_KEPT = 500000;
    /// Products whose shares of the lots' totals are kept, at the most.
    static constexpr std::size_t MOST_LOT_SHARES_KEPT = 300000;

    /// What is kept, brought up to the store's mark first when the store
    /// has changed since (web/kept_figures.cpp).
    Kept& keptNow();
    /// The figures of kept brought to the mark: what they were, with the
    /// changes that the history lists since they were read. Only what it
    /// knows how to bring forward is carried; the rest is left unread.
    Kept carriedForward(Kept& kept, std::string mark);
    /// Notes what the catalogue is now, before figures that rest on it
    /// are read.
    void noteCatalogue(Kept& now);
    struct Entry;  // a new entry of the history
    /// Whether historyAt is still a place of the history: false when the
    /// history has been replaced since.
    bool historyHolds(const std::string& historyAt);
    /// The history's entries added since historyAt, in the order they were
    /// numbered; none when one names no product (an emptying, a load of
    /// too many products to list), or when they are too many to carry.
    std::optional<std::vector<Entry>> entriesSince(const std::string& historyAt);
    /// Moves the withdrawals of old to now, with those among entries.
    static void carryWithdrawals(Kept& old, const std::vector<Entry>& entries, Kept& now);
    StockValue readValue();
    std::vector<ReorderRow> readCandidates(std::uint64_t below);
    /// The records of ids, each with its units in stock (0: none), in no
    /// order; an id without a record is left out.
    void recordsOf(const std::vector<std::string>& ids, const ReorderVisitor& visit);
    static ReorderRow recordAndUnitsOf(const SqlRow& row);
    std::vector<Withdrawal> readWithdrawals(const std::string& since);
    KeptLotTotals readLotTotals(const std::string& last, std::string mark);
    /// Brings kept, of the same window, to the mark by the shares of the
    /// products the history's entries since name; false when it cannot.
    bool carryLotTotals(KeptLotTotals& kept, const std::string& mark);
    /// Adds the lot of row (its product, units and cost) to shares.
    static void addLot(const SqlRow& row, std::unordered_map<std::string, LotShare>& shares);
    /// The units withdrawn since the UTC time since, by product, from
    /// those kept in now where they reach back that far.
    std::unordered_map<std::string, std::uint64_t> withdrawnSince(Kept& now,
                                                                  const std::string& since);

    /// The columns of an entry, from the table history under the name table.
    std::string entryColumns(std::string_view table) const;
    static HistoryEntry entryOf(const SqlRow& row);
    /// The lots of a statement's rest (a WHERE, an ORDER BY), from lots as l.
    void lotsWhere(const std::string& rest, const std::vector<SqlParam>& params,
                   Rows rows, const LotVisitor& visit);

    Kept kept;
    std::optional<KeptLotTotals> keptLotTotals;
};

#endif
