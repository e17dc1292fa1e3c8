// What the discovery responder answers and where, with no system calls.
#include "DiscoveryPlan.h"

#include <cstring>

namespace discovery {

namespace {

PlannedEndpoint everyAddress(bool v6)
{
    PlannedEndpoint endpoint;
    endpoint.bind = v6 ? IpAddress::anyIpv6() : IpAddress::anyIpv4();
    endpoint.broadcast = !v6;
    return endpoint;
}

// The interfaces that take multicast; joining fails on the others.
std::vector<GroupInterface> multicastInterfaces(const std::vector<InterfaceAddress>& interfaces)
{
    std::vector<GroupInterface> found;
    for (const InterfaceAddress& entry : interfaces) {
        bool known = false;
        for (const GroupInterface& seen : found)
            known = known || seen.index == entry.index;
        if (entry.multicast && entry.index != 0 && !known)
            found.push_back({entry.index, entry.name});
    }
    return found;
}

// The socket for one interface's own address `wanted`, bound to every
// address; false when no interface holds it.
bool planOwnAddress(const IpAddress& wanted, const std::vector<InterfaceAddress>& interfaces,
                    PlannedEndpoint& endpoint)
{
    endpoint = everyAddress(wanted.v6);
    endpoint.broadcast = false;
    for (const InterfaceAddress& entry : interfaces) {
        if (entry.index == 0 || !entry.address || !entry.address->sameAs(wanted))
            continue;
        if (wanted.v6) {
            if (wanted.scope != 0 && wanted.scope != entry.index)
                continue;
            if (entry.multicast)
                endpoint.groupInterfaces.push_back({entry.index, entry.name});
        } else if (entry.broadcast && !entry.broadcast->v6) {
            endpoint.ownBroadcast4 = entry.broadcast;
        }
        endpoint.own = *entry.address;
        endpoint.own.scope = 0;
        endpoint.oneAddress = true;
        endpoint.ownInterface = entry.index;
        return true;
    }
    return false;
}

// 127.x answers on IPv4 only: an answer from ::1 would send the client to
// an HTTP server that does not listen there. ::1 takes the group too, as
// "::" does: a client here may look there only.
PlannedEndpoint thisMachineOnly(const IpAddress& loopback, const InterfaceLister& interfaces)
{
    PlannedEndpoint endpoint = everyAddress(loopback.v6);
    endpoint.thisMachineOnly = true;
    endpoint.own = loopback;
    endpoint.own.scope = 0;
    if (loopback.v6)
        endpoint.groupInterfaces = multicastInterfaces(interfaces());
    return endpoint;
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
    IpAddress address;
    address.v6 = true;
    std::memcpy(address.bytes.data(), networkOrder16, 16);
    address.scope = scope;
    return address;
}

IpAddress IpAddress::loopbackIpv6()
{
    IpAddress address = anyIpv6();
    address.bytes[15] = 1;
    return address;
}

IpAddress IpAddress::group()
{
    const unsigned char bytes[16] = {0xff, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xa1, 0x9a, 0xca};
    return ipv6(bytes);
}

bool IpAddress::sameAs(const IpAddress& other) const
{
    return v6 == other.v6 && std::memcmp(bytes.data(), other.bytes.data(), v6 ? 16 : 4) == 0;
}

bool IpAddress::isLimitedBroadcast() const
{
    return !v6 && bytes[0] == 0xff && bytes[1] == 0xff && bytes[2] == 0xff && bytes[3] == 0xff;
}

bool planEndpoints(const std::string& listenAddress, const std::optional<IpAddress>& parsed,
                   const InterfaceLister& interfaces, std::vector<PlannedEndpoint>& plan, std::string& error)
{
    const std::string text = unbracketed(listenAddress);
    if (text.empty() || !parsed) {
        error = "discovery: listen address '" + listenAddress + "' is not an IP address";
        return false;
    }
    if (parsed->isAnyAddress()) {
        plan.push_back(everyAddress(false));
        if (parsed->v6) {
            PlannedEndpoint every6 = everyAddress(true);
            every6.optional = true;
            every6.groupInterfaces = multicastInterfaces(interfaces());
            plan.push_back(every6);
        }
        return true;
    }
    if (parsed->isLoopback()) {
        plan.push_back(thisMachineOnly(*parsed, interfaces));
        return true;
    }
    PlannedEndpoint own;
    if (!planOwnAddress(*parsed, interfaces(), own)) {
        error = "discovery: listen address " + text + " is not an address of this machine";
        return false;
    }
    plan.push_back(own);
    return true;
}

bool isLocalSource(const IpAddress& source, const std::vector<InterfaceAddress>& interfaces)
{
    IpAddress wanted = source;
    // ::ffff:a.b.c.d
    static const unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (source.v6 && std::memcmp(source.bytes.data(), mappedPrefix, sizeof mappedPrefix) == 0)
        wanted = IpAddress::ipv4(source.bytes.data() + 12);
    if (wanted.isLoopback())
        return true;
    // Nobody sends from these; the lists never hold them as addresses.
    if (wanted.isAnyAddress() || wanted.isMulticast() || wanted.isLimitedBroadcast())
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
    if (endpoint.oneAddress)
        return true;
    return endpoint.thisMachineOnly && !(endpoint.own.v6 && endpoint.own.isLoopback() && source.isLinkLocal());
}

std::string unbracketed(const std::string& listenAddress)
{
    if (listenAddress.size() >= 2 && listenAddress.front() == '[' && listenAddress.back() == ']')
        return listenAddress.substr(1, listenAddress.size() - 2);
    return listenAddress;
}

bool isDiscoveryRequest(const char* bytes, std::size_t length)
{
    // "alpacadiscovery" and version 1; bytes after the version are let
    // through, for a later client that sends more (kMaxDatagram still holds).
    static const char prefix[] = "alpacadiscovery";
    const std::size_t prefixLength = sizeof prefix - 1;
    return length > prefixLength && std::memcmp(bytes, prefix, prefixLength) == 0 && bytes[prefixLength] == '1';
}

bool isReplyableSource(const IpAddress& source, int sourcePort)
{
    if (sourcePort == 0 || source.isMulticast())
        return false;
    return !source.isAnyAddress() && !source.isLimitedBroadcast();
}

bool isAddressedTo(const PlannedEndpoint& endpoint, const IpAddress& to, unsigned interfaceIndex)
{
    if (to.v6 != endpoint.v6())
        return false;
    if (to.sameAs(endpoint.own))
        return true;
    const bool ownBroadcast = endpoint.ownBroadcast4 && to.sameAs(*endpoint.ownBroadcast4);
    const bool toAll = endpoint.v6() ? to.sameAs(IpAddress::group()) : to.isLimitedBroadcast() || ownBroadcast;
    return toAll && interfaceIndex == endpoint.ownInterface;
}

} // namespace discovery
