// The discovery loop's socket calls that differ between systems, made by
// DiscoverySocketsPosix.cpp or DiscoverySocketsWinsock.cpp. Those both
// systems make alike the loop (Discovery.cpp) makes itself.
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

using Socket = decltype(pollfd::fd); // a descriptor, or a SOCKET
constexpr Socket kClosed = Socket(-1);
// The option that reads each datagram's own address with it: Windows names
// it as the one a reply sets.
#ifdef _WIN32
constexpr int kIpv6ReadPacketInfo = IPV6_PKTINFO;
#else
constexpr int kIpv6ReadPacketInfo = IPV6_RECVPKTINFO;
#endif

// A non-blocking UDP socket of the family that child processes do not
// inherit; kClosed, lastError() telling why.
Socket open(bool v6);
void close(Socket socket);
int lastError();
std::string errorText(int code); // the system's message, on one line
bool isMissingIpv6(int failure); // no IPv6 at all, or no ::1
int wait(std::vector<pollfd>& sockets, int milliseconds); // poll(): below 0 when it failed

// Takes a datagram waiting on the socket, with its source and its packet
// info (readPacketInfo). False when none was waiting, or the one taken is
// dropped (too long, or a report of a reply that went nowhere).
bool receive(Socket socket, Datagram& into, sockaddr_storage& from, socklen_t& fromLength);
// Sends without blocking (a full send buffer costs this reply), from
// `source` when given (a link-local one on its scope's interface).
bool send(Socket socket, const std::string& reply, sockaddr_storage& to, socklen_t toLength,
          const std::optional<IpAddress>& source);
std::vector<InterfaceAddress> interfaceAddresses(); // empty when the system will not say

// Both systems', in Discovery.cpp: a socket address as the plan reads it
// (nullopt for another family), and a received control message, which when
// it is the packet info tells where the datagram was sent.
std::optional<IpAddress> ipAddressOf(const sockaddr* address);
void readPacketInfo(int level, int type, const void* data, std::size_t length, Datagram& into);

} // namespace discovery::sockets
