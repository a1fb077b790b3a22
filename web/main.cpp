// The warehouse-web program: reads the command line, checks the store,
// makes the key when one is needed, and serves the owner's view until it is
// stopped.
#include "store/store_name.hh"
#include "util/command_line.hh"
#include "web/pages.hh"
#include "web/reader_pool.hh"
#include "web/server.hh"
#include "web/startup.hh"
#include "web/store_reader.hh"

#include <arpa/inet.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr std::string_view USAGE =
    R"(Usage: {} --store FILE [--listen ADDRESS:PORT] [--key-file FILE]
          [--tls-cert FILE --tls-key FILE]
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
                           the owner's key, which the program prints
  --key-file FILE          where the key is kept between runs, made the first
                           time, for its owner alone
                           ($XDG_STATE_HOME/warehouse/web-key without it, or
                           ~/.local/state/warehouse/web-key)
  --tls-cert FILE --tls-key FILE
                           serves HTTPS with this certificate and its private
                           key (PEM files)

The program reads the stock's worth and what to order, prints the address
to open once it listens, and serves until it gets SIGINT or SIGTERM.

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

struct CommandLine {
    std::string store;
    ServerOptions server;
    std::string keyFile;
    std::string tlsCertificate;  // the files' names
    std::string tlsKey;
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
        const std::pair<std::string_view, std::string*> files[] = {
            {"--key-file", &line.keyFile},
            {"--tls-cert", &line.tlsCertificate},
            {"--tls-key", &line.tlsKey},
        };
        bool taken = false;
        for (const auto& [name, value] : files) {
            if (option == name) {
                if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                    return usageError("option '" + std::string(option) + "' needs a file name");
                }
                *value = argv[++i];
                taken = true;
            }
        }
        if (taken) {
            continue;
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
    if (line.tlsCertificate.empty() != line.tlsKey.empty()) {
        return usageError("options '--tls-cert' and '--tls-key' go together");
    }
    return -1;
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
    std::optional<ReaderPool::Lease> first;
    try {  // the store must be readable before anyone is told to look
        first.emplace(pool.lend());
    } catch (const StoreError& error) {
        report("store " + storeName(line.store),
               withoutPasswords(error.what(), line.store));
        return 1;
    }
    // The first page's figures and what to order are read once now, a
    // pass over the stock and the catalogue, and kept: the owner's first
    // look finds them, as every later one does. A read that fails here is
    // left to the first request to report.
    try {
        (*first)->begin();
        stockPage(**first, {});
        reorderPage(**first, {});
    } catch (const StoreError&) {
        first->failed();
    }
    first.reset();
    if (!isLoopback(line.server.host)) {
        const std::string file = line.keyFile.empty() ? defaultKeyFile() : line.keyFile;
        std::string why = "no HOME to keep it in: give --key-file";
        line.server.key = file.empty() ? std::string() : ownerKey(file, why);
        if (line.server.key.empty()) {
            report("key file " + file, why);
            return 1;
        }
    }
    for (const auto& [name, text] : {std::pair(&line.tlsCertificate, &line.server.tlsCertificate),
                                     std::pair(&line.tlsKey, &line.server.tlsKey)}) {
        std::string why;
        if (!name->empty() && !readWhole(*name, *text, why)) {
            report("cannot read " + *name, why);
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
    // Each address another machine can open, not the wildcard it listens on.
    const char* scheme = line.server.tlsKey.empty() ? "http://" : "https://";
    std::string lead = "Serving " + storeName(line.store) + " at ";
    for (const std::string& address : addressesToOpen(line.server.host)) {
        const bool v6 = address.find(':') != std::string::npos;
        std::cout << lead << scheme << (v6 ? "[" : "") << address << (v6 ? "]" : "")
                  << ':' << port << '/'
                  << (line.server.key.empty() ? "" : "?key=" + line.server.key) << '\n';
        lead = "        and at ";
    }
    std::cout << std::flush;
    const bool served = server.serve();
    if (!served) {
        report("cannot serve", std::strerror(errno));
        kill(getpid(), SIGTERM);  // lets the stopper thread end
    }
    stopper.join();
    return served ? 0 : 1;
}
