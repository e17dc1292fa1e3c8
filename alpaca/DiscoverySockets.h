// The socket calls both halves of discovery make alike, over either
// system's socket handle (a descriptor, a SOCKET): addresses to text and
// back, the options before the bind, the bind, the port bound, the IPv6
// group. Included by Discovery.cpp and DiscoveryWinsock.cpp only.
#pragma once

#include "DiscoveryPlan.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace discovery {

// The option that has a datagram's own address read with it: Windows names
// it as the one a reply sets.
#ifdef _WIN32
constexpr int kIpv6ReceivePacketInfo = IPV6_PKTINFO;
#else
constexpr int kIpv6ReceivePacketInfo = IPV6_RECVPKTINFO;
#endif

inline std::string addressText(const IpAddress& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (!::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text))
        return "?";
    return text;
}

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

template <class Handle>
bool setOption(Handle handle, int level, int name, int value)
{
    return ::setsockopt(handle, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// The socket options before the bind: the shared port, IPv6 kept apart
// from IPv4 (that socket is bound on its own), and what we read per
// datagram.
template <class Handle>
bool prepareSocket(const PlannedEndpoint& endpoint, Handle handle)
{
    if (!setOption(handle, SOL_SOCKET, SO_REUSEADDR, 1))
        return false;
    if (endpoint.broadcast && !setOption(handle, SOL_SOCKET, SO_BROADCAST, 1))
        return false;
    if (endpoint.v6() && !setOption(handle, IPPROTO_IPV6, IPV6_V6ONLY, 1))
        return false;
    if (endpoint.repliesFromOwn()) {
        if (!endpoint.v6())
            return setOption(handle, IPPROTO_IP, IP_PKTINFO, 1);
        return setOption(handle, IPPROTO_IPV6, kIpv6ReceivePacketInfo, 1);
    }
    return true;
}

template <class Handle>
int bindTo(const PlannedEndpoint& endpoint, Handle handle, int port)
{
    if (!endpoint.v6()) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        std::memcpy(&address.sin_addr, endpoint.bind.bytes.data(), sizeof address.sin_addr);
        address.sin_port = htons(std::uint16_t(port));
        return ::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    std::memcpy(&address.sin6_addr, endpoint.bind.bytes.data(), sizeof address.sin6_addr);
    address.sin6_port = htons(std::uint16_t(port));
    return ::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

template <class Handle>
int boundPortOf(Handle handle)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
}

// The datagram's source as the plan reads it, with its port; nullopt for
// one that is neither IPv4 nor IPv6 or whose length is short.
template <class Length>
std::optional<IpAddress> sourceOf(const sockaddr_storage& source, Length length, int& port)
{
    if (source.ss_family == AF_INET && length >= Length(sizeof(sockaddr_in))) {
        port = ntohs(reinterpret_cast<const sockaddr_in&>(source).sin_port);
        return ipAddressOf(reinterpret_cast<const sockaddr*>(&source));
    }
    if (source.ss_family == AF_INET6 && length >= Length(sizeof(sockaddr_in6))) {
        port = ntohs(reinterpret_cast<const sockaddr_in6&>(source).sin6_port);
        return ipAddressOf(reinterpret_cast<const sockaddr*>(&source));
    }
    return std::nullopt;
}

// For a socket answering this machine only, over one batch: the interfaces
// are listed at the first datagram that needs them (a loopback source does
// not), and that list serves the rest of the batch.
class LocalSources {
public:
    explicit LocalSources(std::vector<InterfaceAddress> (*lister)()) : lister(lister) {}
    bool holds(const IpAddress& source)
    {
        if (source.isLoopback())
            return true;
        if (!listed) {
            interfaces = lister();
            listed = true;
        }
        return isLocalSource(source, interfaces);
    }

private:
    std::vector<InterfaceAddress> (*lister)();
    std::vector<InterfaceAddress> interfaces;
    bool listed = false;
};

// Joins where it can: an interface without IPv6 refuses, and the others
// still hear the group.
template <class Handle>
std::string joinGroup(Handle handle, const std::vector<GroupInterface>& interfaces)
{
    std::string joined;
    ipv6_mreq membership{};
    std::memcpy(&membership.ipv6mr_multiaddr, IpAddress::group().bytes.data(), sizeof membership.ipv6mr_multiaddr);
    for (const GroupInterface& each : interfaces) {
        membership.ipv6mr_interface = each.index;
        if (::setsockopt(handle, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&membership),
                         sizeof membership)
            != 0)
            continue;
        joined += (joined.empty() ? "" : ", ") + each.name;
    }
    return joined;
}

} // namespace discovery
