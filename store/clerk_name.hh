// The name a clerk gives with --clerk, which the history keeps beside the
// login the store verifies.
#ifndef WAREHOUSE_STORE_CLERK_NAME_HH
#define WAREHOUSE_STORE_CLERK_NAME_HH

#include <cstddef>
#include <string_view>

/// The longest name a clerk may give, in bytes.
inline constexpr std::size_t CLERK_NAME_BYTES = 64;

/// True for a name a history can keep and show: printable UTF-8 text, of 1
/// to CLERK_NAME_BYTES bytes, with no control character, C1 ones included.
bool isClerkName(std::string_view name);

#endif
