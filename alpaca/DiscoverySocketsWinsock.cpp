// Discovery's socket calls on Winsock 2: WSARecvMsg and WSASendMsg with the
// packet info, WSAPoll, the adapters' addresses, and a loopback socket for
// the wake-up.
//
// Sharing the port: every socket takes SO_REUSEADDR, as on POSIX, so that
// several Alpaca servers on one machine all bind 32227 and all hear a
// broadcast. SO_EXCLUSIVEADDRUSE would keep a second server (ours or
// another maker's) off the port, which is what clients expect to find.
#include "DiscoveryBsdSockets.h"

#include <mswsock.h>
#include <iphlpapi.h>
#include <windows.h>

namespace discovery::sockets {

namespace {

// The wait in WSAPoll when no wake-up comes: stop() still gets through.
constexpr int kPollMilliseconds = 1000;

// Room for whichever packet-info message a socket gets, aligned for it.
union ControlBuffer {
    WSACMSGHDR header;
    char bytes[WSA_CMSG_SPACE(sizeof(IN6_PKTINFO)) + WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
};

std::string utf8(const wchar_t* wide)
{
    const int size = wide && *wide ? ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr) : 0;
    if (size <= 1)
        return "";
    std::string text(std::size_t(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
    text.resize(std::size_t(size - 1));
    return text;
}

// A UDP socket the child processes do not inherit, non-blocking. A reply
// to a client that has gone would make Windows fail the next read with
// WSAECONNRESET; the responder has no use for that report.
SOCKET openUdpSocket(bool v6)
{
    const int family = v6 ? AF_INET6 : AF_INET;
    SOCKET socket = ::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Before Windows 7 SP1 the flag is unknown.
        socket = ::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (socket != INVALID_SOCKET)
            ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    }
    if (socket == INVALID_SOCKET)
        return socket;
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        const int failure = ::WSAGetLastError();
        ::closesocket(socket);
        ::WSASetLastError(failure);
        return INVALID_SOCKET;
    }
    BOOL report = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    return socket;
}

LPFN_WSARECVMSG receiveMessageFunction(SOCKET socket)
{
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD returned = 0;
    if (::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function, sizeof function, &returned,
                   nullptr, nullptr)
        != 0)
        return nullptr;
    return function;
}

void readPacketInfo(WSAMSG& message, Datagram& into)
{
    if (message.dwFlags & MSG_CTRUNC)
        return;
    for (WSACMSGHDR* info = WSA_CMSG_FIRSTHDR(&message); info; info = WSA_CMSG_NXTHDR(&message, info)) {
        if (info->cmsg_level == IPPROTO_IP && info->cmsg_type == IP_PKTINFO
            && info->cmsg_len >= WSA_CMSG_LEN(sizeof(IN_PKTINFO))) {
            IN_PKTINFO packet{};
            std::memcpy(&packet, WSA_CMSG_DATA(info), sizeof packet);
            into.to = IpAddress::ipv4(&packet.ipi_addr);
            into.interfaceIndex = packet.ipi_ifindex;
        }
        if (info->cmsg_level == IPPROTO_IPV6 && info->cmsg_type == IPV6_PKTINFO
            && info->cmsg_len >= WSA_CMSG_LEN(sizeof(IN6_PKTINFO))) {
            IN6_PKTINFO packet{};
            std::memcpy(&packet, WSA_CMSG_DATA(info), sizeof packet);
            into.to = IpAddress::ipv6(&packet.ipi6_addr);
            into.interfaceIndex = packet.ipi6_ifindex;
        }
    }
}

template <class PacketInfo>
void writeControl(WSAMSG& message, int level, int type, const PacketInfo& packet)
{
    message.Control.len = ULONG(WSA_CMSG_SPACE(sizeof packet));
    WSACMSGHDR* info = WSA_CMSG_FIRSTHDR(&message);
    info->cmsg_level = level;
    info->cmsg_type = type;
    info->cmsg_len = WSA_CMSG_LEN(sizeof packet);
    std::memcpy(WSA_CMSG_DATA(info), &packet, sizeof packet);
}

// The packet info that names the reply's source: the address and, for a
// link-local one, its interface.
void writePacketInfo(const IpAddress& source, WSAMSG& message)
{
    if (!source.v6) {
        IN_PKTINFO packet{};
        std::memcpy(&packet.ipi_addr, source.bytes.data(), sizeof packet.ipi_addr);
        return writeControl(message, IPPROTO_IP, IP_PKTINFO, packet);
    }
    IN6_PKTINFO packet{};
    std::memcpy(&packet.ipi6_addr, source.bytes.data(), sizeof packet.ipi6_addr);
    packet.ipi6_ifindex = source.scope;
    writeControl(message, IPPROTO_IPV6, IPV6_PKTINFO, packet);
}

// Windows lists no broadcast address: it is the address with the host
// part set, for a prefix that leaves one.
std::optional<IpAddress> broadcastOf(const IpAddress& address, unsigned prefixLength,
                                     const IP_ADAPTER_ADDRESSES& adapter)
{
    if (adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK || prefixLength == 0 || prefixLength > 30)
        return std::nullopt;
    std::uint32_t value;
    std::memcpy(&value, address.bytes.data(), sizeof value);
    value = htonl(ntohl(value) | (0xffffffffu >> prefixLength));
    return IpAddress::ipv4(&value);
}

// One index serves both families since Windows Vista; Wine leaves the
// IPv6 one 0 on an adapter with IPv6.
unsigned ipv6IndexOf(const IP_ADAPTER_ADDRESSES& adapter)
{
    if (adapter.Ipv6IfIndex != 0)
        return unsigned(adapter.Ipv6IfIndex);
    return (adapter.Flags & IP_ADAPTER_IPV6_ENABLED) ? unsigned(adapter.IfIndex) : 0;
}

void addAdapter(const IP_ADAPTER_ADDRESSES& adapter, std::vector<InterfaceAddress>& found)
{
    std::string name = utf8(adapter.FriendlyName);
    if (name.empty() && adapter.AdapterName)
        name = adapter.AdapterName;
    const bool multicast = (adapter.Flags & IP_ADAPTER_NO_MULTICAST) == 0;
    const unsigned index6 = ipv6IndexOf(adapter);
    if (index6 != 0)
        found.push_back({index6, name, multicast, std::nullopt, std::nullopt});
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter.FirstUnicastAddress; unicast; unicast = unicast->Next) {
        const std::optional<IpAddress> address
            = unicast->Address.lpSockaddr ? ipAddressOf(unicast->Address.lpSockaddr) : std::nullopt;
        if (!address)
            continue;
        const unsigned index = address->v6 ? index6 : unsigned(adapter.IfIndex);
        if (index != 0)
            found.push_back({index, name, multicast, address,
                             address->v6 ? std::nullopt : broadcastOf(*address, unicast->OnLinkPrefixLength, adapter)});
    }
}

} // namespace

