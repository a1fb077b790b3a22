// The view's door: a connection waits here, holding nothing of the HTTP
// library's, until the head of its request has come whole.
#ifndef WAREHOUSE_WEB_GATE_HH
#define WAREHOUSE_WEB_GATE_HH

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

/// Takes the connections of a listening socket and looks at what each has
/// sent, without reading it, until its request's head is whole: only then
/// is it passed on. A head that is too long or not HTTP is answered here,
/// with the answer given for it; a connection that sends nothing in time is
/// closed, and one address or all of them together past their share lose
/// their oldest waiting connection rather than refuse a new one, so that
/// silent connections cannot keep a browser out. Over TLS the bytes cannot
/// be read here: a connection is passed on when its first ones come.
class Gate {
public:
    struct Limits {
        std::size_t line = 0;  // the request line, its end of line too
        std::size_t head = 0;  // the request line and its header lines
        long long deadlineMs = 0;
        std::size_t perAddress = 0;
        std::size_t waiting = 0;
    };
    /// Why a request is answered at the gate: its status, and the page's.
    enum class Fault { LineTooLong, HeadTooLong, Malformed, Version };
    using Pass = std::function<void(int socket, const sockaddr* address, socklen_t size)>;
    using Answer = std::function<std::string(Fault)>;  // the whole answer, head and body

    Gate(int listening, bool encrypted, Limits limits, Pass pass, Answer answer);
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    /// Serves the door until stop(); false when it could not start.
    bool run();
    void stop() { stopping = true; }

    enum class Verdict { Wait, Pass, Refuse };
    /// What the bytes a connection has sent so far call for; fault is set
    /// for Refuse. Public for the tests.
    static Verdict judge(std::string_view sent, const Limits& limits, Fault& fault);

private:
    struct Waiting {
        sockaddr_storage address{};
        socklen_t size = 0;
        std::string from;  // the address's bytes, for its share
        long long since = 0;
    };
    void admit(int socket, const sockaddr_storage& address, socklen_t size);
    void look(int socket);
    void drop(int socket);
    void refuse(int socket, Fault fault);
    void cutLate();

    int listening;
    bool encrypted;
    Limits limits;
    Pass pass;
    Answer answer;
    int events = -1;
    std::map<int, Waiting> waiting;
    std::atomic<bool> stopping{false};
    std::string peeked;  // room for what a connection has sent
};

#endif
