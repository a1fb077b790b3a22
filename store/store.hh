// The stock kept in a store outside the run, which several runs and other
// programs share: the protocol that every kind of store follows.
#ifndef WAREHOUSE_STORE_HH
#define WAREHOUSE_STORE_HH

#include "datastructure.hh"
#include "store/catalogue_file.hh"
#include "store/change_kind.hh"
#include "store/history_lines.hh"
#include "store/stock_take_file.hh"
#include "util/progress.hh"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// One product's units before and after a change; 0: not in stock.
struct StockChange {
    std::string id;
    std::uint32_t before;
    std::uint32_t after;
};

/// What a run noted of the command that ran: what it changed, for the store
/// to write and its history to record.
struct CommandNotes {
    /// How the command's changes are known.
    enum class Kind {
        Products,  // each change is in changes
        Emptied,   // every product went
        Many,      // too many products to note one by one
    };

    std::string echo;      // the command as echoed
    ChangeKind what = ChangeKind::Other;  // the kind of command it is
    std::timespec time{};  // when it began
    Kind kind = Kind::Products;
    std::vector<StockChange> changes;  // Products: every change, in order

    /// The products a command of Products changed, each once, with its
    /// units before its first change and after its last, in the order of
    /// the ids; those it left as they were are left out.
    std::vector<StockChange> netChanges() const;
};

/// What a store is opened with.
struct StoreOptions {
    // How long a command waits for the lock before the run fails.
    std::chrono::milliseconds wait{std::chrono::seconds(10)};
    // The name a clerk gave with --clerk, recorded beside the login that
    // the store verifies; empty: none.
    std::string clerk;
};

/// The stock kept in a store outside the run, which several runs, and other
/// programs, may change at once. The table stays each run's engine and holds
/// the whole stock; the store follows it, and it follows the store.
///
/// The protocol. A run's commands run in transactions, and each transaction
/// takes these steps, each a member below, in this order:
///  1. lock()     for commands that change the stock, takes the store's
///                write lock, waiting for whoever holds it, another run or
///                another program, up to the wait limit; for commands that
///                only read, takes a view of what is committed, which makes
///                nobody wait;
///  2. catchUp()  brings the table up to what others committed since the run
///                last looked; nothing to do, and nothing read, when nothing
///                changed;
///  3. a command runs on the table, which tells the store of each change
///     before making it;
///  4. write()    hands the store the command's changes, each product as the
///                table now holds it, and the command as echoed: the store
///                writes them, or gathers them for the commit;
///  5. commit()   makes the transaction durable and lets the lock go;
///  6. the output the commands printed, held back since the store opened,
///     is shown.
/// begin() takes steps 1 and 2 just before a command runs when no
/// transaction is open, and step 4 for the command before it when one is;
/// end() takes steps 4 to 6 just before more input is read, and begin()
/// takes them first once the held output passes a bound, or when a command
/// that changes the stock follows commands that only read. So a run that
/// waits for input holds no lock; whatever it shows is durable; and a
/// command, with the state it read, is one transaction, so no update is
/// lost.
class Store {
public:
    /// What a command needs of the store, from the least to the most: the
    /// history alone, the stock caught up, or the stock to change.
    enum class Access { History, Reads, Changes };

    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    virtual ~Store();

    /// Steps 1 and 2, before a command that accesses the stock so runs.
    /// False when the command must not run: when the store failed, and the
    /// run must end; or, at a terminal, when it was refused, and refusal()
    /// says why.
    bool begin(Access access);

    /// Steps 4 to 6. False when the store or standard output failed: what
    /// was not committed is never shown. At a terminal, commands that could
    /// not be committed without the store failing, such as those cut off by
    /// a lost connection, are reported as not run instead, and the table
    /// follows the store again.
    bool end();

    /// From now on a clerk at a terminal runs the commands: a wait for the
    /// store is cut short by stopRequested (Ctrl-C), and a wait past the
    /// limit, or a server that is lost, refuses the command rather than
    /// failing the store.
    void atTerminal(StopCheck stopRequested);

    /// Why the last begin() refused its command, as a line for the clerk;
    /// empty when it did not.
    const std::string& refusal() const { return refused; }

    /// The command that is about to run, as echoed, and what kind of
    /// change it makes, for the history.
    void commandRuns(std::string_view echo, ChangeKind what);

    /// The entries of the history that request asks for, oldest first.
    /// Runs inside a transaction. False when the store failed, or, at a
    /// terminal, refused the command, whose refusal is then printed.
    bool history(const HistoryRequest& request,
                 std::vector<HistoryEntry>& entries);

    /// True when path names a file of the store's own, which a command must
    /// neither write nor read.
    virtual bool ownsFile(const std::string& path) const;

    /// The login the store knows the run by: the operating system's user
    /// on a file, the server's login on a server.
    virtual std::string knownLogin() const { return login; }

    /// False when the login the store knows the run by may only read it.
    bool mayChange() const { return writable; }

    /// True when the login the store knows the run by is the store's
    /// owner's: on PostgreSQL the owner of its tables or a member of
    /// warehouse_owner, on SQLite the owner of its file. Only the owner
    /// empties the stock, fills it with made-up products and changes the
    /// catalogue.
    bool mayOwn() const { return storeOwner; }

    /// The catalogue's records, sorted by id, as one moment has them.
    virtual bool readCatalogue(std::vector<CatalogueRecord>& records);

    /// Applies a file checked whole to the catalogue, in one transaction:
    /// each field changed goes into the catalogue's changes, and a name or
    /// shelf changed renames the product in the stock too, as another
    /// program's change would, for every run to follow. Gives in changed
    /// the number of records changed or added. A line the catalogue, as
    /// the transaction finds it, would not take (refusedChanges) goes into
    /// refused, and then nothing changes.
    virtual bool changeCatalogue(const CatalogueFile& file, std::size_t& changed,
                                 std::vector<std::string>& refused);

