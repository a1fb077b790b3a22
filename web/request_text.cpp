// What a request's text says that the view checks: its key, its cookies,
// the name it was sent to, and whether an address is the loopback's.
#include "web/request_text.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>

bool sameKey(std::string_view given, std::string_view key)
{
    if (given.size() != key.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ key[i]);
    }
    return difference == 0;
}

std::string cookie(std::string_view header, std::string_view name)
{
    std::string_view rest(header);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find(';'), rest.size());
        std::string_view pair = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
            pair[name.size()] == '=') {
            return std::string(pair.substr(name.size() + 1));
        }
    }
    return {};
}

std::pair<std::string_view, std::string_view> hostAndPort(std::string_view host)
{
    std::size_t colon = std::string_view::npos;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close != std::string_view::npos && close + 1 < host.size() &&
            host[close + 1] == ':') {
            colon = close + 1;
        }
    } else {
        colon = host.rfind(':');
    }
    if (colon == std::string_view::npos) {
        return {host, {}};
    }
    return {host.substr(0, colon), host.substr(colon + 1)};
}

bool sameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isLoopbackAddress(const sockaddr* address)
{
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    return address->sa_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
}
