// A PostgreSQL store's stock-takes and dated deliveries: a count sheet
// taken, and a delivery note received, each in one transaction that holds
// the stock against other changes. The history's trigger writes the
// entries the settings claim for the command, and the lots' trigger takes
// a decrease from the lots, as for any client.
#include "store/postgres/postgres_store.hh"
#include "store/postgres/postgres_wire.hh"

#include <string_view>

namespace {

/// text in hexadecimal, as the history's settings take a command.
std::string hex(std::string_view text)
{
    std::string digits;
    appendHex(digits, text);
    return digits;
}

/// Rows into a table of the transaction's own, a statement a thousand.
template <typename Rows, typename Values>
std::string inserts(const char* table, const Rows& rows, const Values& values)
{
    std::string sql;
    std::size_t inStatement = 0;
    for (const auto& row : rows) {
        sql += inStatement == 0 ? std::string("INSERT INTO ") + table + " VALUES " : ", ";
        sql += "(" + values(row) + ")";
        if (++inStatement == 1000) {
            sql += ";\n";
            inStatement = 0;
        }
    }
    return sql + (inStatement > 0 ? ";\n" : "");
}

/// What the history's trigger is told of the one command that changes the
/// products of table (those of where), whose columns before and after are
/// their units: each is claimed, so that every entry is the command's, and
/// when they are more than the history lists one by one, the one entry of
/// them is the command's too. The command's number is taken once a
/// transaction and a flush: every statement of the job's shares it.
std::string claims(const std::string& echo, ChangeKind what, const char* table,
                   const char* before, const char* after, const char* where = "true")
{
    return "SELECT set_config('warehouse.commands', '[\"" + hex(echo) + "\"]', true), "
           "set_config('warehouse.kinds', '[\"" + std::string(kindWord(what)) + "\"]', true), "
           "set_config('warehouse.flush', 'job', true), "
           "set_config('warehouse.rest', CASE WHEN count(*) > " +
           std::to_string(MOST_ENTRIES) + " THEN '0' ELSE '' END, true), "
           "set_config('warehouse.claimed_commands', "
           "'{' || coalesce(string_agg('0', ','), '') || '}', true), "
           // Each id quoted: the empty id's is empty, no element unquoted.
           "set_config('warehouse.claimed_ids', "
           "'{' || coalesce(string_agg('\"' || encode(id, 'hex') || '\"', ','), '') || '}', true), "
           "set_config('warehouse.claimed_befores', "
           "'{' || coalesce(string_agg(" + before + "::text, ','), '') || '}', true), "
           "set_config('warehouse.claimed_afters', "
           "'{' || coalesce(string_agg(" + after + "::text, ','), '') || '}', true) "
           "FROM " + table + " WHERE " + where;
}

const char* const HOLD_STOCK = "BEGIN; LOCK TABLE stock IN SHARE ROW EXCLUSIVE MODE;\n";

}  // namespace

bool PostgresStore::takeCount(const CountSheet& sheet, const std::string& echo,
                              std::size_t& differences)
{
    // Each statement changes at most as many products as the history lists
    // one by one: every difference is an entry of its own.
    const std::string most = std::to_string(MOST_ENTRIES);
    std::string sql =
        std::string(HOLD_STOCK) +
        "CREATE TEMPORARY TABLE count_sheet (id bytea PRIMARY KEY, counted bigint, "
        "reason text, shelf bytea, name bytea) ON COMMIT DROP;\n" +
        inserts("count_sheet", sheet.rows, [](const CountSheet::Row& row) {
            return byteaLiteral(row.id) + ", " + std::to_string(row.counted) + ", " +
                   (row.reason.empty() ? "NULL" : "'" + row.reason + "'") + ", " +
                   byteaLiteral(row.shelf) + ", " + byteaLiteral(row.name);
        }) +
        "CREATE TEMPORARY TABLE count_differences ON COMMIT DROP AS "
        "SELECT c.id, c.counted, c.reason, coalesce(s.amount, 0) AS expected, "
        "coalesce(nullif(c.shelf, ''), k.shelf, '') AS shelf, "
        "coalesce(nullif(c.name, ''), k.name, '') AS name, "
        "(row_number() OVER (ORDER BY c.id) - 1) / " + most + " AS part "
        "FROM count_sheet c LEFT JOIN stock s ON s.id = c.id "
        "LEFT JOIN catalogue k ON k.id = c.id "
        "WHERE c.counted <> coalesce(s.amount, 0);\n" +
        // Each statement is told its own products' claims alone: the
        // history's trigger reads every claim it is told.
        "CREATE FUNCTION pg_temp.claim_part(chunk bigint) RETURNS void LANGUAGE sql AS $$ " +
        claims(echo, ChangeKind::Count, "count_differences", "expected", "counted",
               "part = chunk") +
        " $$;\n"
        "DO $$ DECLARE chunk bigint; BEGIN\n"
        "    FOR chunk IN SELECT DISTINCT part FROM count_differences ORDER BY part LOOP\n"
        "        PERFORM pg_temp.claim_part(chunk);\n"
        "        INSERT INTO stock (id, amount, shelf, name)\n"
        "        SELECT id, counted, shelf, name FROM count_differences\n"
        "        WHERE part = chunk AND counted > 0\n"
        "        ON CONFLICT (id) DO UPDATE SET amount = excluded.amount;\n"
        "        DELETE FROM stock WHERE id IN (SELECT id FROM count_differences\n"
        "                                       WHERE part = chunk AND counted = 0);\n"
        "    END LOOP;\n"
        "END $$;\n"
        "SELECT history_reasons(array_agg(id), array_agg(reason)) FROM count_differences "
        "WHERE reason IS NOT NULL;\n"
        "SELECT count(*) FROM count_differences";
    const Result counted = execute(sql.c_str());
    if (!counted || !execute("COMMIT")) {
        execute("ROLLBACK");
        return false;
    }
    differences = std::stoull(pq::PQgetvalue(counted.get(), 0, 0));
    return true;
}

