// The owner's view's questions in the SQL that both kinds of store share.
#include "web/sql_reader.hh"

#include <algorithm>
#include <utility>

namespace {

/// The parameters of a statement being written: each one added gives its
/// place holder, so that the numbers run $1, $2, ... in the order of the
/// list, whichever parts of the statement are there.
class Params {
public:
    std::string bytes(std::string_view value)
    {
        list.push_back({SqlParam::Kind::Bytes, std::string(value), 0});
        return placeHolder();
    }

    std::string text(std::string value)
    {
        list.push_back({SqlParam::Kind::Text, std::move(value), 0});
        return placeHolder();
    }

    std::string number(std::uint64_t value)
    {
        list.push_back(
            {SqlParam::Kind::Number, {}, static_cast<std::int64_t>(value)});
        return placeHolder();
    }

    const std::vector<SqlParam>& all() const { return list; }

private:
    std::string placeHolder() const
    {
        return "$" + std::to_string(list.size());
    }

    std::vector<SqlParam> list;
};

const char* columnOf(Order order)
{
    switch (order) {
    case Order::Id: return "id";
    case Order::Amount: return "amount";
    case Order::Shelf: return "shelf";
    case Order::Name: return "name";
    }
    return "id";
}

/// The ORDER BY of an order, backwards for the products before a boundary.
std::string orderBy(Order order, bool backwards)
{
    const char* const direction = backwards ? " DESC" : "";
    if (order == Order::Id) {
        return std::string(" ORDER BY id") + direction;
    }
    return std::string(" ORDER BY ") + columnOf(order) + direction + ", id" +
           direction;
}

ProductView productOf(const SqlRow& row)
{
    return {row.text(0), static_cast<std::uint64_t>(row.number(1)),
            row.text(2), row.text(3)};
}

const char* const PRODUCT_COLUMNS = "SELECT id, amount, shelf, name FROM stock";

// The column after those of an entry, where a statement adds its own.
constexpr int AFTER_ENTRY = 10;

}  // namespace

std::string SqlReader::entryColumns(std::string_view table) const
{
    const std::string t(table);
    return "SELECT " + t + ".seq, " + t + ".command_no, " + dialect.time +
           ", " + t + ".clerk, " + t + ".named_clerk, " + t + ".command, " + t +
           ".kind, " + t + ".id, " + t + ".amount_before, " + t +
           ".amount_after";
}

HistoryEntry SqlReader::entryOf(const SqlRow& row)
{
    const auto text = [&row](int column) -> std::optional<std::string> {
        if (row.isNull(column)) {
            return std::nullopt;
        }
        return std::string(row.text(column));
    };
    const auto units = [&row](int column) -> std::optional<std::uint32_t> {
        if (row.isNull(column)) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(row.number(column));
    };
    HistoryEntry entry;
    entry.seq = row.number(0);
    entry.commandNo = row.number(1);
    entry.time = row.text(2);
    entry.clerk = text(3);
    entry.namedClerk = text(4);
    entry.command = text(5);
    entry.kind = kindOfWord(row.text(6));
    entry.id = text(7);
    entry.before = units(8);
    entry.after = units(9);
    return entry;
}

Totals SqlReader::totals()
{
    if (const Kept& now = keptNow(); now.value) {
        return now.value->totals;
    }
    Totals totals;
    query("SELECT count(*), CAST(coalesce(sum(amount), 0) AS bigint) "
          "FROM stock",
          {}, Rows::Few, [&totals](const SqlRow& row) {
              totals.kinds = static_cast<std::uint64_t>(row.number(0));
              totals.units = static_cast<std::uint64_t>(row.number(1));
              return false;
          });
    return totals;
}

