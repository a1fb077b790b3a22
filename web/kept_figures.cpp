// The figures the owner's view keeps between requests, carried across the
// store's changes by the history's entries rather than read anew.
//
// The figures kept (the stock's worth, the products to order, the last
// weeks' withdrawals) are those of the store at a place of its history. A
// change to the stock, by a run or by any other program, adds entries to
// the history in the transaction that makes it; the entries after the place
// are read, and each product they name is looked up as it is now, by its
// key: its units before the first of them and its units now give its
// change to the worth, at its cost and price (the catalogue's now, which
// the check below finds unchanged), and its record and units now say
// whether it is to be ordered. The withdrawals among the entries are added
// to the kept ones. The figures are then those a full read would give.
//
// What the entries cannot tell is read anew: an entry of no product (an
// emptying, a load of too many products to list), more entries than
// MOST_ENTRIES_CARRIED, a history that is not the one the figures were
// read at, and a change to the catalogue, which the stores keep no history
// of that covers every program's changes: each kind of store says how it
// finds one (catalogueAfter). The records that a product's first delivery
// makes are no such change: the product had no units to be worth anything,
// and its record is read with the others that the entries name.
//
// The lots' totals of a window are carried the same way, apart, where the
// store tells the changes of the lots that no entry names: by the shares
// of the products the entries name, read again.
#include "web/sql_reader.hh"

#include "web/wide_cents.hh"

#include <algorithm>
#include <map>

namespace {

/// Entries beyond these many since the figures were read: reading the
/// figures anew costs less than carrying them.
constexpr std::size_t MOST_ENTRIES_CARRIED = 50000;

std::vector<SqlParam> placeOf(const std::string& historyAt)
{
    return {{SqlParam::Kind::Text, historyAt, 0}};
}

/// True when row is one that readCandidates would pick for below.
bool toOrder(const ReorderRow& row, std::uint64_t below)
{
    if (row.record.discontinued) {
        return false;
    }
    const std::int64_t limit = row.record.reorderLevel
                                   ? *row.record.reorderLevel
                                   : static_cast<std::int64_t>(below) - 1;
    return static_cast<std::int64_t>(row.units) <= limit;
}

/// The worth was, with each product's units going from before to those of
/// its record now; none when was holds no figure it could have written.
std::optional<StockValue> valueAfter(const StockValue& was,
                                     const std::map<std::string, std::uint64_t>& before,
                                     const std::map<std::string, ReorderRow>& now)
{
    std::optional<WideCents> atCost = wideCentsOf(was.atCost);
    std::optional<WideCents> atPrice = wideCentsOf(was.atPrice);
    if (!atCost || !atPrice) {
        return std::nullopt;
    }
    StockValue value = was;
    for (const auto& [id, units] : before) {
        const ReorderRow& row = now.at(id);
        const WideCents change =
            static_cast<WideCents>(row.units) - static_cast<WideCents>(units);
        // A kind comes (1) or goes (-1): added modulo 2^64, as the units.
        const auto kinds = static_cast<std::uint64_t>(
            static_cast<std::int64_t>(row.units > 0) - static_cast<std::int64_t>(units > 0));
        value.totals.kinds += kinds;
        value.totals.units += static_cast<std::uint64_t>(static_cast<std::int64_t>(change));
        if (row.record.cost) {
            *atCost += change * *row.record.cost;
        } else {
            value.withoutCost += kinds;
        }
        if (row.record.price) {
            *atPrice += change * *row.record.price;
        } else {
            value.withoutPrice += kinds;
        }
    }
    value.atCost = decimalOf(*atCost);
    value.atPrice = decimalOf(*atPrice);
    return value;
}

/// The candidates kept, by id, with those of the products in now taken
/// out and put back where they are still to be ordered: by id still.
std::vector<ReorderRow> candidatesAfter(std::vector<ReorderRow>& kept, std::uint64_t below,
                                        const std::map<std::string, ReorderRow>& now)
{
    std::vector<ReorderRow> merged;
    merged.reserve(kept.size() + now.size());
    auto next = now.begin();
    const auto passed = [&](const std::string& id) {  // adds those before id
        for (; next != now.end() && next->first < id; ++next) {
            if (toOrder(next->second, below)) {
                merged.push_back(next->second);
            }
        }
    };
    for (ReorderRow& row : kept) {
        passed(row.record.id);
        if (next != now.end() && next->first == row.record.id) {
            continue;  // its record now goes in its place as the next passes
        }
        merged.push_back(std::move(row));
    }
    for (; next != now.end(); ++next) {
        if (toOrder(next->second, below)) {
            merged.push_back(next->second);
        }
    }
    return merged;
}

}  // namespace

