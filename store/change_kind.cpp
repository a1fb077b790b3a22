// The kinds of change as the stores' SQL writes them.
#include "store/change_kind.hh"

namespace {

/// How the commands of this program begin, by the kind of each: the one
/// place where a command's text says its kind.
struct EchoStart {
    std::string_view start;
    ChangeKind kind;
};
constexpr EchoStart ECHO_STARTS[] = {{"A ", ChangeKind::Delivery},
                                     {"D ", ChangeKind::Withdrawal},
                                     {"R", ChangeKind::Load},
                                     {"G", ChangeKind::Generate},
                                     {"E", ChangeKind::Empty}};

std::string literal(ChangeKind kind)
{
    return "'" + std::string(kindWord(kind)) + "'";
}

}  // namespace

std::string kindWordsSql(KindsSince since)
{
    std::string words;
    for (const ChangeKind kind : EVERY_KIND) {
        if (kind == ChangeKind::Count && since == KindsSince::First) {
            continue;
        }
        words += (words.empty() ? "" : ", ") + literal(kind);
    }
    return words;
}

std::string ownersKindWordsSql()
{
    std::string words;
    for (const ChangeKind kind : EVERY_KIND) {
        if (ownersOnly(kind)) {
            words += (words.empty() ? "" : ", ") + literal(kind);
        }
    }
    return words;
}

std::string kindOfEchoSql(
    const std::function<std::string(std::string_view start)>& startsWith)
{
    // A command that is null matches no start.
    std::string sql = "CASE";
    for (const EchoStart& echo : ECHO_STARTS) {
        sql +=
            " WHEN " + startsWith(echo.start) + " THEN " + literal(echo.kind);
    }
    return sql + " ELSE " + literal(ChangeKind::Other) + " END";
}

bool isCountReason(std::string_view word)
{
    for (const std::string_view reason : COUNT_REASONS) {
        if (reason == word) {
            return true;
        }
    }
    return false;
}

std::string countReasonsSql()
{
    std::string words;
    for (const std::string_view reason : COUNT_REASONS) {
        words += (words.empty() ? "'" : ", '") + std::string(reason) + "'";
    }
    return words;
}
