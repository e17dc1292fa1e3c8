// Discovery's socket calls on Winsock 2: WSARecvMsg and WSASendMsg, WSAPoll,
// and the adapters' addresses. The port is shared with SO_REUSEADDR as on
// POSIX: SO_EXCLUSIVEADDRUSE would keep every other Alpaca server on this
// machine off the port clients look on.
#include "DiscoverySockets.h"

#include <iphlpapi.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace discovery::sockets {

namespace {

// Winsock for as long as the program runs (WSAStartup counts its callers:
// the HTTP server's own start is safe beside it).
struct Winsock {
    Winsock() { ::WSAStartup(MAKEWORD(2, 2), &data); }
    ~Winsock() { ::WSACleanup(); }
    WSADATA data{};
} winsock;

std::string utf8(const wchar_t* wide)
{
    std::string text(3 * std::wcslen(wide) + 1, '\0');
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), int(text.size()), nullptr, nullptr);
    text.resize(length > 0 ? std::size_t(length - 1) : 0);
    return text;
}

// WSARecvMsg, which Winsock hands out per socket.
LPFN_WSARECVMSG receiveMessageFunction(SOCKET socket)
{
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD returned = 0;
    ::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function, sizeof function, &returned,
               nullptr, nullptr);
    return function;
}

// Windows lists no broadcast address: it is the address with the host
// part set, for a prefix that leaves one.
std::optional<IpAddress> broadcastOf(const IpAddress& address, unsigned prefixLength)
{
    if (prefixLength == 0 || prefixLength > 30)
        return std::nullopt;
    std::uint32_t value;
    std::memcpy(&value, address.bytes.data(), sizeof value);
    value = htonl(ntohl(value) | (0xffffffffu >> prefixLength));
    return IpAddress::ipv4(&value);
}

} // namespace

// Without SIO_UDP_CONNRESET off, a reply to a client that has gone would
// fail the next read (WSAECONNRESET). A socket without WSARecvMsg is of no use.
Socket open(bool v6)
{
    const SOCKET socket = ::WSASocketW(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET)
        return socket;
    BOOL report = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0 && receiveMessageFunction(socket))
        return socket;
    const int failure = ::WSAGetLastError() ? ::WSAGetLastError() : WSAEOPNOTSUPP;
    ::closesocket(socket);
    ::WSASetLastError(failure);
    return INVALID_SOCKET;
}

void close(Socket socket) { ::closesocket(socket); }
int lastError() { return ::WSAGetLastError(); }

// The system's message (in the user's language, as UTF-8) on one line,
// without its closing full stop.
std::string errorText(int code)
{
    wchar_t text[512] = L"";
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length = ::FormatMessageW(flags, nullptr, DWORD(code), 0, text, DWORD(std::size(text)), nullptr);
    std::string message = length > 0 ? utf8(text) : "";
    for (char& each : message)
        each = each == '\r' || each == '\n' ? ' ' : each;
    message.erase(message.find_last_not_of(" .") + 1);
    return message.empty() ? "Winsock error " + std::to_string(code) : message;
}

bool isMissingIpv6(int failure)
{
    return failure == WSAEAFNOSUPPORT || failure == WSAEPFNOSUPPORT || failure == WSAEPROTONOSUPPORT
        || failure == WSAEADDRNOTAVAIL;
}

int wait(std::vector<pollfd>& sockets, int milliseconds)
{
    return ::WSAPoll(sockets.data(), ULONG(sockets.size()), milliseconds);
}

Message::Message(char* bytes, std::size_t size, sockaddr_storage& peer, socklen_t peerLength, char* control,
                 std::size_t controlLength)
    : part{ULONG(size), bytes},
      header{reinterpret_cast<sockaddr*>(&peer), peerLength, &part, 1, {ULONG(controlLength), control}, 0}
{
}

int Message::flags() const { return int(header.dwFlags); }
socklen_t Message::peerLength() const { return header.namelen; }

long receiveMessage(Socket socket, Message& message)
{
    const LPFN_WSARECVMSG receive = receiveMessageFunction(socket);
    DWORD got = 0;
    return receive && receive(socket, &message.header, &got, nullptr, nullptr) == 0 ? long(got) : -1;
}

long sendMessage(Socket socket, Message& message)
{
    DWORD sent = 0;
    return ::WSASendMsg(socket, &message.header, 0, &sent, nullptr, nullptr) == 0 ? long(sent) : -1;
}

// The adapters' addresses, and an entry for each adapter with IPv6 itself
// (its multicast flag counts).
std::vector<InterfaceAddress> interfaceAddresses()
{
    std::vector<InterfaceAddress> found;
    std::vector<std::uint64_t> buffer; // 8-byte units: the adapter records need that alignment
    ULONG size = 16384;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size / sizeof buffer[0] + 1);
        result = ::GetAdaptersAddresses(AF_UNSPEC,
                                        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); result == NO_ERROR && adapter;
         adapter = adapter->Next) {
        std::string name = adapter->FriendlyName ? utf8(adapter->FriendlyName) : "";
        if (name.empty() && adapter->AdapterName)
            name = adapter->AdapterName;
        const bool multicast = (adapter->Flags & IP_ADAPTER_NO_MULTICAST) == 0;
        const bool loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        // One index serves both families since Windows Vista; Wine leaves the
        // IPv6 one 0 on an adapter with IPv6.
        unsigned index6 = unsigned(adapter->Ipv6IfIndex);
        if (index6 == 0 && (adapter->Flags & IP_ADAPTER_IPV6_ENABLED))
            index6 = unsigned(adapter->IfIndex);
        if (index6 != 0)
            found.push_back({index6, name, multicast, std::nullopt, std::nullopt});
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const std::optional<IpAddress> address = ipAddressOf(unicast->Address.lpSockaddr);
            const unsigned index = address && address->v6 ? index6 : unsigned(adapter->IfIndex);
            if (address && index != 0)
                found.push_back(
                    {index, name, multicast, address,
                     address->v6 || loopback ? std::nullopt : broadcastOf(*address, unicast->OnLinkPrefixLength)});
        }
    }
    return found;
}

} // namespace discovery::sockets
