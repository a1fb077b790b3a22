// What a request's text says that the view checks: its key, its cookies,
// the name it was sent to, and whether an address is the loopback's.
#ifndef WAREHOUSE_WEB_REQUEST_TEXT_HH
#define WAREHOUSE_WEB_REQUEST_TEXT_HH

#include <sys/socket.h>

#include <string>
#include <string_view>
#include <utility>

/// Compares in a time that does not tell how much of a guess was right.
bool sameKey(std::string_view given, std::string_view key);
/// The value of a cookie in a Cookie header; empty when none.
std::string cookie(std::string_view header, std::string_view name);
/// The host part of a Host header, without its port, brackets kept.
std::pair<std::string_view, std::string_view> hostAndPort(std::string_view host);
/// The same text but for the case of ASCII letters.
bool sameText(std::string_view a, std::string_view b);
/// True for an address of the machine's own loopback, which no other
/// machine can reach.
bool isLoopbackAddress(const sockaddr* address);

#endif
