// Alpaca discovery: answers a client's UDP "alpacadiscovery1" (broadcast on
// IPv4, multicast to ff12::a1:9aca on IPv6) with {"AlpacaPort": N}, the
// port of our HTTP server, and only on the interfaces that server serves.
// One loop on every system (Discovery.cpp), with its rules in DiscoveryPlan
// and the system's socket calls behind DiscoverySockets.h.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class DiscoveryResponder {
public:
    static constexpr int kDefaultPort = 32227;

    // listenAddress is the address the HTTP server serves: "127.0.0.1"
    // (loopback only, the default: answers every request from this machine,
    // broadcast or not, from 127.0.0.1, and none from another), "0.0.0.0"
    // (every IPv4 interface), "::" (every interface), "::1" (as 127.0.0.1,
    // the group too), or one interface's own address (IPv4 or
    // IPv6, "fe80::1%eth0" for a link-local one). discoveryPort 0 takes a
    // free port, for tests: port() tells which.
    DiscoveryResponder(int discoveryPort, int alpacaPort, std::string listenAddress);
    ~DiscoveryResponder(); // stops
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Binds the sockets (SO_REUSEADDR: several servers on one machine share
    // the port, and all of them hear a broadcast) and answers on a thread of
    // its own. False with a one-line reason, and nothing held, when a socket
    // it needs cannot be bound (e.g. "discovery port 32227 on 127.0.0.1:
    // Address already in use"), or for a bad port or address. IPv6 that the
    // machine lacks is left out. True at once when already running.
    bool start(std::string& error);
    // Returns promptly (no wait for a datagram), joins the thread, closes the
    // sockets; safe to call twice. start() and stop() belong to one thread.
    void stop();

    // Requests answered over this object's life (any thread may ask).
    unsigned long answered() const { return answeredCount.load(); }
    // While running: the bound discovery port, and where it answers for the
    // log ("127.0.0.1:32227 (requests from this machine)", "0.0.0.0:32227").
    // 0 and "" when stopped.
    int port() const { return boundPort; }
    std::string endpoints() const { return description; }

private:
    struct Running; // the open sockets, the reply, and the wake-up for stop()

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
