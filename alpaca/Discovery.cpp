// The discovery responder on POSIX sockets: lists the interfaces, opens what
// DiscoveryPlan says the listen address needs, and answers "alpacadiscovery1"
// on a thread of its own. DiscoveryWinsock.cpp is the same on Windows.
#include "Discovery.h"
#include "DiscoveryPlan.h"
#include "DiscoverySockets.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using discovery::IpAddress;
using discovery::addressText;
using discovery::bindTo;
using discovery::boundPortOf;
using discovery::ipAddressOf;
using discovery::joinGroup;
using discovery::prepareSocket;
using discovery::PlannedEndpoint;

DiscoveryResponder::DiscoveryResponder(int discoveryPort, int alpacaPort, std::string listenAddress)
    : requestedPort(discoveryPort), httpPort(alpacaPort), servedAddress(std::move(listenAddress))
{
}

DiscoveryResponder::~DiscoveryResponder() { stop(); }

namespace {

// A planned socket and, once opened, its descriptor.
struct Endpoint {
    PlannedEndpoint plan;
    int descriptor = -1;
};

std::string errorText(int code) { return std::system_category().message(code); }

// Every interface entry getifaddrs lists (empty when it fails).
std::vector<discovery::InterfaceAddress> interfaceAddresses()
{
    std::vector<discovery::InterfaceAddress> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name)
            continue;
        discovery::InterfaceAddress item;
        item.index = ::if_nametoindex(entry->ifa_name);
        if (item.index == 0)
            continue;
        item.name = entry->ifa_name;
        item.multicast = (entry->ifa_flags & IFF_MULTICAST) != 0;
        if (entry->ifa_addr)
            item.address = ipAddressOf(entry->ifa_addr);
        if ((entry->ifa_flags & IFF_BROADCAST) && entry->ifa_broadaddr && entry->ifa_broadaddr->sa_family == AF_INET)
            item.broadcast = ipAddressOf(entry->ifa_broadaddr);
        found.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return found;
}

std::optional<IpAddress> parseNumeric(const std::string& text)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (text.empty() || ::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || !found)
        return std::nullopt;
    std::optional<IpAddress> parsed = ipAddressOf(found->ai_addr);
    ::freeaddrinfo(found);
    return parsed;
}

// The machine has no IPv6 at all, or no ::1.
bool isMissingIpv6(int code) { return code == EAFNOSUPPORT || code == EPROTONOSUPPORT || code == EADDRNOTAVAIL; }

