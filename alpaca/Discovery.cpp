// The discovery responder, one loop on every system: opens what
// DiscoveryPlan says the listen address needs, and on a thread of its own
// receives, decides and answers "alpacadiscovery1", through the socket
// calls of DiscoverySockets.h.
#include "Discovery.h"
#include "DiscoveryPlan.h"
#include "DiscoverySockets.h"

#include <cstddef>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

using discovery::IpAddress;
using discovery::PlannedEndpoint;
namespace sockets = discovery::sockets;

namespace {

bool isPort(int value) { return value >= 0 && value <= 65535; }

// "" when both ports are usable, else the one-line reason.
std::string settingsError(int discoveryPort, int alpacaPort)
{
    if (!isPort(discoveryPort))
        return "discovery port " + std::to_string(discoveryPort) + " is not a port number";
    if (!isPort(alpacaPort) || alpacaPort == 0)
        return "discovery: HTTP port " + std::to_string(alpacaPort) + " is not a port number";
    return "";
}

// Where an endpoint answers, for the log: "127.0.0.1:32227 (requests from
// this machine)", "[::]:32227 (ff12::a1:9aca on eth0, wlan0)".
std::string endpointLabel(const PlannedEndpoint& endpoint, int port, const std::string& joinedInterfaces)
{
    const std::string address = sockets::addressText(endpoint.answersFor());
    std::string label = (endpoint.v6() ? "[" + address + "]" : address) + ":" + std::to_string(port);
    std::string notes = endpoint.thisMachineOnly ? "requests from this machine" : "";
    if (!joinedInterfaces.empty())
        notes += (notes.empty() ? "" : "; ") + std::string("ff12::a1:9aca on ") + joinedInterfaces;
    return notes.empty() ? label : label + " (" + notes + ")";
}

// An opened socket and what it was planned for.
struct Endpoint {
    PlannedEndpoint plan;
    sockets::Handle handle = sockets::kClosed;
};

// Opens the planned sockets on `port`, which with 0 the first takes a free
// one and the others follow; joins their groups, and tells where they answer.
bool openAll(std::vector<PlannedEndpoint>& plan, int& port, std::vector<Endpoint>& opened, std::string& where,
             std::string& error)
{
    for (PlannedEndpoint& each : plan) {
        int failure = 0;
        const sockets::Handle handle = sockets::open(each, port, failure);
        if (handle == sockets::kClosed && each.optional && sockets::isMissingIpv6(failure))
            continue;
        if (handle == sockets::kClosed) {
            error = "discovery port " + std::to_string(port) + " on " + sockets::addressText(each.answersFor()) + ": "
                + sockets::errorText(failure);
            return false;
        }
        opened.push_back({std::move(each), handle});
        const PlannedEndpoint& endpoint = opened.back().plan;
        if (port == 0)
            port = sockets::boundPort(handle);
        const std::string joined
            = endpoint.groupInterfaces.empty() ? "" : sockets::joinGroup(handle, endpoint.groupInterfaces);
        where += (where.empty() ? "" : ", ") + endpointLabel(endpoint, port, joined);
    }
    return true;
}

// For a socket answering this machine only, over one batch: the interfaces
// are listed at the first datagram that needs them (a loopback source does
// not), and that list serves the rest of the batch.
class LocalSources {
public:
    bool holds(const IpAddress& source)
    {
        if (source.isLoopback())
            return true;
        if (!listed)
            interfaces = sockets::interfaceAddresses();
        listed = true;
        return discovery::isLocalSource(source, interfaces);
    }

private:
    std::vector<discovery::InterfaceAddress> interfaces;
    bool listed = false;
};

bool deservesAnswer(const PlannedEndpoint& plan, const sockets::Datagram& datagram, LocalSources& local)
{
    if (!discovery::isDiscoveryRequest(datagram.bytes, datagram.length)
        || !discovery::isReplyableSource(datagram.source, datagram.sourcePort))
        return false;
    if (plan.oneAddress && !(datagram.to && discovery::isAddressedTo(plan, *datagram.to, datagram.interfaceIndex)))
        return false;
    return !plan.thisMachineOnly || local.holds(datagram.source);
}

// The address the reply names as its source, when it names one.
std::optional<IpAddress> replySource(const PlannedEndpoint& plan, const IpAddress& client)
{
    if (!discovery::repliesFromOwnTo(plan, client))
        return std::nullopt;
    IpAddress source = plan.own;
    source.scope = plan.own.isLinkLocal() ? plan.ownInterface : 0;
    return source;
}

// Reads what is waiting on one socket (a batch at most) and answers the
// requests among it; the count of replies sent.
unsigned long answerWaiting(const Endpoint& endpoint, const std::string& reply)
{
    unsigned long answered = 0;
    LocalSources local;
    for (int taken = 0; taken < discovery::kBatch; ++taken) {
        sockets::Datagram datagram;
        const sockets::Received received = sockets::receive(endpoint.handle, endpoint.plan.oneAddress, datagram);
        if (received == sockets::Received::drained)
            break;
        if (received != sockets::Received::datagram || !deservesAnswer(endpoint.plan, datagram, local))
            continue;
        if (sockets::send(endpoint.handle, reply, datagram.source, datagram.sourcePort,
                          replySource(endpoint.plan, datagram.source)))
            ++answered;
    }
    return answered;
}

} // namespace