bool startUp(std::string& error)
{
    // WSAStartup counts its callers, so this is safe beside the HTTP server's own.
    WSADATA data{};
    const int failure = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (failure != 0)
        error = "discovery: cannot start Winsock: " + errorText(failure);
    return failure == 0;
}

void cleanUp() { ::WSACleanup(); }

Handle open(const PlannedEndpoint& endpoint, int port, int& failure)
{
    const SOCKET socket = openUdpSocket(endpoint.v6());
    // Sockets answering for one address read the packet info with WSARecvMsg.
    if (socket != INVALID_SOCKET && prepareAndBind(endpoint, socket, port)
        && (!endpoint.oneAddress || receiveMessageFunction(socket)))
        return Handle(socket);
    failure = ::WSAGetLastError() ? ::WSAGetLastError() : WSAEOPNOTSUPP;
    close(Handle(socket));
    return kClosed;
}

void close(Handle socket)
{
    if (socket != kClosed)
        ::closesocket(systemSocket(socket));
}

bool isMissingIpv6(int failure)
{
    return failure == WSAEAFNOSUPPORT || failure == WSAEPFNOSUPPORT || failure == WSAEPROTONOSUPPORT
        || failure == WSAEADDRNOTAVAIL;
}

Received receive(Handle socket, bool withPacketInfo, Datagram& into)
{
    sockaddr_storage from{};
    int fromLength = sizeof from;
    ControlBuffer control{};
    WSABUF part{ULONG(sizeof into.bytes), into.bytes};
    WSAMSG message{reinterpret_cast<sockaddr*>(&from), fromLength, &part, 1, {sizeof control.bytes, control.bytes}, 0};
    const LPFN_WSARECVMSG receiveMessage = withPacketInfo ? receiveMessageFunction(systemSocket(socket)) : nullptr;
    DWORD length = 0;
    int got;
    if (receiveMessage) {
        got = receiveMessage(systemSocket(socket), &message, &length, nullptr, nullptr) == 0 ? int(length) : -1;
        fromLength = message.namelen;
    } else {
        got = ::recvfrom(systemSocket(socket), into.bytes, int(sizeof into.bytes), 0,
                         reinterpret_cast<sockaddr*>(&from), &fromLength);
    }
    if (got < 0) {
        const int code = ::WSAGetLastError();
        const bool goesOn = code == WSAEMSGSIZE || code == WSAECONNRESET || code == WSAENETRESET || code == WSAEINTR;
        return goesOn ? Received::skipped : Received::drained;
    }
    into.length = std::size_t(got);
    if ((message.dwFlags & MSG_TRUNC) || !readSource(from, fromLength, into))
        return Received::skipped;
    if (receiveMessage)
        readPacketInfo(message, into);
    return Received::datagram;
}

