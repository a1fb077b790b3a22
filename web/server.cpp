// The owner's view over HTTP: requests checked, the key, and each page's
// answer handed to the library.
#include "web/server.hh"

#include "store/store_name.hh"
#include "web/gate.hh"
#include "web/pages.hh"
#include "web/request_text.hh"
#include "web/routes.hh"
#include "web/text.hh"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <strings.h>
#include <thread>
#include <vector>

namespace {

constexpr const char* HTML = "text/html; charset=utf-8";
constexpr const char* CSV = "text/csv; charset=utf-8; header=present";
constexpr const char* BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// Threads that answer, each watching its share of the connections: a
// connection that is only being read holds no thread, so slow clients
// cannot take them all.
constexpr unsigned THREADS = 4;
// What one client address may hold open at once: a browser opens about
// six.
constexpr unsigned CONNECTIONS_PER_ADDRESS = 16;
constexpr unsigned CONNECTIONS = 512;
// Longest request target (its query too) and whole header, and most header
// lines, that a page is answered to.
constexpr std::size_t TARGET_LIMIT = 8192;
constexpr std::size_t HEADER_LIMIT = 8192;
constexpr std::size_t HEADER_LINES = 64;
// What the gate lets through to the library: a request line with room for
// the longest target, and a head with room for the longest header; past
// them the gate answers itself.
constexpr std::size_t LINE_LIMIT = TARGET_LIMIT + 64;
constexpr std::size_t HEAD_LIMIT = LINE_LIMIT + HEADER_LIMIT + 4 * HEADER_LINES;
// The memory a connection reads its request into: any head the gate lets
// through fits, so that the library never answers one itself, without the
// headers every answer carries.
constexpr std::size_t CONNECTION_MEMORY = 64 * 1024;
// A connection's socket buffer for what it is sent, which the gate's look
// at a whole head needs room in.
constexpr int RECEIVE_BUFFER = 64 * 1024;
// A client has this long from opening its connection to send the whole of
// its request; a browser sends it at once.
constexpr long long REQUEST_DEADLINE_MS = 3000;
// A client that takes nothing of its answer for this long is let go.
constexpr unsigned IDLE_SECONDS = 30;
// A view of the store that no request has used for this long is closed:
// it holds a file or a server's connection open for nothing. The one used
// last is kept longer: it keeps the stock's worth and what to order while
// the store is unchanged, which take a pass over the whole stock to read
// again.
constexpr long IDLE_READER_SECONDS = 10;
constexpr long LAST_READER_SECONDS = 15 * 60;
// A CSV file goes out in parts of this size.
constexpr std::size_t CSV_PART = 64 * 1024;

// The pages load nothing but themselves and run no script; none is kept in
// a cache, so that each shows the store as it is; the key in an address
// goes nowhere else.
const std::pair<const char*, const char*> SAFETY[] = {
    {"Content-Security-Policy",
     "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
     "base-uri 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}



/// The answer to one request, before it is handed to the library.
struct Answer {
    int status = 200;
    std::string body;
    const char* type = HTML;
    std::vector<std::pair<std::string, std::string>> headers;
    std::FILE* file = nullptr;  // a CSV, sent from this file, which queue() closes
};

Answer pageAnswer(const Reply& reply)
{
    Answer answer;
    answer.status = reply.status;
    answer.body = reply.html;
    return answer;
}

/// What a request carries, as the library gives it.
struct Incoming {
    std::string cookieHeader;
    std::string host;
    int hosts = 0;
    bool oddName = false;  // a name with a space in it, or none
    std::size_t headerBytes = 0;
    std::size_t headerLines = 0;
    Params params;
};

MHD_Result headerSeen(void* context, MHD_ValueKind, const char* name, const char* value)
{
    auto& incoming = *static_cast<Incoming*>(context);
    const std::size_t valueSize = value == nullptr ? 0 : std::strlen(value);
    incoming.headerBytes += std::strlen(name) + valueSize + 4;
    ++incoming.headerLines;
    incoming.oddName = incoming.oddName || *name == '\0' ||
                       std::strpbrk(name, " \t") != nullptr;
    if (value != nullptr && strcasecmp(name, "Host") == 0) {
        incoming.host = value;
        ++incoming.hosts;
    }
    if (value != nullptr && strcasecmp(name, "Cookie") == 0) {
        incoming.cookieHeader += incoming.cookieHeader.empty() ? "" : "; ";
        incoming.cookieHeader += value;
    }
    return MHD_YES;
}

/// A query's text decoded as a form sends it: + for a space; a % that
/// stands for nothing is kept as it is.
std::string queryDecoded(std::string text)
{
    for (char& c : text) {
        c = c == '+' ? ' ' : c;
    }
    const auto decoded = percentDecoded(text);
    return decoded ? *decoded : text;
}

MHD_Result parameterSeen(void* context, MHD_ValueKind, const char* name, const char* value)
{
    static_cast<Incoming*>(context)->params.emplace(
        queryDecoded(name), value == nullptr ? std::string() : queryDecoded(value));
    return MHD_YES;
}

/// The library decodes nothing: the view decodes each part itself, so that
/// every byte, %00 too, comes through.
size_t keptAsSent(void*, MHD_Connection*, char* text)
{
    return std::strlen(text);
}

/// A file being sent: the parts the library asks for, from the file.
ssize_t filePart(void* context, uint64_t position, char* buffer, size_t size)
{
    const ssize_t got = ::pread(::fileno(static_cast<std::FILE*>(context)), buffer, size,
                                static_cast<off_t>(position));
    return got > 0 ? got : got == 0 ? MHD_CONTENT_READER_END_OF_STREAM
                                    : MHD_CONTENT_READER_END_WITH_ERROR;
}

void fileSent(void* context)
{
    std::fclose(static_cast<std::FILE*>(context));
}

MHD_Result queue(MHD_Connection* connection, Answer&& answer)
{
    MHD_Response* response = nullptr;
    if (answer.file != nullptr) {
        // Its length unknown to the library, a file goes to an HTTP/1.1
        // client in chunks and to an older one up to the connection's end.
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, CSV_PART,
                                                     filePart, answer.file, fileSent);
        if (response == nullptr) {
            std::fclose(answer.file);
        }
    } else {
        response = MHD_create_response_from_buffer(answer.body.size(),
                                                   answer.body.data(),
                                                   MHD_RESPMEM_MUST_COPY);
    }
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", answer.type);
    for (const auto& [name, value] : SAFETY) {
        MHD_add_response_header(response, name, value);
    }
    // The next request comes on a new connection, through the gate, which
    // answers one too long or not HTTP with these headers too. A page
    // loads nothing else, so a browser loses little by it.
    MHD_add_response_header(response, "Connection", "close");
    for (const auto& [name, value] : answer.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

/// What the gate answers a request it does not let through with: the
/// page, with the headers of every answer.
std::string gateAnswer(Gate::Fault fault)
{
    static const std::pair<int, Refusal> faults[] = {
        {414, Refusal::TooLong}, {431, Refusal::TooLong},
        {400, Refusal::Other}, {505, Refusal::Other}};
    const auto [status, refusal] = faults[static_cast<int>(fault)];
    const std::string body = refusedPage(status, refusal).html;
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " +
                       MHD_get_reason_phrase_for(static_cast<unsigned>(status)) +
                       "\r\nContent-Type: " + HTML + "\r\n";
    for (const auto& [name, value] : SAFETY) {
        text += std::string(name) + ": " + value + "\r\n";
    }
    return text + "Content-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}


/// Why a page could not be read, on the view's standard error as one
/// line, written at once so that threads' lines do not run together.
void logged(const ReaderPool& pool, const std::string& why)
{
    std::string line = std::string(program_invocation_short_name) + ": store " +
                       storeName(pool.store()) + ": " +
                       shownText(withoutPasswords(why, pool.store())) + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

Answer answerPage(ReaderPool& pool, std::string_view path, const Params& params)
{
    const Route route = routeOf(path);
    if (route.kind == Route::Missing) {
        return pageAnswer(missingPage(path));
    }
    if (route.kind == Route::BadEncoding) {
        return pageAnswer(refusedPage(400, Refusal::Encoding));
    }
    std::optional<ReaderPool::Lease> lease;
    try {
        lease.emplace(pool.lend());
        (*lease)->begin();
        Reply reply = pageOf(**lease, route, params);
        if (!reply.csv) {
            return pageAnswer(reply);
        }
        // The whole file is read in the page's snapshot into a temporary
        // file, and the snapshot let go, before any of it is sent: a client
        // that reads slowly holds the store back from nothing, and the
        // file takes no memory.
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> written(std::tmpfile(),
                                                                std::fclose);
        if (!written) {
            throw StoreError(std::string("no temporary file for the CSV: ") +
                             std::strerror(errno));
        }
        // The mark tells a spreadsheet the file is UTF-8.
        bool whole = std::fputs(BYTE_ORDER_MARK, written.get()) >= 0;
        reply.csv(**lease, [file = written.get(), &whole](std::string_view part) {
            whole = whole && std::fwrite(part.data(), 1, part.size(), file) == part.size();
            return whole;
        });
        lease.reset();
        if (!whole || std::fflush(written.get()) != 0) {
            const int error = errno;
            logged(pool, std::string("cannot write the CSV: ") + std::strerror(error));
            return pageAnswer(storeDownPage());
        }
        Answer file;
        file.file = written.release();
        file.type = CSV;
        file.headers.emplace_back("Content-Disposition",
                                  "attachment; filename=\"" + reply.fileName + "\"");
        return file;
    } catch (const StoreError& error) {
        if (lease) {
            lease->failed();
        }
        logged(pool, error.what());
        return pageAnswer(storeDownPage());
    }
}


MHD_Result answerRequest(void* server, MHD_Connection* connection, const char* url,
                         const char* method, const char*, const char*,
                         size_t* uploadSize, void** requestContext)
{
    if (*requestContext != nullptr) {  // a body no page reads
        *uploadSize = 0;
        return MHD_YES;
    }
    *requestContext = server;
    return static_cast<WebServer*>(server)->answer(connection, url, method) != 0
               ? MHD_YES
               : MHD_NO;
}

/// The request's whole target, its query too, as it came: the library
/// gives the page its path alone.
void* targetSeen(void* server, const char* target, MHD_Connection* connection)
{
    static_cast<WebServer*>(server)->requestBegun(connection, std::strlen(target));
    return nullptr;  // answerRequest() tells its first call by this
}

void requestCompleted(void* server, MHD_Connection* connection, void**,
                      MHD_RequestTerminationCode)
{
    static_cast<WebServer*>(server)->requestDone(connection);
}

void connectionNotice(void* server, MHD_Connection* connection, void**,
                      MHD_ConnectionNotificationCode code)
{
    auto* web = static_cast<WebServer*>(server);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        web->connectionOpened(connection);
    } else {
        web->connectionClosed(connection);
    }
}

}  // namespace

WebServer::WebServer(ReaderPool& pool, ServerOptions options)
    : pool(pool), options(std::move(options))
{
}

WebServer::~WebServer()
{
    if (listening >= 0) {
        ::close(listening);
    }
}

std::string WebServer::keyCookie() const
{
    return "warehouse_key_" + std::to_string(options.port);
}

int WebServer::answer(MHD_Connection* connection, const char* url, const char* method)
{
    std::size_t target = 0;
    {
        const std::lock_guard<std::mutex> guard(lock);
        const auto found = waiting.find(connection);
        if (found != waiting.end()) {
            found->second.answering = true;
            target = found->second.target;
        }
    }
    Incoming incoming;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, headerSeen, &incoming);
    // What costs nothing to look at is looked at first, before the key.
    const std::string_view path(url);
    if (std::max(target, path.size()) > TARGET_LIMIT) {
        return queue(connection, pageAnswer(refusedPage(414, Refusal::TooLong)));
    }
    if (incoming.headerBytes > HEADER_LIMIT || incoming.headerLines > HEADER_LINES) {
        return queue(connection, pageAnswer(refusedPage(431, Refusal::TooLong)));
    }
    // One Host, and no header whose name the library may have read
    // otherwise than a browser meant: a request that could be read two
    // ways is not read at all.
    if (incoming.hosts != 1 || incoming.oddName) {
        return queue(connection, pageAnswer(refusedPage(400, Refusal::Other)));
    }
    if (loopback) {
        // A page on the loopback answers only to its own names, so that a
        // site whose name is made to point here cannot read it.
        const auto [name, port] = hostAndPort(incoming.host);
        const bool ours = sameText(name, "localhost") || sameText(name, options.host) ||
                          sameText(name, "[" + options.host + "]");
        const bool portOurs = port.empty() ? incoming.host.empty() || incoming.host.back() != ':'
                                           : port == std::to_string(options.port);
        if (!ours || !portOurs) {
            return queue(connection, pageAnswer(refusedPage(421, Refusal::Host)));
        }
    }
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, parameterSeen, &incoming);
    std::vector<std::pair<std::string, std::string>> headers;
    if (!options.key.empty()) {
        const auto inQuery = incoming.params.find("key");
        const std::string given = inQuery != incoming.params.end()
                                      ? inQuery->second
                                      : cookie(incoming.cookieHeader, keyCookie());
        if (!sameKey(given, options.key)) {
            return queue(connection, pageAnswer(refusedPage(403, Refusal::Key)));
        }
        if (inQuery != incoming.params.end()) {  // the pages' own links carry no key
            headers.emplace_back("Set-Cookie", keyCookie() + "=" + options.key +
                                                   "; Path=/; HttpOnly; SameSite=Strict" +
                                                   (options.tlsKey.empty() ? "" : "; Secure"));
        }
    }
    const std::string_view verb(method);
    if (verb != "GET" && verb != "HEAD") {
        Answer refused = pageAnswer(refusedPage(405, Refusal::Method, verb));
        refused.headers.emplace_back("Allow", "GET, HEAD");
        return queue(connection, std::move(refused));
    }
    Answer reply = answerPage(pool, path, incoming.params);
    reply.headers.insert(reply.headers.begin(), headers.begin(), headers.end());
    return queue(connection, std::move(reply));
}

void WebServer::connectionOpened(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const std::lock_guard<std::mutex> guard(lock);
    waiting[connection] = {info == nullptr ? -1 : info->connect_fd, nowMs(), false};
}

void WebServer::requestBegun(MHD_Connection* connection, std::size_t target)
{
    const std::lock_guard<std::mutex> guard(lock);
    const auto found = waiting.find(connection);
    if (found != waiting.end()) {
        found->second.target = target;
    }
}

void WebServer::requestDone(MHD_Connection* connection)
{
    const std::lock_guard<std::mutex> guard(lock);
    const auto found = waiting.find(connection);
    if (found != waiting.end()) {
        found->second.since = nowMs();
        found->second.answering = false;
    }
}

void WebServer::connectionClosed(MHD_Connection* connection)
{
    // The library closes the socket only after this returns: a socket in
    // the table is never one that another connection has been given.
    const std::lock_guard<std::mutex> guard(lock);
    waiting.erase(connection);
}

void WebServer::cutLateClients()
{
    const long long now = nowMs();
    for (auto& [connection, state] : waiting) {
        if (!state.answering && state.socket >= 0 &&
            now - state.since > REQUEST_DEADLINE_MS) {
            // The library sees the connection end and closes it.
            ::shutdown(state.socket, SHUT_RDWR);
            state.socket = -1;
        }
    }
}

int WebServer::bind()
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options.port);
    if (::getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found) != 0) {
        errno = EADDRNOTAVAIL;
        return -1;
    }
    for (addrinfo* at = found; at != nullptr && listening < 0; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            continue;
        }
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // What a client may have sent and the view not yet read is kept to
        // a few heads' worth, whatever the system would let it grow to: a
        // flood of header lines holds that much of the kernel's memory
        // until the gate refuses it, not megabytes.
        const int received = RECEIVE_BUFFER;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &received, sizeof received);
        if (::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
            listening = fd;
            loopback = isLoopbackAddress(at->ai_addr);
        } else {
            const int error = errno;
            ::close(fd);
            errno = error;
        }
    }
    ::freeaddrinfo(found);
    if (listening < 0) {
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(listening, reinterpret_cast<sockaddr*>(&bound), &size);
    options.port = ntohs(bound.ss_family == AF_INET6
                             ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return options.port;
}

bool WebServer::serve()
{
    const bool tls = !options.tlsCertificate.empty();
    // The gate takes the connections, and hands the library each one
    // whose request has come.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL |
                     MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC;
    if (tls) {
        flags |= MHD_USE_TLS;
    }
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, answerRequest, this,
        MHD_OPTION_THREAD_POOL_SIZE, THREADS,
        MHD_OPTION_CONNECTION_LIMIT, CONNECTIONS,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, CONNECTIONS_PER_ADDRESS,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY,
        MHD_OPTION_CONNECTION_TIMEOUT, IDLE_SECONDS,
        MHD_OPTION_UNESCAPE_CALLBACK, keptAsSent, nullptr,
        MHD_OPTION_URI_LOG_CALLBACK, targetSeen, this,
        MHD_OPTION_NOTIFY_COMPLETED, requestCompleted, this,
        MHD_OPTION_NOTIFY_CONNECTION, connectionNotice, this,
        tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, options.tlsCertificate.c_str(),
        MHD_OPTION_HTTPS_MEM_KEY, options.tlsKey.c_str(),
        MHD_OPTION_END);
    if (daemon == nullptr) {
        return false;
    }
    Gate::Limits limits;
    limits.line = LINE_LIMIT;
    limits.head = HEAD_LIMIT;
    limits.deadlineMs = REQUEST_DEADLINE_MS;
    limits.perAddress = CONNECTIONS_PER_ADDRESS;
    // Those waiting and those answered together within the descriptors a
    // process is usually given, 1024.
    limits.waiting = CONNECTIONS / 2;
    Gate gate(listening, tls, limits,
              [daemon](int socket, const sockaddr* address, socklen_t size) {
                  // The library closes the socket when it cannot take it.
                  MHD_add_connection(daemon, socket, address, size);
              },
              gateAnswer);
    bool gateOpened = true;
    std::thread door([this, &gate, &gateOpened] {
        gateOpened = gate.run();
        if (!gateOpened) {
            stop();
        }
    });
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        stopped.wait_for(guard, std::chrono::milliseconds(200));
        cutLateClients();
        guard.unlock();
        pool.closeIdle(std::chrono::seconds(IDLE_READER_SECONDS),
                       std::chrono::seconds(LAST_READER_SECONDS));
        guard.lock();
    }
    guard.unlock();
    gate.stop();
    door.join();
    MHD_stop_daemon(daemon);
    return gateOpened;
}

void WebServer::stop()
{
    const std::lock_guard<std::mutex> guard(lock);
    stopping = true;
    stopped.notify_all();
}