struct DiscoveryResponder::Running {
    bool systemStarted = false;
    std::vector<Endpoint> endpoints;
    std::string reply;
    sockets::WakeUp wakeUp;
    // Set before the wake-up is signalled: a stray wake-up stops nothing.
    std::atomic<bool> stopping{false};

    Running() = default;
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running()
    {
        for (const Endpoint& endpoint : endpoints)
            sockets::close(endpoint.handle);
        sockets::close(wakeUp);
        if (systemStarted)
            sockets::cleanUp();
    }
};

DiscoveryResponder::DiscoveryResponder(int discoveryPort, int alpacaPort, std::string listenAddress)
    : requestedPort(discoveryPort), httpPort(alpacaPort), servedAddress(std::move(listenAddress))
{
}

DiscoveryResponder::~DiscoveryResponder() { stop(); }

bool DiscoveryResponder::start(std::string& error)
{
    if (thread.joinable())
        return true;
    const std::string badSettings = settingsError(requestedPort, httpPort);
    if (!badSettings.empty()) {
        error = badSettings;
        return false;
    }
    auto opened = std::make_unique<Running>();
    opened->systemStarted = sockets::startUp(error);
    if (!opened->systemStarted)
        return false;
    opened->reply = "{\"AlpacaPort\": " + std::to_string(httpPort) + "}";
    std::vector<PlannedEndpoint> plan;
    if (!discovery::planEndpoints(servedAddress, sockets::parseNumeric(discovery::unbracketed(servedAddress)),
                                  sockets::interfaceAddresses, plan, error))
        return false;

    int port = requestedPort;
    std::string where;
    if (!openAll(plan, port, opened->endpoints, where, error))
        return false;

    int failure = 0;
    opened->wakeUp = sockets::makeWakeUp(failure);
    if (opened->wakeUp.watched == sockets::kClosed) {
        error = "discovery: cannot make the stop signal: " + sockets::errorText(failure);
        return false;
    }

    running = std::move(opened);
    try {
        thread = std::thread(&DiscoveryResponder::serve, this);
    } catch (const std::system_error& failed) {
        running.reset();
        error = std::string("discovery: cannot start its thread: ") + failed.what();
        return false;
    }
    boundPort = port;
    description = where;
    return true;
}

void DiscoveryResponder::stop()
{
    if (thread.joinable()) {
        running->stopping = true;
        sockets::signal(running->wakeUp);
        thread.join();
    }
    running.reset();
    boundPort = 0;
    description.clear();
}

void DiscoveryResponder::serve()
{
    std::vector<sockets::Handle> watched;
    for (const Endpoint& endpoint : running->endpoints)
        watched.push_back(endpoint.handle);
    std::vector<bool> ready;
    while (!running->stopping) {
        sockets::wait(watched, running->wakeUp, ready);
        for (std::size_t index = 0; index < watched.size(); ++index)
            if (ready[index])
                answeredCount += answerWaiting(running->endpoints[index], running->reply);
    }
}
