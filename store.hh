// The stock kept in a store outside the run, which several runs and other
// programs share: the protocol that every kind of store follows.
#ifndef WAREHOUSE_STORE_HH
#define WAREHOUSE_STORE_HH

#include "datastructure.hh"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// What a run noted of its commands since it last wrote to the store: each
/// command that changed the stock, with the changes it made, in order.
struct StoreNotes {
    /// How a command's changes are recorded in the history.
    enum class Kind {
        Products,  // one entry per change
        Emptied,   // one entry for the command: every product went
        Many,      // one entry for the command: too many products to list
    };
    struct Command {
        std::string echo;         // the command as echoed
        std::timespec time;       // when it ran
        Kind kind;
        std::size_t firstChange;  // its changes start here in changes
    };
    struct Change {
        std::string id;
        std::uint32_t before;  // units before; 0: not in stock
        std::uint32_t after;   // units after; 0: not in stock
    };

    std::vector<Command> commands;
    std::vector<Change> changes;
    // The whole stock is to be written afresh rather than the changes: the
    // stock was emptied, or too much of it changed.
    bool everything = false;

    bool empty() const { return commands.empty() && !everything; }

    /// The changes of the command at index, in the order they were made.
    std::pair<std::size_t, std::size_t> changesOf(std::size_t command) const;

    /// Calls write once for each changed product, in the order of the ids
    /// where memory allows, and returns false as soon as write does.
    template <typename Write> bool forEachChangedId(Write write) const;
};

/// True when where names a store on a PostgreSQL server: a connection URI
/// that starts "postgresql://" or "postgres://". Anything else is a file.
bool isServerUri(std::string_view where);

/// where as messages name the store: without a password it may hold.
std::string storeName(const std::string& where);

/// A time as the history keeps it: UTC, "YYYY-MM-DD HH:MM:SS.SSS", the form
/// of SQLite's own date functions.
std::string historyTime(const std::timespec& time);

/// One entry of the history as the store gives it back.
struct HistoryEntry {
    std::int64_t commandNo;              // entries of one command share it
    std::string time;                    // UTC, YYYY-MM-DD HH:MM:SS.SSS
    std::optional<std::string> clerk;    // none: another program
    std::optional<std::string> command;  // as echoed; none: another program
    std::optional<std::string> id;       // none: many products at once
    std::optional<std::uint32_t> after;  // units after; none: not known
};

/// The stock kept in a store outside the run, which several runs, and other
/// programs, may change at once. The table stays each run's engine and holds
/// the whole stock; the store follows it, and it follows the store.
///
/// The protocol. A run's commands run in transactions, and each transaction
/// takes these steps, each a member below, in this order:
///  1. lock()     takes the store's write lock, waiting for whoever holds it,
///                another run or another program, up to the wait limit;
///  2. catchUp()  brings the table up to what others committed since the run
///                last looked, as the store's history tells; nothing to do,
///                and nothing read, when nothing changed;
///  3. the commands run on the table, which tells the store of each change
///     before making it;
///  4. write()    writes each changed product as the table now holds it, and
///                the history of the commands that changed the stock;
///  5. commit()   makes the transaction durable and lets the lock go;
///  6. the output the commands printed, held back since the store opened,
///     is shown.
/// begin() takes steps 1 and 2 just before a command runs, when no
/// transaction is open; end() takes steps 4 to 6 just before more input is
/// read, and begin() takes them first once the held output passes a bound.
/// So a run that waits for input holds no lock; whatever it shows is
/// durable; and a command, with the state it read, is one transaction, so no
/// update is lost.
class Store {
public:
    struct Options {
        // How long a command waits for the lock before the run fails.
        std::chrono::milliseconds wait{std::chrono::seconds(10)};
    };

