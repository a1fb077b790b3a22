// Keeping the stock in an SQLite database file, so that it outlives the run.
#ifndef WAREHOUSE_STORE_HH
#define WAREHOUSE_STORE_HH

#include "datastructure.hh"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

/// A store: one database file holding one row per product in stock, in the
/// table stock(id, amount, shelf, name). The table stays the program's
/// engine; the store watches it and keeps a durable copy of its products.
/// Changes are gathered as they happen and written by commit(), in one
/// transaction that has reached the disk when commit() returns. One run at
/// a time may use a store; other programs may read it meanwhile.
class Store {
public:
    /// Opens the store in path, creating it when no file is there, and
    /// loads its products into the table, which must be empty; from then on
    /// the store watches the table. On failure returns null with the reason
    /// in error, and leaves the file as it was.
    static std::unique_ptr<Store>
    open(const std::string& path, Datastructure& table, std::string& error);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    /// Writes every change made to the table since the last commit, all or
    /// nothing. Returns false, with the reason in error(), when the store
    /// fails, and from then on; what was committed before stays.
    bool commit();

    /// Why the last commit failed.
    const std::string& error() const { return failure; }

private:
    Store(Datastructure& table, int lockDescriptor);

    bool execute(const char* sql);
    bool prepareStatements();
    bool load();
    void noteChange(const std::string* id);
    bool writeChanges();
    bool writeEverything();
    bool writeProduct(const std::string& id);
    /// Binds a product to the upsert statement's parameters, not copied: they
    /// outlive the step.
    void bindProduct(const std::string& id, const std::string& shelf,
                     std::uint32_t amount, const std::string& name);
    /// Runs a bound statement to its end and makes it ready again.
    bool run(sqlite3_stmt* statement);
    bool fail(const char* what);

    Datastructure& table;
    int lockDescriptor;  // holds the one-writer lock while the run lasts
    sqlite3* database = nullptr;
    sqlite3_stmt* upsert = nullptr;
    sqlite3_stmt* remove = nullptr;
    // What changed since the last commit: the ids of products that changed,
    // repeats and all, or, after the table was emptied or most of it
    // changed, everything: the whole stock is then written afresh.
    std::vector<std::string> changedIds;
    bool everythingChanged = false;
    std::string failure;  // once a commit has failed, the store is done
};

#endif
