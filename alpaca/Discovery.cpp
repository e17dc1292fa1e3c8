// The discovery responder: which sockets the listen address needs, and the
// thread that answers "alpacadiscovery1" on them. What a request is and what
// we answer is shared; the sockets are POSIX here, and a Winsock half would
// go beside them behind _WIN32.
#include "Discovery.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// A request is a few bytes; anything longer is not one, and is dropped
// unread beyond this.
constexpr std::size_t kMaxDatagram = 64;
constexpr char kRequestPrefix[] = "alpacadiscovery";
constexpr std::size_t kPrefixLength = sizeof kRequestPrefix - 1;
constexpr char kSupportedVersion = '1';

// Bytes after the version are let through, for a later client that sends
// more; the bound above still holds.
bool isDiscoveryRequest(const char* bytes, std::size_t length)
{
    return length > kPrefixLength && std::memcmp(bytes, kRequestPrefix, kPrefixLength) == 0
        && bytes[kPrefixLength] == kSupportedVersion;
}

std::string replyFor(int alpacaPort) { return "{\"AlpacaPort\": " + std::to_string(alpacaPort) + "}"; }

bool isPort(int value) { return value >= 0 && value <= 65535; }

} // namespace

DiscoveryResponder::DiscoveryResponder(int discoveryPort, int alpacaPort, std::string listenAddress)
    : requestedPort(discoveryPort), httpPort(alpacaPort), servedAddress(std::move(listenAddress))
{
}

DiscoveryResponder::~DiscoveryResponder() { stop(); }

unsigned long DiscoveryResponder::answered() const { return answeredCount.load(); }

#ifndef _WIN32

namespace {

constexpr char kMulticastGroup[] = "ff12::a1:9aca";
// Datagrams taken from one socket before the others get their turn.
constexpr int kBatch = 16;

// One socket, and for a socket bound to every address on behalf of one
// interface address, what it answers for.
struct Endpoint {
    int family = AF_INET;
    in_addr bind4{};
    in6_addr bind6{};
    // Left out when the machine has no IPv6 (no socket, no ::1).
    bool optional = false;
    bool broadcast = false;
    // Interfaces to join the IPv6 discovery group on.
    std::vector<unsigned> groupInterfaces;

    // One interface's own address: the socket is bound to every address
    // (a broadcast is not addressed to ours), answers only what was sent to
    // that address or broadcast on its interface, and replies from it, so
    // the client reaches the HTTP server where it listens.
    bool oneAddress = false;
    unsigned ownInterface = 0;
    in_addr own4{};
    in_addr ownBroadcast4{};
    bool hasBroadcast4 = false;
    in6_addr own6{};

    int descriptor = -1;
};

in6_addr multicastGroup()
{
    in6_addr group{};
    ::inet_pton(AF_INET6, kMulticastGroup, &group);
    return group;
}

std::string errorText(int code) { return std::system_category().message(code); }

std::string addressText(int family, const void* address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (!::inet_ntop(family, address, text, sizeof text))
        return "?";
    return text;
}

// What the endpoint answers for: its own address, or the one it is bound to.
std::string addressOf(const Endpoint& endpoint)
{
    if (endpoint.family == AF_INET)
        return addressText(AF_INET, endpoint.oneAddress ? &endpoint.own4 : &endpoint.bind4);
    return addressText(AF_INET6, endpoint.oneAddress ? &endpoint.own6 : &endpoint.bind6);
}

std::string endpointText(const Endpoint& endpoint, int port)
{
    const std::string address = addressOf(endpoint);
    return (endpoint.family == AF_INET ? address : "[" + address + "]") + ":" + std::to_string(port);
}

bool isLoopback4(const in_addr& address) { return (ntohl(address.s_addr) >> 24) == 127; }

// The interfaces that take multicast; joining fails on the others.
std::vector<unsigned> multicastInterfaces()
{
    std::vector<unsigned> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!(entry->ifa_flags & IFF_MULTICAST) || !entry->ifa_name)
            continue;
        const unsigned index = ::if_nametoindex(entry->ifa_name);
        bool known = index == 0;
        for (unsigned seen : found)
            known = known || seen == index;
        if (!known)
            found.push_back(index);
    }
    ::freeifaddrs(list);
    return found;
}

