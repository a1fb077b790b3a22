// The store in an SQLite database file, which the runs on one machine share.
#ifndef WAREHOUSE_SQLITE_STORE_HH
#define WAREHOUSE_SQLITE_STORE_HH

#include "store/sqlite/sqlite_file.hh"
#include "store/sqlite/sqlite_history.hh"
#include "store/sqlite/sqlite_rows.hh"
#include "store/store.hh"
#include "util/progress.hh"

#include <memory>
#include <optional>
#include <string>
#include <vector>

/// Opens the store in the SQLite file at path, as openStore() does.
std::unique_ptr<Store> openSqliteStore(const std::string& path,
                                       Datastructure& table,
                                       const StoreOptions& options,
                                       std::string& error);

/// A store in an SQLite file: its opening in sqlite_start.cpp, the steps of
/// its transactions in sqlite_store.cpp.
class SqliteStore final : public Store {
public:
    using Clock = StoreFile::Clock;

    SqliteStore(Datastructure& table, const StoreOptions& options,
                std::unique_ptr<StoreFile> file)
        : Store(table, options), file(std::move(file))
    {
        madeAnew = this->file->made();
    }

    /// Leaves the run's commits in the store file itself, not in the log
    /// beside it alone, wherever no reader's snapshot holds them back.
    ~SqliteStore() override;

    /// Opens the database, brings an older shape up to date, and loads the
    /// stock. False, with the reason in error(), when the file cannot be
    /// used.
    bool start();

    /// Whether the last failure was SQLite's running out of memory,
    /// including the address space its log's shared memory is mapped into
    /// (which it reports as an error of input and output).
    bool outOfMemory() const
    {
        const int code = database ? sqlite3_extended_errcode(database.get()) : SQLITE_NOMEM;
        return code == SQLITE_NOMEM || code == SQLITE_IOERR_NOMEM ||
               code == SQLITE_IOERR_SHMMAP;
    }

    bool ownsFile(const std::string& candidate) const override
    {
        return file->owns(candidate);
    }

private:
    /// A difference between the stock stored and the table's, found by a
    /// write of the whole stock: row is the table's product, or null when
    /// the product, goneId, is no longer in stock.
    struct Difference {
        const ProductRow* row;
        std::string goneId;
        std::uint32_t before;
    };

    bool readCatalogue(std::vector<CatalogueRecord>& records) override;
    bool changeCatalogue(const CatalogueFile& file, std::size_t& changed,
                         std::vector<std::string>& refused) override;
    bool takeCount(const CountSheet& sheet, const std::string& echo,
                   std::size_t& differences) override;
    bool receiveDeliveries(const DeliveryNote& note, const std::string& echo,
                           std::vector<std::string>& refused) override;

    /// Takes a product's decrease from before to after units from its
    /// lots, first expiring first: units past its lots' come from the
    /// undated, and a product gone (after 0) takes all its lots with it, as
    /// the triggers have it, whatever they held. Costs nothing while the
    /// store has no lots, one look at the product's own otherwise.
    bool takeFromLots(const std::string& id, std::uint32_t before, std::uint32_t after);
    /// After the stock was written whole with no knowledge of what changed:
    /// the lots of a product gone, or more than its units, become undated.
    bool dropLotsBeyondStock();
    bool lock(Access access) override;
    bool catchUp() override;
    bool write(const CommandNotes& notes,
               const std::vector<StockChange>& changes) override;
    bool commit() override;
    void rollback() override;
    bool readHistory(const HistoryRequest& request,
                     std::vector<HistoryEntry>& entries) override;

    bool upgradeIfOlder();
    bool prepareStatements();
    bool loadAtStart();
    bool loadStock();
    bool follow(const std::string& id);
    bool readDataVersion(std::int64_t& version);
    bool writeProduct(const std::string& id);
    /// Notes a product as the command that just ran left it, for the commit
    /// to write; writes it at once when there is no memory to note it.
    bool noteUnwritten(const std::string& id, bool cameIn);
    /// Writes the rows noted since the last time, each product once as the
    /// last command to change it left it, in the order of their ids.
    bool writeUnwritten();
    /// Writes a product's row; one that came in gets its record in the
    /// catalogue when it has none, as the trigger gives other programs'.
    /// A withdrawal, which never brings a product in, costs nothing more.
    bool putRow(const std::string& id, const std::string& shelf,
                std::uint32_t amount, const std::string& name, bool cameIn);
    /// Makes a product's record in the catalogue from its first delivery,
    /// when it has none.
    bool catalogueProduct(const std::string& id, const std::string& shelf,
                          const std::string& name);
    bool removeRow(const std::string& id);
    bool writeChanges(const CommandNotes& notes,
                      const std::vector<StockChange>& changes);
    bool writeEmptied(const CommandNotes& notes);
    bool writeMany(const CommandNotes& notes);
    bool findDifferences(const std::vector<ProductRow>& rows,
                         std::vector<Difference>& differences);
    bool rewriteEverything(const CommandNotes& notes);
    /// The command's entries in the history, failing with SQLite's words.
    bool startEntries(const CommandNotes& notes);
    bool addEntry(const std::string* id, std::optional<std::uint32_t> before,
                  std::optional<std::uint32_t> after);

    bool execute(const char* sql);
    bool prepare(Statement& statement, const char* sql);
    /// Steps a statement that gives no rows, and resets it.
    bool run(const Statement& statement);
    /// Fails with what went wrong and SQLite's own words.
    bool failWith(std::string_view what);

    /// SQLite's busy handler: waits a millisecond at a time, up to the wait
    /// limit. The runs of this program queue on the runs' lock instead, and are
    /// woken at once; this waits for other programs.
    static int busy(void* store, int tries);

    const std::unique_ptr<StoreFile> file;
    Database database;
    Statement dataVersion;
    Statement changesSince;
    Statement product;
    Statement productsInOrder;
    Statement upsert;
    Statement catalogued;  // a product's first record in the catalogue
    Statement remove;
    Statement countStock;
    Statement anyLots;   // whether the store has any lot
    Statement lotsOf;    // a product's lots, first expiring first
    Statement lotTaken;  // a lot taken whole
    Statement lotLeft;   // what is left of a lot taken in part
    Statement lotsGone;  // the lots of a product gone from the stock
    SqliteHistory history;
    // The rows the open transaction still owes the store: a command's
    // history is written at once, its rows by the commit (or before anything
    // reads the stock), each product once however many commands changed it.
    // A row is the product as its command left it, not as the table holds
    // it when it is written: a later command may have emptied the table.
    /// A product as a command left it, and whether it came into the stock
    /// then: a product coming in may be new to the catalogue too.
    struct Unwritten : ProductState {
        bool cameIn = false;
    };
    std::vector<Unwritten> unwritten;  // in the order of the commands
    std::int64_t lastSeen = 0;          // newest history entry the table has
    std::int64_t lastDataVersion = -1;  // the database as the table has it
    Access access = Access::Reads;      // of the open transaction
    // Whether the store has lots, as the open transaction found it: asked
    // once, at its first decrease (nobody else writes while it is open).
    enum class LotsKnown { NotYet, None, Some } lotsKnown = LotsKnown::NotYet;
    Clock::time_point waitDeadline{};   // set while lock() waits
    WaitNotice* waiting = nullptr;      // set while lock() waits
    bool stoppedWaiting = false;        // Ctrl-C ended the wait
};

#endif
