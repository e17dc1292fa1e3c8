// The discovery responder on Winsock 2, for the Windows build: lists the
// adapters, opens what DiscoveryPlan says the listen address needs, and
// answers "alpacadiscovery1" on a thread of its own. Discovery.cpp is the
// same on POSIX; the two differ only in how they talk to the system.
//
// Sharing the port: every socket takes SO_REUSEADDR, as on POSIX, so that
// several Alpaca servers on one machine all bind 32227 and all hear a
// broadcast. SO_EXCLUSIVEADDRUSE would keep a second server (ours or
// another maker's) off the port, which is what clients expect to find.
#include "Discovery.h"
#include "DiscoveryPlan.h"
#include "DiscoverySockets.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <iphlpapi.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

using discovery::IpAddress;
using discovery::addressText;
using discovery::bindTo;
using discovery::boundPortOf;
using discovery::ipAddressOf;
using discovery::joinGroup;
using discovery::prepareSocket;
using discovery::PlannedEndpoint;

DiscoveryResponder::DiscoveryResponder(int discoveryPort, int alpacaPort, std::string listenAddress)
    : requestedPort(discoveryPort), httpPort(alpacaPort), servedAddress(std::move(listenAddress))
{
}

DiscoveryResponder::~DiscoveryResponder() { stop(); }

