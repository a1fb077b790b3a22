// Store names: which kind of store a name is, and the name without its
// passwords.
#include "store/store_name.hh"

#include "util/text_codes.hh"

#include <algorithm>
#include <vector>

namespace {

constexpr std::string_view HIDDEN = "***";

// A piece of a password shorter than this is not looked for in messages:
// it would mask ordinary words and tell nobody anything.
constexpr std::size_t SHORTEST_PIECE = 3;

/// text with each %XX turned into its byte; anything else as it is.
std::string percentDecoded(std::string_view text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            hexDigitValue(text[i + 1]) >= 0 && hexDigitValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexDigitValue(text[i + 1]) * 16 +
                                         hexDigitValue(text[i + 2]));
            i += 2;
            continue;
        }
        decoded += text[i];
    }
    return decoded;
}

/// Where the parts of a server URI are: scheme://[user[:password]@]host
/// [/database][?key=value&...]. Read generously: a password may hold
/// characters it should have percent-encoded, "@", "/", "?" and "#" among
/// them. The user part ends at the last "@" before the parameters; where
/// there is none, but a ":" and an "@" follow the first "?", that "?" is
/// taken for part of a password, as the client library takes it, and the
/// user part ends at the last "@" before the next "/".
struct UriParts {
    std::size_t authority = 0;              // just after "://"
    std::size_t query = std::string::npos;  // the "?", if any
    std::size_t at = std::string::npos;     // the "@" that ends the user part
    std::size_t colon = std::string::npos;  // the ":" before the password

    explicit UriParts(std::string_view uri)
    {
        authority = uri.find("://") + 3;
        query = uri.find('?', authority);
        at = uri.substr(0, query).rfind('@');
        if (at == std::string::npos || at < authority) {
            at = std::string::npos;
            const std::size_t slash = uri.find('/', query);
            const std::size_t late = uri.substr(0, slash).rfind('@');
            const std::size_t colon = uri.find(':', authority);
            if (query != std::string::npos && late != std::string::npos &&
                late > query && colon < query) {
                at = late;
                query = uri.find('?', at);
            }
        }
        if (at != std::string::npos) {
            colon = uri.find(':', authority);
            if (colon > at) {
                colon = std::string::npos;
            }
        }
    }
};

/// True for the names of the parameters that hold a password: the
/// server's, and the one that unlocks the client's key.
bool namesPassword(std::string_view key)
{
    return key == "password" || key == "sslpassword";
}

/// Calls take with the place and length of each password in uri.
template <typename Take> void forEachUriPassword(std::string_view uri, Take take)
{
    const UriParts parts(uri);
    if (parts.colon != std::string::npos) {
        take(parts.colon + 1, parts.at - parts.colon - 1);
    }
    if (parts.query == std::string::npos) {
        return;
    }
    for (std::size_t start = parts.query + 1; start <= uri.size();) {
        std::size_t end = uri.find('&', start);
        if (end == std::string::npos) {
            end = uri.size();
        }
        const std::string_view pair = uri.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos &&
            namesPassword(percentDecoded(pair.substr(0, equals)))) {
            take(start + equals + 1, pair.size() - equals - 1);
        }
        start = end + 1;
    }
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
           c == '\v';
}

/// Calls take with the place and length of each password value in a
/// connection string of key=value pairs, such as host=h password='a b':
/// a quoted value without its quotes, its backslash escapes as typed.
template <typename Take>
void forEachKeyValuePassword(std::string_view text, Take take)
{
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) {
            ++i;
        }
        const std::size_t keyStart = i;
        while (i < text.size() && text[i] != '=' && !isBlank(text[i])) {
            ++i;
        }
        const std::string_view key = text.substr(keyStart, i - keyStart);
        while (i < text.size() && isBlank(text[i])) {
            ++i;
        }
        if (i >= text.size() || text[i] != '=') {
            continue;  // a word that is no pair: the next starts here
        }
        ++i;
        while (i < text.size() && isBlank(text[i])) {
            ++i;
        }
        const bool quoted = i < text.size() && text[i] == '\'';
        const std::size_t valueStart = quoted ? ++i : i;
        while (i < text.size() &&
               (quoted ? text[i] != '\'' : !isBlank(text[i]))) {
            i += text[i] == '\\' && i + 1 < text.size() ? 2 : 1;
        }
        if (namesPassword(key)) {
            take(valueStart, std::min(i, text.size()) - valueStart);
        }
        i += quoted ? 1 : 0;
    }
}

/// True when where is a connection string of key=value pairs that names a
/// password: no store of this program, but a name someone may give it.
bool isKeyValueString(std::string_view where)
{
    bool found = false;
    forEachKeyValuePassword(where, [&](std::size_t, std::size_t) {
        found = true;
    });
    return found;
}

/// Calls take with the place and length of each password in where, in
/// whatever form it is.
template <typename Take> void forEachPassword(std::string_view where, Take take)
{
    if (isServerUri(where)) {
        forEachUriPassword(where, take);
    } else {
        forEachKeyValuePassword(where, take);
    }
}

/// text without the backslashes that escape characters of a key=value
/// string.
std::string unescaped(std::string_view text)
{
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
        }
        plain += text[i];
    }
    return plain;
}

}  // namespace

bool isServerUri(std::string_view where)
{
    return where.rfind("postgresql://", 0) == 0 ||
           where.rfind("postgres://", 0) == 0;
}

std::string storeName(const std::string& where)
{
    if (!isServerUri(where) && !isKeyValueString(where)) {
        return where;
    }
    std::vector<std::pair<std::size_t, std::size_t>> passwords;
    forEachPassword(where, [&](std::size_t at, std::size_t length) {
        passwords.emplace_back(at, length);
    });
    std::string name = where;
    // From the last, so that the places of the others still hold.
    for (auto password = passwords.rbegin(); password != passwords.rend();
         ++password) {
        name.replace(password->first, password->second, HIDDEN);
    }
    return name;
}

std::string withoutPasswords(std::string text, const std::string& where)
{
    if (!isServerUri(where) && !isKeyValueString(where)) {
        return text;
    }
    // Each password as typed and decoded, and the pieces of it that a
    // message about a malformed URI may quote.
    std::vector<std::string> secrets;
    forEachPassword(where, [&](std::size_t at, std::size_t length) {
        const std::string typed = where.substr(at, length);
        for (const std::string& form :
             {typed, percentDecoded(typed), unescaped(typed)}) {
            secrets.push_back(form);
            std::size_t start = 0;
            for (std::size_t i = 0; i <= form.size(); ++i) {
                if (i == form.size() ||
                    std::string_view("/@:?&=#% '\\").find(form[i]) !=
                        std::string_view::npos) {
                    secrets.push_back(form.substr(start, i - start));
                    start = i + 1;
                }
            }
        }
    });
    std::sort(secrets.begin(), secrets.end(),
              [](const std::string& a, const std::string& b) {
                  return a.size() > b.size();
              });
    for (const std::string& secret : secrets) {
        if (secret.size() < SHORTEST_PIECE) {
            continue;
        }
        for (std::size_t found = text.find(secret); found != std::string::npos;
             found = text.find(secret, found + HIDDEN.size())) {
            text.replace(found, secret.size(), HIDDEN);
        }
    }
    return text;
}