    /// Takes a count sheet checked whole, in one transaction, as one
    /// command echoed as echo: each product counted gets the units counted
    /// (0: it goes; one the stock lacks comes in, named and shelved as the
    /// sheet or else its record says), a decrease taken from its lots first
    /// expiring first, and each difference is an entry of the kind count
    /// with the units expected and counted and the reason. Gives in
    /// differences how many products differed.
    virtual bool takeCount(const CountSheet& sheet, const std::string& echo,
                           std::size_t& differences);

    /// Receives a delivery note checked whole, in one transaction, as one
    /// command echoed as echo: each line's units are added as R adds them
    /// (a product new to the stock takes the line's shelf and name), and
    /// each dated line is a lot. A line the stock cannot take (past the
    /// most units a product holds) goes into refused as "line N: why", and
    /// then nothing changes.
    virtual bool receiveDeliveries(const DeliveryNote& note, const std::string& echo,
                                   std::vector<std::string>& refused);

    /// Whether the store was made anew when it was opened.
    bool created() const { return madeAnew; }

    /// What the store asks to be told once, at the start: lines for
    /// standard error, such as what an administrator must do.
    const std::vector<std::string>& notices() const { return startNotices; }

    bool failed() const { return !failure.empty(); }
    /// Why the store failed.
    const std::string& error() const { return failure; }

protected:
    Store(Datastructure& table, const StoreOptions& options);

    // The steps, as each kind of store takes them. Each returns false, with
    // the reason given to fail(), when the store fails.
    virtual bool lock(Access access) = 0;
    virtual bool catchUp() = 0;
    /// notes are those of a command that changed the stock; changes, in
    /// the order of the ids, are its net changes when it is of Products.
    virtual bool write(const CommandNotes& notes,
                       const std::vector<StockChange>& changes) = 0;
    virtual bool commit() = 0;
    /// Undoes what the open transaction wrote and lets the lock go.
    virtual void rollback() = 0;
    /// The entries request asks for, oldest first: a product's own, and
    /// those of many products after its first; or those of the newest
    /// commands that the request bounds.
    virtual bool readHistory(const HistoryRequest& request,
                             std::vector<HistoryEntry>& entries) = 0;

    /// From now on every change to the table is noted, and output is held.
    void watchTable();

    /// A product as the table holds it, while nothing changes the table.
    struct ProductRow {
        const std::string* id;
        const std::string* shelf;
        std::uint32_t amount;
        const std::string* name;
    };

    /// Every product in stock, in the order of the ids. Throws
    /// std::bad_alloc without the memory to sort them.
    std::vector<ProductRow> productsById() const;

    /// A product as a command left it, kept to be written after the table
    /// has moved on: its shelf, units and name, or out of stock.
    struct ProductState {
        std::string id;
        bool inStock = false;
        std::string shelf;
        std::uint32_t amount = 0;
        std::string name;
    };

    /// Sets state to product id as the table holds it now. Throws
    /// std::bad_alloc without the memory to copy it.
    void productNow(const std::string& id, ProductState& state) const;

    /// What writes one product of the stock; false stops.
    using ProductWriter =
        std::function<bool(const std::string& id, const std::string& shelf,
                           std::uint32_t amount, const std::string& name)>;

    /// Calls write for every product in stock, showing the progress: in the
    /// order of the ids, which fills a database's index from one end, or,
    /// without the memory to sort them, in the table's order (inOrder tells
    /// which). Returns false as soon as write does.
    bool writeEveryProduct(const ProductWriter& write, bool& inOrder) const;

    bool fail(std::string why);
    /// Refuses the command at a terminal, with a line "Not run: why."; a
    /// script fails instead. Returns false.
    bool refuse(std::string why);
    /// As refuse(), with the line for the clerk whole.
    bool refuseWith(std::string line, std::string why);
    /// Fails, or at a terminal refuses, for a lock that others held past
    /// the wait limit.
    bool failLocked();
    /// Whether a clerk at a terminal runs the commands.
    bool interactive() const { return static_cast<bool>(stopRequest); }
    /// Tells whether the clerk asked the wait to stop (Ctrl-C).
    bool stopRequested() const { return stopRequest && stopRequest(); }
    /// Makes the table follow the store through follow, which changes the
    /// table as the store says: the changes are not noted.
    void following(const std::function<void()>& follow);
    /// Fails for a stock that does not fit in the run's memory.
    bool failTooLarge();

    Datastructure& table;
    const StoreOptions options;
    const std::string login;  // the operating system's user of the run
    bool madeAnew = false;
    bool writable = true;  // the login may change the stock
    bool storeOwner = true;  // the login is the store's owner's
    std::vector<std::string> startNotices;

private:
    void noteChange(const std::string* id, std::uint32_t before,
                    std::uint32_t after);
    /// The running command's changes are too many, or too costly, to note:
    /// from now on it is of that kind.
    void markRunningCommand(CommandNotes::Kind kind);
    /// Step 4 for the command that ran last, if it changed the stock.
    bool writeNotes();
    bool open(Access access);

    CommandNotes running;         // the command running, or that ran last
    bool runningChanged = false;  // it changed the stock, and is not written
    bool inTransaction = false;   // steps 1 and 2 are taken
    Access openAccess = Access::Reads;  // what the open transaction may do
    bool watching = false;              // the stock is loaded and watched
    bool catchingUp = false;  // the table follows the store: not noted
    std::string failure;      // once set, the store is done
    std::string refused;      // why the last command was refused
    StopCheck stopRequest;    // set at a terminal
};

#endif