void SqlReader::slice(const StockSlice& slice, const ProductVisitor& visit)
{
    Params params;
    std::string sql = PRODUCT_COLUMNS;
    const Product* const boundary =
        slice.after != nullptr ? slice.after : slice.before;
    const bool backwards = slice.after == nullptr && slice.before != nullptr;
    if (boundary != nullptr) {
        const char* const comparison = backwards ? " < " : " > ";
        if (slice.order == Order::Id) {
            sql += " WHERE id" + (comparison + params.bytes(boundary->id));
        } else {
            // A row value compares the column first, then the id.
            std::string value;
            if (slice.order == Order::Amount) {
                value = params.number(boundary->amount);
            } else {
                value = params.bytes(slice.order == Order::Shelf
                                         ? boundary->shelf
                                         : boundary->name);
            }
            sql += std::string(" WHERE (") + columnOf(slice.order) + ", id)" +
                   comparison + "(" + value + ", " +
                   params.bytes(boundary->id) + ")";
        }
    }
    sql += orderBy(slice.order, backwards);
    sql += " LIMIT " + params.number(slice.limit);
    query(sql, params.all(), Rows::Few,
          [&visit](const SqlRow& row) { return visit(productOf(row)); });
}

void SqlReader::everyProduct(std::optional<std::uint64_t> below,
                             std::optional<Order> order,
                             const ProductVisitor& visit)
{
    Params params;
    std::string sql = PRODUCT_COLUMNS;
    if (below) {
        sql += " WHERE amount < " + params.number(*below);
    }
    if (order) {
        sql += orderBy(*order, false);
    }
    query(sql, params.all(), Rows::Many,
          [&visit](const SqlRow& row) { return visit(productOf(row)); });
}

std::optional<Product> SqlReader::product(std::string_view id)
{
    Params params;
    const std::string sql =
        std::string(PRODUCT_COLUMNS) + " WHERE id = " + params.bytes(id);
    std::optional<Product> found;
    query(sql, params.all(), Rows::Few, [&found](const SqlRow& row) {
        found.emplace(productOf(row));
        return false;
    });
    return found;
}

void SqlReader::historyOf(std::string_view id, const EntryVisitor& visit)
{
    Params params;
    const std::string product = params.bytes(id);
    const std::string sql =
        entryColumns("history") + " FROM history WHERE id = " + product +
        " UNION ALL " + entryColumns("history") +
        " FROM history WHERE id IS NULL AND seq > "
        "(SELECT min(seq) FROM history WHERE id = " +
        product + ") ORDER BY 1";
    query(sql, params.all(), Rows::Many, [&visit](const SqlRow& row) {
        visit(entryOf(row));
        return true;
    });
}

void SqlReader::historyBetween(const std::string& from, const std::string& to,
                               const EntryVisitor& visit)
{
    Params params;
    const std::string sql =
        entryColumns("history") + " FROM history WHERE changed_at >= " +
        params.text(from + dialect.timeSuffix) +
        " AND changed_at < " + params.text(to + dialect.timeSuffix) +
        " ORDER BY seq";
    query(sql, params.all(), Rows::Many, [&visit](const SqlRow& row) {
        visit(entryOf(row));
        return true;
    });
}

void SqlReader::soldOut(const SoldOutVisitor& visit)
{
    // A product is sold out when its last own entry took it to 0, or when
    // an emptying of the whole stock came after it; and it is not back.
    // The candidates are the entries that took a product to 0, which are
    // few (and, after an emptying, the entries before it); each is held to
    // the last entry of its id, found through the index, rather than the
    // whole history grouped by id.
    const std::string last =
        "h.seq = (SELECT max(l.seq) FROM history l WHERE l.id = h.id)";
    const std::string sql =
        "WITH emptyings AS (SELECT seq FROM history "
        "WHERE id IS NULL AND amount_after = 0), "
        "gone AS (SELECT h.id AS product, h.seq AS seq FROM history h "
        "WHERE h.id IS NOT NULL AND h.amount_after = 0 AND " + last +
        " UNION ALL SELECT h.id, "
        "(SELECT min(e.seq) FROM emptyings e WHERE e.seq > h.seq) "
        "FROM history h WHERE h.id IS NOT NULL AND h.amount_after > 0 "
        "AND h.seq < (SELECT coalesce(max(seq), 0) FROM emptyings) AND " +
        last + ") " + entryColumns("history") +
        ", gone.product, coalesce(c.name, '') FROM gone JOIN history ON history.seq = gone.seq "
        "LEFT JOIN catalogue c ON c.id = gone.product "
        "WHERE NOT EXISTS (SELECT 1 FROM stock s WHERE s.id = gone.product) "
        "ORDER BY history.seq DESC, gone.product";
    query(sql, {}, Rows::Many, [&visit](const SqlRow& row) {
        HistoryEntry entry = entryOf(row);
        entry.id = std::string(row.text(AFTER_ENTRY));
        visit(entry, row.text(AFTER_ENTRY + 1));
        return true;
    });
}