/// A new entry of the history, as far as the figures need it.
struct SqlReader::Entry {
    std::int64_t seq = 0;
    std::string id;
    std::string kind;
    std::optional<std::uint64_t> before;  // none: the product was not there
    std::optional<std::uint64_t> after;
    std::string time;  // UTC, as the dialect gives it
};

SqlReader::Kept& SqlReader::keptNow()
{
    std::string mark = changeMark();
    if (mark != kept.mark) {
        try {
            kept = carriedForward(kept, std::move(mark));
        } catch (...) {
            kept = Kept();  // carrying takes parts of it: none is left half moved
            throw;
        }
    }
    return kept;
}

std::string SqlReader::oneText(const std::string& sql, const std::vector<SqlParam>& params)
{
    std::string text;
    query(sql, params, Rows::Few, [&text](const SqlRow& row) {
        text = row.text(0);
        return false;
    });
    return text;
}

void SqlReader::noteCatalogue(Kept& now)
{
    if (now.catalogueAt.empty()) {
        now.catalogueAt = catalogueNow();
    }
}

bool SqlReader::historyHolds(const std::string& historyAt)
{
    bool holds = false;
    query(dialect.historyHolds, placeOf(historyAt), Rows::Few, [&holds](const SqlRow& row) {
        holds = row.number(0) == 1;
        return false;
    });
    return holds;
}

std::optional<std::vector<SqlReader::Entry>> SqlReader::entriesSince(const std::string& historyAt)
{
    // In no order: PostgreSQL would rather walk the whole history by seq
    // than sort the few entries it finds by xid.
    std::vector<Entry> entries;
    bool whole = false;  // an entry of no product
    const std::string sql = "SELECT seq, id, kind, amount_before, amount_after, " +
                            dialect.time + " FROM history WHERE " + dialect.addedSince +
                            " LIMIT " + std::to_string(MOST_ENTRIES_CARRIED + 1);
    query(sql, placeOf(historyAt), Rows::Few, [&](const SqlRow& row) {
        if (row.isNull(1)) {
            whole = true;
            return false;
        }
        const auto units = [&row](int column) -> std::optional<std::uint64_t> {
            if (row.isNull(column)) {
                return std::nullopt;
            }
            return static_cast<std::uint64_t>(row.number(column));
        };
        entries.push_back({row.number(0), std::string(row.text(1)), std::string(row.text(2)),
                           units(3), units(4), std::string(row.text(5))});
        return true;
    });
    if (whole || entries.size() > MOST_ENTRIES_CARRIED) {
        return std::nullopt;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.seq < b.seq; });
    return entries;
}

SqlReader::Kept SqlReader::carriedForward(Kept& old, std::string mark)
{
    Kept now;
    now.mark = std::move(mark);
    now.historyAt = oneText(dialect.historyAt, {});
    if ((!old.value && !old.below && !old.withdrawalsSince) || !historyHolds(old.historyAt)) {
        return now;
    }
    const std::optional<std::vector<Entry>> entries = entriesSince(old.historyAt);
    if (!entries) {
        return now;
    }
    carryWithdrawals(old, *entries, now);
    if (!old.value && !old.below) {
        return now;
    }
    // The units each product had when the figures were read: those before
    // its first new entry.
    std::map<std::string, std::uint64_t> before;
    for (const Entry& entry : *entries) {
        before.emplace(entry.id, entry.before.value_or(0));
    }
    if (old.catalogueAt.empty()) {
        return now;
    }
    const std::optional<std::string> catalogue = catalogueAfter(old.catalogueAt, old.historyAt);
    if (!catalogue) {
        return now;  // the worth and the list are read anew
    }
    now.catalogueAt = *catalogue;
    std::vector<std::string> ids;
    ids.reserve(before.size());
    for (const auto& changed : before) {
        ids.push_back(changed.first);
    }
    std::map<std::string, ReorderRow> records;
    recordsOf(ids, [&records](const ReorderRow& row) { records.emplace(row.record.id, row); });
    if (records.size() != ids.size()) {
        return now;  // a product without a record: the joins know what to make of it
    }
    if (old.value) {
        now.value = valueAfter(*old.value, before, records);
    }
    if (old.below) {
        std::vector<ReorderRow> candidates = candidatesAfter(old.candidates, *old.below, records);
        if (candidates.size() <= MOST_CANDIDATES_KEPT) {
            now.candidates = std::move(candidates);
            now.below = old.below;
        }
    }
    return now;
}