bool send(Handle socket, const std::string& reply, const IpAddress& client, int clientPort,
          const std::optional<IpAddress>& source)
{
    sockaddr_storage to;
    const int toLength = socketAddress(client, clientPort, to);
    if (!source)
        return ::sendto(systemSocket(socket), reply.data(), int(reply.size()), 0, reinterpret_cast<sockaddr*>(&to),
                        toLength)
            == int(reply.size());
    WSABUF part{ULONG(reply.size()), const_cast<char*>(reply.data())};
    ControlBuffer control{};
    WSAMSG message{reinterpret_cast<sockaddr*>(&to), toLength, &part, 1, {0, control.bytes}, 0};
    writePacketInfo(*source, message);
    DWORD sent = 0;
    return ::WSASendMsg(systemSocket(socket), &message, 0, &sent, nullptr, nullptr) == 0 && sent == reply.size();
}

// A loopback UDP socket connected to itself: stop() sends it a byte so
// that WSAPoll returns. Connected, it takes datagrams from itself only.
WakeUp makeWakeUp(int& failure)
{
    const unsigned char loopback4[4] = {127, 0, 0, 1};
    for (const IpAddress& loopback : {IpAddress::ipv4(loopback4), IpAddress::loopbackIpv6()}) {
        const SOCKET socket = openUdpSocket(loopback.v6);
        sockaddr_storage self;
        int length = socketAddress(loopback, 0, self);
        if (socket != INVALID_SOCKET && ::bind(socket, reinterpret_cast<const sockaddr*>(&self), length) == 0
            && ::getsockname(socket, reinterpret_cast<sockaddr*>(&self), &length) == 0
            && ::connect(socket, reinterpret_cast<const sockaddr*>(&self), length) == 0)
            return {Handle(socket), Handle(socket)};
        failure = ::WSAGetLastError();
        close(Handle(socket));
    }
    return {};
}

void signal(const WakeUp& wakeUp)
{
    const char byte = 1;
    ::send(systemSocket(wakeUp.signalled), &byte, 1, 0);
}

void close(const WakeUp& wakeUp) { close(wakeUp.watched); }

void wait(const std::vector<Handle>& watched, const WakeUp& wakeUp, std::vector<bool>& ready)
{
    std::vector<WSAPOLLFD> polled{{systemSocket(wakeUp.watched), POLLRDNORM, 0}};
    for (Handle socket : watched)
        polled.push_back({systemSocket(socket), POLLRDNORM, 0});
    ready.assign(watched.size(), false);
    const int count = ::WSAPoll(polled.data(), ULONG(polled.size()), kPollMilliseconds);
    // Out of memory for the poll, say: try again shortly rather than stop
    // answering.
    if (count == SOCKET_ERROR)
        ::Sleep(100);
    char drained[16];
    while (count > 0 && polled[0].revents && ::recv(polled[0].fd, drained, sizeof drained, 0) > 0) {
    }
    for (std::size_t index = 1; count > 0 && !polled[0].revents && index < polled.size(); ++index)
        ready[index - 1] = polled[index].revents != 0;
}

// The adapters' addresses, and per adapter with IPv6 an entry for itself
// (its multicast flag counts).
std::vector<InterfaceAddress> interfaceAddresses()
{
    std::vector<InterfaceAddress> found;
    // 8-byte units: the adapter records need that alignment.
    std::vector<std::uint64_t> buffer(2048);
    ULONG size = ULONG(buffer.size() * sizeof(std::uint64_t));
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size / sizeof(std::uint64_t) + 1);
        size = ULONG(buffer.size() * sizeof(std::uint64_t));
        result = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); result == NO_ERROR && adapter;
         adapter = adapter->Next)
        addAdapter(*adapter, found);
    return found;
}

// The system's message (in the user's language, as UTF-8) on one line,
// without its closing full stop.
std::string errorText(int code)
{
    wchar_t text[512] = L"";
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                          DWORD(code), 0, text, sizeof text / sizeof text[0], nullptr);
    std::string message = length > 0 ? utf8(text) : std::string();
    for (char& each : message)
        if (each == '\r' || each == '\n')
            each = ' ';
    while (!message.empty() && (message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "Winsock error " + std::to_string(code) : message;
}

} // namespace discovery::sockets