namespace {

// The columns of a catalogue record, from the table catalogue as c, the
// first seven of a row.
const char* const RECORD_COLUMNS =
    "c.id, c.name, c.shelf, c.price_cents, c.cost_cents, c.reorder_level, "
    "CAST(CASE WHEN c.discontinued THEN 1 ELSE 0 END AS bigint)";
constexpr int AFTER_RECORD = 7;

CatalogueRecord recordOf(const SqlRow& row)
{
    const auto cents = [&row](int column) -> std::optional<std::int64_t> {
        if (row.isNull(column)) {
            return std::nullopt;
        }
        return row.number(column);
    };
    CatalogueRecord record;
    record.id = row.text(0);
    record.name = row.text(1);
    record.shelf = row.text(2);
    record.price = cents(3);
    record.cost = cents(4);
    record.reorderLevel = cents(5);
    record.discontinued = row.number(6) != 0;
    return record;
}

}  // namespace

StockValue SqlReader::stockValue()
{
    Kept& now = keptNow();
    if (!now.value) {
        noteCatalogue(now);
        now.value = readValue();
    }
    return *now.value;
}

StockValue SqlReader::readValue()
{
    // One pass over the stock, each product's record found by its key.
    StockValue value;
    query("SELECT " + dialect.productSum("s.amount", "c.cost_cents") + ", " +
              dialect.productSum("s.amount", "c.price_cents") + ", "
              "CAST(count(*) - count(c.cost_cents) AS bigint), "
              "CAST(count(*) - count(c.price_cents) AS bigint), count(*), "
              "CAST(coalesce(sum(s.amount), 0) AS bigint) "
              "FROM stock s LEFT JOIN catalogue c ON c.id = s.id",
          {}, Rows::Few, [&value](const SqlRow& row) {
              value.atCost = row.text(0);
              value.atPrice = row.text(1);
              value.withoutCost = static_cast<std::uint64_t>(row.number(2));
              value.withoutPrice = static_cast<std::uint64_t>(row.number(3));
              value.totals.kinds = static_cast<std::uint64_t>(row.number(4));
              value.totals.units = static_cast<std::uint64_t>(row.number(5));
              return false;
          });
    return value;
}

std::optional<CatalogueRecord> SqlReader::catalogueRecord(std::string_view id)
{
    Params params;
    const std::string sql = std::string("SELECT ") + RECORD_COLUMNS +
                            " FROM catalogue c WHERE c.id = " + params.bytes(id);
    std::optional<CatalogueRecord> found;
    query(sql, params.all(), Rows::Few, [&found](const SqlRow& row) {
        found = recordOf(row);
        return false;
    });
    return found;
}

void SqlReader::catalogueBetween(const std::string& from, const std::string& to,
                                 const RecordVisitor& visit)
{
    Params params;
    const std::string sql =
        std::string("SELECT ") + RECORD_COLUMNS +
        " FROM catalogue c WHERE c.id IN (SELECT id FROM history "
        "WHERE changed_at >= " + params.text(from + dialect.timeSuffix) +
        " AND changed_at < " + params.text(to + dialect.timeSuffix) +
        " AND id IS NOT NULL)";
    query(sql, params.all(), Rows::Many, [&visit](const SqlRow& row) {
        visit(recordOf(row));
        return true;
    });
}

void SqlReader::reorder(std::uint64_t below, const std::string& since,
                        const ReorderVisitor& visit)
{
    Kept& now = keptNow();
    std::vector<ReorderRow> read;
    const std::vector<ReorderRow>* candidates = &now.candidates;
    if (now.below != below) {
        noteCatalogue(now);
        read = readCandidates(below);
        candidates = &read;
        if (read.size() <= MOST_CANDIDATES_KEPT) {
            now.candidates = std::move(read);
            now.below = below;
            candidates = &now.candidates;
        }
    }
    const auto withdrawn = withdrawnSince(now, since);
    for (const ReorderRow& candidate : *candidates) {
        ReorderRow row = candidate;
        if (const auto found = withdrawn.find(row.record.id); found != withdrawn.end()) {
            row.withdrawn = found->second;
        }
        visit(row);
    }
}