void SqlReader::carryWithdrawals(Kept& old, const std::vector<Entry>& entries, Kept& now)
{
    if (!old.withdrawalsSince) {
        return;
    }
    now.withdrawalsSince = old.withdrawalsSince;
    now.withdrawals = std::move(old.withdrawals);
    for (const Entry& entry : entries) {
        // As readWithdrawals picks them.
        if (entry.kind == "withdrawal" && entry.before && entry.after &&
            *entry.before > *entry.after && entry.time >= *now.withdrawalsSince) {
            now.withdrawals.push_back({entry.time, entry.id, *entry.before - *entry.after});
        }
    }
    if (now.withdrawals.size() > MOST_WITHDRAWALS_KEPT) {
        now.withdrawals.clear();
        now.withdrawalsSince.reset();
    }
}

void SqlReader::addLot(const SqlRow& row, std::unordered_map<std::string, LotShare>& shares)
{
    LotShare& share = shares[std::string(row.text(0))];
    const auto units = static_cast<std::uint64_t>(row.number(1));
    share.lots += 1;
    share.units += units;
    if (row.isNull(2)) {
        share.withoutCost += 1;
    } else {
        share.atCost += static_cast<WideCents>(units) * row.number(2);
    }
}

SqlReader::KeptLotTotals SqlReader::readLotTotals(const std::string& last, std::string mark)
{
    KeptLotTotals kept;
    kept.mark = std::move(mark);
    kept.last = last;
    const std::vector<SqlParam> params = {{SqlParam::Kind::Text, last, 0}};
    const std::string window =
        "SELECT id, units FROM lots WHERE best_before <= $1" + dialect.lotsByIdForCosts;
    if (notesLotChanges()) {
        // Each lot with its product's cost, summed here by product: the
        // shares of the products a change names are then read again alone.
        kept.historyAt = oneText(dialect.historyAt, {});
        kept.catalogueAt = catalogueNow();
        kept.shares.emplace();
        query("SELECT l.id, l.units, c.cost_cents FROM (" + window +
                  ") l LEFT JOIN catalogue c ON c.id = l.id",
              params, Rows::Many, [&kept](const SqlRow& row) {
                  addLot(row, *kept.shares);
                  return true;
              });
        for (const auto& [id, share] : *kept.shares) {
            kept.total += share;
        }
        if (kept.shares->size() > MOST_LOT_SHARES_KEPT || kept.catalogueAt.empty()) {
            kept.shares.reset();
        }
        return kept;
    }
    // The lots are read from the index by date, which holds their products
    // and units; then each one's cost, by its product.
    const std::string sql =
        "SELECT count(*), CAST(coalesce(sum(l.units), 0) AS bigint), " +
        dialect.productSum("l.units", "c.cost_cents") + ", "
        "CAST(count(*) - count(c.cost_cents) AS bigint) "
        "FROM (" + window + ") l LEFT JOIN catalogue c ON c.id = l.id";
    query(sql, params, Rows::Few, [&kept](const SqlRow& row) {
        kept.total.lots = static_cast<std::uint64_t>(row.number(0));
        kept.total.units = static_cast<std::uint64_t>(row.number(1));
        kept.total.atCost = wideCentsOf(row.text(2)).value_or(0);
        kept.total.withoutCost = static_cast<std::uint64_t>(row.number(3));
        return false;
    });
    return kept;
}

bool SqlReader::carryLotTotals(KeptLotTotals& kept, const std::string& mark)
{
    if (!kept.shares || !historyHolds(kept.historyAt) || !lotsFollowHistory(kept.historyAt) ||
        !catalogueAfter(kept.catalogueAt, kept.historyAt)) {
        return false;
    }
    const std::optional<std::vector<Entry>> entries = entriesSince(kept.historyAt);
    if (!entries) {
        return false;
    }
    std::vector<std::string> ids;
    for (const Entry& entry : *entries) {
        ids.push_back(entry.id);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    // Each named product's lots of the window as they are now, in place of
    // its share.
    std::unordered_map<std::string, LotShare> now;
    queryIds("SELECT l.id, l.units, c.cost_cents FROM lots l LEFT JOIN catalogue c "
             "ON c.id = l.id WHERE l.best_before <= $1 AND l.id IN ",
             ids, {{SqlParam::Kind::Text, kept.last, 0}}, [&now](const SqlRow& row) {
                 addLot(row, now);
                 return true;
             });
    std::string historyAt = oneText(dialect.historyAt, {});
    // Nothing read below: kept is changed whole or not at all.
    for (const std::string& id : ids) {
        const auto found = kept.shares->find(id);
        if (found != kept.shares->end()) {
            kept.total -= found->second;
            kept.shares->erase(found);
        }
    }
    for (auto& [id, share] : now) {
        kept.total += share;
        kept.shares->emplace(id, share);
    }
    kept.mark = mark;
    kept.historyAt = std::move(historyAt);
    if (kept.shares->size() > MOST_LOT_SHARES_KEPT) {
        kept.shares.reset();
    }
    return true;
}
