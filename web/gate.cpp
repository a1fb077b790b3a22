// The view's door: connections wait here until their request's head has
// come whole, and what is not a request the view can read is answered here.
#include "web/gate.hh"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

namespace {

// How often a connection that has sent nothing new is looked at for its
// deadline.
constexpr int TICK_MS = 100;
// What is read and dropped of a refused request, so that the answer is not
// lost to a reset for bytes left unread.
constexpr std::size_t DRAINED = 64 * 1024;

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isTokenChar(char c)
{
    static constexpr std::string_view marks = "!#$%&'*+-.^_`|~";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           marks.find(c) != std::string_view::npos;
}

bool isToken(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

/// The request line: a method, a target and the version, a space apart.
std::optional<Gate::Fault> lineFault(std::string_view line)
{
    const std::size_t first = line.find(' ');
    const std::size_t last = line.rfind(' ');
    if (first == std::string_view::npos || first == last) {
        return Gate::Fault::Malformed;
    }
    const std::string_view target = line.substr(first + 1, last - first - 1);
    const std::string_view version = line.substr(last + 1);
    const bool targetRead = !target.empty() && std::none_of(target.begin(), target.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
    });
    if (!isToken(line.substr(0, first)) || !targetRead) {
        return Gate::Fault::Malformed;
    }
    if (version == "HTTP/1.1" || version == "HTTP/1.0") {
        return std::nullopt;
    }
    const bool http = version.size() == 8 && version.substr(0, 5) == "HTTP/" &&
                      std::isdigit(static_cast<unsigned char>(version[5])) &&
                      version[6] == '.' && std::isdigit(static_cast<unsigned char>(version[7]));
    return http ? Gate::Fault::Version : Gate::Fault::Malformed;
}

}  // namespace

Gate::Gate(int listening, bool encrypted, Limits limits, Pass pass, Answer answer)
    : listening(listening), encrypted(encrypted), limits(limits), pass(std::move(pass)),
      answer(std::move(answer)), peeked(limits.head + 1, '\0')
{
}

Gate::~Gate()
{
    for (const auto& [socket, state] : waiting) {
        ::close(socket);
    }
    if (events >= 0) {
        ::close(events);
    }
}

Gate::Verdict Gate::judge(std::string_view sent, const Limits& limits, Fault& fault)
{
    // Empty lines before a request are let be, as a client may send them
    // after the last one's body.
    std::size_t at = 0;
    while (at < sent.size() && (sent[at] == '\r' || sent[at] == '\n')) {
        ++at;
    }
    bool first = true;
    while (true) {
        const std::size_t end = sent.find('\n', at);
        const std::size_t limit = first ? limits.line : limits.head;
        if (end == std::string_view::npos) {
            if (sent.size() > limit) {
                fault = first ? Fault::LineTooLong : Fault::HeadTooLong;
                return Verdict::Refuse;
            }
            return Verdict::Wait;
        }
        if (end + 1 > limit) {
            fault = first ? Fault::LineTooLong : Fault::HeadTooLong;
            return Verdict::Refuse;
        }
        std::string_view line = sent.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        at = end + 1;
        if (first) {
            if (const auto wrong = lineFault(line)) {
                fault = *wrong;
                return Verdict::Refuse;
            }
            first = false;
            continue;
        }
        if (line.empty()) {
            return Verdict::Pass;
        }
        // A name runs up to its colon with no space in it or before the
        // colon, and a line that starts with a space continues none.
        if (!isToken(line.substr(0, line.find(':'))) || line.find(':') == std::string_view::npos) {
            fault = Fault::Malformed;
            return Verdict::Refuse;
        }
    }
}

