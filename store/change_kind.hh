// What kind of command made a change to the stock, which the history keeps
// beside each entry, so that nobody reads it back out of the command's
// text.
#ifndef WAREHOUSE_STORE_CHANGE_KIND_HH
#define WAREHOUSE_STORE_CHANGE_KIND_HH

#include <string_view>

/// The kinds of change; Other is a change that no command of this program
/// made, such as another program's.
enum class ChangeKind { Delivery, Withdrawal, Load, Generate, Empty, Other };

/// The word the history keeps for a kind: "delivery", "withdrawal", "load",
/// "generate", "empty" or "other".
constexpr std::string_view kindWord(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::Delivery: return "delivery";
    case ChangeKind::Withdrawal: return "withdrawal";
    case ChangeKind::Load: return "load";
    case ChangeKind::Generate: return "generate";
    case ChangeKind::Empty: return "empty";
    case ChangeKind::Other: break;
    }
    return "other";
}

/// The kind a word of the history names; Other for any word it does not
/// know.
constexpr ChangeKind kindOfWord(std::string_view word)
{
    for (const ChangeKind kind :
         {ChangeKind::Delivery, ChangeKind::Withdrawal, ChangeKind::Load,
          ChangeKind::Generate, ChangeKind::Empty}) {
        if (kindWord(kind) == word) {
            return kind;
        }
    }
    return ChangeKind::Other;
}

#endif