// Opens one planned socket on `port`: true when bound, or left out as
// optional (descriptor stays -1).
bool openEndpoint(Endpoint& endpoint, int port, std::string& error)
{
    const int family = endpoint.plan.v6() ? AF_INET6 : AF_INET;
    const int descriptor = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int failure = descriptor < 0 ? errno : 0;
    if (!failure && (!prepareSocket(endpoint.plan, descriptor) || bindTo(endpoint.plan, descriptor, port) != 0))
        failure = errno;
    if (failure) {
        if (descriptor >= 0)
            ::close(descriptor);
        if (endpoint.plan.optional && isMissingIpv6(failure))
            return true;
        error = discovery::bindError(port, addressText(endpoint.plan.answersFor()), errorText(failure));
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

// For a socket answering for one address: what the packet info says the
// datagram was sent to, and on which interface.
bool isAddressedToUs(const PlannedEndpoint& endpoint, msghdr& message)
{
    if (message.msg_flags & MSG_CTRUNC)
        return false;
    for (cmsghdr* info = CMSG_FIRSTHDR(&message); info; info = CMSG_NXTHDR(&message, info)) {
        if (!endpoint.v6() && info->cmsg_level == IPPROTO_IP && info->cmsg_type == IP_PKTINFO
            && info->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo packet{};
            std::memcpy(&packet, CMSG_DATA(info), sizeof packet);
            return discovery::isAddressedTo(endpoint, IpAddress::ipv4(&packet.ipi_addr), unsigned(packet.ipi_ifindex));
        }
        if (endpoint.v6() && info->cmsg_level == IPPROTO_IPV6 && info->cmsg_type == IPV6_PKTINFO
            && info->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
            in6_pktinfo packet{};
            std::memcpy(&packet, CMSG_DATA(info), sizeof packet);
            return discovery::isAddressedTo(endpoint, IpAddress::ipv6(&packet.ipi6_addr), packet.ipi6_ifindex);
        }
    }
    return false;
}

// Sends the reply from the endpoint's own address when it has one.
bool sendReply(const PlannedEndpoint& endpoint, int descriptor, const std::string& reply, const IpAddress& client,
               sockaddr_storage& to, socklen_t toLength)
{
    iovec part{const_cast<char*>(reply.data()), reply.size()};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = toLength;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ControlBuffer control{};
    if (discovery::repliesFromOwnTo(endpoint, client)) {
        message.msg_control = control.bytes;
        cmsghdr* info;
        if (!endpoint.v6()) {
            message.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
            info = CMSG_FIRSTHDR(&message);
            info->cmsg_level = IPPROTO_IP;
            info->cmsg_type = IP_PKTINFO;
            info->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo packet{};
            std::memcpy(&packet.ipi_spec_dst, endpoint.own.bytes.data(), sizeof packet.ipi_spec_dst);
            std::memcpy(CMSG_DATA(info), &packet, sizeof packet);
        } else {
            message.msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
            info = CMSG_FIRSTHDR(&message);
            info->cmsg_level = IPPROTO_IPV6;
            info->cmsg_type = IPV6_PKTINFO;
            info->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
            in6_pktinfo packet{};
            std::memcpy(&packet.ipi6_addr, endpoint.own.bytes.data(), sizeof packet.ipi6_addr);
            if (endpoint.own.isLinkLocal())
                packet.ipi6_ifindex = endpoint.ownInterface;
            std::memcpy(CMSG_DATA(info), &packet, sizeof packet);
        }
    }
    ssize_t sent;
    // Never blocks: a full send buffer costs this reply, not the thread.
    do
        sent = ::sendmsg(descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(reply.size());
}

// Reads what is waiting on one socket (a batch at most) and answers the
// requests among it; the count of replies sent.
unsigned long answerWaiting(const Endpoint& endpoint, const std::string& reply)
{
    unsigned long answered = 0;
    discovery::LocalSources local(interfaceAddresses);
    for (int taken = 0; taken < discovery::kBatch; ++taken) {
        char bytes[discovery::kMaxDatagram];
        iovec part{bytes, sizeof bytes};
        sockaddr_storage from{};
        ControlBuffer control{};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        if (endpoint.plan.oneAddress) {
            message.msg_control = control.bytes;
            message.msg_controllen = sizeof control.bytes;
        }
        const ssize_t got = ::recvmsg(endpoint.descriptor, &message, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break; // drained, or an error the next poll reports again
        }
        int sourcePort = 0;
        const std::optional<IpAddress> source = discovery::sourceOf(from, message.msg_namelen, sourcePort);
        if ((message.msg_flags & MSG_TRUNC) || !discovery::isDiscoveryRequest(bytes, std::size_t(got)) || !source
            || !discovery::isReplyableSource(*source, sourcePort))
            continue;
        if (endpoint.plan.oneAddress && !isAddressedToUs(endpoint.plan, message))
            continue;
        if (endpoint.plan.thisMachineOnly && !local.holds(*source))
            continue;
        if (sendReply(endpoint.plan, endpoint.descriptor, reply, *source, from, message.msg_namelen))
            ++answered;
    }
    return answered;
}

} // namespace

bool DiscoveryResponder::start(std::string& error)
{
    if (thread.joinable())
        return true;
    const std::string badSettings = discovery::settingsError(requestedPort, httpPort);
    if (!badSettings.empty()) {
        error = badSettings;
        return false;
    }
    auto opened = std::make_unique<Sockets>();
    opened->reply = discovery::replyFor(httpPort);
    std::vector<PlannedEndpoint> plan;
    if (!discovery::planEndpoints(servedAddress, parseNumeric(discovery::unbracketed(servedAddress)),
                                  interfaceAddresses, plan, error))
        return false;
    for (PlannedEndpoint& each : plan)
        opened->endpoints.push_back({std::move(each), -1});

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
        const std::string joined = endpoint.plan.groupInterfaces.empty()
            ? std::string()
            : joinGroup(endpoint.descriptor, endpoint.plan.groupInterfaces);
        where += (where.empty() ? "" : ", ")
            + discovery::endpointLabel(endpoint.plan, addressText(endpoint.plan.answersFor()), port, joined);
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