bool Gate::run()
{
    events = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event listen{};
    listen.events = EPOLLIN;
    listen.data.fd = listening;
    const int flags = ::fcntl(listening, F_GETFL);
    if (events < 0 || flags < 0 || ::fcntl(listening, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::epoll_ctl(events, EPOLL_CTL_ADD, listening, &listen) != 0) {
        return false;
    }
    std::vector<epoll_event> ready(64);
    while (!stopping) {
        const int count = ::epoll_wait(events, ready.data(), static_cast<int>(ready.size()),
                                       TICK_MS);
        for (int i = 0; i < count; ++i) {
            const int socket = ready[static_cast<std::size_t>(i)].data.fd;
            if (socket != listening) {
                look(socket);
                continue;
            }
            while (true) {
                sockaddr_storage address{};
                socklen_t size = sizeof address;
                const int taken = ::accept4(listening, reinterpret_cast<sockaddr*>(&address),
                                            &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (taken < 0 && (errno == EMFILE || errno == ENFILE) && !waiting.empty()) {
                    // Out of descriptors: the oldest waiting connection makes
                    // room, as it does for a share, rather than the listening
                    // socket staying ready and the loop spinning.
                    drop(std::min_element(waiting.begin(), waiting.end(),
                                          [](const auto& a, const auto& b) {
                                              return a.second.since < b.second.since;
                                          })->first);
                    continue;
                }
                if (taken < 0) {
                    break;
                }
                admit(taken, address, size);
            }
        }
        cutLate();
    }
    return true;
}

void Gate::admit(int socket, const sockaddr_storage& address, socklen_t size)
{
    Waiting state;
    state.address = address;
    state.size = size;
    state.since = nowMs();
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        state.from.assign(reinterpret_cast<const char*>(&v6), sizeof v6);
    } else {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address).sin_addr;
        state.from.assign(reinterpret_cast<const char*>(&v4), sizeof v4);
    }
    // Past a share, the oldest waiting connection makes room: a browser's
    // connection sends its request at once, one left silent does not.
    for (const bool sameAddress : {true, false}) {
        std::size_t held = 0;
        auto oldest = waiting.end();
        for (auto at = waiting.begin(); at != waiting.end(); ++at) {
            if (!sameAddress || at->second.from == state.from) {
                ++held;
                if (oldest == waiting.end() || at->second.since < oldest->second.since) {
                    oldest = at;
                }
            }
        }
        if (held >= (sameAddress ? limits.perAddress : limits.waiting) &&
            oldest != waiting.end()) {
            drop(oldest->first);
        }
    }
    epoll_event watch{};
    watch.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    watch.data.fd = socket;
    if (::epoll_ctl(events, EPOLL_CTL_ADD, socket, &watch) != 0) {
        ::close(socket);
        return;
    }
    waiting.emplace(socket, state);
    look(socket);
}

void Gate::look(int socket)
{
    const auto found = waiting.find(socket);
    if (found == waiting.end()) {
        return;
    }
    // Only looked at: the library reads the request from the start.
    const ssize_t got = ::recv(socket, peeked.data(), encrypted ? 1 : peeked.size(),
                               MSG_PEEK | MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        drop(socket);
        return;
    }
    Fault fault = Fault::Malformed;
    const Verdict verdict =
        encrypted ? Verdict::Pass
                  : judge(std::string_view(peeked.data(), static_cast<std::size_t>(got)),
                          limits, fault);
    if (verdict == Verdict::Wait) {
        return;
    }
    const Waiting state = found->second;
    ::epoll_ctl(events, EPOLL_CTL_DEL, socket, nullptr);
    waiting.erase(found);
    if (verdict == Verdict::Pass) {
        pass(socket, reinterpret_cast<const sockaddr*>(&state.address), state.size);
    } else {
        refuse(socket, fault);
    }
}

void Gate::refuse(int socket, Fault fault)
{
    const std::string text = answer(fault);
    ::send(socket, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(socket, SHUT_WR);
    for (std::size_t drained = 0; drained < DRAINED;) {
        const ssize_t got = ::recv(socket, peeked.data(), peeked.size(), MSG_DONTWAIT);
        if (got <= 0) {
            break;
        }
        drained += static_cast<std::size_t>(got);
    }
    ::close(socket);
}

void Gate::drop(int socket)
{
    ::epoll_ctl(events, EPOLL_CTL_DEL, socket, nullptr);
    waiting.erase(socket);
    ::close(socket);
}

void Gate::cutLate()
{
    const long long now = nowMs();
    std::vector<int> late;
    for (const auto& [socket, state] : waiting) {
        if (now - state.since > limits.deadlineMs) {
            late.push_back(socket);
        }
    }
    for (const int socket : late) {
        drop(socket);
    }
}
