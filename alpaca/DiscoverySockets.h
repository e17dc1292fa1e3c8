// The socket calls of the discovery loop (Discovery.cpp) that differ
// between systems, made by DiscoverySocketsPosix.cpp or
// DiscoverySocketsWinsock.cpp. Those both systems share the loop makes
// itself.
#pragma once

#include "DiscoveryPlan.h"

#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace discovery::sockets {

// A descriptor, or a SOCKET.
using Socket = decltype(pollfd::fd);
constexpr Socket kClosed = Socket(-1);
// The option that has each datagram's own address read with it: Windows
// names it as the one a reply sets.
#ifdef _WIN32
constexpr int kIpv6ReadPacketInfo = IPV6_PKTINFO;
#else
constexpr int kIpv6ReadPacketInfo = IPV6_RECVPKTINFO;
#endif

// A UDP socket of the family, non-blocking, that child processes do not
// inherit; kClosed, lastError() telling why.
Socket open(bool v6);
void close(Socket socket);
int lastError();
std::string errorText(int code); // the system's message, on one line
// The failure of a socket the machine cannot have: no IPv6 at all, or no ::1.
bool isMissingIpv6(int failure);
// poll() for at most `milliseconds`; below 0 when it failed.
int wait(std::vector<pollfd>& sockets, int milliseconds);

// Takes a datagram waiting on the socket: its bytes, its source `from`, and
// its packet info (readPacketInfo). False when none was waiting, or the one
// taken is dropped (too long, or a report of a reply that went nowhere).
bool receive(Socket socket, Datagram& into, sockaddr_storage& from, socklen_t& fromLength);
// Sends the reply to `to` without blocking (a full send buffer costs this
// reply): from `source` when given (its scope: the interface of a
// link-local one), else from the system's choice.
bool send(Socket socket, const std::string& reply, sockaddr_storage& to, socklen_t toLength,
          const std::optional<IpAddress>& source);

// Empty when the system will not say.
std::vector<InterfaceAddress> interfaceAddresses();

// Both systems' own, in Discovery.cpp: an IPv4 or IPv6 socket address as
// the plan reads it (nullopt for none or another family), and a received
// control message, which when it is the packet info tells where the
// datagram was sent.
std::optional<IpAddress> ipAddressOf(const sockaddr* address);
void readPacketInfo(int level, int type, const void* data, std::size_t length, Datagram& into);

} // namespace discovery::sockets
