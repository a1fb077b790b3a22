// The warehouse-web program: reads the command line, checks the store,
// makes the key when one is needed, and serves the owner's view until it is
// stopped.
#include "store/store_name.hh"
#include "util/command_line.hh"
#include "web/reader_pool.hh"
#include "web/server.hh"
#include "web/store_reader.hh"

#include <arpa/inet.h>
#include <sys/random.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr std::string_view USAGE =
    R"(Usage: {} --store FILE [--listen ADDRESS:PORT]
       {} -h | --help | --version

Serves a read-only view of a warehouse store for the shop's owner, as web
pages: the stock, what is low or sold out, a day's deliveries and
withdrawals per product and per clerk, and each product's history, each
table also as CSV. The view never changes the store, and never holds up a
clerk's command.

Options:
  --store FILE             the store, an SQLite file that warehouse keeps
  --store postgresql://... or a PostgreSQL database (a libpq URI); a login
                           granted SELECT on its tables is enough
  --listen ADDRESS:PORT    where to answer (127.0.0.1:8080 without it; port
                           0 takes any free port). On an address other than
                           the machine's own loopback, every request needs
                           the key the program makes and prints at start

The program prints the address to open once it listens, and serves until
it gets SIGINT or SIGTERM.

Environment:
  WAREHOUSE_STORE          the store when --store does not name one

Pages:
  /                        the stock by id, 100 a page (?q=text finds the
                           products whose id, shelf or name holds it;
                           &sort=amount, shelf or name sorts)
  /low?below=N             products with fewer than N units (10 without
                           it), and those sold out
  /day/YYYY-MM-DD          a local day's report (/day: today)
  /product/ID              a product's history and chart
  /stock.csv /low.csv /soldout.csv /day/YYYY-MM-DD.csv /product/ID.csv
                           the tables as CSV files

The manual: man warehouse-web (in a source tree: man -l docs/warehouse-web.1)
)";

// Bytes of randomness in a key: guessing it is out of the question.
constexpr std::size_t KEY_BYTES = 16;

struct CommandLine {
    std::string store;
    ServerOptions server;
};

/// Reads ADDRESS:PORT, the address in brackets when it is IPv6.
bool parseListen(std::string_view text, ServerOptions& server)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    int number = 0;
    for (const char c : port) {
        if (c < '0' || c > '9' || number > 65535) {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    if (port.empty() || number > 65535 || host.empty()) {
        return false;
    }
    server.host = host;
    server.port = number;
    return true;
}

/// True when host is the machine's own loopback, which no other machine
/// can reach.
bool isLoopback(const std::string& host)
{
    in_addr v4{};
    in6_addr v6{};
    if (host == "localhost") {
        return true;
    }
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 &&
           IN6_IS_ADDR_LOOPBACK(&v6);
}

/// Handles the options: the exit status when the program must stop here,
/// or -1 to go on and serve.
int handleArguments(int argc, char** argv, CommandLine& line)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (asksHelpOrVersion(option)) {
            return answerHelpOrVersion(argc, argv, i, [](std::ostream& out) {
                printUsage(out, USAGE);
                out << std::flush;
            });
        }
        if (option == "--store" || option == "--listen") {
            const char* value = i + 1 < argc ? argv[++i] : "";
            if (option == "--store" && value[0] != '\0') {
                line.store = value;
                continue;
            }
            if (option == "--listen" && parseListen(value, line.server)) {
                continue;
            }
            return usageError("option '" + std::string(option) + "' needs " +
                              (option == "--store" ? "a file name or a URI"
                                                   : "ADDRESS:PORT"));
        }
        return usageError(
            (option[0] == '-' ? "unknown option '" : "unexpected argument '") +
            std::string(option) + "'");
    }
    const char* named = std::getenv("WAREHOUSE_STORE");
    if (line.store.empty() && named != nullptr) {
        line.store = named;  // --store wins
    }
    if (line.store.empty()) {
        return usageError("option '--store' is needed, or WAREHOUSE_STORE");
    }
    return -1;
}

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

}  // namespace

int main(int argc, char** argv)
{
    CommandLine line;
    if (const int status = handleArguments(argc, argv, line); status >= 0) {
        return status;
    }
    // A client that goes away mid-file must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    ReaderPool pool(line.store);
    try {  // the store must be readable before anyone is told to look
        pool.lend();
    } catch (const StoreError& error) {
        report("store " + storeName(line.store),
               withoutPasswords(error.what(), line.store));
        return 1;
    }
    if (!isLoopback(line.server.host)) {
        line.server.key = newKey();
        if (line.server.key.empty()) {
            report("cannot make a key", std::strerror(errno));
            return 1;
        }
    }
    WebServer server(pool, line.server);
    const int port = server.bind();
    if (port < 0) {
        report("cannot listen on " + line.server.host + ":" +
                   std::to_string(line.server.port),
               std::strerror(errno));
        return 1;
    }
    // SIGINT and SIGTERM are taken by a thread of their own, which stops
    // the server; the threads that serve never see them.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    std::thread stopper([&stopping, &server] {
        int signal = 0;
        sigwait(&stopping, &signal);
        server.stop();
    });
    const bool v6 = line.server.host.find(':') != std::string::npos;
    std::cout << "Serving " << storeName(line.store) << " at http://"
              << (v6 ? "[" : "") << line.server.host << (v6 ? "]" : "") << ':'
              << port << '/'
              << (line.server.key.empty() ? "" : "?key=" + line.server.key)
              << std::endl;
    const bool served = server.serve();
    if (!served) {
        report("cannot serve", std::strerror(errno));
        kill(getpid(), SIGTERM);  // lets the stopper thread end
    }
    stopper.join();
    return served ? 0 : 1;
}