// Finds the interface that holds `address` (an AF_INET or AF_INET6
// sockaddr from getaddrinfo) and fills the endpoint's "one address" part.
bool findOwnInterface(const sockaddr* address, Endpoint& endpoint)
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != address->sa_family || !entry->ifa_name)
            continue;
        const unsigned index = ::if_nametoindex(entry->ifa_name);
        if (index == 0)
            continue;
        if (address->sa_family == AF_INET) {
            const auto* wanted = reinterpret_cast<const sockaddr_in*>(address);
            const auto* held = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (held->sin_addr.s_addr != wanted->sin_addr.s_addr)
                continue;
            endpoint.own4 = held->sin_addr;
            if ((entry->ifa_flags & IFF_BROADCAST) && entry->ifa_broadaddr
                && entry->ifa_broadaddr->sa_family == AF_INET) {
                endpoint.ownBroadcast4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr)->sin_addr;
                endpoint.hasBroadcast4 = true;
            }
        } else {
            const auto* wanted = reinterpret_cast<const sockaddr_in6*>(address);
            const auto* held = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            if (std::memcmp(&held->sin6_addr, &wanted->sin6_addr, sizeof(in6_addr)) != 0
                || (wanted->sin6_scope_id != 0 && wanted->sin6_scope_id != index))
                continue;
            endpoint.own6 = held->sin6_addr;
            if (entry->ifa_flags & IFF_MULTICAST)
                endpoint.groupInterfaces.push_back(index);
        }
        endpoint.oneAddress = true;
        endpoint.ownInterface = index;
        found = true;
    }
    ::freeifaddrs(list);
    return found;
}

Endpoint everyIpv4Address()
{
    Endpoint endpoint;
    endpoint.bind4.s_addr = htonl(INADDR_ANY);
    endpoint.broadcast = true;
    return endpoint;
}

Endpoint everyIpv6Address()
{
    Endpoint endpoint;
    endpoint.family = AF_INET6;
    endpoint.bind6 = in6addr_any;
    return endpoint;
}

bool planForIpv4(const sockaddr_in& address, const std::string& text, std::vector<Endpoint>& plan,
                 std::string& error)
{
    if (address.sin_addr.s_addr == htonl(INADDR_ANY)) {
        plan.push_back(everyIpv4Address());
        return true;
    }
    if (isLoopback4(address.sin_addr)) {
        Endpoint loopback;
        loopback.bind4 = address.sin_addr;
        // IPv4 only: an answer from ::1 would send the client to an HTTP
        // server that does not listen there.
        plan.push_back(loopback);
        return true;
    }
    Endpoint own = everyIpv4Address();
    own.broadcast = false;
    if (!findOwnInterface(reinterpret_cast<const sockaddr*>(&address), own)) {
        error = "discovery: listen address " + text + " is not an address of this machine";
        return false;
    }
    plan.push_back(own);
    return true;
}

bool planForIpv6(const sockaddr_in6& address, const std::string& text, std::vector<Endpoint>& plan,
                 std::string& error)
{
    if (IN6_IS_ADDR_UNSPECIFIED(&address.sin6_addr)) {
        plan.push_back(everyIpv4Address());
        Endpoint every6 = everyIpv6Address();
        every6.optional = true;
        every6.groupInterfaces = multicastInterfaces();
        plan.push_back(every6);
        return true;
    }
    if (IN6_IS_ADDR_LOOPBACK(&address.sin6_addr)) {
        Endpoint loopback6;
        loopback6.family = AF_INET6;
        loopback6.bind6 = in6addr_loopback;
        plan.push_back(loopback6);
        return true;
    }
    Endpoint own = everyIpv6Address();
    if (!findOwnInterface(reinterpret_cast<const sockaddr*>(&address), own)) {
        error = "discovery: listen address " + text + " is not an address of this machine";
        return false;
    }
    plan.push_back(own);
    return true;
}

