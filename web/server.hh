// The owner's view over HTTP: the server, its key, and which page answers
// which address.
#ifndef WAREHOUSE_WEB_SERVER_HH
#define WAREHOUSE_WEB_SERVER_HH

#include "web/reader_pool.hh"

#include <memory>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: any free port
    std::string key;  // what every request must carry; empty: nothing
};

/// Serves the pages over HTTP, several requests side by side, each with a
/// view of the store from the pool. Answers GET and HEAD only; with a key,
/// only a request that carries it, in the query (?key=) or in the cookie
/// that such a request sets.
class WebServer {
public:
    WebServer(ReaderPool& pool, ServerOptions options);
    ~WebServer();

    /// Binds the address: the port it got, or -1 when it could not.
    int bind();
    /// Serves until stop() is called; false when it could not.
    bool serve();
    /// Ends serve(), from any thread.
    void stop();

private:
    void answer(const httplib::Request& request, httplib::Response& response);
    /// False when the request is refused before any page reads the store.
    bool admitted(const httplib::Request& request, httplib::Response& response) const;

    ReaderPool& pool;
    const ServerOptions options;
    std::unique_ptr<httplib::Server> server;
};

#endif
