// An SQLite store's catalogue: read whole, and changed by a file in one
// transaction under the runs' lock.
#include "store/sqlite/sqlite_store.hh"

#include <algorithm>

namespace {

std::optional<std::int64_t> columnNumber(sqlite3_stmt* row, int column)
{
    if (sqlite3_column_type(row, column) == SQLITE_NULL) {
        return std::nullopt;
    }
    return sqlite3_column_int64(row, column);
}

void bindNumber(sqlite3_stmt* statement, int parameter,
                const std::optional<std::int64_t>& number)
{
    number ? sqlite3_bind_int64(statement, parameter, *number)
           : sqlite3_bind_null(statement, parameter);
}

void bindKnown(sqlite3_stmt* statement, int parameter,
               const std::optional<std::string>& text)
{
    text ? bindText(statement, parameter, *text)
         : static_cast<void>(sqlite3_bind_null(statement, parameter));
}

}  // namespace

bool SqliteStore::readCatalogue(std::vector<CatalogueRecord>& records)
{
    Statement all;
    if (!prepare(all, "SELECT id, name, shelf, price_cents, cost_cents, "
                      "reorder_level, discontinued FROM catalogue ORDER BY id")) {
        return false;
    }
    Stepping rows(all);
    int step = SQLITE_ROW;
    while ((step = rows.step()) == SQLITE_ROW) {
        CatalogueRecord record;
        columnText(rows.row(), 0, record.id);
        columnText(rows.row(), 1, record.name);
        columnText(rows.row(), 2, record.shelf);
        record.price = columnNumber(rows.row(), 3);
        record.cost = columnNumber(rows.row(), 4);
        record.reorderLevel = columnNumber(rows.row(), 5);
        record.discontinued = sqlite3_column_int64(rows.row(), 6) != 0;
        records.push_back(std::move(record));
    }
    return step == SQLITE_DONE || failWith("");
}

bool SqliteStore::changeCatalogue(const CatalogueFile& file, std::size_t& changed,
                                  std::vector<std::string>& refused)
{
    Statement put;
    Statement noted;
    Statement renamed;
    std::vector<CatalogueRecord> records;
    std::vector<std::string> ids;
    if (!prepare(put, "INSERT INTO catalogue (id, name, shelf, price_cents, "
                      "cost_cents, reorder_level, discontinued) VALUES "
                      "(?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (id) DO UPDATE "
                      "SET name = ?2, shelf = ?3, price_cents = ?4, "
                      "cost_cents = ?5, reorder_level = ?6, discontinued = ?7") ||
        !prepare(noted, "INSERT INTO catalogue_changes (changed_at, clerk, "
                        "named_clerk, id, field, before, after) VALUES "
                        "(strftime('%Y-%m-%d %H:%M:%f', 'now'), ?1, ?2, ?3, "
                        "?4, ?5, ?6)") ||
        !prepare(renamed, "UPDATE stock SET name = CASE WHEN ?4 THEN ?2 ELSE name END, "
                          "shelf = CASE WHEN ?5 THEN ?3 ELSE shelf END WHERE id = ?1 "
                          "AND ((?4 AND name IS NOT ?2) OR (?5 AND shelf IS NOT ?3))") ||
        !lock(Access::Changes)) {
        return false;
    }
    // A rename in the stock is another program's change to the runs: the
    // triggers write its entry in the history, which they follow. They
    // count the records changed too, as the owner's view needs to know.
    sqlite3_db_config(database.get(), SQLITE_DBCONFIG_ENABLE_TRIGGER, 1, nullptr);
    bool written = readCatalogue(records);
    if (written) {
        refused = refusedChanges(file, records);
    }
    const std::vector<FieldChange> changes = written && refused.empty()
                                                 ? applyCatalogueFile(file, records, ids)
                                                 : std::vector<FieldChange>();
    const auto newNames = idsChanging(changes, CatalogueField::Name);
    const auto newShelves = idsChanging(changes, CatalogueField::Shelf);
    for (const std::string& id : ids) {
        const CatalogueRecord& record = *std::lower_bound(
            records.begin(), records.end(), id,
            [](const CatalogueRecord& r, const std::string& key) { return r.id < key; });
        bindText(put.get(), 1, record.id);
        bindText(put.get(), 2, record.name);
        bindText(put.get(), 3, record.shelf);
        bindNumber(put.get(), 4, record.price);
        bindNumber(put.get(), 5, record.cost);
        bindNumber(put.get(), 6, record.reorderLevel);
        sqlite3_bind_int(put.get(), 7, record.discontinued ? 1 : 0);
        written = written && run(put);
        const bool newName = newNames.count(id) > 0;
        const bool newShelf = newShelves.count(id) > 0;
        if (newName || newShelf) {
            bindText(renamed.get(), 1, record.id);
            bindText(renamed.get(), 2, record.name);
            bindText(renamed.get(), 3, record.shelf);
            sqlite3_bind_int(renamed.get(), 4, newName ? 1 : 0);
            sqlite3_bind_int(renamed.get(), 5, newShelf ? 1 : 0);
            written = written && run(renamed);
        }
    }
    for (const FieldChange& change : changes) {
        bindText(noted.get(), 1, login);
        // Bound without a copy: the clerk's name itself, never a temporary.
        options.clerk.empty() ? static_cast<void>(sqlite3_bind_null(noted.get(), 2))
                              : bindText(noted.get(), 2, options.clerk);
        bindText(noted.get(), 3, change.id);
        bindText(noted.get(), 4, fieldWord(change.field));
        bindKnown(noted.get(), 5, change.before);
        bindKnown(noted.get(), 6, change.after);
        written = written && run(noted);
    }
    written = written && refused.empty() && commit();
    sqlite3_db_config(database.get(), SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    if (!written) {
        rollback();
        return !refused.empty();
    }
    changed = ids.size();
    return true;
}
