// SQLite's handles as the SQLite store and the owner's view hold them, and
// the rows they step through: statements reset however a step ends, texts
// bound without a copy, and products read strictly.
#ifndef WAREHOUSE_SQLITE_ROWS_HH
#define WAREHOUSE_SQLITE_ROWS_HH

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The handles, each with its one owner. A database closes once its last
// statement is finalized, whichever of their owners lets go first.
struct CloseDatabase {
    void operator()(sqlite3* database) const { sqlite3_close_v2(database); }
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const
    {
        sqlite3_finalize(statement);
    }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

/// A statement being stepped, reset however the stepping ends: a statement
/// left active would keep its read going past the transaction.
class Stepping {
public:
    explicit Stepping(const Statement& statement) : statement(statement.get())
    {
    }
    ~Stepping() { sqlite3_reset(statement); }
    Stepping(const Stepping&) = delete;
    Stepping& operator=(const Stepping&) = delete;

    int step() { return sqlite3_step(statement); }
    sqlite3_stmt* row() const { return statement; }

private:
    sqlite3_stmt* statement;
};

/// Runs statements of SQL that give no rows; false, with SQLite's message
/// in error, when one fails.
bool execute(sqlite3* database, const std::string& sql, std::string& error);

/// Binds a string to a statement's parameter without copying it: the
/// string outlives the step.
void bindText(sqlite3_stmt* statement, int parameter, std::string_view text);

/// Binds a number, or null for none.
void bindOptional(sqlite3_stmt* statement, int parameter,
                  std::optional<std::uint32_t> number);

/// A column's text, bytes and all, into text.
void columnText(sqlite3_stmt* row, int column, std::string& text);

/// A column's text, or none when it is null.
std::optional<std::string> optionalText(sqlite3_stmt* row, int column);

/// The product in a row of (id, amount, shelf, name), read strictly: false
/// when a field is not text or the amount not a whole number of units the
/// table can hold.
bool readProduct(sqlite3_stmt* row, std::string& id, std::uint32_t& amount,
                 std::string& shelf, std::string& name);

#endif
