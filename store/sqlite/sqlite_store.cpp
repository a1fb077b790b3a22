// The steps of an SQLite store's transactions: the lock, the catch-up, the
// writes, the commit.
#include "store/sqlite/sqlite_store.hh"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <thread>
#include <utility>

namespace {

const char* const STOPPED_WAITING =
    "stopped by Ctrl-C while it waited for the store";

const char* const DAMAGED_ROW =
    "damaged: a row of the stock holds a field that is not text, or an "
    "amount that is not a whole number from 1 to 4294967295";

}  // namespace

bool SqliteStore::execute(const char* sql)
{
    return sqlite3_exec(database.get(), sql, nullptr, nullptr, nullptr) ==
               SQLITE_OK ||
           failWith("");
}

bool SqliteStore::prepare(Statement& statement, const char* sql)
{
    sqlite3_stmt* prepared = nullptr;
    const int result =
        sqlite3_prepare_v2(database.get(), sql, -1, &prepared, nullptr);
    statement.reset(prepared);
    return result == SQLITE_OK || failWith("");
}

bool SqliteStore::run(const Statement& statement)
{
    return Stepping(statement).step() == SQLITE_DONE || failWith("");
}

bool SqliteStore::failWith(std::string_view what)
{
    return fail(std::string(what) +
                (database ? sqlite3_errmsg(database.get()) : "out of memory"));
}

