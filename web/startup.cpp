// The owner's key kept between runs, and the addresses that are printed.
#include "web/startup.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Bytes of randomness in a key: guessing it is out of the question.
constexpr std::size_t KEY_BYTES = 16;

/// A new random key, in hexadecimal; empty when the system gives no
/// randomness.
std::string newKey()
{
    unsigned char bytes[KEY_BYTES];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        return {};
    }
    std::string key;
    for (const unsigned char byte : bytes) {
        key += "0123456789abcdef"[byte >> 4];
        key += "0123456789abcdef"[byte & 15];
    }
    return key;
}

/// Makes each missing folder of path's leading part, for its owner alone.
void makeFolders(const std::string& file)
{
    for (std::size_t slash = file.find('/', 1); slash != std::string::npos;
         slash = file.find('/', slash + 1)) {
        ::mkdir(file.substr(0, slash).c_str(), 0700);
    }
}

}  // namespace

std::string defaultKeyFile()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/warehouse/web-key";
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/state/warehouse/web-key";
    }
    return {};
}

bool readWhole(const std::string& file, std::string& text, std::string& why)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    const int error = errno;
    ::close(fd);
    if (got < 0) {
        why = std::strerror(error);
        return false;
    }
    return true;
}

std::string ownerKey(const std::string& file, std::string& why)
{
    makeFolders(file);
    // Made only where nothing is, and for the owner alone from the start.
    const int made = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0600);
    if (made >= 0) {
        const std::string key = newKey();
        const std::string line = key + "\n";
        const bool written = !key.empty() &&
                             ::write(made, line.data(), line.size()) ==
                                 static_cast<ssize_t>(line.size()) &&
                             ::fsync(made) == 0;
        why = key.empty() ? "no randomness to make a key with" : std::strerror(errno);
        ::close(made);
        if (!written) {
            ::unlink(file.c_str());
            return {};
        }
        return key;
    }
    if (errno != EEXIST) {
        why = std::strerror(errno);
        return {};
    }
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        why = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return {};
    }
    ::close(fd);
    if (!S_ISREG(status.st_mode) || status.st_uid != ::getuid()) {
        why = "not a file of this user's own";
        return {};
    }
    if ((status.st_mode & 077) != 0) {
        why = "others may read it (chmod 600 it, and make a new key if it got out)";
        return {};
    }
    std::string text;
    if (!readWhole(file, text, why)) {
        return {};
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (text.size() < 2 * KEY_BYTES || text.find_first_of(" \t\n\r;,") != std::string::npos) {
        why = "it holds no key of at least " + std::to_string(2 * KEY_BYTES) +
              " characters on one line";
        return {};
    }
    return text;
}

std::vector<std::string> addressesToOpen(const std::string& host)
{
    const bool any4 = host == "0.0.0.0";
    const bool any6 = host == "::";
    if (!any4 && !any6) {
        return {host};
    }
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (const ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
            if (at->ifa_addr == nullptr || (at->ifa_flags & IFF_LOOPBACK) != 0 ||
                (at->ifa_flags & IFF_UP) == 0) {
                continue;
            }
            char text[INET6_ADDRSTRLEN] = {};
            const int family = at->ifa_addr->sa_family;
            if (family == AF_INET) {
                ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(at->ifa_addr)->sin_addr,
                            text, sizeof text);
            } else if (family == AF_INET6 && any6) {
                const auto* v6 = reinterpret_cast<sockaddr_in6*>(at->ifa_addr);
                if (IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr)) {
                    continue;  // needs a zone that a browser's address cannot carry
                }
                ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            } else {
                continue;
            }
            found.emplace_back(text);
        }
        ::freeifaddrs(list);
    }
    if (found.empty()) {
        found.emplace_back(any4 ? "127.0.0.1" : "::1");
    }
    return found;
}