std::vector<ReorderRow> SqlReader::readCandidates(std::uint64_t below)
{
    // Every record held to its units, which a sold-out product has none
    // of: one pass over the catalogue, each product's units found by its
    // key.
    Params params;
    const std::string sql =
        "SELECT " + std::string(RECORD_COLUMNS) +
        ", CAST(coalesce(s.amount, 0) AS bigint) "
        "FROM catalogue c LEFT JOIN stock s ON s.id = c.id WHERE NOT c.discontinued AND "
        "coalesce(s.amount, 0) <= coalesce(c.reorder_level, " +
        params.number(below) + " - 1) ORDER BY c.id";
    std::vector<ReorderRow> candidates;
    query(sql, params.all(), Rows::Many, [&candidates](const SqlRow& row) {
        candidates.push_back(recordAndUnitsOf(row));
        return true;
    });
    return candidates;
}

ReorderRow SqlReader::recordAndUnitsOf(const SqlRow& row)
{
    ReorderRow found;
    found.record = recordOf(row);
    found.units = static_cast<std::uint64_t>(row.number(AFTER_RECORD));
    return found;
}

void SqlReader::recordsOf(const std::vector<std::string>& ids,
                          const ReorderVisitor& visit)
{
    queryIds("SELECT " + std::string(RECORD_COLUMNS) +
                 ", CAST(coalesce(s.amount, 0) AS bigint) FROM catalogue c "
                 "LEFT JOIN stock s ON s.id = c.id WHERE c.id IN ",
             ids, {}, [&visit](const SqlRow& row) {
                 visit(recordAndUnitsOf(row));
                 return true;
             });
}

void SqlReader::queryIds(const std::string& sql, const std::vector<std::string>& ids,
                         const std::vector<SqlParam>& first, const RowVisitor& visit)
{
    // A statement of a few ids at a time, the same each time: the last id
    // stands in for those a batch lacks.
    constexpr std::size_t BATCH = 64;
    for (std::size_t start = 0; start < ids.size(); start += BATCH) {
        Params params;
        for (const SqlParam& param : first) {
            param.kind == SqlParam::Kind::Number
                ? params.number(static_cast<std::uint64_t>(param.number))
                : param.kind == SqlParam::Kind::Text ? params.text(param.bytes)
                                                     : params.bytes(param.bytes);
        }
        std::string list;
        for (std::size_t i = start; i < start + BATCH; ++i) {
            list += (list.empty() ? "(" : ", ") +
                    params.bytes(ids[std::min(i, ids.size() - 1)]);
        }
        query(sql + list + ")", params.all(), Rows::Few, visit);
    }
}

std::vector<SqlReader::Withdrawal> SqlReader::readWithdrawals(const std::string& since)
{
    // The withdrawals of the last weeks alone, through the history's index
    // by time where the store has it: grouped by id, SQLite would rather
    // read the whole history through its index by id. An entry of no
    // product has no units before.
    Params params;
    const std::string sql =
        "SELECT " + dialect.time + ", id, amount_before - amount_after FROM history "
        "WHERE changed_at >= " + params.text(since + dialect.timeSuffix) +
        " AND kind = 'withdrawal' AND amount_before > amount_after";
    std::vector<Withdrawal> withdrawals;
    query(sql, params.all(), Rows::Many, [&withdrawals](const SqlRow& row) {
        withdrawals.push_back({std::string(row.text(0)), std::string(row.text(1)),
                               static_cast<std::uint64_t>(row.number(2))});
        return true;
    });
    return withdrawals;
}

std::unordered_map<std::string, std::uint64_t>
SqlReader::withdrawnSince(Kept& now, const std::string& since)
{
    std::vector<Withdrawal> read;
    const std::vector<Withdrawal>* withdrawals = &now.withdrawals;
    if (!now.withdrawalsSince || since < *now.withdrawalsSince) {
        read = readWithdrawals(since);
        withdrawals = &read;
        if (read.size() <= MOST_WITHDRAWALS_KEPT) {
            now.withdrawals = std::move(read);
            now.withdrawalsSince = since;
            withdrawals = &now.withdrawals;
        }
    }
    // Both times are UTC text of one shape, which orders as the times do;
    // the time asked is of whole milliseconds, as the kept ones are.
    std::unordered_map<std::string, std::uint64_t> withdrawn;
    for (const Withdrawal& withdrawal : *withdrawals) {
        if (withdrawal.time >= since) {
            withdrawn[withdrawal.id] += withdrawal.units;
        }
    }
    return withdrawn;
}

