// What the discovery responder answers and where, with no system calls.
#include "DiscoveryPlan.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace discovery {

namespace {

// The interfaces that take multicast, each once; joining fails on the others.
std::vector<InterfaceAddress> multicastInterfaces(const std::vector<InterfaceAddress>& interfaces)
{
    std::vector<InterfaceAddress> found;
    for (const InterfaceAddress& entry : interfaces) {
        const auto same = [&entry](const InterfaceAddress& seen) { return seen.index == entry.index; };
        if (entry.multicast && entry.index != 0 && std::ranges::none_of(found, same))
            found.push_back({.index = entry.index, .name = entry.name, .multicast = true});
    }
    return found;
}

// The socket for one interface's own address `wanted`; false when no
// interface holds it (a link-local one with a scope: not that interface).
bool planOwnAddress(const IpAddress& wanted, const std::vector<InterfaceAddress>& interfaces, PlannedEndpoint& endpoint)
{
    for (const InterfaceAddress& entry : interfaces) {
        const bool otherLink = wanted.v6 && wanted.scope != 0 && wanted.scope != entry.index;
        if (entry.index == 0 || !entry.address || !entry.address->sameAs(wanted) || otherLink)
            continue;
        endpoint = {.bind = IpAddress::any(wanted.v6), .oneAddress = true, .ownInterface = entry.index,
                    .own = *entry.address, .ownBroadcast4 = wanted.v6 ? std::nullopt : entry.broadcast};
        endpoint.own.scope = wanted.isLinkLocal() ? entry.index : 0;
        if (wanted.v6 && entry.multicast)
            endpoint.groupInterfaces.push_back(entry);
        return true;
    }
    return false;
}

// For a socket answering for one address: was the datagram sent to that
// address, or broadcast (IPv6: sent to the group) on its interface?
bool isAddressedTo(const PlannedEndpoint& endpoint, const IpAddress& to, unsigned interfaceIndex)
{
    const bool ownBroadcast = endpoint.ownBroadcast4 && to.sameAs(*endpoint.ownBroadcast4);
    const bool toAll = endpoint.v6() ? to.sameAs(IpAddress::group()) : to.isLimitedBroadcast() || ownBroadcast;
    return to.sameAs(endpoint.own) || (toAll && interfaceIndex == endpoint.ownInterface);
}

} // namespace

IpAddress IpAddress::ipv4(const void* networkOrder4)
{
    IpAddress address;
    std::memcpy(address.bytes.data(), networkOrder4, 4);
    return address;
}

IpAddress IpAddress::ipv6(const void* networkOrder16, unsigned scope)
{
    IpAddress address{.v6 = true, .scope = scope};
    std::memcpy(address.bytes.data(), networkOrder16, 16);
    return address;
}

bool IpAddress::sameAs(const IpAddress& other) const
{
    return v6 == other.v6 && std::memcmp(bytes.data(), other.bytes.data(), v6 ? 16 : 4) == 0;
}

bool planEndpoints(const std::string& listenAddress, const std::optional<IpAddress>& parsed,
                   const InterfaceLister& interfaces, std::vector<PlannedEndpoint>& plan, std::string& error)
{
    if (!parsed) {
        error = "discovery: listen address '" + listenAddress + "' is not an IP address";
        return false;
    }
    if (parsed->isAnyAddress()) {
        // "::" serves IPv4 too, and IPv6 where the machine has it.
        plan.push_back({.bind = IpAddress::any(false), .broadcast = true});
        if (parsed->v6)
            plan.push_back(
                {.bind = IpAddress::any(true), .optional = true, .groupInterfaces = multicastInterfaces(interfaces())});
        return true;
    }
    PlannedEndpoint endpoint{.bind = IpAddress::any(parsed->v6), .broadcast = !parsed->v6};
    if (parsed->isLoopback()) {
        // 127.x answers on IPv4 only: an answer from ::1 would send the
        // client to an HTTP server that does not listen there. ::1 takes the
        // group too, as "::" does: a client here may look there only.
        endpoint.thisMachineOnly = true;
        endpoint.own = *parsed;
        endpoint.own.scope = 0;
        if (parsed->v6)
            endpoint.groupInterfaces = multicastInterfaces(interfaces());
    } else if (!planOwnAddress(*parsed, interfaces(), endpoint)) {
        error = "discovery: listen address " + unbracketed(listenAddress) + " is not an address of this machine";
        return false;
    }
    plan.push_back(endpoint);
    return true;
}

std::string unbracketed(const std::string& listenAddress)
{
    if (listenAddress.size() >= 2 && listenAddress.front() == '[' && listenAddress.back() == ']')
        return listenAddress.substr(1, listenAddress.size() - 2);
    return listenAddress;
}

bool answers(const PlannedEndpoint& endpoint, const Datagram& datagram, const InterfaceLister& interfaces)
{
    // Bytes after the version are let through, for a later client that
    // sends more. A datagram from a source nobody sends from, or from port
    // 0, is forged.
    if (!std::string_view(datagram.bytes, datagram.length).starts_with("alpacadiscovery1") || datagram.sourcePort == 0
        || datagram.source.isNoSource())
        return false;
    if (endpoint.oneAddress && !(datagram.to && isAddressedTo(endpoint, *datagram.to, datagram.interfaceIndex)))
        return false;
    // The interfaces are listed only for a source that is not loopback.
    return !endpoint.thisMachineOnly || datagram.source.isLoopback() || isLocalSource(datagram.source, interfaces());
}

bool isLocalSource(const IpAddress& source, const std::vector<InterfaceAddress>& interfaces)
{
    static const unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}; // ::ffff:a.b.c.d
    const bool mapped = source.v6 && std::memcmp(source.bytes.data(), mappedPrefix, sizeof mappedPrefix) == 0;
    const IpAddress wanted = mapped ? IpAddress::ipv4(source.bytes.data() + 12) : source;
    if (wanted.isLoopback())
        return true;
    // The lists never hold these as addresses.
    if (wanted.isNoSource())
        return false;
    for (const InterfaceAddress& entry : interfaces) {
        // fe80::1 on another link is another machine's.
        const bool otherLink = wanted.isLinkLocal() && wanted.scope != 0 && wanted.scope != entry.index;
        if (entry.address && entry.address->sameAs(wanted) && !otherLink)
            return true;
    }
    return false;
}

bool repliesFromOwnTo(const PlannedEndpoint& endpoint, const IpAddress& source)
{
    return endpoint.oneAddress
        || (endpoint.thisMachineOnly && !(endpoint.own.v6 && endpoint.own.isLoopback() && source.isLinkLocal()));
}

} // namespace discovery
