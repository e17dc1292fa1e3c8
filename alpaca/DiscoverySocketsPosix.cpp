// Discovery's socket calls on POSIX: descriptors, recvmsg and sendmsg with
// the packet info, poll, and a pipe for the wake-up.
#include "DiscoveryBsdSockets.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

namespace discovery::sockets {

namespace {

// Room for whichever packet-info message a socket gets, aligned for it.
union ControlBuffer {
    cmsghdr header;
    char bytes[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
};

void readPacketInfo(msghdr& message, Datagram& into)
{
    if (message.msg_flags & MSG_CTRUNC)
        return;
    for (cmsghdr* info = CMSG_FIRSTHDR(&message); info; info = CMSG_NXTHDR(&message, info)) {
        if (info->cmsg_level == IPPROTO_IP && info->cmsg_type == IP_PKTINFO
            && info->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo packet{};
            std::memcpy(&packet, CMSG_DATA(info), sizeof packet);
            into.to = IpAddress::ipv4(&packet.ipi_addr);
            into.interfaceIndex = unsigned(packet.ipi_ifindex);
        }
        if (info->cmsg_level == IPPROTO_IPV6 && info->cmsg_type == IPV6_PKTINFO
            && info->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
            in6_pktinfo packet{};
            std::memcpy(&packet, CMSG_DATA(info), sizeof packet);
            into.to = IpAddress::ipv6(&packet.ipi6_addr);
            into.interfaceIndex = packet.ipi6_ifindex;
        }
    }
}

template <class PacketInfo>
void writeControl(msghdr& message, int level, int type, const PacketInfo& packet)
{
    message.msg_controllen = CMSG_SPACE(sizeof packet);
    cmsghdr* info = CMSG_FIRSTHDR(&message);
    info->cmsg_level = level;
    info->cmsg_type = type;
    info->cmsg_len = CMSG_LEN(sizeof packet);
    std::memcpy(CMSG_DATA(info), &packet, sizeof packet);
}

// The packet info that names the reply's source: for IPv4 the local address
// the route is chosen from, for IPv6 the address and, for a link-local one,
// its interface.
void writePacketInfo(const IpAddress& source, msghdr& message)
{
    if (!source.v6) {
        in_pktinfo packet{};
        std::memcpy(&packet.ipi_spec_dst, source.bytes.data(), sizeof packet.ipi_spec_dst);
        return writeControl(message, IPPROTO_IP, IP_PKTINFO, packet);
    }
    in6_pktinfo packet{};
    std::memcpy(&packet.ipi6_addr, source.bytes.data(), sizeof packet.ipi6_addr);
    packet.ipi6_ifindex = source.scope;
    writeControl(message, IPPROTO_IPV6, IPV6_PKTINFO, packet);
}

} // namespace

bool startUp(std::string&) { return true; }
void cleanUp() {}

Handle open(const PlannedEndpoint& endpoint, int port, int& failure)
{
    const int socket = ::socket(endpoint.v6() ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket >= 0 && prepareAndBind(endpoint, socket, port))
        return socket;
    failure = errno;
    close(socket);
    return kClosed;
}

void close(Handle socket)
{
    if (socket != kClosed)
        ::close(int(socket));
}

bool isMissingIpv6(int failure)
{
    return failure == EAFNOSUPPORT || failure == EPROTONOSUPPORT || failure == EADDRNOTAVAIL;
}

Received receive(Handle socket, bool withPacketInfo, Datagram& into)
{
    iovec part{into.bytes, sizeof into.bytes};
    sockaddr_storage from{};
    ControlBuffer control{};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (withPacketInfo) {
        message.msg_control = control.bytes;
        message.msg_controllen = sizeof control.bytes;
    }
    const ssize_t got = ::recvmsg(int(socket), &message, MSG_DONTWAIT);
    if (got < 0)
        return errno == EINTR ? Received::skipped : Received::drained;
    into.length = std::size_t(got);
    if ((message.msg_flags & MSG_TRUNC) || !readSource(from, message.msg_namelen, into))
        return Received::skipped;
    if (withPacketInfo)
        readPacketInfo(message, into);
    return Received::datagram;
}

bool send(Handle socket, const std::string& reply, const IpAddress& client, int clientPort,
          const std::optional<IpAddress>& source)
{
    iovec part{const_cast<char*>(reply.data()), reply.size()};
    sockaddr_storage to;
    ControlBuffer control{};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = socketAddress(client, clientPort, to);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (source) {
        message.msg_control = control.bytes;
        writePacketInfo(*source, message);
    }
    ssize_t sent;
    do
        sent = ::sendmsg(int(socket), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(reply.size());
}

WakeUp makeWakeUp(int& failure)
{
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0)
        return {ends[0], ends[1]};
    failure = errno;
    return {};
}

void signal(const WakeUp& wakeUp)
{
    const char byte = 1;
    while (::write(int(wakeUp.signalled), &byte, 1) < 0 && errno == EINTR) {
    }
}

void close(const WakeUp& wakeUp)
{
    close(wakeUp.watched);
    close(wakeUp.signalled);
}

void wait(const std::vector<Handle>& watched, const WakeUp& wakeUp, std::vector<bool>& ready)
{
    std::vector<pollfd> polled{{int(wakeUp.watched), POLLIN, 0}};
    for (Handle socket : watched)
        polled.push_back({int(socket), POLLIN, 0});
    ready.assign(watched.size(), false);
    const int count = ::poll(polled.data(), nfds_t(polled.size()), -1);
    // Out of memory for the poll, say: try again shortly rather than stop
    // answering.
    if (count < 0 && errno != EINTR)
        ::poll(nullptr, 0, 100);
    for (std::size_t index = 1; count > 0 && !polled[0].revents && index < polled.size(); ++index)
        ready[index - 1] = polled[index].revents != 0;
}

// Every interface entry getifaddrs lists.
std::vector<InterfaceAddress> interfaceAddresses()
{
    std::vector<InterfaceAddress> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        const unsigned index = entry->ifa_name ? ::if_nametoindex(entry->ifa_name) : 0;
        if (index == 0)
            continue;
        const bool hasBroadcast = (entry->ifa_flags & IFF_BROADCAST) && entry->ifa_broadaddr
            && entry->ifa_broadaddr->sa_family == AF_INET;
        found.push_back({index, entry->ifa_name, (entry->ifa_flags & IFF_MULTICAST) != 0,
                         entry->ifa_addr ? ipAddressOf(entry->ifa_addr) : std::nullopt,
                         hasBroadcast ? ipAddressOf(entry->ifa_broadaddr) : std::nullopt});
    }
    ::freeifaddrs(list);
    return found;
}

std::string errorText(int code) { return std::system_category().message(code); }

} // namespace discovery::sockets
