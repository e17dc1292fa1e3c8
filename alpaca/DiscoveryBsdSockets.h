// What discovery's sockets do alike on POSIX and on Winsock, whose calls
// share their names and structures: addresses to the plan's terms and
// back, the options and the bind, and the calls of DiscoverySockets.h that
// read the same on both. Only the one system file a build compiles
// (DiscoverySocketsPosix.cpp or DiscoverySocketsWinsock.cpp) includes it,
// and so defines the calls at its end.
#pragma once

#include "DiscoverySockets.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstring>

namespace discovery::sockets {

#ifdef _WIN32
using SystemSocket = SOCKET;
// The option that has a datagram's own address read with it: Windows names
// it as the one a reply sets.
constexpr int kIpv6ReceivePacketInfo = IPV6_PKTINFO;
#else
using SystemSocket = int;
constexpr int kIpv6ReceivePacketInfo = IPV6_RECVPKTINFO;
#endif

inline SystemSocket systemSocket(Handle socket) { return SystemSocket(socket); }

// An AF_INET or AF_INET6 socket address as the plan reads it.
inline std::optional<IpAddress> ipAddressOf(const sockaddr* address)
{
    if (address->sa_family == AF_INET)
        return IpAddress::ipv4(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    if (address->sa_family == AF_INET6) {
        const auto* address6 = reinterpret_cast<const sockaddr_in6*>(address);
        return IpAddress::ipv6(&address6->sin6_addr, address6->sin6_scope_id);
    }
    return std::nullopt;
}

inline int portOf(const sockaddr_storage& address)
{
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                                              : reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

// The datagram's source and its port; false for one that is neither IPv4
// nor IPv6, or whose length is short.
inline bool readSource(const sockaddr_storage& from, socklen_t length, Datagram& into)
{
    const bool v4 = from.ss_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in));
    const bool v6 = from.ss_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6));
    if (!v4 && !v6)
        return false;
    into.source = *ipAddressOf(reinterpret_cast<const sockaddr*>(&from));
    into.sourcePort = portOf(from);
    return true;
}

// The address and port as a socket address: its length.
inline socklen_t socketAddress(const IpAddress& address, int port, sockaddr_storage& into)
{
    into = {};
    if (!address.v6) {
        auto& address4 = reinterpret_cast<sockaddr_in&>(into);
        address4.sin_family = AF_INET;
        std::memcpy(&address4.sin_addr, address.bytes.data(), sizeof address4.sin_addr);
        address4.sin_port = htons(std::uint16_t(port));
        return sizeof address4;
    }
    auto& address6 = reinterpret_cast<sockaddr_in6&>(into);
    address6.sin6_family = AF_INET6;
    std::memcpy(&address6.sin6_addr, address.bytes.data(), sizeof address6.sin6_addr);
    address6.sin6_port = htons(std::uint16_t(port));
    address6.sin6_scope_id = address.scope;
    return sizeof address6;
}

inline bool setOption(SystemSocket socket, int level, int name, int value)
{
    return ::setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// The options before the bind: the shared port (SO_REUSEADDR: several
// servers on one machine bind it and all hear a broadcast), IPv6 kept apart
// from IPv4 (that socket is bound on its own), and what is read per
// datagram. False with the system's last error.
inline bool prepareAndBind(const PlannedEndpoint& endpoint, SystemSocket socket, int port)
{
    const bool prepared = setOption(socket, SOL_SOCKET, SO_REUSEADDR, 1)
        && (!endpoint.broadcast || setOption(socket, SOL_SOCKET, SO_BROADCAST, 1))
        && (!endpoint.v6() || setOption(socket, IPPROTO_IPV6, IPV6_V6ONLY, 1))
        && (!endpoint.repliesFromOwn()
            || (endpoint.v6() ? setOption(socket, IPPROTO_IPV6, kIpv6ReceivePacketInfo, 1)
                              : setOption(socket, IPPROTO_IP, IP_PKTINFO, 1)));
    sockaddr_storage address;
    const socklen_t length = socketAddress(endpoint.bind, port, address);
    return prepared && ::bind(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

// The calls of DiscoverySockets.h that read the same on both systems.

int boundPort(Handle socket)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(systemSocket(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return portOf(address);
}

std::string joinGroup(Handle socket, const std::vector<GroupInterface>& interfaces)
{
    std::string joined;
    ipv6_mreq membership{};
    std::memcpy(&membership.ipv6mr_multiaddr, IpAddress::group().bytes.data(), sizeof membership.ipv6mr_multiaddr);
    for (const GroupInterface& each : interfaces) {
        membership.ipv6mr_interface = each.index;
        if (::setsockopt(systemSocket(socket), IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP,
                         reinterpret_cast<const char*>(&membership), sizeof membership)
            == 0)
            joined += (joined.empty() ? "" : ", ") + each.name;
    }
    return joined;
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

std::string addressText(const IpAddress& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (!::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text))
        return "?";
    return text;
}

} // namespace discovery::sockets