    /// Opens the store that where names, creating it when it does not exist,
    /// and loads its products into the table, which must be empty; from then
    /// on the store watches the table, and output is held back until each
    /// commit. On failure returns null with the reason in error, and leaves
    /// the store as it was.
    static std::unique_ptr<Store> open(const std::string& where,
                                       Datastructure& table,
                                       const Options& options,
                                       std::string& error);
    virtual ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    /// Steps 1 and 2, before a command runs. False when the store failed:
    /// the command must not run, and the run must end.
    bool begin();

    /// Steps 4 to 6. False when the store or standard output failed: what
    /// was not committed is never shown.
    bool end();

    /// The command that is about to run, as echoed, for the history.
    void commandRuns(std::string_view echo);

    /// Prints the history of a product, oldest first, or with no id the last
    /// commands that changed the stock. Runs inside a transaction; false
    /// when the store failed.
    bool printHistory(const std::string* id);

    /// True when path names a file of the store's own, which a command must
    /// neither write nor read.
    virtual bool ownsFile(const std::string& path) const;

    /// Whether open() made the store anew.
    bool created() const { return madeAnew; }

    bool failed() const { return !failure.empty(); }
    /// Why the store failed.
    const std::string& error() const { return failure; }

protected:
    Store(Datastructure& table, const Options& options);

    // The steps, as each kind of store takes them. Each returns false, with
    // the reason given to fail(), when the store fails.
    virtual bool lock() = 0;
    virtual bool catchUp() = 0;
    virtual bool write(const StoreNotes& notes) = 0;
    virtual bool commit() = 0;
    /// Undoes what the open transaction wrote and lets the lock go.
    virtual void rollback() = 0;
    /// The entries H prints: those of the product and the marks of many
    /// products after its first one, or with no id those of the last count
    /// commands; oldest first.
    virtual bool readHistory(const std::string* id, std::size_t count,
                             std::vector<HistoryEntry>& entries) = 0;

    /// From now on every change to the table is noted, and output is held.
    void watchTable();

    /// What writes one product of the stock to the store; false stops.
    using ProductWriter = std::function<bool(
        const std::string& id, const std::string& shelf, std::uint32_t amount,
        const std::string& name)>;

    /// Calls write for every product in stock, showing the progress: in the
    /// order of the ids, which fills a database's index from one end, or,
    /// without the memory to sort them, in the table's order. Returns false
    /// as soon as write does.
    bool writeEveryProduct(const ProductWriter& write) const;

    bool fail(std::string why);
    /// Fails for a lock that others held past the wait limit.
    bool failLocked();

    Datastructure& table;
    const Options options;
    const std::string clerk;  // login name of whoever runs the program
    bool madeAnew = false;

private:
    void noteChange(const std::string* id, std::uint32_t before,
                    std::uint32_t after);
    /// Records the running command's changes as one entry of that kind.
    void markRunningCommand(StoreNotes::Kind kind);
    bool writeNotes();

    StoreNotes notes;  // since the last write
    std::string runningEcho;       // the command running now
    std::timespec runningTime{};   // when it began
    bool runningNoted = false;     // it is in notes.commands already
    bool inTransaction = false;    // steps 1 and 2 are taken
    bool watching = false;         // the stock is loaded and watched
    bool catchingUp = false;       // the table follows the store: not noted
    std::string failure;           // once set, the store is done
};

template <typename Write>
bool StoreNotes::forEachChangedId(Write write) const
{
    // In the order of the keys, each once: rows written in key order fill
    // the store's tree from one end. Without memory for the order, in the
    // order they came, repeats and all: the same rows, only slower.
    std::vector<const std::string*> ids;
    try {
        ids.reserve(changes.size());
    } catch (const std::bad_alloc&) {
        for (const Change& change : changes) {
            if (!write(change.id)) {
                return false;
            }
        }
        return true;
    }
    for (const Change& change : changes) {
        ids.push_back(&change.id);
    }
    std::sort(ids.begin(), ids.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });
    const std::string* previous = nullptr;
    for (const std::string* id : ids) {
        if (previous == nullptr || *previous != *id) {
            if (!write(*id)) {
                return false;
            }
        }
        previous = id;
    }
    return true;
}

#endif
