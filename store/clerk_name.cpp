// The name a clerk gives with --clerk, checked.
#include "store/clerk_name.hh"

#include "util/text_codes.hh"

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
        if (length == 0 || control) {
            return false;
        }
        name.remove_prefix(length);
    }
    return true;
}
