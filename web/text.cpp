// Text from the store made readable, and put into and taken out of a URL.
#include "web/text.hh"

#include "util/text_codes.hh"

#include <cstdio>

namespace {

void appendEscaped(std::string& out, unsigned char byte)
{
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
}

/// A character that shows nothing of itself or changes how the text
/// around it shows: C1 controls, and the format characters (such as
/// U+202E, which turns the text after it around, and U+200B, which has no
/// width), and the line and paragraph separators.
bool hidden(char32_t code)
{
    static const std::pair<char32_t, char32_t> ranges[] = {
        {0x80, 0x9F},     {0xAD, 0xAD},     {0x600, 0x605},   {0x61C, 0x61C},
        {0x6DD, 0x6DD},   {0x70F, 0x70F},   {0x180E, 0x180E}, {0x200B, 0x200F},
        {0x2028, 0x202E}, {0x2060, 0x2064}, {0x2066, 0x206F}, {0xFEFF, 0xFEFF},
        {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD}, {0x1D173, 0x1D17A},
        {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    };
    for (const auto& [from, to] : ranges) {
        if (code >= from && code <= to) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string shownText(std::string_view bytes)
{
    std::string shown;
    shown.reserve(bytes.size());
    while (!bytes.empty()) {
        char32_t code = 0;
        const std::size_t length = utf8Character(bytes, code);
        const auto first = static_cast<unsigned char>(bytes[0]);
        if (length > 0 && hidden(code)) {
            char escaped[12];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(code));
            shown += escaped;
            bytes.remove_prefix(length);
            continue;
        }
        if (length == 0 || first < 0x20 || first == 0x7F) {
            appendEscaped(shown, first);
            bytes.remove_prefix(1);
            continue;
        }
        shown.append(bytes.substr(0, length));
        bytes.remove_prefix(length);
    }
    return shown;
}

std::string percentEncoded(std::string_view bytes)
{
    std::string encoded;
    encoded.reserve(bytes.size());
    for (const char c : bytes) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                          c == '~' || c == ':';
        if (kept) {
            encoded += c;
            continue;
        }
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X",
                      static_cast<unsigned char>(c));
        encoded += escaped;
    }
    return encoded;
}

std::optional<std::string> percentDecoded(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexDigitValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexDigitValue(text[i + 2]) : -1;
        if (low < 0) {
            return std::nullopt;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

std::string money(std::int64_t cents)
{
    const bool negative = cents < 0;
    const std::uint64_t whole =
        negative ? 0 - static_cast<std::uint64_t>(cents) : static_cast<std::uint64_t>(cents);
    std::string fraction = std::to_string(whole % 100);
    if (fraction.size() < 2) {
        fraction.insert(0, 1, '0');
    }
    return (negative ? "-" : "") + std::to_string(whole / 100) + "." + fraction;
}

std::string moneyOfDigits(std::string_view cents)
{
    std::string digits(cents);
    if (digits.size() < 3) {
        digits.insert(0, 3 - digits.size(), '0');
    }
    digits.insert(digits.size() - 2, 1, '.');
    return digits;
}

std::string wideMoney(WideCents cents)
{
    const std::string digits = decimalOf(cents);
    return digits.front() == '-'
               ? "-" + moneyOfDigits(std::string_view(digits).substr(1))
               : moneyOfDigits(digits);
}

std::string moneyTimes(std::int64_t units, std::int64_t cents)
{
    return wideMoney(static_cast<WideCents>(units) * cents);
}
