// What the discovery responder answers and where, with no system calls: the
// POSIX and Winsock halves list the interfaces and read the addresses, and
// ask here what to open and what to take.
#include "DiscoveryPlan.h"

#include <cstring>

namespace discovery {

namespace {

constexpr char kRequestPrefix[] = "alpacadiscovery";
constexpr std::size_t kPrefixLength = sizeof kRequestPrefix - 1;
constexpr char kSupportedVersion = '1';

bool isPort(int value) { return value >= 0 && value <= 65535; }

bool isIpv4AllZero(const IpAddress& address)
{
    return address.bytes[0] == 0 && address.bytes[1] == 0 && address.bytes[2] == 0 && address.bytes[3] == 0;
}

PlannedEndpoint everyIpv4Address()
{
    PlannedEndpoint endpoint;
    endpoint.bind = IpAddress::anyIpv4();
    endpoint.broadcast = true;
    return endpoint;
}

PlannedEndpoint everyIpv6Address()
{
    PlannedEndpoint endpoint;
    endpoint.bind = IpAddress::anyIpv6();
    return endpoint;
}

// The interfaces that take multicast; joining fails on the others.
std::vector<GroupInterface> multicastInterfaces(const std::vector<InterfaceAddress>& interfaces)
{
    std::vector<GroupInterface> found;
    for (const InterfaceAddress& entry : interfaces) {
        if (!entry.multicast || entry.index == 0)
            continue;
        bool known = false;
        for (const GroupInterface& seen : found)
            known = known || seen.index == entry.index;
        if (!known)
            found.push_back({entry.index, entry.name});
    }
    return found;
}

// Finds the interface that holds `wanted` and fills the endpoint's "one
// address" part.
bool findOwnInterface(const IpAddress& wanted, const std::vector<InterfaceAddress>& interfaces,
                      PlannedEndpoint& endpoint)
{
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

std::string notOurs(const std::string& text)
{
    return "discovery: listen address " + text + " is not an address of this machine";
}

bool planForIpv4(const IpAddress& address, const std::string& text, const InterfaceLister& interfaces,
                 std::vector<PlannedEndpoint>& plan, std::string& error)
{
    if (address.isAnyAddress()) {
        plan.push_back(everyIpv4Address());
        return true;
    }
    if (address.isLoopback()) {
        // IPv4 only: an answer from ::1 would send the client to an HTTP
        // server that does not listen there.
        PlannedEndpoint loopback = everyIpv4Address();
        loopback.thisMachineOnly = true;
        loopback.own = address;
        plan.push_back(loopback);
        return true;
    }
    PlannedEndpoint own = everyIpv4Address();
    own.broadcast = false;
    if (!findOwnInterface(address, interfaces(), own)) {
        error = notOurs(text);
        return false;
    }
    plan.push_back(own);
    return true;
}

bool planForIpv6(const IpAddress& address, const std::string& text, const InterfaceLister& interfaces,
                 std::vector<PlannedEndpoint>& plan, std::string& error)
{
    if (address.isAnyAddress()) {
        plan.push_back(everyIpv4Address());
        PlannedEndpoint every6 = everyIpv6Address();
        every6.optional = true;
        every6.groupInterfaces = multicastInterfaces(interfaces());
        plan.push_back(every6);
        return true;
    }
    if (address.isLoopback()) {
        // The group too, as for "::": a client here may look there only.
        PlannedEndpoint loopback6 = everyIpv6Address();
        loopback6.thisMachineOnly = true;
        loopback6.own = IpAddress::loopbackIpv6();
        loopback6.groupInterfaces = multicastInterfaces(interfaces());
        plan.push_back(loopback6);
        return true;
    }
    PlannedEndpoint own = everyIpv6Address();
    if (!findOwnInterface(address, interfaces(), own)) {
        error = notOurs(text);
        return false;
    }
    plan.push_back(own);
    return true;
}

} // namespace

bool isDiscoveryRequest(const char* bytes, std::size_t length)
{
    // Bytes after the version are let through, for a later client that
    // sends more; kMaxDatagram still holds.
    return length > kPrefixLength && std::memcmp(bytes, kRequestPrefix, kPrefixLength) == 0
        && bytes[kPrefixLength] == kSupportedVersion;
}

std::string replyFor(int alpacaPort) { return "{\"AlpacaPort\": " + std::to_string(alpacaPort) + "}"; }

std::string settingsError(int discoveryPort, int alpacaPort)
{
    if (!isPort(discoveryPort))
        return "discovery port " + std::to_string(discoveryPort) + " is not a port number";
    if (!isPort(alpacaPort) || alpacaPort == 0)
        return "discovery: HTTP port " + std::to_string(alpacaPort) + " is not a port number";
    return "";
}

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

IpAddress IpAddress::anyIpv4() { return IpAddress{}; }

IpAddress IpAddress::anyIpv6()
{
    IpAddress address;
    address.v6 = true;
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
    // ff12::a1:9aca
    const unsigned char bytes[16] = {0xff, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xa1, 0x9a, 0xca};
    return ipv6(bytes);
}

bool IpAddress::sameAs(const IpAddress& other) const
{
    if (v6 != other.v6)
        return false;
    return std::memcmp(bytes.data(), other.bytes.data(), v6 ? 16 : 4) == 0;
}

bool IpAddress::isAnyAddress() const { return sameAs(v6 ? anyIpv6() : anyIpv4()); }

bool IpAddress::isLoopback() const { return v6 ? sameAs(loopbackIpv6()) : bytes[0] == 127; }

bool IpAddress::isMulticast() const { return v6 ? bytes[0] == 0xff : (bytes[0] & 0xf0) == 0xe0; }

bool IpAddress::isLimitedBroadcast() const
{
    return !v6 && bytes[0] == 0xff && bytes[1] == 0xff && bytes[2] == 0xff && bytes[3] == 0xff;
}

bool IpAddress::isLinkLocal() const { return v6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80; }

std::string unbracketed(const std::string& listenAddress)
{
    if (listenAddress.size() >= 2 && listenAddress.front() == '[' && listenAddress.back() == ']')
        return listenAddress.substr(1, listenAddress.size() - 2);
    return listenAddress;
}

bool planEndpoints(const std::string& listenAddress, const std::optional<IpAddress>& parsed,
                   const InterfaceLister& interfaces, std::vector<PlannedEndpoint>& plan, std::string& error)
{
    const std::string text = unbracketed(listenAddress);
    if (text.empty() || !parsed) {
        error = "discovery: listen address '" + listenAddress + "' is not an IP address";
        return false;
    }
    if (parsed->v6)
        return planForIpv6(*parsed, text, interfaces, plan, error);
    return planForIpv4(*parsed, text, interfaces, plan, error);
}

bool isReplyableSource(const IpAddress& source, int sourcePort)
{
    if (sourcePort == 0 || source.isMulticast())
        return false;
    if (source.v6)
        return !source.isAnyAddress();
    return !isIpv4AllZero(source) && !source.isLimitedBroadcast();
}

bool isAddressedTo(const PlannedEndpoint& endpoint, const IpAddress& to, unsigned interfaceIndex)
{
    if (to.v6 != endpoint.v6())
        return false;
    if (to.sameAs(endpoint.own))
        return true;
    if (endpoint.v6())
        return to.sameAs(IpAddress::group()) && interfaceIndex == endpoint.ownInterface;
    const bool broadcast
        = to.isLimitedBroadcast() || (endpoint.ownBroadcast4 && to.sameAs(*endpoint.ownBroadcast4));
    return broadcast && interfaceIndex == endpoint.ownInterface;
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
        if (!entry.address || !entry.address->sameAs(wanted))
            continue;
        // fe80::1 on another link is another machine's.
        if (wanted.isLinkLocal() && wanted.scope != 0 && wanted.scope != entry.index)
            continue;
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

std::string endpointLabel(const PlannedEndpoint& endpoint, const std::string& addressText, int port,
                          const std::string& joinedInterfaces)
{
    std::string label = (endpoint.v6() ? "[" + addressText + "]" : addressText) + ":" + std::to_string(port);
    std::string notes;
    if (endpoint.thisMachineOnly)
        notes = "requests from this machine";
    if (!joinedInterfaces.empty())
        notes += (notes.empty() ? "" : "; ") + std::string(kMulticastGroup) + " on " + joinedInterfaces;
    if (!notes.empty())
        label += " (" + notes + ")";
    return label;
}

std::string bindError(int port, const std::string& addressText, const std::string& reason)
{
    return "discovery port " + std::to_string(port) + " on " + addressText + ": " + reason;
}

} // namespace discovery