// The sockets the listen address needs, not yet opened.
bool planEndpoints(const std::string& listenAddress, std::vector<Endpoint>& plan, std::string& error)
{
    std::string text = listenAddress;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (text.empty() || ::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || !found) {
        error = "discovery: listen address '" + listenAddress + "' is not an IP address";
        return false;
    }
    bool planned = false;
    if (found->ai_family == AF_INET)
        planned = planForIpv4(*reinterpret_cast<const sockaddr_in*>(found->ai_addr), text, plan, error);
    else if (found->ai_family == AF_INET6)
        planned = planForIpv6(*reinterpret_cast<const sockaddr_in6*>(found->ai_addr), text, plan, error);
    else
        error = "discovery: listen address '" + listenAddress + "' is not an IP address";
    ::freeaddrinfo(found);
    return planned;
}

bool setOption(int descriptor, int level, int name, int value)
{
    return ::setsockopt(descriptor, level, name, &value, sizeof value) == 0;
}

// The socket options before the bind: the shared port, IPv6 kept apart
// from IPv4 (that socket is bound on its own), and what we read per
// datagram.
bool prepareSocket(const Endpoint& endpoint, int descriptor)
{
    if (!setOption(descriptor, SOL_SOCKET, SO_REUSEADDR, 1))
        return false;
    if (endpoint.broadcast && !setOption(descriptor, SOL_SOCKET, SO_BROADCAST, 1))
        return false;
    if (endpoint.family == AF_INET6 && !setOption(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, 1))
        return false;
    if (endpoint.oneAddress) {
        if (endpoint.family == AF_INET)
            return setOption(descriptor, IPPROTO_IP, IP_PKTINFO, 1);
        return setOption(descriptor, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1);
    }
    return true;
}

