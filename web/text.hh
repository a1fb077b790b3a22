// Text from the store as the owner's view carries it: bytes that are not
// UTF-8 made readable, and bytes put into a URL and taken back out.
#ifndef WAREHOUSE_WEB_TEXT_HH
#define WAREHOUSE_WEB_TEXT_HH

#include "web/wide_cents.hh"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// bytes as valid UTF-8 to show: each byte that is not part of a UTF-8
/// character, and each control character, becomes the four characters
/// \xNN; each C1 control and each character that changes how the text
/// shows without showing itself (U+202E, U+200B) becomes \uNNNN.
/// Everything else is kept as it is.
std::string shownText(std::string_view bytes);

/// bytes percent-encoded for a path segment or a query value: letters,
/// digits and - _ ~ : stay, every other byte becomes %XX. A dot is encoded
/// too, so that an id that ends in ".csv" cannot be taken for a CSV's path.
std::string percentEncoded(std::string_view bytes);

/// The bytes that a percent-encoded text stands for; none when a % is not
/// followed by two hexadecimal digits.
std::optional<std::string> percentDecoded(std::string_view text);

/// Whole cents as money, "1234.05"; never through floating point.
std::string money(std::int64_t cents);
/// Whole cents given as decimal digits, however many, as money.
std::string moneyOfDigits(std::string_view cents);

/// Whole cents in 128 bits as money, "-1234.05".
std::string wideMoney(WideCents cents);
/// units times cents a unit as money, exactly.
std::string moneyTimes(std::int64_t units, std::int64_t cents);

#endif
