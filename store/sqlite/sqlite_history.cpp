// The entries an SQLite store's runs write to its history, and those H reads
// back.
#include "store/sqlite/sqlite_history.hh"

#include <algorithm>
#include <utility>

namespace {

const char* const COLUMNS =
    "seq, command_no, changed_at, clerk, named_clerk, command, id, "
    "amount_after, reason";

bool prepared(sqlite3* database, Statement& statement, const std::string& sql)
{
    sqlite3_stmt* made = nullptr;
    const int result =
        sqlite3_prepare_v2(database, sql.c_str(), -1, &made, nullptr);
    statement.reset(made);
    return result == SQLITE_OK;
}

bool run(const Statement& statement)
{
    return Stepping(statement).step() == SQLITE_DONE;
}

}  // namespace

bool SqliteHistory::prepare(sqlite3* opened)
{
    database = opened;
    const std::string entry =
        "INSERT INTO history (command_no, changed_at, clerk, command, "
        "named_clerk, kind, id, amount_before, amount_after, reason) ";
    return prepared(database, lastCommand,
                    "SELECT command_no FROM history ORDER BY seq DESC "
                    "LIMIT 1") &&
           prepared(database, record,
                    entry + "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)") &&
           prepared(database, recordEveryProduct,
                    entry + "SELECT ?1, ?2, ?3, ?4, ?5, ?6, id, amount, 0, NULL "
                            "FROM stock ORDER BY id");
}

bool SqliteHistory::start(const CommandNotes& notes, const std::string& login,
                          const std::string& namedClerk)
{
    if (commandNo == 0) {
        Stepping last(lastCommand);
        const int step = last.step();
        if (step == SQLITE_ROW) {
            commandNo = sqlite3_column_int64(last.row(), 0);
        } else if (step != SQLITE_DONE) {
            return false;
        }
    }
    if (!numbersLeft()) {
        return false;
    }
    ++commandNo;
    time = historyTime(notes.time);
    for (const Statement* statement : {&record, &recordEveryProduct}) {
        sqlite3_stmt* const entry = statement->get();
        sqlite3_bind_int64(entry, 1, commandNo);
        bindText(entry, 2, time);
        bindText(entry, 3, login);
        bindText(entry, 4, notes.echo);
        if (namedClerk.empty()) {
            sqlite3_bind_null(entry, 5);
        } else {
            bindText(entry, 5, namedClerk);
        }
        bindText(entry, 6, kindWord(notes.what));
    }
    return true;
}

bool SqliteHistory::add(const std::string* id,
                        std::optional<std::uint32_t> before,
                        std::optional<std::uint32_t> after,
                        const std::string* reason)
{
    sqlite3_stmt* const entry = record.get();
    if (reason != nullptr && !reason->empty()) {
        bindText(entry, 10, *reason);
    } else {
        sqlite3_bind_null(entry, 10);
    }
    if (id != nullptr) {
        bindText(entry, 7, *id);
    } else {
        sqlite3_bind_null(entry, 7);
    }
    bindOptional(entry, 8, before);
    bindOptional(entry, 9, after);
    if (!run(record)) {
        return false;
    }
    newest = sqlite3_last_insert_rowid(database);
    return true;
}

bool SqliteHistory::addEveryProduct()
{
    if (!run(recordEveryProduct)) {
        return false;
    }
    newest = sqlite3_last_insert_rowid(database);
    return true;
}

std::int64_t SqliteHistory::takeNewest()
{
    commandNo = 0;
    return std::exchange(newest, 0);
}

bool SqliteHistory::read(const HistoryRequest& request,
                         std::vector<HistoryEntry>& entries)
{
    const std::string* const id = request.id;
    std::string sql =
        std::string("SELECT ") + COLUMNS +
        " FROM history WHERE id = ?1 UNION ALL SELECT " + COLUMNS +
        " FROM history WHERE id IS NULL AND seq > (SELECT min(seq) FROM "
        "history WHERE id = ?1) ORDER BY 1";
    if (id == nullptr) {
        sql = std::string("SELECT ") + COLUMNS + " FROM history WHERE 1";
        sql += request.before != 0 ? " AND command_no < ?2" : "";
        sql += request.from.empty() ? "" : " AND changed_at >= ?3";
        sql += request.to.empty() ? "" : " AND changed_at < ?4";
        sql += " ORDER BY seq DESC";
    }
    Statement query;
    if (!prepared(database, query, sql)) {
        return false;
    }
    if (id != nullptr) {
        bindText(query.get(), 1, *id);
    } else {
        sqlite3_bind_int64(query.get(), 2, request.before);
        bindText(query.get(), 3, request.from);
        bindText(query.get(), 4, request.to);
    }
    // The newest entries, back to the start of the oldest command asked for.
    std::size_t commands = 0;
    Stepping rows(query);
    int step = SQLITE_ROW;
    while ((step = rows.step()) == SQLITE_ROW) {
        sqlite3_stmt* const row = rows.row();
        const std::int64_t commandNo = sqlite3_column_int64(row, 1);
        if (id == nullptr && request.commands != 0 &&
            (entries.empty() || entries.back().commandNo != commandNo) &&
            commands++ == request.commands) {
            break;
        }
        HistoryEntry entry;
        entry.seq = sqlite3_column_int64(row, 0);
        entry.commandNo = commandNo;
        columnText(row, 2, entry.time);
        entry.clerk = optionalText(row, 3);
        entry.namedClerk = optionalText(row, 4);
        entry.command = optionalText(row, 5);
        entry.id = optionalText(row, 6);
        if (sqlite3_column_type(row, 7) != SQLITE_NULL) {
            entry.after =
                static_cast<std::uint32_t>(sqlite3_column_int64(row, 7));
        }
        entry.reason = optionalText(row, 8);
        entries.push_back(std::move(entry));
    }
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
        return false;
    }
    if (id == nullptr) {
        std::reverse(entries.begin(), entries.end());
    }
    return true;
}
