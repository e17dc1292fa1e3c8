// Discovery's socket calls on POSIX: descriptors, recvmsg and sendmsg,
// poll, getifaddrs.
#include "DiscoverySockets.h"

#include <cerrno>
#include <system_error>

#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

namespace discovery::sockets {

Socket open(bool v6) { return ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }
void close(Socket socket) { ::close(socket); }
int lastError() { return errno; }
std::string errorText(int code) { return std::system_category().message(code); }

bool isMissingIpv6(int failure)
{
    return failure == EAFNOSUPPORT || failure == EPROTONOSUPPORT || failure == EADDRNOTAVAIL;
}

int wait(std::vector<pollfd>& sockets, int milliseconds)
{
    return ::poll(sockets.data(), nfds_t(sockets.size()), milliseconds);
}

Message::Message(char* bytes, std::size_t size, sockaddr_storage& peer, socklen_t peerLength, char* control,
                 std::size_t controlLength)
    : part{bytes, size},
      header{.msg_name = &peer, .msg_namelen = peerLength, .msg_iov = &part, .msg_iovlen = 1,
             .msg_control = control, .msg_controllen = controlLength, .msg_flags = 0}
{
}

int Message::flags() const { return header.msg_flags; }
socklen_t Message::peerLength() const { return header.msg_namelen; }

long receiveMessage(Socket socket, Message& message) { return ::recvmsg(socket, &message.header, 0); }

long sendMessage(Socket socket, Message& message)
{
    ssize_t sent;
    do
        sent = ::sendmsg(socket, &message.header, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent;
}

// Every interface entry getifaddrs lists.
std::vector<InterfaceAddress> interfaceAddresses()
{
    std::vector<InterfaceAddress> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        const unsigned index = entry->ifa_name ? ::if_nametoindex(entry->ifa_name) : 0;
        const bool broadcast = (entry->ifa_flags & IFF_BROADCAST) && entry->ifa_broadaddr
            && entry->ifa_broadaddr->sa_family == AF_INET;
        if (index != 0)
            found.push_back({index, entry->ifa_name, (entry->ifa_flags & IFF_MULTICAST) != 0,
                             ipAddressOf(entry->ifa_addr),
                             broadcast ? ipAddressOf(entry->ifa_broadaddr) : std::nullopt});
    }
    ::freeifaddrs(list);
    return found;
}

} // namespace discovery::sockets
