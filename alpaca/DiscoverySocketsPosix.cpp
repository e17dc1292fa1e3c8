// Discovery's socket calls on POSIX: descriptors, recvmsg and sendmsg with
// the packet info, poll, getifaddrs.
#include "DiscoverySockets.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

namespace discovery::sockets {

namespace {

// Room for whichever packet-info message a socket gets.
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo));

template <class PacketInfo>
void writePacketInfo(msghdr& message, int level, int type, const PacketInfo& packet)
{
    message.msg_controllen = CMSG_SPACE(sizeof packet);
    cmsghdr* info = CMSG_FIRSTHDR(&message);
    info->cmsg_level = level;
    info->cmsg_type = type;
    info->cmsg_len = CMSG_LEN(sizeof packet);
    std::memcpy(CMSG_DATA(info), &packet, sizeof packet);
}

} // namespace

Socket open(bool v6) { return ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

void close(Socket socket)
{
    if (socket != kClosed)
        ::close(socket);
}

int lastError() { return errno; }

std::string errorText(int code) { return std::system_category().message(code); }

bool isMissingIpv6(int failure)
{
    return failure == EAFNOSUPPORT || failure == EPROTONOSUPPORT || failure == EADDRNOTAVAIL;
}

int wait(std::vector<pollfd>& sockets, int milliseconds)
{
    return ::poll(sockets.data(), nfds_t(sockets.size()), milliseconds);
}

bool receive(Socket socket, Datagram& into, sockaddr_storage& from, socklen_t& fromLength)
{
    iovec part{into.bytes, sizeof into.bytes};
    alignas(cmsghdr) char control[kControlSize];
    msghdr message{.msg_name = &from, .msg_namelen = fromLength, .msg_iov = &part, .msg_iovlen = 1,
                   .msg_control = control, .msg_controllen = sizeof control, .msg_flags = 0};
    const ssize_t got = ::recvmsg(socket, &message, 0);
    if (got < 0 || (message.msg_flags & MSG_TRUNC))
        return false;
    into.length = std::size_t(got);
    fromLength = message.msg_namelen;
    for (cmsghdr* info = CMSG_FIRSTHDR(&message); info && !(message.msg_flags & MSG_CTRUNC);
         info = CMSG_NXTHDR(&message, info))
        readPacketInfo(info->cmsg_level, info->cmsg_type, CMSG_DATA(info), info->cmsg_len - CMSG_LEN(0), into);
    return true;
}

// IPv4's packet info names the address the route is chosen from.
bool send(Socket socket, const std::string& reply, sockaddr_storage& to, socklen_t toLength,
          const std::optional<IpAddress>& source)
{
    iovec part{const_cast<char*>(reply.data()), reply.size()};
    alignas(cmsghdr) char control[kControlSize] = {};
    msghdr message{.msg_name = &to, .msg_namelen = toLength, .msg_iov = &part, .msg_iovlen = 1,
                   .msg_control = control, .msg_controllen = 0, .msg_flags = 0};
    if (source && !source->v6) {
        in_pktinfo packet{};
        std::memcpy(&packet.ipi_spec_dst, source->bytes.data(), sizeof packet.ipi_spec_dst);
        writePacketInfo(message, IPPROTO_IP, IP_PKTINFO, packet);
    } else if (source) {
        in6_pktinfo packet{};
        std::memcpy(&packet.ipi6_addr, source->bytes.data(), sizeof packet.ipi6_addr);
        packet.ipi6_ifindex = source->scope;
        writePacketInfo(message, IPPROTO_IPV6, IPV6_PKTINFO, packet);
    }
    ssize_t sent;
    do
        sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(reply.size());
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
        const bool broadcast = (entry->ifa_flags & IFF_BROADCAST) && entry->ifa_broadaddr
            && entry->ifa_broadaddr->sa_family == AF_INET;
        if (index != 0)
            found.push_back({index, entry->ifa_name, (entry->ifa_flags & IFF_MULTICAST) != 0,
                             ipAddressOf(entry->ifa_addr),
                             broadcast ? ipAddressOf(entry->ifa_broadaddr) : std::nullopt});
    }
    ::freeifaddrs(list);
    return found;
}

} // namespace discovery::sockets
