// What kind of command made a change to the stock, which the history keeps
// beside each entry, so that nobody reads it back out of the command's
// text.
#ifndef WAREHOUSE_STORE_CHANGE_KIND_HH
#define WAREHOUSE_STORE_CHANGE_KIND_HH

#include <functional>
#include <string>
#include <string_view>

/// The kinds of change; Other is a change that no command of this program
/// made, such as another program's.
enum class ChangeKind { Delivery, Withdrawal, Load, Generate, Empty, Count, Other };

/// Every kind, Other last.
inline constexpr ChangeKind EVERY_KIND[] = {
    ChangeKind::Delivery, ChangeKind::Withdrawal, ChangeKind::Load,
    ChangeKind::Generate, ChangeKind::Empty,      ChangeKind::Count,
    ChangeKind::Other};

/// The word the history keeps for a kind: "delivery", "withdrawal", "load",
/// "generate", "empty", "count" (a stock-take's difference) or "other".
constexpr std::string_view kindWord(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::Delivery: return "delivery";
    case ChangeKind::Withdrawal: return "withdrawal";
    case ChangeKind::Load: return "load";
    case ChangeKind::Generate: return "generate";
    case ChangeKind::Empty: return "empty";
    case ChangeKind::Count: return "count";
    case ChangeKind::Other: break;
    }
    return "other";
}

/// The kind a word of the history names; Other for any word it does not
/// know.
constexpr ChangeKind kindOfWord(std::string_view word)
{
    for (const ChangeKind kind : EVERY_KIND) {
        if (kindWord(kind) == word) {
            return kind;
        }
    }
    return ChangeKind::Other;
}

/// True for the kinds only the store's owner makes: emptying the stock,
/// filling it with made-up products, and a stock-take's count.
constexpr bool ownersOnly(ChangeKind kind)
{
    return kind == ChangeKind::Empty || kind == ChangeKind::Generate ||
           kind == ChangeKind::Count;
}

/// The words of the kinds only the owner makes, as SQL literals
/// "'generate', 'empty', 'count'": what a PostgreSQL store's history
/// records as other when a clerk's transaction claims them.
std::string ownersKindWordsSql();

/// Which kinds a store's history may hold: the first ones, as the steps
/// before stock-taking made the column, or all of them.
enum class KindsSince { First, StockTaking };

/// The words of the kinds as SQL literals, "'delivery', ..., 'other'":
/// what the history's column may hold. The steps of older versions keep
/// the words they had, without "count".
std::string kindWordsSql(KindsSince since = KindsSince::StockTaking);

/// The reasons a stock-take may give for a difference, which the history
/// keeps beside a count's entry; a difference may also have none.
inline constexpr std::string_view COUNT_REASONS[] = {
    "damaged", "expired", "sample", "theft", "miscount"};

/// Whether word is one of the reasons.
bool isCountReason(std::string_view word);

/// The reasons as SQL literals, "'damaged', ..., 'miscount'".
std::string countReasonsSql();

/// The SQL that tells the kind of an entry of a store older than the kinds
/// from its command as echoed, for the step that adds the kinds, and for
/// nothing else: "A " a delivery, "D " a withdrawal, "R" a load, "G"
/// generated, "E" emptied, and no command another program's. startsWith
/// gives the SQL that is true when the command starts with a text of
/// letters and spaces.
std::string kindOfEchoSql(
    const std::function<std::string(std::string_view start)>& startsWith);

#endif
