// The name a clerk gives with --clerk, which the history keeps beside the
// login the store verifies.
#ifndef WAREHOUSE_STORE_CLERK_NAME_HH
#define WAREHOUSE_STORE_CLERK_NAME_HH

#include <cstddef>
#include <string_view>

/// The longest name a clerk may give, in bytes.
inline constexpr std::size_t CLERK_NAME_BYTES = 64;

/// What a clerk's name must be, for the line that refuses one.
inline constexpr const char* CLERK_NAME_RULE =
    "a name must be printable UTF-8 text of 1 to 64 bytes, without control "
    "or format characters";

/// True for a name a history can keep and show: printable UTF-8 text, of 1
/// to CLERK_NAME_BYTES bytes, with no control character, C1 ones included,
/// and no format character, which is invisible and could make one name
/// look like another, or reorder the line that shows it.
bool isClerkName(std::string_view name);

#endif
