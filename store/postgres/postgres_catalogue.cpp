// A PostgreSQL store's catalogue: read whole, and changed by a file in one
// transaction that holds the catalogue against other changes of it.
#include "store/postgres/postgres_store.hh"
#include "store/postgres/postgres_wire.hh"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

std::string known(const std::optional<std::string>& text)
{
    return text ? byteaLiteral(*text) : "NULL";
}

std::string number(const std::optional<std::int64_t>& value)
{
    return value ? std::to_string(*value) : "NULL";
}

/// The bytes of a field that encode(..., 'hex') gave.
std::string fromHex(const char* hex)
{
    std::string text;
    const auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t at = 0; hex[at] != '\0' && hex[at + 1] != '\0'; at += 2) {
        text += static_cast<char>(digit(hex[at]) * 16 + digit(hex[at + 1]));
    }
    return text;
}

const char* const RECORDS =
    "SELECT encode(id, 'hex'), encode(name, 'hex'), encode(shelf, 'hex'), "
    "price_cents, cost_cents, reorder_level, discontinued FROM catalogue "
    "ORDER BY id";

}  // namespace

bool PostgresStore::readCatalogue(std::vector<CatalogueRecord>& records)
{
    const Result rows = execute(RECORDS);
    if (!rows) {
        return false;
    }
    const auto optional = [&](int row, int column) -> std::optional<std::int64_t> {
        if (pq::PQgetisnull(rows.get(), row, column)) {
            return std::nullopt;
        }
        return std::strtoll(pq::PQgetvalue(rows.get(), row, column), nullptr, 10);
    };
    for (int row = 0; row < pq::PQntuples(rows.get()); ++row) {
        CatalogueRecord record;
        record.id = fromHex(pq::PQgetvalue(rows.get(), row, 0));
        record.name = fromHex(pq::PQgetvalue(rows.get(), row, 1));
        record.shelf = fromHex(pq::PQgetvalue(rows.get(), row, 2));
        record.price = optional(row, 3);
        record.cost = optional(row, 4);
        record.reorderLevel = optional(row, 5);
        record.discontinued = std::strcmp(pq::PQgetvalue(rows.get(), row, 6), "t") == 0;
        records.push_back(std::move(record));
    }
    return true;
}

bool PostgresStore::changeCatalogue(const CatalogueFile& file, std::size_t& changed,
                                    std::vector<std::string>& refused)
{
    // The catalogue is held from the read to the commit: no other change
    // of it comes between.
    std::vector<CatalogueRecord> records;
    if (!execute("BEGIN; LOCK TABLE catalogue IN SHARE ROW EXCLUSIVE MODE") ||
        !readCatalogue(records)) {
        execute("ROLLBACK");
        return false;
    }
    refused = refusedChanges(file, records);
    if (!refused.empty()) {
        execute("ROLLBACK");
        return true;
    }
    std::vector<std::string> ids;
    const std::vector<FieldChange> changes = applyCatalogueFile(file, records, ids);
    const auto newNames = idsChanging(changes, CatalogueField::Name);
    const auto newShelves = idsChanging(changes, CatalogueField::Shelf);
    std::string sql;
    for (const std::string& id : ids) {
        const CatalogueRecord& record = *std::lower_bound(
            records.begin(), records.end(), id,
            [](const CatalogueRecord& r, const std::string& key) { return r.id < key; });
        const std::string name = byteaLiteral(record.name);
        const std::string shelf = byteaLiteral(record.shelf);
        const std::string key = byteaLiteral(record.id);
        sql += "INSERT INTO catalogue VALUES (" + key + ", " + name + ", " + shelf +
               ", " + number(record.price) + ", " + number(record.cost) + ", " +
               number(record.reorderLevel) + ", " +
               (record.discontinued ? "true" : "false") +
               ") ON CONFLICT (id) DO UPDATE SET name = excluded.name, shelf = "
               "excluded.shelf, price_cents = excluded.price_cents, cost_cents = "
               "excluded.cost_cents, reorder_level = excluded.reorder_level, "
               "discontinued = excluded.discontinued;\n";
        // Another program's change to the runs: the history's trigger
        // writes its entry, which they follow.
        const bool newName = newNames.count(id) > 0;
        const bool newShelf = newShelves.count(id) > 0;
        if (newName || newShelf) {
            const std::string stockName = newName ? name : "name";
            const std::string stockShelf = newShelf ? shelf : "shelf";
            sql += "UPDATE stock SET name = " + stockName + ", shelf = " + stockShelf +
                   " WHERE id = " + key + " AND (name, shelf) IS DISTINCT FROM (" +
                   stockName + ", " + stockShelf + ");\n";
        }
    }
    const std::string named =
        options.clerk.empty() ? "NULL" : "convert_from(" + byteaLiteral(options.clerk) + ", 'UTF8')";
    for (const FieldChange& change : changes) {
        sql += "INSERT INTO catalogue_changes (named_clerk, id, field, before, after) "
               "VALUES (" + named + ", " + byteaLiteral(change.id) + ", '" +
               std::string(fieldWord(change.field)) + "', " + known(change.before) +
               ", " + known(change.after) + ");\n";
    }
    if (!execute((sql + "COMMIT").c_str())) {
        execute("ROLLBACK");
        return false;
    }
    changed = ids.size();
    return true;
}
