// Characters and digits as the programs' texts carry them: UTF-8
// characters and hexadecimal digits.
#ifndef WAREHOUSE_TEXT_CODES_HH
#define WAREHOUSE_TEXT_CODES_HH

#include <cstddef>
#include <string_view>

/// Decodes the UTF-8 character at the start of text, which is not empty,
/// into code, and gives its length in bytes; 0 when text starts with a
/// stray byte (a continuation, an overlong form, a surrogate, a point past
/// Unicode's last, a character cut short).
std::size_t utf8Character(std::string_view text, char32_t& code);

/// The value of a hexadecimal digit, in either case; -1 for any other
/// character.
int hexDigitValue(char c);

#endif
