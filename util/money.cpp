// Sums of money read and written exactly, digit by digit.
#include "util/money.hh"

#include <limits>

std::optional<std::int64_t> parseCents(std::string_view text, std::string& why)
{
    constexpr std::int64_t MOST = std::numeric_limits<std::int64_t>::max();
    const std::size_t mark = text.find_first_of(".,");
    const std::string_view whole = text.substr(0, mark);
    const std::string_view decimals =
        mark == std::string_view::npos ? std::string_view() : text.substr(mark + 1);
    const auto digits = [](std::string_view part) {
        return part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!text.empty() && text.front() == '-') {
        why = "a price may not be negative";
        return std::nullopt;
    }
    if (whole.empty() || !digits(whole) || !digits(decimals) ||
        (mark != std::string_view::npos && decimals.empty())) {
        why = "not a sum of money such as 3.50";
        return std::nullopt;
    }
    if (decimals.size() > 2) {
        why = "more than two decimals";
        return std::nullopt;
    }
    std::int64_t cents = 0;
    for (const char digit : whole) {
        if (cents > (MOST - (digit - '0')) / 10) {
            why = "too large";
            return std::nullopt;
        }
        cents = cents * 10 + (digit - '0');
    }
    std::int64_t fraction = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        fraction = fraction * 10 + (i < decimals.size() ? decimals[i] - '0' : 0);
    }
    if (cents > (MOST - fraction) / 100) {
        why = "too large";
        return std::nullopt;
    }
    return cents * 100 + fraction;
}

std::string formatCents(std::int64_t cents)
{
    const std::string fraction = std::to_string(cents % 100);
    return std::to_string(cents / 100) + (fraction.size() < 2 ? ".0" : ".") +
           fraction;
}
