// The name a clerk gives with --clerk, checked.
#include "store/clerk_name.hh"

#include "util/text_codes.hh"

namespace {

/// Unicode's format characters (general category Cf), and the line and
/// paragraph separators: each a first and a last code.
constexpr char32_t FORMAT[][2] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},
    {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

bool isFormatCharacter(char32_t code)
{
    for (const auto& range : FORMAT) {
        if (code >= range[0] && code <= range[1]) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool isClerkName(std::string_view name)
{
    if (name.empty() || name.size() > CLERK_NAME_BYTES) {
        return false;
    }
    while (!name.empty()) {
        char32_t code = 0;
        const std::size_t length = utf8Character(name, code);
        const bool control =
            code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0);
        if (length == 0 || control || isFormatCharacter(code)) {
            return false;
        }
        name.remove_prefix(length);
    }
    return true;
}
