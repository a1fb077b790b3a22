// The protocol every kind of store follows: the transaction's steps in order,
// and the changes noted.
#include "store/store.hh"

#include "util/memory_reserve.hh"
#include "util/output_lines.hh"
#include "util/progress.hh"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <numeric>

namespace {

// A command that changes more products than this, and more than half the
// stock, is noted as a command of many products rather than change by
// change: the store then writes the stock whole rather than look each change
// up.
constexpr std::size_t MANY_CHANGES = MOST_ENTRIES;

/// The name of the user the program runs as, or the number when the system
/// knows no name for it: the operating system's word, never the
/// environment's.
std::string loginName()
{
    const uid_t user = ::geteuid();
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> strings(16384);
    if (::getpwuid_r(user, &entry, strings.data(), strings.size(), &found) ==
            0 &&
        found != nullptr) {
        return found->pw_name;
    }
    return "uid " + std::to_string(user);
}

}  // namespace

std::vector<StockChange> CommandNotes::netChanges() const
{
    // The changes of each product together, in the order they were made.
    std::vector<std::size_t> order(changes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [this](std::size_t a, std::size_t b) {
                         return changes[a].id < changes[b].id;
                     });
    std::vector<StockChange> net;
    for (std::size_t first = 0; first < order.size();) {
        std::size_t last = first;
        while (last + 1 < order.size() &&
               changes[order[last + 1]].id == changes[order[first]].id) {
            ++last;
        }
        const StockChange& opening = changes[order[first]];
        const StockChange& closing = changes[order[last]];
        if (opening.before != closing.after) {
            net.push_back({opening.id, opening.before, closing.after});
        }
        first = last + 1;
    }
    return net;
}

Store::Store(Datastructure& table, const StoreOptions& options)
    : table(table), options(options), login(loginName())
{
}

Store::~Store()
{
    table.watch({});
}

void Store::watchTable()
{
    watching = true;
    table.watch([this](const std::string* id, std::uint32_t before,
                       std::uint32_t after) { noteChange(id, before, after); });
    holdOutput();
}

std::vector<Store::ProductRow> Store::productsById() const
{
    std::vector<ProductRow> rows;
    rows.reserve(table.count());
    table.forEachProduct([&rows](const std::string& id,
                                 const std::string& shelf, std::uint32_t amount,
                                 const std::string& name) {
        rows.push_back({&id, &shelf, amount, &name});
    });
    std::sort(
        rows.begin(), rows.end(),
        [](const ProductRow& a, const ProductRow& b) { return *a.id < *b.id; });
    return rows;
}

void Store::productNow(const std::string& id, ProductState& state) const
{
    state.id = id;
    state.inStock = table.lookUp(
        id, [&state](const std::string&, const std::string& shelf,
                     std::uint32_t amount, const std::string& name) {
            state.shelf = shelf;
            state.amount = amount;
            state.name = name;
        });
}

bool Store::writeEveryProduct(const ProductWriter& write, bool& inOrder) const
{
    // From the start: sorting a large stock takes a while of its own.
    Progress progress("Writing the store", table.count());
    std::uint64_t written = 0;
    std::vector<ProductRow> rows;
    try {
        rows = productsById();
        inOrder = true;
    } catch (const std::bad_alloc&) {
        inOrder = false;
        bool wrote = true;
        table.forEachProduct([&](const std::string& id,
                                 const std::string& shelf, std::uint32_t amount,
                                 const std::string& name) {
            wrote = wrote && write(id, shelf, amount, name);
            progress.at(++written);
        });
        return wrote;
    }
    for (const ProductRow& row : rows) {
        if (!write(*row.id, *row.shelf, row.amount, *row.name)) {
            return false;
        }
        progress.at(++written);
    }
    return true;
}

bool Store::fail(std::string why)
{
    if (failure.empty()) {
        failure = std::move(why);
    }
    return false;
}

bool Store::refuse(std::string why)
{
    return refuseWith("Not run: " + why + '.', why);
}

bool Store::refuseWith(std::string line, std::string why)
{
    if (!interactive() || !watching) {
        return fail(std::move(why));
    }
    if (refused.empty()) {
        refused = std::move(line);
    }
    return false;
}

bool Store::failLocked()
{
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(options.wait).count();
    const std::string held = "locked by another run or program for " +
                             std::to_string(seconds) + " s";
    if (interactive() && watching) {
        return refuse("the store was " + held);
    }
    return fail(
        held + "; " +
        (watching ? "the command did not run" : "the stock was not loaded"));
}

void Store::atTerminal(StopCheck stopRequested)
{
    stopRequest = std::move(stopRequested);
}

void Store::following(const std::function<void()>& follow)
{
    catchingUp = true;
    try {
        follow();
    } catch (...) {
        catchingUp = false;
        throw;
    }
    catchingUp = false;
}

