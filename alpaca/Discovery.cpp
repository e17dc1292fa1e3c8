// The discovery responder, one loop on every system: opens the sockets
// DiscoveryPlan says the listen address needs, and on a thread of its own
// receives, decides and answers "alpacadiscovery1".
#include "Discovery.h"
#include "DiscoverySockets.h"

#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

using discovery::IpAddress;
using discovery::PlannedEndpoint;
using discovery::sockets::ControlHeader;
using discovery::sockets::Message;
using discovery::sockets::Socket;
namespace sockets = discovery::sockets;

namespace {

// The loop looks this often whether stop() wants it to end.
constexpr int kWaitMilliseconds = 100;
// Room for whichever packet-info message a socket gets.
constexpr std::size_t kControlSize
    = DISCOVERY_CMSG(SPACE)(sizeof(in6_pktinfo)) + DISCOVERY_CMSG(SPACE)(sizeof(in_pktinfo));

bool isPort(int value) { return value >= 0 && value <= 65535; }

// A numeric address ("192.0.2.1", "fe80::1%eth0") and a port as a socket
// address: its length, 0 (`into` untouched) when the text is no numeric
// address.
socklen_t socketAddress(const std::string& address, int port, sockaddr_storage& into)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (address.empty() || ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return 0;
    const auto length = socklen_t(found->ai_addrlen);
    std::memcpy(&into, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    return length;
}

std::string addressText(const IpAddress& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    return ::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text) ? text : "?";
}

int portOf(const sockaddr_storage& address)
{
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                                              : reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

bool turnOn(Socket socket, int level, int name)
{
    const int on = 1;
    return ::setsockopt(socket, level, name, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// A socket of the plan bound to `port` (0: a free one), sharing it (every
// server on the port hears a broadcast), IPv6 kept apart from IPv4 (bound
// on its own), reading each datagram's packet info where the plan needs
// it. kClosed with the system's error code.
Socket openEndpoint(const PlannedEndpoint& endpoint, int port, int& failure)
{
    const bool v6 = endpoint.v6();
    const Socket socket = sockets::open(v6);
    sockaddr_storage address{};
    const socklen_t length = socketAddress(addressText(endpoint.bind), port, address);
    if (socket != sockets::kClosed && turnOn(socket, SOL_SOCKET, SO_REUSEADDR)
        && (!endpoint.broadcast || turnOn(socket, SOL_SOCKET, SO_BROADCAST))
        && (!v6 || turnOn(socket, IPPROTO_IPV6, IPV6_V6ONLY))
        && (!endpoint.repliesFromOwn()
            || turnOn(socket, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? sockets::kIpv6ReadPacketInfo : IP_PKTINFO))
        && ::bind(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0)
        return socket;
    failure = sockets::lastError();
    if (socket != sockets::kClosed)
        sockets::close(socket);
    return sockets::kClosed;
}

// Joins the IPv6 discovery group where it can (an interface without IPv6
// refuses, and the others still hear it): the names of those joined.
std::string joinGroup(Socket socket, const std::vector<discovery::InterfaceAddress>& interfaces)
{
    std::string joined;
    ipv6_mreq group{};
    std::memcpy(&group.ipv6mr_multiaddr, IpAddress::group().bytes.data(), sizeof group.ipv6mr_multiaddr);
    for (const discovery::InterfaceAddress& interface : interfaces) {
        group.ipv6mr_interface = interface.index;
        if (::setsockopt(socket, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&group),
                         sizeof group) == 0)
            joined += (joined.empty() ? "" : ", ") + interface.name;
    }
    return joined;
}

// Opens the planned sockets on `port`, which with 0 the first takes a free
// one and the others follow, and joins their groups: `opened` tells what
// each of `watched` answers for, and `where` where they answer, for the
// log: "127.0.0.1:32227 (requests from this machine)", "[::]:32227
// (ff12::a1:9aca on eth0, wlan0)".
bool openAll(const std::vector<PlannedEndpoint>& plan, int& port, std::vector<PlannedEndpoint>& opened,
             std::vector<pollfd>& watched, std::string& where, std::string& error)
{
    for (const PlannedEndpoint& each : plan) {
        int failure = 0;
        const Socket socket = openEndpoint(each, port, failure);
        if (socket == sockets::kClosed && each.optional && sockets::isMissingIpv6(failure))
            continue;
        const std::string address = addressText(each.answersFor());
        if (socket == sockets::kClosed) {
            error = "discovery port " + std::to_string(port) + " on " + address + ": " + sockets::errorText(failure);
            return false;
        }
        opened.push_back(each);
        watched.push_back({socket, POLLIN, 0});
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (port == 0 && ::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
            port = portOf(bound);
        const std::string joined = joinGroup(socket, each.groupInterfaces);
        std::string notes = each.thisMachineOnly ? "requests from this machine" : "";
        if (!joined.empty())
            notes += (notes.empty() ? "" : "; ") + std::string("ff12::a1:9aca on ") + joined;
        where += (where.empty() ? "" : ", ") + (each.v6() ? "[" + address + "]" : address) + ":" + std::to_string(port)
            + (notes.empty() ? "" : " (" + notes + ")");
    }
    return true;
}

// Where a datagram was sent, and on which interface, from its packet info.
void readPacketInfo(Message& message, discovery::Datagram& into)
{
    for (ControlHeader* info = DISCOVERY_CMSG(FIRSTHDR)(&message.header); info && !(message.flags() & MSG_CTRUNC);
         info = DISCOVERY_CMSG(NXTHDR)(&message.header, info)) {
        const unsigned char* data = DISCOVERY_CMSG(DATA)(info);
        const std::size_t length = info->cmsg_len - DISCOVERY_CMSG(LEN)(0);
        if (info->cmsg_level == IPPROTO_IP && info->cmsg_type == IP_PKTINFO && length >= sizeof(in_pktinfo)) {
            in_pktinfo packet{};
            std::memcpy(&packet, data, sizeof packet);
            into.to = IpAddress::ipv4(&packet.ipi_addr);
            into.interfaceIndex = unsigned(packet.ipi_ifindex);
        } else if (info->cmsg_level == IPPROTO_IPV6 && info->cmsg_type == IPV6_PKTINFO
                   && length >= sizeof(in6_pktinfo)) {
            in6_pktinfo packet{};
            std::memcpy(&packet, data, sizeof packet);
            into.to = IpAddress::ipv6(&packet.ipi6_addr);
            into.interfaceIndex = unsigned(packet.ipi6_ifindex);
        }
    }
}

// Writes a control message where the first one goes, at the start of
// `control`: the room it takes.
template <class Data>
std::size_t writeControl(char* control, int level, int type, const Data& data)
{
    auto* info = reinterpret_cast<ControlHeader*>(control);
    info->cmsg_level = level;
    info->cmsg_type = type;
    info->cmsg_len = DISCOVERY_CMSG(LEN)(sizeof data);
    std::memcpy(DISCOVERY_CMSG(DATA)(info), &data, sizeof data);
    return DISCOVERY_CMSG(SPACE)(sizeof data);
}

// Sends without blocking (a full send buffer costs this reply), from
// `source` when given: its packet info names the address the route is
// chosen from (a link-local one on its scope's interface).
bool sendReply(Socket socket, const std::string& reply, sockaddr_storage& to, socklen_t toLength,
               const std::optional<IpAddress>& source)
{
    alignas(ControlHeader) char control[kControlSize] = {};
    std::size_t controlLength = 0;
    if (source && !source->v6) {
        in_pktinfo packet{};
        std::memcpy(&sockets::replySource(packet), source->bytes.data(), sizeof(in_addr));
        controlLength = writeControl(control, IPPROTO_IP, IP_PKTINFO, packet);
    } else if (source) {
        in6_pktinfo packet{};
        std::memcpy(&packet.ipi6_addr, source->bytes.data(), sizeof packet.ipi6_addr);
        packet.ipi6_ifindex = source->scope;
        controlLength = writeControl(control, IPPROTO_IPV6, IPV6_PKTINFO, packet);
    }
    Message message(const_cast<char*>(reply.data()), reply.size(), to, toLength, control, controlLength);
    return sockets::sendMessage(socket, message) == long(reply.size());
}

// Takes one datagram waiting on the socket and answers it when the
// endpoint answers it: whether it did. One a turn, so that each socket has
// its turn whatever comes to the others. One too long for a request is
// dropped, as is a report of a reply that went nowhere.
bool answerOne(const PlannedEndpoint& plan, Socket socket, const std::string& reply)
{
    discovery::Datagram datagram;
    sockaddr_storage from{};
    alignas(ControlHeader) char control[kControlSize];
    Message message(datagram.bytes, sizeof datagram.bytes, from, sizeof from, control, sizeof control);
    const long got = sockets::receiveMessage(socket, message);
    if (got < 0 || (message.flags() & MSG_TRUNC))
        return false;
    const std::optional<IpAddress> source = sockets::ipAddressOf(reinterpret_cast<const sockaddr*>(&from));
    if (!source || message.peerLength() < socklen_t(source->v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in)))
        return false;
    datagram.length = std::size_t(got);
    datagram.source = *source;
    datagram.sourcePort = portOf(from);
    readPacketInfo(message, datagram);
    if (!discovery::answers(plan, datagram, sockets::interfaceAddresses))
        return false;
    const bool fromOwn = discovery::repliesFromOwnTo(plan, datagram.source);
    return sendReply(socket, reply, from, message.peerLength(), fromOwn ? std::optional(plan.own) : std::nullopt);
}

} // namespace

std::optional<IpAddress> sockets::ipAddressOf(const sockaddr* address)
{
    if (address && address->sa_family == AF_INET)
        return IpAddress::ipv4(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    if (!address || address->sa_family != AF_INET6)
        return std::nullopt;
    const auto* address6 = reinterpret_cast<const sockaddr_in6*>(address);
    return IpAddress::ipv6(&address6->sin6_addr, address6->sin6_scope_id);
}

struct DiscoveryResponder::Running {
    std::vector<PlannedEndpoint> plan; // what each of `watched` answers for
    std::vector<pollfd> watched;
    std::string reply;
    std::atomic<bool> stopping{false};

    ~Running()
    {
        for (const pollfd& each : watched)
            sockets::close(each.fd);
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
    if (!isPort(requestedPort) || !isPort(httpPort) || httpPort == 0) {
        error = isPort(requestedPort) ? "discovery: HTTP port " + std::to_string(httpPort) + " is not a port number"
                                      : "discovery port " + std::to_string(requestedPort) + " is not a port number";
        return false;
    }
    auto opened = std::make_unique<Running>();
    opened->reply = "{\"AlpacaPort\": " + std::to_string(httpPort) + "}";
    std::vector<PlannedEndpoint> plan;
    int port = requestedPort;
    std::string where;
    sockaddr_storage listen{}; // of no family, read as no address, when not numeric
    socketAddress(discovery::unbracketed(servedAddress), 0, listen);
    const auto parsed = sockets::ipAddressOf(reinterpret_cast<const sockaddr*>(&listen));
    if (!discovery::planEndpoints(servedAddress, parsed, sockets::interfaceAddresses, plan, error)
        || !openAll(plan, port, opened->plan, opened->watched, where, error))
        return false;
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
        thread.join();
    }
    running.reset();
    boundPort = 0;
    description.clear();
}

void DiscoveryResponder::serve()
{
    std::vector<pollfd>& watched = running->watched;
    while (!running->stopping) {
        const int ready = sockets::wait(watched, kWaitMilliseconds);
        // Out of memory for the wait, say: try again after a wait's time.
        if (ready < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitMilliseconds));
        for (std::size_t index = 0; ready > 0 && index < watched.size(); ++index)
            if (watched[index].revents != 0 && answerOne(running->plan[index], watched[index].fd, running->reply))
                ++answeredCount;
    }
}
