// The few socket calls the discovery loop (Discovery.cpp) makes, in the
// plan's own terms: DiscoverySocketsPosix.cpp and DiscoverySocketsWinsock.cpp
// make them on their system, over what DiscoveryBsdSockets.h does alike on
// both.
#pragma once

#include "DiscoveryPlan.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace discovery::sockets {

// The system's socket (a descriptor, a SOCKET); kClosed when there is none.
using Handle = std::intptr_t;
constexpr Handle kClosed = -1;

// Before the first socket and after the last (Winsock's start-up): false
// with the one-line reason.
bool startUp(std::string& error);
void cleanUp();

// Opens the planned socket, non-blocking, sets its options and binds it to
// `port` (0: a free one); kClosed with the system's error code.
Handle open(const PlannedEndpoint& endpoint, int port, int& failure);
void close(Handle socket);
int boundPort(Handle socket);
// The failure of a socket the machine cannot have: no IPv6 at all, or no ::1.
bool isMissingIpv6(int failure);
// Joins the IPv6 discovery group where it can (an interface without IPv6
// refuses, and the others still hear it): the names of those joined, with
// ", " between.
std::string joinGroup(Handle socket, const std::vector<GroupInterface>& interfaces);

// One datagram as read: its bytes (no more than kMaxDatagram), its source,
// and for a socket that reads its packet info, where it was sent and on
// which interface.
struct Datagram {
    char bytes[kMaxDatagram];
    std::size_t length = 0;
    IpAddress source;
    int sourcePort = 0;
    std::optional<IpAddress> to;
    unsigned interfaceIndex = 0;
};
enum class Received {
    datagram, // in `into`
    skipped,  // taken and dropped: too long, from no IPv4 or IPv6 address; or an interrupted read
              // or one that reports a reply that went nowhere
    drained,  // nothing waiting, or an error the next wait reports again
};
Received receive(Handle socket, bool withPacketInfo, Datagram& into);

// Sends `reply` to the client without blocking (a full send buffer costs
// this reply); from `source` when given (its scope: the interface of a
// link-local one), else from the system's choice.
bool send(Handle socket, const std::string& reply, const IpAddress& client, int clientPort,
          const std::optional<IpAddress>& source);

// What stop() signals and the wait watches (one socket or two ends of a
// pipe); kClosed with the system's error code when none can be made.
struct WakeUp {
    Handle watched = kClosed;
    Handle signalled = kClosed;
};
WakeUp makeWakeUp(int& failure);
void signal(const WakeUp& wakeUp);
void close(const WakeUp& wakeUp);
// Waits for a datagram on any of `watched` or the wake-up, and tells which
// sockets have one; none after a wake-up or a failed wait. A wait may end
// with neither, as a time-out: the caller looks at its stop flag each time.
void wait(const std::vector<Handle>& watched, const WakeUp& wakeUp, std::vector<bool>& ready);

std::vector<InterfaceAddress> interfaceAddresses(); // empty when the system will not say
std::optional<IpAddress> parseNumeric(const std::string& text);
std::string addressText(const IpAddress& address);
// The system's message for its error code, on one line.
std::string errorText(int code);

} // namespace discovery::sockets