bool Store::failTooLarge()
{
    return fail("out of memory: the stock does not fit in this run's memory");
}

bool Store::begin(Access access)
{
    refused.clear();
    if (failed()) {
        return false;
    }
    if (inTransaction) {
        if (!writeNotes()) {
            inTransaction = false;
            rollback();
            return false;
        }
        // Much output held is shown, with a commit, before the next command:
        // a run whose commands print much holds little. A command that
        // needs more than the open transaction gives, such as the lock,
        // starts one of its own.
        if (access <= openAccess && !heldOutputFull()) {
            return true;
        }
        if (!end()) {
            return false;
        }
    }
    return open(access);
}

bool Store::open(Access access)
{
    if (!lock(access)) {
        return false;
    }
    // What the table takes from the store is the store's already: not noted.
    catchingUp = true;
    bool caughtUp = false;
    try {
        caughtUp = catchUp();
    } catch (...) {
        // Out of memory part-way: the lock goes back at once, and the next
        // command catches up afresh.
        catchingUp = false;
        MemoryReserve::giveBack();
        rollback();
        MemoryReserve::take();
        throw;
    }
    catchingUp = false;
    if (!caughtUp) {
        rollback();
        return false;
    }
    inTransaction = true;
    openAccess = access;
    return true;
}

bool Store::end()
{
    if (failed()) {
        return false;
    }
    if (inTransaction) {
        inTransaction = false;
        bool committed = false;
        // Lent the reserve: a command that used up memory must still be
        // written.
        MemoryReserve::giveBack();
        try {
            committed = writeNotes() && commit();
        } catch (const std::bad_alloc&) {
            fail("out of memory");
        }
        if (!committed) {
            rollback();
        }
        MemoryReserve::take();
        if (!committed && failed()) {
            return false;
        }
        if (!committed) {
            // What the commands printed did not happen: the clerk is told
            // so instead.
            discardHeldOutput();
            printLine(refused);
            refused.clear();
        }
    }
    return releaseOutput();
}

bool Store::writeNotes()
{
    if (!runningChanged) {
        return true;
    }
    runningChanged = false;
    std::vector<StockChange> changes;
    if (running.kind == CommandNotes::Kind::Products) {
        try {
            changes = running.netChanges();
        } catch (const std::bad_alloc&) {
            markRunningCommand(CommandNotes::Kind::Many);
        }
        if (running.kind == CommandNotes::Kind::Products && changes.empty()) {
            return true;  // it left every product as it was
        }
    }
    const bool written = write(running, changes);
    running.changes.clear();
    return written;
}

void Store::commandRuns(std::string_view echo, ChangeKind what)
{
    running.echo.assign(echo);
    running.what = what;
    ::clock_gettime(CLOCK_REALTIME, &running.time);
    running.kind = CommandNotes::Kind::Products;
    running.changes.clear();
    runningChanged = false;
}

void Store::noteChange(const std::string* id, std::uint32_t before,
                       std::uint32_t after)
{
    if (catchingUp) {
        return;
    }
    runningChanged = true;
    if (running.kind != CommandNotes::Kind::Products) {
        return;  // known as a whole already
    }
    if (id == nullptr) {
        markRunningCommand(CommandNotes::Kind::Emptied);
        return;
    }
    try {
        running.changes.push_back({*id, before, after});
    } catch (const std::bad_alloc&) {
        // No room to note the change: the stock is written whole from the
        // table, which needs no memory of what changed.
        markRunningCommand(CommandNotes::Kind::Many);
        return;
    }
    const std::size_t made = running.changes.size();
    if (made >= MANY_CHANGES && made > table.count() / 2) {
        markRunningCommand(CommandNotes::Kind::Many);
    }
}

void Store::markRunningCommand(CommandNotes::Kind kind)
{
    // The room the changes took is given back: a command of very many
    // changes may well be running out of memory.
    std::vector<StockChange>().swap(running.changes);
    running.kind = kind;
}

bool Store::history(const HistoryRequest& request,
                    std::vector<HistoryEntry>& entries)
{
    if (readHistory(request, entries)) {
        return true;
    }
    if (!failed()) {
        printLine(refused);
        refused.clear();
    }
    return false;
}

bool Store::readCatalogue(std::vector<CatalogueRecord>&)
{
    return fail("this store keeps no catalogue");
}

bool Store::changeCatalogue(const CatalogueFile&, std::size_t&, std::vector<std::string>&)
{
    return fail("this store keeps no catalogue");
}

bool Store::takeCount(const CountSheet&, const std::string&, std::size_t&)
{
    return fail("this store keeps no stock-takes");
}

bool Store::receiveDeliveries(const DeliveryNote&, const std::string&,
                              std::vector<std::string>&)
{
    return fail("this store keeps no lots");
}

bool Store::ownsFile(const std::string&) const
{
    return false;
}
