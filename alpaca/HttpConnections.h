// The server's connections, on top of cpp-httplib: a fixed number served at
// once, those beyond answered 503 at once, and each request given a total
// time for its head and body to arrive, so that neither many clients nor one
// slow one can take every serving thread. The socket calls live in
// HttpConnections.cpp.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The queue the library hands every accepted connection to. Up to `cap`
// connections are served at once, each on a serving thread of its own; one
// beyond them waits for one of `refusingThreads`, which answers it 503; when
// `refusalsWaiting` already wait, it is closed at once on the accepting
// thread. So threads and memory stay bounded however many connect.
class ConnectionPool : public httplib::TaskQueue {
public:
    ConnectionPool(std::size_t cap, std::size_t refusingThreads, std::size_t refusalsWaiting);
    ~ConnectionPool() override; // shuts down
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    void enqueue(std::function<void()> connection) override;
    // Ends every thread once the connections already handed over are done;
    // safe to call twice.
    void shutdown() override;

private:
    // The next connection of queue, waiting for one; empty once stopping
    // with the queue done.
    std::function<void()> next(std::deque<std::function<void()>>& queue, std::condition_variable& wake);
    void serveConnections();
    void refuseConnections();

    const std::size_t cap;
    const std::size_t refusalsWaitingAtMost;
    std::mutex mutex;
    std::condition_variable servingWake;
    std::condition_variable refusingWake;
    std::deque<std::function<void()>> toServe;
    std::deque<std::function<void()>> toRefuse;
    // Connections being served or waiting for a serving thread.
    std::size_t admitted = 0;
    bool stopping = false;
    std::vector<std::thread> threads;
};

// httplib's server, with its connections in a ConnectionPool and served by
// its own keep-alive loop: a request's head and body must arrive within
// `requestArrival` of its first byte, or the connection is closed without an
// answer. The handler's time and the writing of the answer do not count.
class LimitedHttpServer : public httplib::Server {
public:
    LimitedHttpServer(std::size_t connectionsAtOnce, std::chrono::seconds requestArrival);

private:
    bool process_and_close_socket(socket_t sock) override;
    bool serve(socket_t sock);
    void refuse(socket_t sock);
    void awaitRequestHead(socket_t sock) const;
    bool stopped() const { return svr_sock_ == INVALID_SOCKET; }

    const std::chrono::seconds requestArrival;
    // The whole 503, head and body, as it goes out.
    const std::string refusal;
};
