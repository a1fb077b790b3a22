// Sums of money as whole cents, read from and written as decimal text, with
// no floating point between: a cent is never lost.
#ifndef WAREHOUSE_UTIL_MONEY_HH
#define WAREHOUSE_UTIL_MONEY_HH

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// The cents of text: whole units, then, after a point or a comma (as
/// spreadsheets in many locales write it), at most two decimals: "3",
/// "3.5", "3.50" and "3,50" are all 350. Nothing else is allowed, not
/// even a sign or a space. Without a value, why says what is wrong.
std::optional<std::int64_t> parseCents(std::string_view text, std::string& why);

/// cents as text with a point and two decimals: 350 is "3.50".
std::string formatCents(std::int64_t cents);

#endif
