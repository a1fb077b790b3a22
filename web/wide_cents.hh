// Whole cents in 128 bits, and their decimal text, for the stock's worth.
#ifndef WAREHOUSE_WEB_WIDE_CENTS_HH
#define WAREHOUSE_WEB_WIDE_CENTS_HH

#include <optional>
#include <string>
#include <string_view>

/// Units times cents, summed: with at most 2^32 - 1 units a product, each
/// product is below 2^95, and no store holds the 2^32 products whose worth
/// could pass 2^127.
__extension__ typedef __int128 WideCents;

/// cents in decimal digits, with a minus sign when below 0.
inline std::string decimalOf(WideCents cents)
{
    const bool negative = cents < 0;
    std::string digits;
    do {
        const auto digit = static_cast<int>(cents % 10);
        digits.insert(digits.begin(), static_cast<char>('0' + (negative ? -digit : digit)));
        cents /= 10;
    } while (cents != 0);
    if (negative) {
        digits.insert(0, 1, '-');
    }
    return digits;
}

/// The cents that decimalOf wrote, or what a store's numeric sum wrote;
/// none for any other text (a fraction, a sign alone, too many digits).
inline std::optional<WideCents> wideCentsOf(std::string_view text)
{
    const bool negative = !text.empty() && text.front() == '-';
    text.remove_prefix(negative ? 1 : 0);
    if (text.empty() || text.size() > 38) {  // 10^38 is below 2^127
        return std::nullopt;
    }
    WideCents cents = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        cents = cents * 10 + (c - '0');
    }
    return negative ? -cents : cents;
}

#endif
