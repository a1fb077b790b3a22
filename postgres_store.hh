// The store in a PostgreSQL database, which clerks on several machines
// share.
#ifndef WAREHOUSE_POSTGRES_STORE_HH
#define WAREHOUSE_POSTGRES_STORE_HH

#include "postgres_session.hh"
#include "store.hh"

#include <memory>
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
    /// What the open transaction's commands changed and has not sent: the
    /// commands as echoed, the changes each claims, the products to write.
    struct Pending {
        std::size_t commands = 0;
        std::string echoes;           // JSON array of hexadecimal bytes
        std::string claimedCommands;  // array bodies, in step
        std::string claimedIds;
        std::string claimedBefores;
        std::string claimedAfters;
        std::string rest;              // the command not listed, or empty
        std::vector<std::string> ids;  // to write, repeats and all
        bool everything = false;       // write the stock whole instead

        void claim(std::size_t command, const StockChange& change);
    };

    bool lock(Access access) override;
    bool catchUp() override;
    bool write(const CommandNotes& notes,
               const std::vector<StockChange>& changes) override;
    bool commit() override;
    void rollback() override;
    bool readHistory(const std::string* id, std::size_t count,
                     std::vector<HistoryEntry>& entries) override;

    bool loadAtStart(bool& again);
    bool makeStore();
    bool upgradeStore();
    bool grantRoles();
    bool loadRows();
    bool reload(std::string& seen);
    bool sendCatchUp();
    bool sendTellCommands();
    bool sendChanges();
    bool sendEverything();
    bool runWrites(bool committing);

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
    Pending pending;
    std::uint64_t flushes = 0;  // sends of commands to the history
};

#endif
