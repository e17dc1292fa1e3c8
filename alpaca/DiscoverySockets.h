// What the discovery loop (Discovery.cpp) asks of the system: the socket
// calls that differ, made by DiscoverySocketsPosix.cpp or
// DiscoverySocketsWinsock.cpp, and the names under which the loop writes
// everything else once for both.
#pragma once

#include "DiscoveryPlan.h"

#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
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

// The system's header of a message of one part, `bytes`, from or to
// `peer`, with `control` for its control messages (made up and read in the
// per-system files); the control messages' macros (FIRSTHDR, NXTHDR, DATA,
// LEN, SPACE) and header; and the one difference in the packet info, which
// both systems read and write alike.
#ifdef _WIN32
using MessagePart = WSABUF;
using MessageHeader = WSAMSG;
#define DISCOVERY_CMSG(macro) WSA_CMSG_##macro
using ControlHeader = WSACMSGHDR;
inline in_addr& replySource(in_pktinfo& packet) { return packet.ipi_addr; }
// The option that reads each datagram's own address with it: Windows names
// it as the one a reply sets.
constexpr int kIpv6ReadPacketInfo = IPV6_PKTINFO;
#else
using MessagePart = iovec;
using MessageHeader = msghdr;
#define DISCOVERY_CMSG(macro) CMSG_##macro
using ControlHeader = cmsghdr;
inline in_addr& replySource(in_pktinfo& packet) { return packet.ipi_spec_dst; }
constexpr int kIpv6ReadPacketInfo = IPV6_RECVPKTINFO;
#endif

struct Message {
    Message(char* bytes, std::size_t size, sockaddr_storage& peer, socklen_t peerLength, char* control,
            std::size_t controlLength);
    Message(const Message&) = delete; // the header points at the part
    int flags() const;
    socklen_t peerLength() const;
    MessagePart part;
    MessageHeader header;
};

// A non-blocking UDP socket of the family that child processes do not
// inherit; kClosed, lastError() telling why.
Socket open(bool v6);
void close(Socket socket);
int lastError();
std::string errorText(int code); // the system's message, on one line
bool isMissingIpv6(int failure); // no IPv6 at all, or no ::1
int wait(std::vector<pollfd>& sockets, int milliseconds); // poll(): below 0 when it failed
// recvmsg and sendmsg, without blocking: the bytes moved, below 0 for none.
long receiveMessage(Socket socket, Message& message);
long sendMessage(Socket socket, Message& message);
std::vector<InterfaceAddress> interfaceAddresses(); // empty when the system will not say

// In Discovery.cpp, for both: a socket address as the plan reads it,
// nullopt for another family.
std::optional<IpAddress> ipAddressOf(const sockaddr* address);

} // namespace discovery::sockets
