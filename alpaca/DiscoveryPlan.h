// The discovery responder's rules, with no system calls: which sockets a
// listen address needs, and which datagrams each of them answers.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace discovery {

// An IPv4 or IPv6 address in network byte order (IPv4 in the first four
// bytes); scope is the IPv6 interface index given with it, 0 when none.
struct IpAddress {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{};
    unsigned scope = 0;

    static IpAddress ipv4(const void* networkOrder4);
    static IpAddress ipv6(const void* networkOrder16, unsigned scope = 0);
    static IpAddress any(bool v6) { return v6 ? ipv6(std::array<unsigned char, 16>{}.data()) : IpAddress{}; }
    static IpAddress loopbackIpv6() { return ipv6("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\1"); }
    static IpAddress group() { return ipv6("\xff\x12\0\0\0\0\0\0\0\0\0\0\0\xa1\x9a\xca"); } // ff12::a1:9aca

    // Same family and bytes; the scope is not compared.
    bool sameAs(const IpAddress& other) const;
    bool isAnyAddress() const { return sameAs(any(v6)); }
    bool isLoopback() const { return v6 ? sameAs(loopbackIpv6()) : bytes[0] == 127; } // 127.0.0.0/8 or ::1
    bool isMulticast() const { return v6 ? bytes[0] == 0xff : (bytes[0] & 0xf0) == 0xe0; }
    bool isLimitedBroadcast() const { return !v6 && sameAs(ipv4("\xff\xff\xff\xff")); }
    bool isLinkLocal() const { return v6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80; } // fe80::/10
    // Nobody sends from these, and a reply to one would go nowhere or to many.
    bool isNoSource() const { return isAnyAddress() || isMulticast() || isLimitedBroadcast(); }
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
    bool optional = false; // left out when the machine has no IPv6
    bool broadcast = false;
    std::vector<InterfaceAddress> groupInterfaces{}; // to join the IPv6 group on

    // One interface's own address: answers only what was sent to it or
    // broadcast on its interface, and replies from it, so that the client
    // reaches the HTTP server where it listens.
    bool oneAddress = false;
    unsigned ownInterface = 0;
    IpAddress own{}; // with its interface as the scope when link-local
    std::optional<IpAddress> ownBroadcast4{};

    // A loopback address (127.x, ::1): a socket bound to it hears no
    // broadcast, not even this machine's, so this one, bound to every
    // address, answers whatever this machine sent, and replies from `own`.
    bool thisMachineOnly = false;

    bool v6() const { return bind.v6; }
    // The socket reads each datagram's packet info, and replies from `own`.
    bool repliesFromOwn() const { return oneAddress || thisMachineOnly; }
    const IpAddress& answersFor() const { return repliesFromOwn() ? own : bind; }
};

// A datagram as read: its bytes, its source, and, for a socket that reads
// its packet info, where it was sent and on which interface.
struct Datagram {
    char bytes[64]; // a request is a few bytes; a longer datagram is no request
    std::size_t length = 0;
    IpAddress source;
    int sourcePort = 0;
    std::optional<IpAddress> to;
    unsigned interfaceIndex = 0;
};

// The sockets the listen address needs. `parsed` is the address without
// the brackets of "[::1]" (unbracketed) read as a numeric one, nullopt when
// it is none; `interfaces` is asked only when an interface must be found.
bool planEndpoints(const std::string& listenAddress, const std::optional<IpAddress>& parsed,
                   const InterfaceLister& interfaces, std::vector<PlannedEndpoint>& plan, std::string& error);
std::string unbracketed(const std::string& listenAddress);

// Whether the endpoint answers the datagram: a request of version 1, from a
// source a reply can reach, sent where the endpoint answers for, and from
// this machine for one that answers this machine only (`interfaces` asked
// only then).
bool answers(const PlannedEndpoint& endpoint, const Datagram& datagram, const InterfaceLister& interfaces);

// Is `source` one of this machine's addresses? Loopback, or an address one
// of `interfaces` holds (a link-local one on that interface only); an
// IPv4-mapped IPv6 source counts as its IPv4 address.
bool isLocalSource(const IpAddress& source, const std::vector<InterfaceAddress>& interfaces);

// Whether the reply to `source` goes from `own`. The system refuses one from
// ::1 to a link-local source (held to its interface): that one goes from the
// system's choice, an address of that interface, and so this machine's too.
bool repliesFromOwnTo(const PlannedEndpoint& endpoint, const IpAddress& source);

} // namespace discovery