bool SqlReader::keepsLots()
{
    bool found = false;
    query(dialect.lotsFound, {}, Rows::Few, [&found](const SqlRow& row) {
        found = row.number(0) != 0;
        return false;
    });
    return found;
}

void SqlReader::lotsWhere(const std::string& rest, const std::vector<SqlParam>& params,
                          Rows rows, const LotVisitor& visit)
{
    // The lots are picked first, in the order of an index, and only those
    // are joined: a page of lots is read from the index by date and stops
    // at its end whatever plan the store would make of the join. Every
    // lot has its product in stock (a product's lots never hold more than
    // its units); its name and shelf are the stock's.
    const std::string sql =
        "SELECT l.id, s.name, s.shelf, " + dialect.lotDate +
        ", l.units, c.cost_cents FROM (SELECT lot, id, best_before, units FROM lots " +
        rest + ") l JOIN stock s ON s.id = l.id LEFT JOIN catalogue c ON c.id = l.id "
        "ORDER BY l.best_before, l.lot";
    query(sql, params, rows, [&visit](const SqlRow& row) {
        Lot lot;
        lot.id = row.text(0);
        lot.name = row.text(1);
        lot.shelf = row.text(2);
        lot.bestBefore = row.text(3);
        lot.units = static_cast<std::uint64_t>(row.number(4));
        if (!row.isNull(5)) {
            lot.cost = row.number(5);
        }
        return visit(lot);
    });
}

void SqlReader::lotsUntil(const std::string& last, std::uint64_t skip,
                          std::uint64_t limit, const LotVisitor& visit)
{
    Params params;
    std::string rest = "WHERE best_before <= " + params.text(last) +
                       " ORDER BY best_before, lot";
    if (limit > 0) {
        rest += " LIMIT " + params.number(limit) + " OFFSET " + params.number(skip);
    }
    lotsWhere(rest, params.all(), limit > 0 ? Rows::Few : Rows::Many, visit);
}

LotTotals SqlReader::lotTotalsUntil(const std::string& last)
{
    std::string mark = changeMark();
    if (keptLotTotals && keptLotTotals->mark != mark &&
        (keptLotTotals->last != last || !carryLotTotals(*keptLotTotals, mark))) {
        keptLotTotals.reset();
    }
    if (!keptLotTotals || keptLotTotals->last != last) {
        keptLotTotals = readLotTotals(last, std::move(mark));
    }
    const LotShare& total = keptLotTotals->total;
    return {total.lots, total.units, decimalOf(total.atCost), total.withoutCost};
}

void SqlReader::lotsOf(std::string_view id, const LotVisitor& visit)
{
    Params params;
    lotsWhere("WHERE id = " + params.bytes(id),
              params.all(), Rows::Few, visit);
}

void SqlReader::countDifferences(const CountVisitor& visit)
{
    // The stock-takes' entries are the history's of the kind count; a
    // stock-take is the entries of one command.
    const std::string sql =
        entryColumns("history") +
        ", history.reason, coalesce(c.name, ''), c.cost_cents FROM history "
        "LEFT JOIN catalogue c ON c.id = history.id WHERE history.kind = 'count' "
        "ORDER BY history.command_no DESC, history.id";
    query(sql, {}, Rows::Many, [&visit](const SqlRow& row) {
        CountDifference difference;
        difference.entry = entryOf(row);
        if (!row.isNull(AFTER_ENTRY)) {
            difference.reason = std::string(row.text(AFTER_ENTRY));
        }
        difference.name = row.text(AFTER_ENTRY + 1);
        if (!row.isNull(AFTER_ENTRY + 2)) {
            difference.cost = row.number(AFTER_ENTRY + 2);
        }
        visit(difference);
        return true;
    });
}