bool PostgresStore::receiveDeliveries(const DeliveryNote& note, const std::string& echo,
                                      std::vector<std::string>& refused)
{
    const std::string sql =
        std::string(HOLD_STOCK) +
        "CREATE TEMPORARY TABLE delivery_note (line bigint, id bytea, amount bigint, "
        "best_before date, shelf bytea, name bytea) ON COMMIT DROP;\n" +
        inserts("delivery_note", note.rows, [](const DeliveryNote::Row& row) {
            return std::to_string(row.line) + ", " + byteaLiteral(row.id) + ", " +
                   std::to_string(row.amount) + ", " +
                   (row.bestBefore.empty() ? "NULL" : "'" + row.bestBefore + "'") + ", " +
                   byteaLiteral(row.shelf) + ", " + byteaLiteral(row.name);
        }) +
        // Each product once, from the units stored to those delivered on
        // top; one new to the stock takes its first line's shelf and name,
        // or those of its record where the line leaves them empty.
        "CREATE TEMPORARY TABLE delivered ON COMMIT DROP AS "
        "SELECT d.id, coalesce(s.amount, 0) AS before, "
        "coalesce(s.amount, 0) + sum(d.amount) AS after, "
        "coalesce(s.shelf, nullif((array_agg(d.shelf ORDER BY d.line))[1], ''), k.shelf, '') "
        "AS shelf, "
        "coalesce(s.name, nullif((array_agg(d.name ORDER BY d.line))[1], ''), k.name, '') "
        "AS name "
        "FROM delivery_note d LEFT JOIN stock s ON s.id = d.id "
        "LEFT JOIN catalogue k ON k.id = d.id "
        "GROUP BY d.id, s.amount, s.shelf, s.name, k.shelf, k.name;\n"
        "SELECT line FROM (SELECT d.line, v.before + "
        "sum(d.amount) OVER (PARTITION BY d.id ORDER BY d.line) AS upto "
        "FROM delivery_note d JOIN delivered v ON v.id = d.id) t "
        "WHERE upto > 4294967295 ORDER BY line";
    const Result beyond = execute(sql.c_str());
    if (!beyond) {
        execute("ROLLBACK");
        return false;
    }
    // The lines refused come in the order of the note's own rows: one walk
    // finds them all, where a search for each would take the square of a
    // long note's lines.
    auto delivered = note.rows.begin();
    for (int row = 0; row < pq::PQntuples(beyond.get()); ++row) {
        const std::size_t line = std::stoull(pq::PQgetvalue(beyond.get(), row, 0));
        while (delivered != note.rows.end() && delivered->line < line) {
            ++delivered;
        }
        if (delivered != note.rows.end() && delivered->line == line) {
            refused.push_back("line " + std::to_string(line) + ": " + delivered->id +
                              " would hold more than 4294967295 units");
        }
    }
    if (!refused.empty()) {
        return static_cast<bool>(execute("ROLLBACK"));
    }
    const std::string writes =
        claims(echo, ChangeKind::Delivery, "delivered", "before", "after") + ";\n"
        "INSERT INTO stock (id, amount, shelf, name) "
        "SELECT id, after, shelf, name FROM delivered "
        "ON CONFLICT (id) DO UPDATE SET amount = excluded.amount;\n"
        "INSERT INTO lots (id, best_before, units, named_clerk) "
        "SELECT id, best_before, amount, nullif(current_setting('warehouse.clerk', true), '') "
        "FROM delivery_note WHERE best_before IS NOT NULL ORDER BY line;\n"
        "COMMIT";
    if (!execute(writes.c_str())) {
        execute("ROLLBACK");
        return false;
    }
    return true;
}
