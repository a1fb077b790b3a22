// The history of a store in SQLite as a run keeps it: the entries of the
// run's own commands, and the entries H reads back.
#ifndef WAREHOUSE_SQLITE_HISTORY_HH
#define WAREHOUSE_SQLITE_HISTORY_HH

#include "store/history_lines.hh"
#include "store/sqlite/sqlite_rows.hh"
#include "store/store.hh"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// The run's statements on the history. Each member returns false when
/// SQLite failed; sqlite3_errmsg() of the database tells why.
class SqliteHistory {
public:
    /// Prepares the statements on database, which outlives them.
    bool prepare(sqlite3* database);

    /// The last number a command may have: far below the largest integer,
    /// as a backup that a store can go on from holds (a store edited by
    /// hand may hold a larger one).
    static constexpr std::int64_t LAST_COMMAND_NO = (std::int64_t{1} << 62) - 1;

    /// Starts the entries of a command: its number, the next after the
    /// newest, its time, the clerk's login and the name given, the command
    /// as echoed, and its kind. False too, with SQLite's words of no error,
    /// when the newest number is LAST_COMMAND_NO or past it: numbersLeft()
    /// tells which.
    bool start(const CommandNotes& notes, const std::string& login,
               const std::string& namedClerk);
    bool numbersLeft() const { return commandNo < LAST_COMMAND_NO; }

    /// One entry of the command started: a product's units before and
    /// after, or, with no id, one entry for the command's many products;
    /// a count's entry with the reason given for its difference.
    bool add(const std::string* id, std::optional<std::uint32_t> before,
             std::optional<std::uint32_t> after,
             const std::string* reason = nullptr);

    /// An entry of the command started for each product in stock, going to
    /// 0: what emptying the stock does.
    bool addEveryProduct();

    /// The newest entry written since the last call, or 0; forgets it, and
    /// the number of the last command started. Called as a transaction
    /// ends: until then, no other run can write the history.
    std::int64_t takeNewest();

    /// The entries request asks for, oldest first: a product's own, and
    /// those of many products after its first; or those of the newest
    /// commands the request bounds.
    bool read(const HistoryRequest& request,
              std::vector<HistoryEntry>& entries);

private:
    sqlite3* database = nullptr;
    Statement lastCommand;
    Statement record;
    Statement recordEveryProduct;
    std::string time;            // of the command started
    std::int64_t commandNo = 0;  // of the command started; 0: none yet
    std::int64_t newest = 0;     // the newest entry written
};

#endif
