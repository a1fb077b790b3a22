// The store in a PostgreSQL database, which clerks on several machines
// share.
#ifndef WAREHOUSE_POSTGRES_STORE_HH
#define WAREHOUSE_POSTGRES_STORE_HH

#include "store/postgres/postgres_session.hh"
#include "store/store.hh"

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <string>
#include <vector>

/// Opens the store in the PostgreSQL database that uri names (a libpq
/// connection URI; the PG environment variables fill in what it leaves
/// out), as openStore() does.
std::unique_ptr<Store> openPostgresStore(const std::string& uri,
                                         Datastructure& table,
                                         const StoreOptions& options,
                                         std::string& error);

/// A store in a PostgreSQL database: its opening in postgres_start.cpp, the
/// steps of its transactions, each as few exchanges with the server as it
/// can be, in postgres_store.cpp.
class PostgresStore final : public Store {
public:
    PostgresStore(Datastructure& table, const StoreOptions& options)
        : Store(table, options)
    {
    }

    /// Connects, makes the store's tables when the database has none,
    /// checks their shape, and loads the stock. False, with the reason in
    /// error(), when the database cannot be used.
    bool start(const std::string& uri);

private:
    /// A product of a round as its last command left it.
    struct Row : ProductState {
        bool cameIn = false;  // out of stock when the round began
    };

    /// A command's change of a product, as the history is told it.
    struct Claim {
        std::size_t command;  // its index among the round's commands
        std::size_t row;      // the product's, in the round's rows
        std::uint64_t before;
        std::uint64_t after;
    };

    /// Commands of the open transaction, not yet sent: they are written
    /// together, each product once as the last of them left it, in a
    /// statement for what is in stock and one for what went out, and their
    /// settings tell the history what each claims to have changed. The
    /// history checks a product's claims against its row, so every product
    /// of the round has a row to check: one that came in and went out
    /// again within the round ends it, and so does one that went out and
    /// comes again (the upsert keeps a stored product's shelf and name). Each statement is told the claims
    /// of its own products alone, which are all that its triggers check.
    struct Round {
        std::size_t commands = 0;
        std::string echoes;  // JSON array of hexadecimal bytes
        std::string kinds;   // JSON array of their kinds' words
        std::vector<Claim> claims;  // in the order the commands made them
        std::string rest;    // the command whose changes are not listed
        std::vector<Row> rows;  // as the round's commands left them
        std::unordered_map<std::string, std::size_t> rowOf;  // by id

        /// True when a command of these changes may join the round.
        bool takes(const std::vector<StockChange>& changes) const;
        /// Adds a command, as echoed and of its kind, and gives its index.
        std::size_t add(const CommandNotes& notes);
        void claim(std::size_t command, std::size_t row,
                   const StockChange& change);
    };

    /// A transaction whose commit was on its way when the connection was
    /// lost, before the server could say whether it was made: its id, what
    /// it changed, and what its commands printed.
    struct InFlight {
        std::string xid;
        std::vector<std::string> ids;
        bool everything = false;
        std::string echo;
        std::string output;
    };

    /// What went wrong with the writes of a commit.
    struct Failure {
        std::string why;    // the server's words, or libpq's
        std::string state;  // the SQLSTATE, if the server gave one
    };

    bool readCatalogue(std::vector<CatalogueRecord>& records) override;
    bool changeCatalogue(const CatalogueFile& file, std::size_t& changed,
                         std::vector<std::string>& refused) override;
    bool takeCount(const CountSheet& sheet, const std::string& echo,
                   std::size_t& differences) override;
    bool receiveDeliveries(const DeliveryNote& note, const std::string& echo,
                           std::vector<std::string>& refused) override;
    std::string knownLogin() const override;
    bool lock(Access access) override;
    bool catchUp() override;
    bool write(const CommandNotes& notes,
               const std::vector<StockChange>& changes) override;
    bool commit() override;
    void rollback() override;
    bool readHistory(const HistoryRequest& request,
                     std::vector<HistoryEntry>& entries) override;

    bool loadAtStart(bool& again);
    bool makeStore();
    /// Runs the steps that bring the store up to date: the result of the
    /// first statement that failed, or of the last; null when the server is
    /// out of reach.
    Result migrate();
    /// Brings a store that a run cannot use as it is up to date, or fails.
    bool upgradeStore();
    /// Brings a store that a run can use as it is up to date, or leaves it
    /// as it is when it cannot now.
    void upgradeIfItCan();
    bool grantRoles();
    bool loadRows();
    bool reload(std::string& seen);
    bool sendCatchUp();
    // The writes (postgres_writes.cpp).
    bool sendTellCommands(const Round& round);
    /// Tells the claims of the round's products in stock, or of those
    /// gone, as the settings of the statement that writes them.
    bool sendTellClaims(const Round& round, bool inStock);
    bool sendRound(const Round& round);
    bool writeWhole(const CommandNotes& notes);
    bool sendEverything(const Round& round);
    bool runWrites(bool committing);
    /// Notes why the writes failed; returns false.
    bool writesFailed(const PGresult* result = nullptr);
    /// What a failure of the writes does: a lost connection at a terminal
    /// asks the server, once back, whether the commit was made; another
    /// program's deadlock refuses the command there; anything else fails.
    bool afterFailedWrites();
    /// What the open transaction changed, for the table to read again.
    InFlight inFlight();

    /// How long an exchange may wait: the wait limit and a few seconds
    /// more, and more for rows to write; cut short by Ctrl-C if stoppable.
    Patience patience(WaitNotice* notice, bool stoppable,
                      std::size_t rows = 0) const;
    // After a lost connection (postgres_recovery.cpp).
    bool reconnect();
    bool lostConnection();
    bool settleInFlight(InFlight inFlight);
    bool resolveInFlight();
    bool fateOf(const InFlight& flight, bool& committed);
    bool restoreTable(const std::vector<std::string>& ids, bool everything);

    /// Fails with what went wrong: the server's words, or libpq's.
    bool failWith(std::string_view what, const PGresult* result = nullptr);
    /// Runs statements to their end; null, with the failure noted, unless
    /// all went well.
    Result execute(const char* sql);

    PostgresSession session;
    std::string seen;                  // the snapshot the table is up to
    std::vector<std::string> ownXids;  // the run's commits since
    Result caughtUp;                   // what lock() read for catchUp()
    Access access = Access::Reads;     // of the open transaction
    std::vector<Round> rounds;         // of the open transaction, unsent
    std::vector<std::string> sentIds;  // changed by what was sent of it
    bool sentWhole = false;            // a stock written whole was sent in it
    std::string lastEcho;        // of the last command written, for messages
    std::uint64_t flushes = 0;   // sends of commands to the history
    std::string transactionXid;  // of the open transaction that changes
    Failure writeFailure;
    std::optional<InFlight> unresolved;  // a commit whose fate is not known
    int backend = 0;  // the server's process of the connection
};

#endif