int SqliteStore::busy(void* store, int tries)
{
    auto& self = *static_cast<SqliteStore*>(store);
    if (tries == 0 && self.waiting == nullptr) {
        self.waitDeadline = Clock::now() + self.options.wait;
    }
    if (self.waiting != nullptr && self.stopRequested()) {
        self.stoppedWaiting = true;
        return 0;
    }
    if (Clock::now() >= self.waitDeadline) {
        return 0;
    }
    if (self.waiting != nullptr) {
        self.waiting->tick();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}

bool SqliteStore::readDataVersion(std::int64_t& version)
{
    Stepping pragma(dataVersion);
    if (pragma.step() != SQLITE_ROW) {
        return failWith("");
    }
    version = sqlite3_column_int64(pragma.row(), 0);
    return true;
}

bool SqliteStore::loadStock()
{
    std::uint64_t total = 0;
    if (Progress::showing()) {
        Stepping counting(countStock);
        if (counting.step() == SQLITE_ROW) {
            total = static_cast<std::uint64_t>(
                sqlite3_column_int64(counting.row(), 0));
        }
    }
    Progress progress("Loading the store", total);
    std::uint64_t loaded = 0;
    std::string id;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    Stepping rows(productsInOrder);
    int step = SQLITE_ROW;
    try {
        while ((step = rows.step()) == SQLITE_ROW) {
            if (!readProduct(rows.row(), id, amount, shelf, name)) {
                return fail(DAMAGED_ROW);
            }
            table.add(id, shelf, amount, name);
            progress.at(++loaded);
        }
    } catch (const std::bad_alloc&) {
        return failTooLarge();
    }
    return step == SQLITE_DONE || failWith("damaged: ");
}

bool SqliteStore::lock(Access wanted)
{
    access = wanted;
    lotsKnown = LotsKnown::NotYet;
    if (wanted != Access::Changes) {
        // A read transaction: its view of the store starts at its first read,
        // and makes no writer wait.
        if (!execute("BEGIN")) {
            return false;
        }
    } else {
        const Clock::time_point deadline = Clock::now() + options.wait;
        // Short, to fit a narrow terminal on one line.
        WaitNotice notice("Waiting for the store");
        if (!file->lockRuns(deadline, notice,
                            [this] { return stopRequested(); })) {
            return errno == ETIMEDOUT   ? failLocked()
                   : errno == ECANCELED ? refuse(STOPPED_WAITING)
                                        : fail(std::strerror(errno));
        }
        waitDeadline = deadline;
        waiting = &notice;
        stoppedWaiting = false;
        const int begun = sqlite3_exec(database.get(), "BEGIN IMMEDIATE",
                                       nullptr, nullptr, nullptr);
        waiting = nullptr;
        if (begun != SQLITE_OK) {
            file->unlockRuns();
            return begun != SQLITE_BUSY ? failWith("")
                   : stoppedWaiting     ? refuse(STOPPED_WAITING)
                                        : failLocked();
        }
    }
    if (const char* why = file->whyGone()) {
        rollback();
        return fail(why);
    }
    return true;
}

bool SqliteStore::catchUp()
{
    std::int64_t version = 0;
    if (!readDataVersion(version)) {
        return false;
    }
    if (version == lastDataVersion) {
        return true;  // nobody else committed anything
    }
    std::vector<std::string> ids;
    // A commit that left no entry in the history came from a program that
    // got past the triggers: only the whole stock tells what it did.
    bool everything = true;
    std::int64_t newest = lastSeen;
    {
        sqlite3_bind_int64(changesSince.get(), 1, lastSeen);
        Stepping rows(changesSince);
        int step = SQLITE_ROW;
        bool any = false;
        while ((step = rows.step()) == SQLITE_ROW) {
            newest = sqlite3_column_int64(rows.row(), 0);
            if (!any) {
                any = true;
                everything = false;
            }
            if (sqlite3_column_type(rows.row(), 1) == SQLITE_NULL) {
                everything = true;
            }
            if (!everything) {
                ids.emplace_back();
                columnText(rows.row(), 1, ids.back());
            }
        }
        if (step != SQLITE_DONE) {
            return failWith("");
        }
    }
    if (everything) {
        table.empty();
        if (!loadStock()) {
            return false;
        }
    } else {
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (const std::string& id : ids) {
            if (!follow(id)) {
                return false;
            }
        }
    }
    lastSeen = newest;
    lastDataVersion = version;
    return true;
}

bool SqliteStore::follow(const std::string& id)
{
    bindText(product.get(), 1, id);
    Stepping row(product);
    const int step = row.step();
    if (step == SQLITE_DONE) {
        table.put(id, {}, 0, {});  // gone from the store
        return true;
    }
    if (step != SQLITE_ROW) {
        return failWith("");
    }
    std::string storedId;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    if (!readProduct(row.row(), storedId, amount, shelf, name)) {
        return fail(DAMAGED_ROW);
    }
    table.put(id, shelf, amount, name);
    return true;
}

bool SqliteStore::putRow(const std::string& id, const std::string& shelf,
                         std::uint32_t amount, const std::string& name,
                         bool cameIn)
{
    bindText(upsert.get(), 1, id);
    sqlite3_bind_int64(upsert.get(), 2, amount);
    bindText(upsert.get(), 3, shelf);
    bindText(upsert.get(), 4, name);
    if (!run(upsert)) {
        return false;
    }
    return !cameIn || catalogueProduct(id, shelf, name);
}

bool SqliteStore::catalogueProduct(const std::string& id, const std::string& shelf,
                                   const std::string& name)
{
    // The run's connection fires no trigger: a first delivery makes the
    // product's record here, as the trigger does for other programs.
    bindText(catalogued.get(), 1, id);
    bindText(catalogued.get(), 2, name);
    bindText(catalogued.get(), 3, shelf);
    return run(catalogued);
}

bool SqliteStore::removeRow(const std::string& id)
{
    bindText(remove.get(), 1, id);
    return run(remove);
}

bool SqliteStore::writeProduct(const std::string& id)
{
    bool written = true;
    const bool inStock = table.lookUp(
        id, [&](const std::string& stockId, const std::string& shelf,
                std::uint32_t amount, const std::string& name) {
            written = putRow(stockId, shelf, amount, name, true);
        });
    return inStock ? written : removeRow(id);
}

bool SqliteStore::noteUnwritten(const std::string& id, bool cameIn)
{
    try {
        Unwritten row;
        productNow(id, row);
        row.cameIn = cameIn;
        unwritten.push_back(std::move(row));
        return true;
    } catch (const std::bad_alloc&) {
        return writeProduct(id);
    }
}

bool SqliteStore::writeUnwritten()
{
    // Sorted, a product's rows stand together, the last command's last;
    // unsorted (std::stable_sort found no memory to spare and ran without),
    // they are written in order, a later row over an earlier.
    std::stable_sort(unwritten.begin(), unwritten.end(),
                     [](const ProductState& a, const ProductState& b) {
                         return a.id < b.id;
                     });
    // A product's record is made from its first delivery, as it came in:
    // it may have gone again, or come back under another name, by the last.
    const Unwritten* came = nullptr;  // the product's first row that came in
    for (auto row = unwritten.begin(); row != unwritten.end(); ++row) {
        if (came == nullptr && row->cameIn && row->inStock) {
            came = &*row;
        }
        const auto next = row + 1;
        if (next != unwritten.end() && next->id == row->id) {
            continue;  // a later command changed it again
        }
        if (!(row->inStock ? putRow(row->id, row->shelf, row->amount, row->name, false)
                           : removeRow(row->id)) ||
            (came != nullptr && !catalogueProduct(came->id, came->shelf, came->name))) {
            return false;
        }
        came = nullptr;
    }
    unwritten.clear();
    return true;
}

bool SqliteStore::startEntries(const CommandNotes& notes)
{
    if (history.start(notes, login, options.clerk)) {
        return true;
    }
    return history.numbersLeft()
               ? failWith("")
               : fail("its history has used up the command numbers");
}

bool SqliteStore::addEntry(const std::string* id,
                           std::optional<std::uint32_t> before,
                           std::optional<std::uint32_t> after)
{
    return history.add(id, before, after) || failWith("");
}

bool SqliteStore::write(const CommandNotes& notes,
                        const std::vector<StockChange>& changes)
{
    switch (notes.kind) {
    case CommandNotes::Kind::Products:
        return writeChanges(notes, changes);
    case CommandNotes::Kind::Emptied:
        return writeUnwritten() && writeEmptied(notes);
    case CommandNotes::Kind::Many:
        break;
    }
    return writeUnwritten() && writeMany(notes);
}

bool SqliteStore::writeChanges(const CommandNotes& notes,
                               const std::vector<StockChange>& changes)
{
    for (const StockChange& change : changes) {
        if (!noteUnwritten(change.id, change.before == 0)) {
            return false;
        }
    }
    if (!startEntries(notes)) {
        return false;
    }
    for (const StockChange& change : changes) {
        if (!takeFromLots(change.id, change.before, change.after)) {
            return false;
        }
    }
    if (changes.size() > MOST_ENTRIES) {
        return addEntry(nullptr, std::nullopt, std::nullopt);
    }
    for (const StockChange& change : changes) {
        if (!addEntry(&change.id, change.before, change.after)) {
            return false;
        }
    }
    return true;
}

bool SqliteStore::writeEmptied(const CommandNotes& notes)
{
    // The stock stored is the stock before the command: each product there
    // goes to 0, and is listed unless there are too many.
    std::int64_t products = 0;
    {
        Stepping counting(countStock);
        if (counting.step() != SQLITE_ROW) {
            return failWith("");
        }
        products = sqlite3_column_int64(counting.row(), 0);
    }
    if (products == 0) {
        return true;
    }
    if (static_cast<std::uint64_t>(products) > MOST_ENTRIES) {
        if (!startEntries(notes) || !addEntry(nullptr, std::nullopt, 0)) {
            return false;
        }
    } else {
        if (!startEntries(notes) || !history.addEveryProduct()) {
            return failWith("");
        }
    }
    return execute("DELETE FROM stock") && execute("DELETE FROM lots");
}

bool SqliteStore::findDifferences(const std::vector<ProductRow>& rows,
                                  std::vector<Difference>& differences)
{
    // The stored stock and the table's, both in the order of the ids, side
    // by side.
    Stepping stored(productsInOrder);
    std::string id;
    std::string shelf;
    std::string name;
    std::uint32_t amount = 0;
    auto next = rows.begin();
    int step = SQLITE_ROW;
    while ((step = stored.step()) == SQLITE_ROW) {
        if (!readProduct(stored.row(), id, amount, shelf, name)) {
            return fail(DAMAGED_ROW);
        }
        for (; next != rows.end() && *next->id < id; ++next) {
            differences.push_back({&*next, {}, 0});
        }
        if (next == rows.end() || *next->id != id) {
            differences.push_back({nullptr, id, amount});
            continue;
        }
        if (next->amount != amount || *next->shelf != shelf ||
            *next->name != name) {
            differences.push_back({&*next, {}, amount});
        }
        ++next;
    }
    for (; next != rows.end(); ++next) {
        differences.push_back({&*next, {}, 0});
    }
    return step == SQLITE_DONE || failWith("");
}

bool SqliteStore::writeMany(const CommandNotes& notes)
{
    // Only what differs is written, so that the history lists what the
    // command changed; without the memory to find it, the stock is written
    // whole.
    std::vector<ProductRow> rows;
    std::vector<Difference> differences;
    try {
        rows = productsById();
        if (!findDifferences(rows, differences)) {
            return false;
        }
    } catch (const std::bad_alloc&) {
        return rewriteEverything(notes);
    }
    Progress progress("Writing the store", differences.size());
    std::uint64_t written = 0;
    for (const Difference& difference : differences) {
        const ProductRow* row = difference.row;
        const std::uint32_t after = row != nullptr ? row->amount : 0;
        if (!(row != nullptr
                  ? putRow(*row->id, *row->shelf, row->amount, *row->name,
                           difference.before == 0)
                  : removeRow(difference.goneId)) ||
            !takeFromLots(row != nullptr ? *row->id : difference.goneId,
                          difference.before, after)) {
            return false;
        }
        progress.at(++written);
    }
    if (differences.empty()) {
        return true;
    }
    if (!startEntries(notes)) {
        return false;
    }
    if (differences.size() > MOST_ENTRIES) {
        const std::optional<std::uint32_t> after =
            table.count() == 0 ? std::optional<std::uint32_t>(0) : std::nullopt;
        return addEntry(nullptr, std::nullopt, after);
    }
    for (const Difference& difference : differences) {
        const ProductRow* row = difference.row;
        if (!addEntry(row != nullptr ? row->id : &difference.goneId,
                      difference.before, row != nullptr ? row->amount : 0)) {
            return false;
        }
    }
    return true;
}

bool SqliteStore::rewriteEverything(const CommandNotes& notes)
{
    bool inOrder = false;
    return execute("DELETE FROM stock") &&
           writeEveryProduct(
               [this](const std::string& id, const std::string& shelf,
                      std::uint32_t amount, const std::string& name) {
                   return putRow(id, shelf, amount, name, true);
               },
               inOrder) &&
           dropLotsBeyondStock() && startEntries(notes) &&
           addEntry(nullptr, std::nullopt,
                    table.count() == 0 ? std::optional<std::uint32_t>(0)
                                       : std::nullopt);
}

bool SqliteStore::commit()
{
    if (access == Access::Changes) {
        if (!writeUnwritten()) {
            return false;
        }
        if (const char* why = file->whyGone()) {
            return fail(why);
        }
    }
    if (!execute("COMMIT")) {
        return false;
    }
    // Everything up to the run's own newest entry is in the table now.
    lastSeen = std::max(lastSeen, history.takeNewest());
    file->unlockRuns();
    return true;
}

void SqliteStore::rollback()
{
    if (!sqlite3_get_autocommit(database.get())) {
        sqlite3_exec(database.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    if (!sqlite3_get_autocommit(database.get())) {
        // A transaction that cannot be ended would keep its lock while the
        // run waits for input: the run ends instead.
        failWith("the transaction could not be ended: ");
    }
    history.takeNewest();
    unwritten.clear();
    file->unlockRuns();
}

bool SqliteStore::readHistory(const HistoryRequest& request,
                              std::vector<HistoryEntry>& entries)
{
    return history.read(request, entries) || failWith("");
}
