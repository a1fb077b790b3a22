// The tables a backup carries from one kind of store to the other, one entry
// a table, with the columns each keeps and how each column's values travel.
#ifndef WAREHOUSE_BACKUP_TABLES_HH
#define WAREHOUSE_BACKUP_TABLES_HH

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// How a column's values travel between the stores. A backup is an SQLite
/// store, so each travels in the form the SQLite store keeps it in.
enum class Carried {
    Number,  // a whole number on both
    Flag,    // boolean in PostgreSQL, 0 or 1 in SQLite
    Bytes,   // bytea in PostgreSQL, TEXT of the same bytes in SQLite
    Text,    // text on both
    Time,    // timestamptz in PostgreSQL; in SQLite the text of the time in
             // UTC, "YYYY-MM-DD HH:MM:SS.mmm"
    Date,    // date in PostgreSQL; in SQLite the text "YYYY-MM-DD"
    Xid,     // PostgreSQL's alone: the transaction that wrote the row, which
             // a restore gives its own
};

struct BackupColumn {
    const char* name;
    Carried as;
};

/// A table of both kinds of store, as a backup carries it.
struct BackupTable {
    const char* name;
    const char* key;  // its rows go in this order
    std::vector<BackupColumn> columns;
    // PostgreSQL's counters that must go on past the rows restored: for
    // each, SQL that names the sequence, and the column whose largest value
    // it must pass.
    std::vector<std::pair<const char*, const char*>> counters;
};

/// Every table a store keeps, in the order a restore fills them. A table
/// added to both kinds of store is one more entry here.
const std::vector<BackupTable>& backupTables();

/// Whether the column travels as a whole number: a Number or a Flag.
constexpr bool carriedAsNumber(Carried as)
{
    return as == Carried::Number || as == Carried::Flag;
}

/// Whether an SQLite store, and so a backup, keeps the column.
bool keptInSqlite(const BackupColumn& column);

/// A value on its way: null, a whole number, or bytes that last until the
/// next row.
struct BackupField {
    bool null = false;
    std::int64_t number = 0;
    std::string_view bytes;
};

/// Where the rows of a backup go, a table at a time: each row has a field
/// for each column that the SQLite store keeps, in the table's order.
class BackupSink {
public:
    virtual ~BackupSink() = default;
    virtual bool startTable(const BackupTable& table, std::string& error) = 0;
    virtual bool add(const std::vector<BackupField>& row,
                     std::string& error) = 0;
    virtual bool endTable(std::string& error) = 0;
};

#endif
