// An SQLite store's dated lots and stock-takes: the lots taken first
// expiring first by the run's own writes (its connection fires no trigger),
// a count sheet taken, and a delivery note received, each in one
// transaction under the runs' lock.
#include "store/sqlite/sqlite_store.hh"

#include <ctime>
#include <limits>
#include <map>

namespace {

constexpr std::uint64_t MOST_UNITS = std::numeric_limits<std::uint32_t>::max();

/// A product's record in the catalogue: its name and shelf.
const char* const NAMED = "SELECT name, shelf FROM catalogue WHERE id = ?1";

/// The command's notes, begun now.
CommandNotes commandNotes(const std::string& echo, ChangeKind what)
{
    CommandNotes notes;
    notes.echo = echo;
    notes.what = what;
    ::clock_gettime(CLOCK_REALTIME, &notes.time);
    return notes;
}

/// Fills the shelf and the name left empty with those of the product's
/// record in the catalogue (named's row), when it has one.
bool fillFromRecord(const Statement& named, const std::string& id, std::string& shelf,
                    std::string& name)
{
    if (!shelf.empty() && !name.empty()) {
        return true;
    }
    bindText(named.get(), 1, id);
    Stepping record(named);
    const int step = record.step();
    if (step == SQLITE_ROW) {
        if (name.empty()) {
            columnText(record.row(), 0, name);
        }
        if (shelf.empty()) {
            columnText(record.row(), 1, shelf);
        }
    }
    return step == SQLITE_ROW || step == SQLITE_DONE;
}

}  // namespace

bool SqliteStore::takeFromLots(const std::string& id, std::uint32_t before,
                               std::uint32_t after)
{
    if (after >= before) {
        return true;  // an increase adds undated units
    }
    if (lotsKnown == LotsKnown::NotYet) {
        Stepping any(anyLots);
        if (any.step() != SQLITE_ROW) {
            return failWith("");
        }
        lotsKnown = sqlite3_column_int(any.row(), 0) != 0 ? LotsKnown::Some
                                                          : LotsKnown::None;
    }
    if (lotsKnown == LotsKnown::None) {
        return true;
    }
    if (after == 0) {
        bindText(lotsGone.get(), 1, id);
        return run(lotsGone);
    }
    // Read first, changed after: a statement does not change the rows it
    // steps through.
    std::vector<std::pair<std::int64_t, std::int64_t>> taken;  // lot, units left
    {
        bindText(lotsOf.get(), 1, id);
        Stepping lots(lotsOf);
        std::int64_t left = before - after;
        int step = SQLITE_ROW;
        while (left > 0 && (step = lots.step()) == SQLITE_ROW) {
            const std::int64_t lot = sqlite3_column_int64(lots.row(), 0);
            const std::int64_t held = sqlite3_column_int64(lots.row(), 1);
            taken.emplace_back(lot, held > left ? held - left : 0);
            left -= std::min(held, left);
        }
        if (step != SQLITE_ROW && step != SQLITE_DONE) {
            return failWith("");
        }
    }
    for (const auto& [lot, left] : taken) {
        const Statement& change = left == 0 ? lotTaken : lotLeft;
        sqlite3_bind_int64(change.get(), 1, lot);
        if (left > 0) {
            sqlite3_bind_int64(change.get(), 2, left);
        }
        if (!run(change)) {
            return false;
        }
    }
    return true;
}

bool SqliteStore::dropLotsBeyondStock()
{
    return execute(
        "DELETE FROM lots WHERE id IN (SELECT l.id FROM lots l "
        "LEFT JOIN stock s ON s.id = l.id GROUP BY l.id "
        "HAVING max(s.amount) IS NULL OR sum(l.units) > max(s.amount))");
}