int bindTo(const Endpoint& endpoint, int descriptor, int port)
{
    if (endpoint.family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr = endpoint.bind4;
        address.sin_port = htons(std::uint16_t(port));
        return ::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = endpoint.bind6;
    address.sin6_port = htons(std::uint16_t(port));
    return ::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int boundPortOf(int descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
}

// Joins where it can: an interface without IPv6 refuses, and the others
// still hear the group.
std::string joinGroup(int descriptor, const std::vector<unsigned>& interfaces)
{
    std::string joined;
    ipv6_mreq membership{};
    membership.ipv6mr_multiaddr = multicastGroup();
    for (unsigned index : interfaces) {
        membership.ipv6mr_interface = index;
        if (::setsockopt(descriptor, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
            continue;
        char name[IF_NAMESIZE] = "";
        joined += (joined.empty() ? "" : ", ") + std::string(::if_indextoname(index, name) ? name : "?");
    }
    return joined;
}

// The machine has no IPv6 at all, or no ::1.
bool isMissingIpv6(int code) { return code == EAFNOSUPPORT || code == EPROTONOSUPPORT || code == EADDRNOTAVAIL; }

// Opens one planned socket on `port`: true when bound, or left out as
// optional (descriptor stays -1).
bool openEndpoint(Endpoint& endpoint, int port, std::string& error)
{
    const int descriptor = ::socket(endpoint.family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int failure = descriptor < 0 ? errno : 0;
    if (!failure && (!prepareSocket(endpoint, descriptor) || bindTo(endpoint, descriptor, port) != 0))
        failure = errno;
    if (failure) {
        if (descriptor >= 0)
            ::close(descriptor);
        if (endpoint.optional && isMissingIpv6(failure))
            return true;
        error = "discovery port " + std::to_string(port) + " on " + addressOf(endpoint) + ": " + errorText(failure);
        return false;
    }
    endpoint.descriptor = descriptor;
    return true;
}

} // namespace

struct DiscoveryResponder::Sockets {
    std::vector<Endpoint> endpoints;
    std::string reply;
    // stop() writes a byte here; the thread polls the other end.
    int wakeRead = -1;
    int wakeWrite = -1;

    Sockets() = default;
    Sockets(const Sockets&) = delete;
    Sockets& operator=(const Sockets&) = delete;
    ~Sockets()
    {
        for (const Endpoint& endpoint : endpoints)
            if (endpoint.descriptor >= 0)
                ::close(endpoint.descriptor);
        if (wakeRead >= 0)
            ::close(wakeRead);
        if (wakeWrite >= 0)
            ::close(wakeWrite);
    }
};

namespace {

// Room for whichever packet-info message a socket gets, aligned for it.
union ControlBuffer {
    cmsghdr header;
    char bytes[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
};

// A reply to an all-zero, broadcast or multicast source, or to port 0,
// would go nowhere or to many: such a datagram is forged.
bool isReplyableSource(const sockaddr_storage& source, socklen_t length)
{
    if (source.ss_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
        const auto& from = reinterpret_cast<const sockaddr_in&>(source);
        const std::uint32_t address = ntohl(from.sin_addr.s_addr);
        return from.sin_port != 0 && address != INADDR_ANY && address != INADDR_BROADCAST
            && !IN_MULTICAST(address);
    }
    if (source.ss_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
        const auto& from = reinterpret_cast<const sockaddr_in6&>(source);
        return from.sin6_port != 0 && !IN6_IS_ADDR_UNSPECIFIED(&from.sin6_addr)
            && !IN6_IS_ADDR_MULTICAST(&from.sin6_addr);
    }
    return false;
}

// For a socket answering for one address: was this datagram sent to that
// address, or broadcast (multicast) on its interface?
bool isAddressedToUs(const Endpoint& endpoint, msghdr& message)
{
    if (message.msg_flags & MSG_CTRUNC)
        return false;
    for (cmsghdr* info = CMSG_FIRSTHDR(&message); info; info = CMSG_NXTHDR(&message, info)) {
        if (endpoint.family == AF_INET && info->cmsg_level == IPPROTO_IP && info->cmsg_type == IP_PKTINFO
            && info->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo packet{};
            std::memcpy(&packet, CMSG_DATA(info), sizeof packet);
            const in_addr_t to = packet.ipi_addr.s_addr;
            if (to == endpoint.own4.s_addr)
                return true;
            const bool broadcast
                = to == htonl(INADDR_BROADCAST) || (endpoint.hasBroadcast4 && to == endpoint.ownBroadcast4.s_addr);
            return broadcast && unsigned(packet.ipi_ifindex) == endpoint.ownInterface;
        }
        if (endpoint.family == AF_INET6 && info->cmsg_level == IPPROTO_IPV6 && info->cmsg_type == IPV6_PKTINFO
            && info->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
            in6_pktinfo packet{};
            std::memcpy(&packet, CMSG_DATA(info), sizeof packet);
            if (std::memcmp(&packet.ipi6_addr, &endpoint.own6, sizeof(in6_addr)) == 0)
                return true;
            const in6_addr group = multicastGroup();
            return std::memcmp(&packet.ipi6_addr, &group, sizeof(in6_addr)) == 0
                && packet.ipi6_ifindex == endpoint.ownInterface;
        }
    }
    return false;
}

// Sends the reply from the endpoint's own address when it has one.
bool sendReply(const Endpoint& endpoint, const std::string& reply, sockaddr_storage& to, socklen_t toLength)
{
    iovec part{const_cast<char*>(reply.data()), reply.size()};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = toLength;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ControlBuffer control{};
    if (endpoint.oneAddress) {
        message.msg_control = control.bytes;
        cmsghdr* info;
        if (endpoint.family == AF_INET) {
            message.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
            info = CMSG_FIRSTHDR(&message);
            info->cmsg_level = IPPROTO_IP;
            info->cmsg_type = IP_PKTINFO;
            info->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo packet{};
            packet.ipi_spec_dst = endpoint.own4;
            std::memcpy(CMSG_DATA(info), &packet, sizeof packet);
        } else {
            message.msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
            info = CMSG_FIRSTHDR(&message);
            info->cmsg_level = IPPROTO_IPV6;
            info->cmsg_type = IPV6_PKTINFO;
            info->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
            in6_pktinfo packet{};
            packet.ipi6_addr = endpoint.own6;
            if (IN6_IS_ADDR_LINKLOCAL(&endpoint.own6))
                packet.ipi6_ifindex = endpoint.ownInterface;
            std::memcpy(CMSG_DATA(info), &packet, sizeof packet);
        }
    }
    ssize_t sent;
    // Never blocks: a full send buffer costs this reply, not the thread.
    do
        sent = ::sendmsg(endpoint.descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(reply.size());
}

// Reads what is waiting on one socket (a batch at most) and answers the
// requests among it; the count of replies sent.
unsigned long answerWaiting(const Endpoint& endpoint, const std::string& reply)
{
    unsigned long answered = 0;
    for (int taken = 0; taken < kBatch; ++taken) {
        char bytes[kMaxDatagram];
        iovec part{bytes, sizeof bytes};
        sockaddr_storage from{};
        ControlBuffer control{};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        if (endpoint.oneAddress) {
            message.msg_control = control.bytes;
            message.msg_controllen = sizeof control.bytes;
        }
        const ssize_t got = ::recvmsg(endpoint.descriptor, &message, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break; // drained, or an error the next poll reports again
        }
        if ((message.msg_flags & MSG_TRUNC) || !isDiscoveryRequest(bytes, std::size_t(got))
            || !isReplyableSource(from, message.msg_namelen))
            continue;
        if (endpoint.oneAddress && !isAddressedToUs(endpoint, message))
            continue;
        if (sendReply(endpoint, reply, from, message.msg_namelen))
            ++answered;
    }
    return answered;
}

} // namespace

bool DiscoveryResponder::start(std::string& error)
{
    if (thread.joinable())
        return true;
    if (!isPort(requestedPort)) {
        error = "discovery port " + std::to_string(requestedPort) + " is not a port number";
        return false;
    }
    if (!isPort(httpPort) || httpPort == 0) {
        error = "discovery: HTTP port " + std::to_string(httpPort) + " is not a port number";
        return false;
    }
    auto opened = std::make_unique<Sockets>();
    opened->reply = replyFor(httpPort);
    if (!planEndpoints(servedAddress, opened->endpoints, error))
        return false;

    // With port 0 the first socket takes a free port and the others follow it.
    int port = requestedPort;
    std::string where;
    for (Endpoint& endpoint : opened->endpoints) {
        if (!openEndpoint(endpoint, port, error))
            return false;
        if (endpoint.descriptor < 0)
            continue;
        if (port == 0)
            port = boundPortOf(endpoint.descriptor);
        std::string label = endpointText(endpoint, port);
        if (!endpoint.groupInterfaces.empty()) {
            const std::string joined = joinGroup(endpoint.descriptor, endpoint.groupInterfaces);
            if (!joined.empty())
                label += " (" + std::string(kMulticastGroup) + " on " + joined + ")";
        }
        where += (where.empty() ? "" : ", ") + label;
    }

    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = "discovery: cannot make the stop signal: " + errorText(errno);
        return false;
    }
    opened->wakeRead = wake[0];
    opened->wakeWrite = wake[1];

    sockets = std::move(opened);
    try {
        thread = std::thread(&DiscoveryResponder::serve, this);
    } catch (const std::system_error& failure) {
        sockets.reset();
        error = std::string("discovery: cannot start its thread: ") + failure.what();
        return false;
    }
    boundPort = port;
    description = where;
    return true;
}

void DiscoveryResponder::stop()
{
    if (thread.joinable()) {
        const char signal = 1;
        ssize_t written;
        do
            written = ::write(sockets->wakeWrite, &signal, 1);
        while (written < 0 && errno == EINTR);
        thread.join();
    }
    sockets.reset();
    boundPort = 0;
    description.clear();
}

void DiscoveryResponder::serve()
{
    std::vector<pollfd> watched;
    watched.push_back({sockets->wakeRead, POLLIN, 0});
    std::vector<const Endpoint*> owners;
    for (const Endpoint& endpoint : sockets->endpoints)
        if (endpoint.descriptor >= 0) {
            watched.push_back({endpoint.descriptor, POLLIN, 0});
            owners.push_back(&endpoint);
        }
    for (;;) {
        const int ready = ::poll(watched.data(), nfds_t(watched.size()), -1);
        if (ready < 0) {
            // Out of memory for the poll, say: try again shortly rather
            // than stop answering.
            if (errno != EINTR)
                ::poll(nullptr, 0, 100);
            continue;
        }
        if (watched[0].revents)
            return;
        for (std::size_t index = 1; index < watched.size(); ++index)
            if (watched[index].revents)
                answeredCount += answerWaiting(*owners[index - 1], sockets->reply);
    }
}

#endif // !_WIN32