namespace {

// The wait in WSAPoll when no wake-up comes: stop() still gets through.
constexpr int kPollMilliseconds = 1000;

// Winsock for as long as the sockets live; WSAStartup counts its callers,
// so this is safe beside the HTTP server's own.
class WinsockSession {
public:
    WinsockSession()
    {
        WSADATA data{};
        failure = ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession()
    {
        if (failure == 0)
            ::WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    int error() const { return failure; }

private:
    int failure = 0;
};

// A planned socket and, once opened, its handle.
struct Endpoint {
    PlannedEndpoint plan;
    SOCKET handle = INVALID_SOCKET;
    // Sockets answering for one address read the packet info with it.
    LPFN_WSARECVMSG receiveMessage = nullptr;
};

std::string utf8(const wchar_t* wide)
{
    if (!wide || !*wide)
        return "";
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return "";
    std::string text(std::size_t(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
    text.resize(std::size_t(size - 1));
    return text;
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
    if (message.empty())
        return "Winsock error " + std::to_string(code);
    return message;
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
    value = ntohl(value) | (0xffffffffu >> prefixLength);
    value = htonl(value);
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

// The adapters' addresses, and per adapter with IPv6 an entry for itself
// (its multicast flag counts); empty when the system will not say.
std::vector<discovery::InterfaceAddress> interfaceAddresses()
{
    std::vector<discovery::InterfaceAddress> found;
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
    if (result != NO_ERROR)
        return found;
    for (const IP_ADAPTER_ADDRESSES* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter; adapter = adapter->Next) {
        std::string name = utf8(adapter->FriendlyName);
        if (name.empty() && adapter->AdapterName)
            name = adapter->AdapterName;
        const bool multicast = (adapter->Flags & IP_ADAPTER_NO_MULTICAST) == 0;
        const unsigned index6 = ipv6IndexOf(*adapter);
        if (index6 != 0)
            found.push_back({index6, name, multicast, std::nullopt, std::nullopt});
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast;
             unicast = unicast->Next) {
            const sockaddr* raw = unicast->Address.lpSockaddr;
            if (!raw)
                continue;
            const std::optional<IpAddress> address = ipAddressOf(raw);
            if (!address)
                continue;
            discovery::InterfaceAddress item{0, name, multicast, address, std::nullopt};
            if (address->v6) {
                item.index = index6;
            } else {
                item.index = unsigned(adapter->IfIndex);
                item.broadcast = broadcastOf(*address, unicast->OnLinkPrefixLength, *adapter);
            }
            if (item.index != 0)
                found.push_back(std::move(item));
        }
    }
    return found;
}

std::optional<IpAddress> parseNumeric(const std::string& text)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (text.empty() || ::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || !found)
        return std::nullopt;
    std::optional<IpAddress> parsed = ipAddressOf(found->ai_addr);
    ::freeaddrinfo(found);
    return parsed;
}

// A UDP socket the child processes do not inherit, non-blocking.
SOCKET openUdpSocket(bool v6)
{
    const int family = v6 ? AF_INET6 : AF_INET;
    SOCKET handle = ::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (handle == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Before Windows 7 SP1 the flag is unknown.
        handle = ::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (handle != INVALID_SOCKET)
            ::SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
    }
    if (handle == INVALID_SOCKET)
        return handle;
    u_long nonBlocking = 1;
    if (::ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
        const int code = ::WSAGetLastError();
        ::closesocket(handle);
        ::WSASetLastError(code);
        return INVALID_SOCKET;
    }
    return handle;
}

// A reply to a client that has gone makes Windows fail the next read with
// WSAECONNRESET; the responder has no use for that report.
void ignorePortUnreachable(SOCKET handle)
{
    BOOL report = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(handle, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
}

LPFN_WSARECVMSG receiveMessageFunction(SOCKET handle)
{
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD returned = 0;
    if (::WSAIoctl(handle, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function, sizeof function,
                   &returned, nullptr, nullptr)
        != 0)
        return nullptr;
    return function;
}

// The machine has no IPv6 at all, or no ::1.
bool isMissingIpv6(int code)
{
    return code == WSAEAFNOSUPPORT || code == WSAEPFNOSUPPORT || code == WSAEPROTONOSUPPORT
        || code == WSAEADDRNOTAVAIL;
}

// Opens one planned socket on `port`: true when bound, or left out as
// optional (handle stays invalid).
bool openEndpoint(Endpoint& endpoint, int port, std::string& error)
{
    const SOCKET handle = openUdpSocket(endpoint.plan.v6());
    int failure = handle == INVALID_SOCKET ? ::WSAGetLastError() : 0;
    if (!failure && (!prepareSocket(endpoint.plan, handle) || bindTo(endpoint.plan, handle, port) != 0))
        failure = ::WSAGetLastError();
    if (!failure && endpoint.plan.oneAddress) {
        endpoint.receiveMessage = receiveMessageFunction(handle);
        if (!endpoint.receiveMessage)
            failure = ::WSAGetLastError() ? ::WSAGetLastError() : WSAEOPNOTSUPP;
    }
    if (failure) {
        if (handle != INVALID_SOCKET)
            ::closesocket(handle);
        if (endpoint.plan.optional && isMissingIpv6(failure))
            return true;
        error = discovery::bindError(port, addressText(endpoint.plan.answersFor()), errorText(failure));
        return false;
    }
    ignorePortUnreachable(handle);
    endpoint.handle = handle;
    return true;
}

// A loopback UDP socket connected to itself: stop() sends it a byte so
// that WSAPoll returns. Connected, it takes datagrams from itself only.
SOCKET openWakeSocket(int& failure)
{
    for (bool v6 : {false, true}) {
        const SOCKET handle = openUdpSocket(v6);
        if (handle == INVALID_SOCKET) {
            failure = ::WSAGetLastError();
            continue;
        }
        PlannedEndpoint loopback;
        const unsigned char loopback4[4] = {127, 0, 0, 1};
        loopback.bind = v6 ? IpAddress::loopbackIpv6() : IpAddress::ipv4(loopback4);
        sockaddr_storage self{};
        int length = sizeof self;
        if (bindTo(loopback, handle, 0) == 0 && ::getsockname(handle, reinterpret_cast<sockaddr*>(&self), &length) == 0
            && ::connect(handle, reinterpret_cast<const sockaddr*>(&self), length) == 0) {
            ignorePortUnreachable(handle);
            return handle;
        }
        failure = ::WSAGetLastError();
        ::closesocket(handle);
    }
    return INVALID_SOCKET;
}

} // namespace

struct DiscoveryResponder::Sockets {
    // First: Winsock outlives every socket below.
    WinsockSession session;
    std::vector<Endpoint> endpoints;
    std::string reply;
    SOCKET wake = INVALID_SOCKET;
    // Set before the wake-up byte, so a stray datagram there stops nothing.
    std::atomic<bool> stopping{false};

    Sockets() = default;
    Sockets(const Sockets&) = delete;
    Sockets& operator=(const Sockets&) = delete;
    ~Sockets()
    {
        for (const Endpoint& endpoint : endpoints)
            if (endpoint.handle != INVALID_SOCKET)
                ::closesocket(endpoint.handle);
        if (wake != INVALID_SOCKET)
            ::closesocket(wake);
    }
};

namespace {

// Room for whichever packet-info message a socket gets, aligned for it.
union ControlBuffer {
    WSACMSGHDR header;
    char bytes[WSA_CMSG_SPACE(sizeof(IN6_PKTINFO)) + WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
};

// For a socket answering for one address: what the packet info says the
// datagram was sent to, and on which interface.
bool isAddressedToUs(const PlannedEndpoint& endpoint, WSAMSG& message)
{
    if (message.dwFlags & MSG_CTRUNC)
        return false;
    for (WSACMSGHDR* info = WSA_CMSG_FIRSTHDR(&message); info; info = WSA_CMSG_NXTHDR(&message, info)) {
        if (!endpoint.v6() && info->cmsg_level == IPPROTO_IP && info->cmsg_type == IP_PKTINFO
            && info->cmsg_len >= WSA_CMSG_LEN(sizeof(IN_PKTINFO))) {
            IN_PKTINFO packet{};
            std::memcpy(&packet, WSA_CMSG_DATA(info), sizeof packet);
            return discovery::isAddressedTo(endpoint, IpAddress::ipv4(&packet.ipi_addr), packet.ipi_ifindex);
        }
        if (endpoint.v6() && info->cmsg_level == IPPROTO_IPV6 && info->cmsg_type == IPV6_PKTINFO
            && info->cmsg_len >= WSA_CMSG_LEN(sizeof(IN6_PKTINFO))) {
            IN6_PKTINFO packet{};
            std::memcpy(&packet, WSA_CMSG_DATA(info), sizeof packet);
            return discovery::isAddressedTo(endpoint, IpAddress::ipv6(&packet.ipi6_addr), packet.ipi6_ifindex);
        }
    }
    return false;
}

// Sends the reply from the endpoint's own address when it has one. The
// socket is non-blocking: a full send buffer costs this reply, not the
// thread.
bool sendReply(const Endpoint& endpoint, const std::string& reply, const IpAddress& client, sockaddr_storage& to,
               int toLength)
{
    if (!discovery::repliesFromOwnTo(endpoint.plan, client))
        return ::sendto(endpoint.handle, reply.data(), int(reply.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                        toLength)
            == int(reply.size());
    WSABUF part{ULONG(reply.size()), const_cast<char*>(reply.data())};
    ControlBuffer control{};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&to);
    message.namelen = toLength;
    message.lpBuffers = &part;
    message.dwBufferCount = 1;
    message.Control.buf = control.bytes;
    WSACMSGHDR* info = &control.header;
    if (!endpoint.plan.v6()) {
        message.Control.len = ULONG(WSA_CMSG_SPACE(sizeof(IN_PKTINFO)));
        info->cmsg_level = IPPROTO_IP;
        info->cmsg_type = IP_PKTINFO;
        info->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
        IN_PKTINFO packet{};
        std::memcpy(&packet.ipi_addr, endpoint.plan.own.bytes.data(), sizeof packet.ipi_addr);
        std::memcpy(WSA_CMSG_DATA(info), &packet, sizeof packet);
    } else {
        message.Control.len = ULONG(WSA_CMSG_SPACE(sizeof(IN6_PKTINFO)));
        info->cmsg_level = IPPROTO_IPV6;
        info->cmsg_type = IPV6_PKTINFO;
        info->cmsg_len = WSA_CMSG_LEN(sizeof(IN6_PKTINFO));
        IN6_PKTINFO packet{};
        std::memcpy(&packet.ipi6_addr, endpoint.plan.own.bytes.data(), sizeof packet.ipi6_addr);
        if (endpoint.plan.own.isLinkLocal())
            packet.ipi6_ifindex = endpoint.plan.ownInterface;
        std::memcpy(WSA_CMSG_DATA(info), &packet, sizeof packet);
    }
    DWORD sent = 0;
    return ::WSASendMsg(endpoint.handle, &message, 0, &sent, nullptr, nullptr) == 0 && sent == reply.size();
}

// One datagram as read, with where it came from and its packet info.
struct Received {
    char bytes[discovery::kMaxDatagram];
    sockaddr_storage from{};
    int fromLength = sizeof from;
    ControlBuffer control{};
    WSABUF part{ULONG(sizeof bytes), bytes};
    WSAMSG message{};
    bool truncated = false;
};

// Reads one datagram: its length, or -1 when none is waiting (or the
// system reports an error, in WSAGetLastError); a datagram too long for the
// buffer is consumed and reported as truncated.
int receiveOne(const Endpoint& endpoint, Received& into)
{
    int got;
    if (endpoint.plan.oneAddress) {
        into.message.name = reinterpret_cast<sockaddr*>(&into.from);
        into.message.namelen = into.fromLength;
        into.message.lpBuffers = &into.part;
        into.message.dwBufferCount = 1;
        into.message.Control.buf = into.control.bytes;
        into.message.Control.len = sizeof into.control.bytes;
        DWORD length = 0;
        got = endpoint.receiveMessage(endpoint.handle, &into.message, &length, nullptr, nullptr) == 0 ? int(length)
                                                                                                      : -1;
        into.fromLength = into.message.namelen;
        into.truncated = (into.message.dwFlags & MSG_TRUNC) != 0;
    } else {
        got = ::recvfrom(endpoint.handle, into.bytes, int(sizeof into.bytes), 0,
                         reinterpret_cast<sockaddr*>(&into.from), &into.fromLength);
    }
    if (got < 0 && ::WSAGetLastError() == WSAEMSGSIZE) {
        into.truncated = true;
        return 0;
    }
    return got;
}

// Reads what is waiting on one socket (a batch at most) and answers the
// requests among it; the count of replies sent.
unsigned long answerWaiting(const Endpoint& endpoint, const std::string& reply)
{
    unsigned long answered = 0;
    discovery::LocalSources local(interfaceAddresses);
    for (int taken = 0; taken < discovery::kBatch; ++taken) {
        Received datagram;
        const int got = receiveOne(endpoint, datagram);
        if (got < 0) {
            const int code = ::WSAGetLastError();
            if (code == WSAECONNRESET || code == WSAENETRESET || code == WSAEINTR)
                continue;
            break; // drained, or an error the next poll reports again
        }
        int sourcePort = 0;
        const std::optional<IpAddress> source = discovery::sourceOf(datagram.from, datagram.fromLength, sourcePort);
        if (datagram.truncated || !discovery::isDiscoveryRequest(datagram.bytes, std::size_t(got)) || !source
            || !discovery::isReplyableSource(*source, sourcePort))
            continue;
        if (endpoint.plan.oneAddress && !isAddressedToUs(endpoint.plan, datagram.message))
            continue;
        if (endpoint.plan.thisMachineOnly && !local.holds(*source))
            continue;
        if (sendReply(endpoint, reply, *source, datagram.from, datagram.fromLength))
            ++answered;
    }
    return answered;
}

} // namespace

bool DiscoveryResponder::start(std::string& error)
{
    if (thread.joinable())
        return true;
    const std::string badSettings = discovery::settingsError(requestedPort, httpPort);
    if (!badSettings.empty()) {
        error = badSettings;
        return false;
    }
    auto opened = std::make_unique<Sockets>();
    if (opened->session.error() != 0) {
        error = "discovery: cannot start Winsock: " + errorText(opened->session.error());
        return false;
    }
    opened->reply = discovery::replyFor(httpPort);
    std::vector<PlannedEndpoint> plan;
    if (!discovery::planEndpoints(servedAddress, parseNumeric(discovery::unbracketed(servedAddress)),
                                  interfaceAddresses, plan, error))
        return false;
    for (PlannedEndpoint& each : plan)
        opened->endpoints.push_back({std::move(each), INVALID_SOCKET, nullptr});

    // With port 0 the first socket takes a free port and the others follow it.
    int port = requestedPort;
    std::string where;
    for (Endpoint& endpoint : opened->endpoints) {
        if (!openEndpoint(endpoint, port, error))
            return false;
        if (endpoint.handle == INVALID_SOCKET)
            continue;
        if (port == 0)
            port = boundPortOf(endpoint.handle);
        const std::string joined = endpoint.plan.groupInterfaces.empty()
            ? std::string()
            : joinGroup(endpoint.handle, endpoint.plan.groupInterfaces);
        where += (where.empty() ? "" : ", ")
            + discovery::endpointLabel(endpoint.plan, addressText(endpoint.plan.answersFor()), port, joined);
    }

    int failure = 0;
    opened->wake = openWakeSocket(failure);
    if (opened->wake == INVALID_SOCKET) {
        error = "discovery: cannot make the stop signal: " + errorText(failure);
        return false;
    }

    sockets = std::move(opened);
    try {
        thread = std::thread(&DiscoveryResponder::serve, this);
    } catch (const std::system_error& failed) {
        sockets.reset();
        error = std::string("discovery: cannot start its thread: ") + failed.what();
        return false;
    }
    boundPort = port;
    description = where;
    return true;
}

void DiscoveryResponder::stop()
{
    if (thread.joinable()) {
        sockets->stopping = true;
        const char signal = 1;
        ::send(sockets->wake, &signal, 1, 0);
        thread.join();
    }
    sockets.reset();
    boundPort = 0;
    description.clear();
}

void DiscoveryResponder::serve()
{
    std::vector<WSAPOLLFD> watched;
    watched.push_back({sockets->wake, POLLRDNORM, 0});
    std::vector<const Endpoint*> owners;
    for (const Endpoint& endpoint : sockets->endpoints)
        if (endpoint.handle != INVALID_SOCKET) {
            watched.push_back({endpoint.handle, POLLRDNORM, 0});
            owners.push_back(&endpoint);
        }
    while (!sockets->stopping) {
        const int ready = ::WSAPoll(watched.data(), ULONG(watched.size()), kPollMilliseconds);
        if (ready == SOCKET_ERROR) {
            // Out of memory for the poll, say: try again shortly rather
            // than stop answering.
            ::Sleep(100);
            continue;
        }
        if (watched[0].revents) {
            char drained[16];
            while (::recv(sockets->wake, drained, sizeof drained, 0) > 0) {
            }
            continue; // the loop's test decides
        }
        for (std::size_t index = 1; index < watched.size(); ++index)
            if (watched[index].revents)
                answeredCount += answerWaiting(*owners[index - 1], sockets->reply);
    }
}