bool SqliteStore::takeCount(const CountSheet& sheet, const std::string& echo,
                            std::size_t& differences)
{
    Statement named;
    if (!prepare(named, NAMED) || !lock(Access::Changes)) {
        return false;
    }
    const CommandNotes notes = commandNotes(echo, ChangeKind::Count);
    bool written = true;
    differences = 0;
    for (const CountSheet::Row& row : sheet.rows) {
        std::string id;
        std::uint32_t expected = 0;
        std::string shelf = row.shelf;
        std::string name = row.name;
        bindText(product.get(), 1, row.id);
        {
            Stepping stored(product);
            const int step = stored.step();
            if (step == SQLITE_ROW) {
                readProduct(stored.row(), id, expected, shelf, name);
            } else if (step != SQLITE_DONE) {
                written = failWith("");
                break;
            }
        }
        if (row.counted == expected) {
            continue;
        }
        // New to the stock: the sheet's shelf and name, or its record's.
        if (expected == 0 && !fillFromRecord(named, row.id, shelf, name)) {
            written = failWith("");
            break;
        }
        if (differences++ == 0 && !startEntries(notes)) {
            written = false;
            break;
        }
        written = (row.counted > 0 ? putRow(row.id, shelf, row.counted, name, expected == 0)
                                   : removeRow(row.id)) &&
                  takeFromLots(row.id, expected, row.counted) &&
                  (history.add(&row.id, expected, row.counted, &row.reason) || failWith(""));
        if (!written) {
            break;
        }
    }
    if (!written || !commit()) {
        rollback();
        return false;
    }
    return true;
}

bool SqliteStore::receiveDeliveries(const DeliveryNote& note, const std::string& echo,
                                    std::vector<std::string>& refused)
{
    Statement lot;
    Statement named;
    if (!prepare(named, NAMED) ||
        !prepare(lot, "INSERT INTO lots (id, best_before, units, received_at, "
                      "clerk, named_clerk) VALUES (?1, ?2, ?3, "
                      "strftime('%Y-%m-%d %H:%M:%f', 'now'), ?4, ?5)") ||
        !lock(Access::Changes)) {
        return false;
    }
    // Each product once, from the units stored to those delivered on top.
    struct Received {
        std::uint32_t before = 0;
        std::uint64_t after = 0;
        std::string shelf;
        std::string name;
    };
    std::map<std::string, Received> products;
    bool written = true;
    for (const DeliveryNote::Row& row : note.rows) {
        const auto [place, fresh] = products.try_emplace(row.id);
        Received& received = place->second;
        if (fresh) {
            std::string id;
            bindText(product.get(), 1, row.id);
            Stepping stored(product);
            const int step = stored.step();
            if (step == SQLITE_ROW) {
                readProduct(stored.row(), id, received.before, received.shelf, received.name);
            } else if (step != SQLITE_DONE) {
                written = failWith("");
                break;
            } else {
                // New to the stock: the first line's shelf and name, or
                // its record's.
                received.shelf = row.shelf;
                received.name = row.name;
                if (!fillFromRecord(named, row.id, received.shelf, received.name)) {
                    written = failWith("");
                    break;
                }
            }
            received.after = received.before;
        }
        received.after += row.amount;
        if (received.after > MOST_UNITS) {
            refused.push_back("line " + std::to_string(row.line) + ": " + row.id +
                              " would hold more than 4294967295 units");
        }
    }
    if (!written || !refused.empty()) {
        rollback();
        return written;
    }
    const CommandNotes notes = commandNotes(echo, ChangeKind::Delivery);
    written = products.empty() || startEntries(notes);
    for (const auto& [id, received] : products) {
        const auto after = static_cast<std::uint32_t>(received.after);
        written = written &&
                  putRow(id, received.shelf, after, received.name, received.before == 0) &&
                  (products.size() > MOST_ENTRIES ||
                   history.add(&id, received.before, after) || failWith(""));
    }
    if (written && products.size() > MOST_ENTRIES) {
        written = addEntry(nullptr, std::nullopt, std::nullopt);
    }
    for (const DeliveryNote::Row& row : note.rows) {
        if (!written || row.bestBefore.empty()) {
            continue;
        }
        bindText(lot.get(), 1, row.id);
        bindText(lot.get(), 2, row.bestBefore);
        sqlite3_bind_int64(lot.get(), 3, row.amount);
        bindText(lot.get(), 4, login);
        options.clerk.empty() ? static_cast<void>(sqlite3_bind_null(lot.get(), 5))
                              : bindText(lot.get(), 5, options.clerk);
        written = run(lot);
    }
    if (!written || !commit()) {
        rollback();
        return false;
    }
    return true;
}
