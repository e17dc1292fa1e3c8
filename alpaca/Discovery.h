// Alpaca discovery: answers a client's UDP "alpacadiscovery1" (broadcast on
// IPv4, multicast to ff12::a1:9aca on IPv6) with {"AlpacaPort": N}, the
// port of our HTTP server, and only on the interfaces that server serves.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class DiscoveryResponder {
public:
    static constexpr int kDefaultPort = 32227;

    // listenAddress is the address the HTTP server serves: "127.0.0.1" (the
    // default: answers every request from this machine, whatever it was
    // sent to, and none from another), "::1" (the same, the group too),
    // "0.0.0.0" (every IPv4 interface), "::" (every interface), or one
    // interface's own address ("fe80::1%eth0" for a link-local one).
    // discoveryPort 0 takes a free port, for tests: port() tells which.
    DiscoveryResponder(int discoveryPort, int alpacaPort, std::string listenAddress);
    ~DiscoveryResponder(); // stops
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Binds the sockets, sharing the port (several servers on one machine
    // all hear a broadcast), and answers on a thread of its own. False with
    // a one-line reason, holding nothing, for a bad port or address or a
    // socket that cannot be bound ("discovery port 32227 on 127.0.0.1:
    // Address already in use"); IPv6 the machine lacks is left out. True at
    // once when already running.
    bool start(std::string& error);
    // Returns within a tenth of a second (the loop's wait), joins the
    // thread, closes the sockets; safe to call twice. start() and stop()
    // belong to one thread.
    void stop();

    // Requests answered over this object's life (any thread may ask).
    unsigned long answered() const { return answeredCount.load(); }
    // While running, the bound port and where it answers, for the log
    // ("127.0.0.1:32227 (requests from this machine)"); 0 and "" stopped.
    int port() const { return boundPort; }
    std::string endpoints() const { return description; }

private:
    struct Running; // the open sockets, the reply, and the stop request
    void serve();

    const int requestedPort;
    const int httpPort;
    const std::string servedAddress;
    std::unique_ptr<Running> running;
    std::thread thread;
    std::atomic<unsigned long> answeredCount{0};
    int boundPort = 0;
    std::string description;
};
