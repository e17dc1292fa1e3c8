// The discovery responder's rules, with no system calls: which sockets a
// listen address needs, and which datagrams each of them answers. The loop
// in Discovery.cpp asks here; DiscoverySockets.h reads the system for it.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace discovery {

// A request is a few bytes; anything longer is not one, and is dropped
// unread beyond this.
constexpr std::size_t kMaxDatagram = 64;

// An IPv4 or IPv6 address in network byte order (IPv4 in the first four
// bytes); scope is the IPv6 interface index given with it, 0 when none.
struct IpAddress {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{};
    unsigned scope = 0;

    static IpAddress ipv4(const void* networkOrder4);
    static IpAddress ipv6(const void* networkOrder16, unsigned scope = 0);
    static IpAddress any(bool v6) { return v6 ? ipv6(std::array<unsigned char, 16>{}.data()) : IpAddress{}; }
    static IpAddress loopbackIpv6();
    static IpAddress group(); // ff12::a1:9aca

    // Same family and bytes; the scope is not compared.
    bool sameAs(const IpAddress& other) const;
    bool isAnyAddress() const { return sameAs(any(v6)); }
    bool isLoopback() const { return v6 ? sameAs(loopbackIpv6()) : bytes[0] == 127; } // 127.0.0.0/8 or ::1
    bool isMulticast() const { return v6 ? bytes[0] == 0xff : (bytes[0] & 0xf0) == 0xe0; }
    bool isLimitedBroadcast() const
    {
        return !v6 && bytes[0] == 0xff && bytes[1] == 0xff && bytes[2] == 0xff && bytes[3] == 0xff;
    }
    bool isLinkLocal() const { return v6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80; } // fe80::/10
};

// One address of one interface, as the system lists it; an entry without
// an address stands for the interface itself (its multicast flag counts).
struct InterfaceAddress {
    unsigned index = 0; // never 0 in a list
    std::string name{};
    bool multicast = false;
    std::optional<IpAddress> address{};
    std::optional<IpAddress> broadcast{}; // IPv4, when the interface has one
};
using InterfaceLister = std::function<std::vector<InterfaceAddress>()>;

// One socket to open, bound to every address of its family (a broadcast is
// not addressed to one of ours), and what it answers for.
struct PlannedEndpoint {
    IpAddress bind{};
    // Left out when the machine has no IPv6 (no socket, no ::1).
    bool optional = false;
    bool broadcast = false;
    // Interfaces to join the IPv6 discovery group on (index and name).
    std::vector<InterfaceAddress> groupInterfaces{};

    // One interface's own address: answers only what was sent to that
    // address or broadcast on its interface, and replies from it, so the
    // client reaches the HTTP server where it listens.
    bool oneAddress = false;
    unsigned ownInterface = 0;
    IpAddress own{}; // with its interface as the scope when link-local
    std::optional<IpAddress> ownBroadcast4{};

    // A loopback address (127.x, ::1): a socket bound to 127.0.0.1 hears no
    // broadcast, not even one to 127.255.255.255 from this machine, so this
    // one answers only what this machine sent (isLocalSource), whatever the
    // datagram was sent to, and replies from `own`.
    bool thisMachineOnly = false;

    bool v6() const { return bind.v6; }
    // The socket reads each datagram's packet info, and its replies may name
    // their source (`own`) there.
    bool repliesFromOwn() const { return oneAddress || thisMachineOnly; }
    // What the endpoint answers for: its own address, or the one it is bound to.
    const IpAddress& answersFor() const { return repliesFromOwn() ? own : bind; }
};

// A datagram as read: its bytes (no more than kMaxDatagram), its source,
// and, for a socket that reads its packet info, where it was sent and on
// which interface.
struct Datagram {
    char bytes[kMaxDatagram];
    std::size_t length = 0;
    IpAddress source;
    int sourcePort = 0;
    std::optional<IpAddress> to;
    unsigned interfaceIndex = 0;
};

// The sockets the listen address needs, not yet opened. `parsed` is the
// text without the brackets of "[::1]" (unbracketed) read as a numeric
// address (nullopt when it is not one); `interfaces` is asked only when an
// interface must be found.
bool planEndpoints(const std::string& listenAddress, const std::optional<IpAddress>& parsed,
                   const InterfaceLister& interfaces, std::vector<PlannedEndpoint>& plan, std::string& error);
std::string unbracketed(const std::string& listenAddress);

// Whether the endpoint answers the datagram: a request of version 1, from
// a source a reply can reach, sent where the endpoint answers for; from
// this machine (`isLocal`, asked only then) for one that answers it only.
bool answers(const PlannedEndpoint& endpoint, const Datagram& datagram,
             const std::function<bool(const IpAddress&)>& isLocal);

// For a socket answering this machine only: is `source` one of its
// addresses? Loopback (127.0.0.0/8, ::1), or an address one of
// `interfaces` holds (a link-local one on that interface only), as listed
// when the datagram came. An IPv4-mapped IPv6 source counts as its IPv4
// address.
bool isLocalSource(const IpAddress& source, const std::vector<InterfaceAddress>& interfaces);

// Whether the reply to `source` names its own address (`own`) as its
// source. A reply from ::1 to a link-local source is refused by the system
// (that destination is held to its interface): it goes from the system's
// choice, an address of that interface, which is also this machine's.
bool repliesFromOwnTo(const PlannedEndpoint& endpoint, const IpAddress& source);

} // namespace discovery
