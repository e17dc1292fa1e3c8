// The HTTP side of the server, on cpp-httplib: bounded threads, bodies and
// time-outs, every request handed to the router as it came.
#pragma once

#include "AlpacaRouter.h"

#include <atomic>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

class AlpacaHttpServer {
public:
    explicit AlpacaHttpServer(AlpacaRouter& router);
    ~AlpacaHttpServer();

    // Binds address:port (port 0 takes a free one). False with the reason
    // ("127.0.0.1:11111: Address already in use").
    bool bind(const std::string& address, int port, std::string& error);
    int port() const { return boundPort; }
    // Serves until stop(); returns false when serving failed.
    bool run();
    // Ends run(); asked before run() has begun serving it does nothing, and
    // the caller asks again.
    void stop();

private:
    AlpacaRouter& router;
    std::unique_ptr<httplib::Server> server;
    int boundPort = 0;
    std::atomic<bool> stopAsked{false};
    // The listening socket (an int or a SOCKET), for a backlog longer than
    // the library's own.
    long long listeningSocket = -1;
    void relisten();
};

// Limits that keep one client from holding the server.
constexpr std::size_t kLargestRequestBody = 64 * 1024;
// Above the clients expected at once: a kept connection holds a thread
// while it lasts, so this is also the cap on connections (beyond it, 503).
constexpr int kHttpThreads = 64;
// A request's head and body must arrive within this of its first byte: the
// time-outs count per read, so a byte now and then would hold a thread.
constexpr int kRequestArrivalSeconds = 10;
constexpr int kHttpTimeoutSeconds = 5;
constexpr int kKeepAliveSeconds = 2;
