// The history of a store in PostgreSQL read back for H.
#include "store/postgres/postgres_history.hh"

#include <algorithm>

namespace {

const char* const COLUMNS =
    "seq, command_no, to_char(changed_at AT TIME ZONE 'UTC', "
    "'YYYY-MM-DD HH24:MI:SS.MS'), clerk, named_clerk, command, id, "
    // A store whose owner has not yet brought it up to date has no reasons.
    "amount_after, to_jsonb(history) ->> 'reason'";

// A read of the newest entries takes this many at a time.
constexpr int BATCH = 1000;

/// An entry of the history from a row of COLUMNS.
HistoryEntry entryOf(const PGresult* rows, int row)
{
    HistoryEntry entry;
    entry.seq = int8Field(rows, row, 0);
    entry.commandNo = int8Field(rows, row, 1);
    entry.time.assign(field(rows, row, 2));
    entry.clerk = optionalField(rows, row, 3);
    entry.namedClerk = optionalField(rows, row, 4);
    entry.command = optionalField(rows, row, 5);
    entry.id = optionalField(rows, row, 6);
    if (!pq::PQgetisnull(rows, row, 7)) {
        entry.after = static_cast<std::uint32_t>(int8Field(rows, row, 7));
    }
    entry.reason = optionalField(rows, row, 8);
    return entry;
}

/// The rows of a statement, or null with the reason in error.
Result rowsOf(PostgresSession& session, const std::string& sql,
              const std::vector<Parameter>& parameters, std::string& error)
{
    Result rows = session.send(sql.c_str(), parameters) ? session.finish()
                                                        : Result(nullptr);
    if (!rows || !succeeded(rows.get())) {
        error = session.why(rows.get());
        session.settle();
        return nullptr;
    }
    return rows;
}

}  // namespace

bool readHistory(PostgresSession& session, const HistoryRequest& request,
                 std::vector<HistoryEntry>& entries, std::string& error)
{
    if (request.id != nullptr) {
        const std::string sql =
            std::string("SELECT ") + COLUMNS +
            " FROM history WHERE id = $1 UNION ALL SELECT " + COLUMNS +
            " FROM history WHERE id IS NULL AND command_no > (SELECT "
            "min(command_no) FROM history WHERE id = $1) ORDER BY 2, 1";
        const Result rows = rowsOf(session, sql, {{BYTEA, request.id}}, error);
        for (int row = 0; rows && row < pq::PQntuples(rows.get()); ++row) {
            entries.push_back(entryOf(rows.get(), row));
        }
        return rows != nullptr;
    }
    // The newest entries by command, a batch at a time, back to the start
    // of the oldest command asked for: a command of many products has an
    // entry for each.
    std::string sql = std::string("SELECT ") + COLUMNS +
                      " FROM history WHERE (command_no, seq) < "
                      "($1::text::bigint, $2::text::bigint)";
    sql += request.from.empty() ? "" : " AND changed_at >= $3::timestamptz";
    sql += request.to.empty() ? "" : " AND changed_at < $4::timestamptz";
    sql += " ORDER BY command_no DESC, seq DESC LIMIT " + std::to_string(BATCH);
    std::string beforeCommand = request.before != 0
                                    ? std::to_string(request.before)
                                    : "9223372036854775807";
    std::string beforeSeq = "-1";
    if (request.before == 0) {
        beforeSeq = beforeCommand;
    }
    const std::string from = request.from + "+00";
    const std::string to = request.to + "+00";
    std::size_t commands = 0;
    for (bool more = true; more;) {
        const Result batch =
            rowsOf(session, sql,
                   {{TEXT, &beforeCommand, false},
                    {TEXT, &beforeSeq, false},
                    {TEXT, request.from.empty() ? nullptr : &from, false},
                    {TEXT, request.to.empty() ? nullptr : &to, false}},
                   error);
        if (!batch) {
            return false;
        }
        const int rows = pq::PQntuples(batch.get());
        more = rows == BATCH;
        for (int row = 0; row < rows; ++row) {
            const std::int64_t commandNo = int8Field(batch.get(), row, 1);
            if (request.commands != 0 &&
                (entries.empty() || entries.back().commandNo != commandNo) &&
                commands++ == request.commands) {
                more = false;
                break;
            }
            entries.push_back(entryOf(batch.get(), row));
            beforeCommand = std::to_string(commandNo);
            beforeSeq = std::to_string(int8Field(batch.get(), row, 0));
        }
    }
    std::reverse(entries.begin(), entries.end());
    return true;
}
