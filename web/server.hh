// The owner's view over HTTP: the server, its key, and which page answers
// which address.
#ifndef WAREHOUSE_WEB_SERVER_HH
#define WAREHOUSE_WEB_SERVER_HH

#include "web/reader_pool.hh"

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

struct MHD_Connection;
struct MHD_Daemon;

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: any free port
    std::string key;  // what every request must carry; empty: nothing
    // HTTPS with these, in PEM; both empty: plain HTTP.
    std::string tlsCertificate;
    std::string tlsKey;
};

/// Serves the pages over HTTP, several requests side by side, each with a
/// view of the store from the pool. Answers GET and HEAD only; with a key,
/// only a request that carries it, in the query (?key=) or in the cookie
/// that such a request sets. What a client sends before its request is
/// whole costs the view little: it waits at the gate (gate.hh), which
/// caps a request's head, cuts off a client that has not sent it in time,
/// and holds only a few silent connections of each address; each answer
/// ends its connection, so that every request passes the gate.
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

    /// The name of the cookie that carries the key on this port.
    std::string keyCookie() const;

    // Called by the HTTP library; not for other callers.
    int answer(MHD_Connection* connection, const char* url, const char* method);
    void connectionOpened(MHD_Connection* connection);
    void requestBegun(MHD_Connection* connection, std::size_t target);
    void requestDone(MHD_Connection* connection);
    void connectionClosed(MHD_Connection* connection);

private:
    /// Cuts off each connection whose request has taken too long to come.
    void cutLateClients();

    ReaderPool& pool;
    ServerOptions options;
    int listening = -1;  // the socket bind() made
    bool loopback = false;

    // A connection's request is read by a deadline: since it opened, or
    // since its last answer was sent.
    struct Waiting {
        int socket = -1;
        long long since = 0;  // milliseconds, steady clock
        bool answering = false;
        std::size_t target = 0;  // the request target's bytes
    };
    std::mutex lock;  // guards waiting and stopping
    std::map<MHD_Connection*, Waiting> waiting;
    std::condition_variable stopped;
    bool stopping = false;
};

#endif
