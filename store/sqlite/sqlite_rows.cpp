// Texts bound to SQLite's statements and read back from its rows.
#include "store/sqlite/sqlite_rows.hh"

#include <limits>

bool execute(sqlite3* database, const std::string& sql, std::string& error)
{
    if (sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr) ==
        SQLITE_OK) {
        return true;
    }
    error = sqlite3_errmsg(database);
    return false;
}

void bindText(sqlite3_stmt* statement, int parameter, std::string_view text)
{
    sqlite3_bind_text(statement, parameter, text.data(),
                      static_cast<int>(text.size()), SQLITE_STATIC);
}

void bindOptional(sqlite3_stmt* statement, int parameter,
                  std::optional<std::uint32_t> number)
{
    if (number) {
        sqlite3_bind_int64(statement, parameter, *number);
    } else {
        sqlite3_bind_null(statement, parameter);
    }
}

void columnText(sqlite3_stmt* row, int column, std::string& text)
{
    const auto* bytes =
        reinterpret_cast<const char*>(sqlite3_column_text(row, column));
    text.assign(bytes == nullptr ? "" : bytes,
                static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

std::optional<std::string> optionalText(sqlite3_stmt* row, int column)
{
    if (sqlite3_column_type(row, column) == SQLITE_NULL) {
        return std::nullopt;
    }
    std::string text;
    columnText(row, column, text);
    return text;
}

bool readProduct(sqlite3_stmt* row, std::string& id, std::uint32_t& amount,
                 std::string& shelf, std::string& name)
{
    if (sqlite3_column_type(row, 0) != SQLITE_TEXT ||
        sqlite3_column_type(row, 1) != SQLITE_INTEGER ||
        sqlite3_column_type(row, 2) != SQLITE_TEXT ||
        sqlite3_column_type(row, 3) != SQLITE_TEXT) {
        return false;
    }
    const sqlite3_int64 units = sqlite3_column_int64(row, 1);
    if (units < 1 || units > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    amount = static_cast<std::uint32_t>(units);
    columnText(row, 0, id);
    columnText(row, 2, shelf);
    columnText(row, 3, name);
    return true;
}
