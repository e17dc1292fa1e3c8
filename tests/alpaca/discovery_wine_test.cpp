// The discovery responder's Winsock half through real UDP sockets, run as a
// Windows program (under Wine on the build machine): what it answers, where
// it answers for each listen address, the reason when its port is held, and
// that it stops promptly. Prints a PASS/FAIL/SKIP line per case; the exit
// status is the count of failures.
#include "Discovery.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <iphlpapi.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kSilence = 300ms; // how long "no reply" is waited for
constexpr auto kReplyWait = 2s;
const std::string kRequest = "alpacadiscovery1";

int failures = 0;

// One case's verdict: a failed check keeps its first reason.
struct Case {
    std::string name;
    std::string failed;
    std::string skipped;

    explicit Case(std::string caseName) : name(std::move(caseName)) {}
    ~Case()
    {
        if (!failed.empty()) {
            ++failures;
            std::printf("FAIL %s: %s\n", name.c_str(), failed.c_str());
        } else if (!skipped.empty()) {
            std::printf("SKIP %s: %s\n", name.c_str(), skipped.c_str());
        } else {
            std::printf("PASS %s\n", name.c_str());
        }
        std::fflush(stdout);
    }
    // For a start(): the error text is read after the call.
    bool check(bool condition, const std::string& why, const std::string& detail)
    {
        return check(condition, why + detail);
    }
    bool check(bool condition, const std::string& why)
    {
        if (!condition && failed.empty())
            failed = why;
        return condition;
    }
};

bool startFor(DiscoveryResponder& responder, std::string& error)
{
    error.clear();
    return responder.start(error);
}

struct Reply {
    std::string text;
    std::string from;
};

std::string textOf(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    else
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    return text;
}

// A client's UDP socket on an ephemeral port of every address of its family,
// or of one IPv4 `address`. Bound to 127.0.0.1, its 255.255.255.255 goes
// out of the loopback interface alone: the system sends a limited broadcast
// by the interface of its source address when the socket names one.
// Winsock has no way to tie a socket to an interface (SO_BINDTODEVICE).
class Probe {
public:
    explicit Probe(int family, const char* address = nullptr) : family(family)
    {
        handle = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_storage any{};
        any.ss_family = ADDRESS_FAMILY(family);
        if (address && family == AF_INET)
            ::inet_pton(AF_INET, address, &reinterpret_cast<sockaddr_in&>(any).sin_addr);
        const int length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (handle != INVALID_SOCKET && ::bind(handle, reinterpret_cast<sockaddr*>(&any), length) != 0) {
            ::closesocket(handle);
            handle = INVALID_SOCKET;
        }
        const BOOL on = TRUE;
        if (family == AF_INET)
            ::setsockopt(handle, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    }
    ~Probe()
    {
        if (handle != INVALID_SOCKET)
            ::closesocket(handle);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    bool send(const std::string& address, int port, const std::string& bytes, unsigned scope = 0)
    {
        sockaddr_storage to{};
        int length;
        if (family == AF_INET) {
            auto& to4 = reinterpret_cast<sockaddr_in&>(to);
            to4.sin_family = AF_INET;
            to4.sin_port = htons(std::uint16_t(port));
            length = sizeof to4;
            if (::inet_pton(AF_INET, address.c_str(), &to4.sin_addr) != 1)
                return false;
        } else {
            auto& to6 = reinterpret_cast<sockaddr_in6&>(to);
            to6.sin6_family = AF_INET6;
            to6.sin6_port = htons(std::uint16_t(port));
            to6.sin6_scope_id = scope;
            length = sizeof to6;
            if (::inet_pton(AF_INET6, address.c_str(), &to6.sin6_addr) != 1)
                return false;
            const DWORD outOf = scope;
            ::setsockopt(handle, IPPROTO_IPV6, IPV6_MULTICAST_IF, reinterpret_cast<const char*>(&outOf), sizeof outOf);
        }
        return ::sendto(handle, bytes.data(), int(bytes.size()), 0, reinterpret_cast<sockaddr*>(&to), length)
            == int(bytes.size());
    }

    std::optional<Reply> receive(std::chrono::milliseconds wait = kReplyWait)
    {
        WSAPOLLFD watch{handle, POLLRDNORM, 0};
        if (::WSAPoll(&watch, 1, int(wait.count())) != 1)
            return std::nullopt;
        char bytes[2048];
        sockaddr_storage from{};
        int length = sizeof from;
        const int got = ::recvfrom(handle, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0)
            return std::nullopt;
        return Reply{std::string(bytes, std::size_t(got)), textOf(from)};
    }

    bool isOpen() const { return handle != INVALID_SOCKET; }

private:
    int family;
    SOCKET handle = INVALID_SOCKET;
};

// This machine's addresses beyond loopback, as Windows lists them.
struct Machine {
    std::string ownIpv4;
    std::string ownIpv6; // global, not link-local
    unsigned groupInterface = 0;
    bool sendMsgSetsSource = false;
};

Machine machine()
{
    Machine found;
    std::vector<std::uint64_t> buffer(4096);
    ULONG size = ULONG(buffer.size() * sizeof buffer[0]);
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    if (::GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr, list, &size)
        != NO_ERROR)
        return found;
    for (const IP_ADAPTER_ADDRESSES* adapter = list; adapter; adapter = adapter->Next) {
        if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK || adapter->OperStatus != IfOperStatusUp)
            continue;
        for (const IP_ADAPTER_UNICAST_ADDRESS* each = adapter->FirstUnicastAddress; each; each = each->Next) {
            sockaddr_storage address{};
            if (!each->Address.lpSockaddr || each->Address.iSockaddrLength > int(sizeof address))
                continue;
            std::memcpy(&address, each->Address.lpSockaddr, std::size_t(each->Address.iSockaddrLength));
            const std::string text = textOf(address);
            if (address.ss_family == AF_INET && found.ownIpv4.empty() && text.rfind("127.", 0) != 0)
                found.ownIpv4 = text;
            if (address.ss_family == AF_INET6 && text != "::1") {
                // Wine gives 0 for the IPv6 index; Windows uses one index for both.
                if (found.groupInterface == 0)
                    found.groupInterface = unsigned(adapter->Ipv6IfIndex ? adapter->Ipv6IfIndex : adapter->IfIndex);
                if (found.ownIpv6.empty() && text.rfind("fe80:", 0) != 0)
                    found.ownIpv6 = text;
            }
        }
    }
    return found;
}

// Whether WSASendMsg sends from the address its packet info names: a
// reply to ::1 asked to come from `own`. Wine 8 ignores that packet info.
bool sendMsgChoosesTheSource(const std::string& own)
{
    Probe client(AF_INET6);
    SOCKET server = ::socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    int length = sizeof address;
    bool chosen = false;
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), length) == 0
        && ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) == 0
        && client.send("::1", ntohs(address.sin6_port), "x")) {
        char byte;
        sockaddr_storage from{};
        int fromLength = sizeof from;
        ::recvfrom(server, &byte, 1, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        union {
            WSACMSGHDR header;
            char bytes[WSA_CMSG_SPACE(sizeof(IN6_PKTINFO))];
        } control{};
        control.header.cmsg_level = IPPROTO_IPV6;
        control.header.cmsg_type = IPV6_PKTINFO;
        control.header.cmsg_len = WSA_CMSG_LEN(sizeof(IN6_PKTINFO));
        IN6_PKTINFO info{};
        ::inet_pton(AF_INET6, own.c_str(), &info.ipi6_addr);
        std::memcpy(WSA_CMSG_DATA(&control.header), &info, sizeof info);
        WSABUF part{1, const_cast<char*>("y")};
        WSAMSG message{};
        message.name = reinterpret_cast<sockaddr*>(&from);
        message.namelen = fromLength;
        message.lpBuffers = &part;
        message.dwBufferCount = 1;
        message.Control = {ULONG(sizeof control.bytes), control.bytes};
        DWORD sent = 0;
        if (::WSASendMsg(server, &message, 0, &sent, nullptr, nullptr) == 0) {
            const auto reply = client.receive();
            chosen = reply && reply->from == own;
        }
    }
    ::closesocket(server);
    return chosen;
}

bool waitForAnswered(const DiscoveryResponder& responder, unsigned long count)
{
    for (const auto deadline = Clock::now() + 1s; Clock::now() < deadline; std::this_thread::sleep_for(5ms))
        if (responder.answered() == count)
            return true;
    return responder.answered() == count;
}

std::string replyText(int port) { return "{\"AlpacaPort\": " + std::to_string(port) + "}"; }

void replyIsTheHttpPort()
{
    for (int httpPort : {1, 11111, 65535}) {
        Case test("reply names HTTP port " + std::to_string(httpPort));
        DiscoveryResponder responder(0, httpPort, "127.0.0.1");
        std::string error;
        if (!test.check(startFor(responder, error), "start: ", error))
            continue;
        Probe client(AF_INET);
        test.check(client.send("127.0.0.1", responder.port(), kRequest), "send");
        const auto reply = client.receive();
        if (test.check(bool(reply), "no reply on the sender's port")) {
            test.check(reply->text == replyText(httpPort), "reply was '" + reply->text + "'");
            test.check(reply->from == "127.0.0.1", "reply came from " + reply->from);
        }
    }
}

void answersOnlyRequests()
{
    struct Row {
        const char* name;
        std::string bytes;
        bool answered;
    };
    const Row rows[] = {
        {"request", kRequest, true},
        {"request padded to the 64-byte limit", kRequest + std::string(48, 'x'), true},
        {"request over the 64-byte limit", kRequest + std::string(49, 'x'), false},
        {"version 2", "alpacadiscovery2", false},
        {"prefix only", "alpacadiscovery", false},
        {"empty", "", false},
        {"upper case", "ALPACADISCOVERY1", false},
        {"200 bytes of junk", std::string(200, '\xA5'), false},
    };
    DiscoveryResponder responder(0, 4567, "127.0.0.1");
    std::string error;
    const bool started = responder.start(error);
    Probe client(AF_INET);
    unsigned long expected = 0;
    for (const Row& row : rows) {
        Case test(std::string("datagram: ") + row.name);
        if (!test.check(started, "start: " + error))
            continue;
        test.check(client.send("127.0.0.1", responder.port(), row.bytes), "send");
        const auto reply = client.receive(row.answered ? kReplyWait : kSilence);
        test.check(bool(reply) == row.answered, row.answered ? "not answered" : "answered");
        if (reply)
            test.check(reply->text == replyText(4567), "reply was '" + reply->text + "'");
        expected += row.answered ? 1 : 0;
        test.check(waitForAnswered(responder, expected), "answered() is " + std::to_string(responder.answered()));
    }
}

// Broadcast4 is 255.255.255.255 from an unbound socket, which leaves by
// this machine's default interface, and Group6 the group out of one of its
// network interfaces (lo takes no multicast): neither may reach the network
// from a test, so those rows are skipped. BroadcastOnLo is 255.255.255.255
// from a socket bound to 127.0.0.1 (see Probe), LoopbackBroadcast4 is
// 127.255.255.255: both stay on this machine.
enum class To { Loopback4, Loopback6, Own4, Own6, Broadcast4, Group6, LoopbackBroadcast4, BroadcastOnLo };

struct Route {
    const char* name;
    const char* listen; // nullptr: the machine's own IPv4 / IPv6 (own6)
    bool own6;
    To to;
    bool answered;
    To control; // a way the responder does answer, to tell silence from death
};

void answersOnlyWhereServed(const Machine& host)
{
    const Route routes[] = {
        {"127.0.0.1 answers 127.0.0.1", "127.0.0.1", false, To::Loopback4, true, To::Loopback4},
        {"127.0.0.1 answers own IPv4 from here", "127.0.0.1", false, To::Own4, true, To::Loopback4},
        {"127.0.0.1 ignores ::1", "127.0.0.1", false, To::Loopback6, false, To::Loopback4},
        {"127.0.0.1 answers a broadcast from here", "127.0.0.1", false, To::BroadcastOnLo, true, To::Loopback4},
        {"127.0.0.1 answers 127.255.255.255", "127.0.0.1", false, To::LoopbackBroadcast4, true, To::Loopback4},
        {"127.0.0.2 answers 127.0.0.1", "127.0.0.2", false, To::Loopback4, true, To::Loopback4},
        {"0.0.0.0 answers own IPv4", "0.0.0.0", false, To::Own4, true, To::Loopback4},
        {"0.0.0.0 answers broadcast", "0.0.0.0", false, To::BroadcastOnLo, true, To::Loopback4},
        {"0.0.0.0 answers 127.255.255.255", "0.0.0.0", false, To::LoopbackBroadcast4, true, To::Loopback4},
        {"0.0.0.0 ignores ::1", "0.0.0.0", false, To::Loopback6, false, To::Loopback4},
        {":: answers ::1", "::", false, To::Loopback6, true, To::Loopback4},
        {":: answers 127.0.0.1", "::", false, To::Loopback4, true, To::Loopback4},
        {":: answers own IPv6", "::", false, To::Own6, true, To::Loopback4},
        {":: answers the group", "::", false, To::Group6, true, To::Loopback4},
        {"::1 ignores 127.0.0.1", "::1", false, To::Loopback4, false, To::Loopback6},
        {"::1 answers own IPv6 from here", "::1", false, To::Own6, true, To::Loopback6},
        {"own IPv4 answers it (from it)", nullptr, false, To::Own4, true, To::Own4},
        {"own IPv4 answers a broadcast (from it)", nullptr, false, To::Broadcast4, true, To::Own4},
        // Not broadcast on its interface.
        {"own IPv4 ignores a broadcast on lo", nullptr, false, To::BroadcastOnLo, false, To::Own4},
        {"own IPv4 ignores 127.0.0.1", nullptr, false, To::Loopback4, false, To::Own4},
        {"own IPv6 answers it (from it)", nullptr, true, To::Own6, true, To::Own6},
        {"own IPv6 answers the group (from it)", nullptr, true, To::Group6, true, To::Own6},
        {"own IPv6 ignores ::1", nullptr, true, To::Loopback6, false, To::Own6},
    };
    for (const Route& route : routes) {
        Case test(std::string("route: ") + route.name);
        const std::string listen = route.listen ? route.listen : route.own6 ? host.ownIpv6 : host.ownIpv4;
        if (listen.empty()) {
            test.skipped = "this machine has no such address beyond loopback";
            continue;
        }
        DiscoveryResponder responder(0, 8080, listen);
        std::string error;
        if (!test.check(startFor(responder, error), "start: ", error))
            continue;
        if (route.to == To::Broadcast4) {
            test.skipped = "255.255.255.255 from here would leave by this machine's default interface, and Winsock "
                           "cannot tie a socket to lo (the row with a broadcast on lo runs instead)";
            continue;
        }
        if (route.to == To::Group6) {
            test.skipped = "the group would leave by one of this machine's network interfaces (lo takes no "
                           "multicast), and a test sends nothing off this machine";
            continue;
        }
        Probe client4(AF_INET), client6(AF_INET6), clientLo(AF_INET, "127.0.0.1");
        // Sends the request `to` that way; the probe to read the reply on,
        // or nullptr when this machine cannot send so.
        auto sendVia = [&](To to, std::string& address) -> Probe* {
            const int port = responder.port();
            bool sent = false;
            Probe* probe = &client4;
            switch (to) {
            case To::Loopback4: address = "127.0.0.1"; sent = client4.send(address, port, kRequest); break;
            case To::Loopback6: address = "::1"; probe = &client6; sent = client6.send(address, port, kRequest); break;
            case To::Own4:
                address = host.ownIpv4;
                sent = !address.empty() && client4.send(address, port, kRequest);
                break;
            case To::Own6:
                address = host.ownIpv6;
                probe = &client6;
                sent = !address.empty() && client6.send(address, port, kRequest);
                break;
            case To::Broadcast4: break; // skipped above
            case To::BroadcastOnLo:
                address = "";
                probe = &clientLo;
                sent = clientLo.isOpen() && clientLo.send("255.255.255.255", port, kRequest);
                break;
            case To::LoopbackBroadcast4:
                address = "";
                sent = client4.send("127.255.255.255", port, kRequest);
                break;
            case To::Group6: break; // skipped above
            }
            return sent ? probe : nullptr;
        };
        std::string to;
        Probe* replied = sendVia(route.to, to);
        if (!replied) {
            test.skipped = "cannot send that way here (no such address or route)";
            continue;
        }
        const auto reply = replied->receive(route.answered ? kReplyWait : kSilence);
        const std::string verdict = route.answered ? "not answered" : "answered";
        if (!test.check(bool(reply) == route.answered, verdict + "; responder on " + responder.endpoints()))
            continue;
        if (reply) {
            test.check(reply->text == replyText(8080), "reply was '" + reply->text + "'");
            // A loopback listen address answers from itself, whatever was sent to.
            const bool loopback = listen.rfind("127.", 0) == 0 || listen == "::1";
            const std::string expectedFrom = loopback || !route.listen ? listen : to;
            // Wine 8 ignores IP_PKTINFO as it does IPV6_PKTINFO (the check is
            // made with the latter).
            if (!expectedFrom.empty() && reply->from != expectedFrom && (route.own6 || loopback)
                && !host.sendMsgSetsSource)
                test.skipped = "answered, but from " + reply->from
                    + ": this system's WSASendMsg ignores the packet info, so the source cannot be chosen";
            else
                test.check(expectedFrom.empty() || reply->from == expectedFrom, "reply came from " + reply->from);
            continue;
        }
        std::string controlTo;
        Probe* controlReplied = sendVia(route.control, controlTo);
        test.check(controlReplied && controlReplied->receive(), "the control request was not answered either");
    }
}

void refusesBadSettings()
{
    struct Row {
        int discoveryPort;
        int httpPort;
        const char* listen;
        const char* mentioned;
    };
    const Row rows[] = {
        {70000, 8080, "127.0.0.1", "70000"},
        {0, 0, "127.0.0.1", "HTTP port 0"},
        {0, 8080, "", "''"},
        {0, 8080, "localhost", "localhost"},
        {0, 8080, "203.0.113.77", "not an address of this machine"},
        {0, 8080, "2001:db8::77", "not an address of this machine"},
    };
    for (const Row& row : rows) {
        Case test(std::string("refuses '") + row.listen + "' port " + std::to_string(row.discoveryPort) + " http "
                  + std::to_string(row.httpPort));
        DiscoveryResponder responder(row.discoveryPort, row.httpPort, row.listen);
        std::string error;
        test.check(!responder.start(error), "started");
        test.check(error.find(row.mentioned) != std::string::npos, "error was '" + error + "'");
        test.check(error.find('\n') == std::string::npos, "error has a line break");
        test.check(responder.port() == 0, "port() is not 0");
    }
}

void heldPortFailsWithTheReason()
{
    Case test("busy port: start fails with the reason, then starts once free");
    SOCKET holder = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const BOOL on = TRUE;
    ::setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!test.check(::bind(holder, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0, "holder bind"))
        return;
    int length = sizeof loopback;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&loopback), &length);
    const int port = ntohs(loopback.sin_port);

    DiscoveryResponder responder(port, 8080, "127.0.0.1");
    std::string error;
    test.check(!responder.start(error), "started on a held port");
    const std::string prefix = "discovery port " + std::to_string(port) + " on 127.0.0.1: ";
    test.check(error.rfind(prefix, 0) == 0 && error.size() > prefix.size() + 5, "error was '" + error + "'");
    test.check(error.find_first_of("\r\n") == std::string::npos, "error has a line break");
    test.check(responder.port() == 0, "port() is not 0");
    std::printf("     (reason given: %s)\n", error.c_str());

    ::closesocket(holder);
    if (!test.check(startFor(responder, error), "start once free: ", error))
        return;
    Probe client(AF_INET);
    client.send("127.0.0.1", port, kRequest);
    test.check(bool(client.receive()), "not answered once started");
}

void twoServersBothAnswerABroadcast()
{
    Case test("two servers on one port both answer a broadcast");
    DiscoveryResponder first(0, 1001, "0.0.0.0");
    std::string error;
    if (!test.check(startFor(first, error), "first: ", error))
        return;
    DiscoveryResponder second(first.port(), 1002, "0.0.0.0");
    if (!test.check(startFor(second, error), "second on the same port: ", error))
        return;
    // Out of lo only (see Probe).
    Probe client(AF_INET, "127.0.0.1");
    if (!test.check(client.isOpen() && client.send("255.255.255.255", first.port(), kRequest),
                    "cannot send 255.255.255.255 from 127.0.0.1"))
        return;
    std::multiset<std::string> replies;
    for (auto reply = client.receive(); reply; reply = client.receive(kSilence))
        replies.insert(reply->text);
    test.check(replies == std::multiset<std::string>{replyText(1001), replyText(1002)},
               "got " + std::to_string(replies.size()) + " replies");
}

void stopIsPrompt()
{
    Case test("stop() is prompt, silent after, and start/stop repeats");
    DiscoveryResponder responder(0, 8080, "::");
    std::string error;
    Probe client(AF_INET);
    int port = 0;
    for (unsigned long round = 1; round <= 5; ++round) {
        if (!test.check(startFor(responder, error), "start: ", error))
            return;
        test.check(responder.start(error), "a second start while running failed");
        port = responder.port();
        client.send("127.0.0.1", port, kRequest);
        test.check(bool(client.receive()), "not answered in round " + std::to_string(round));
        const auto before = Clock::now();
        responder.stop();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before);
        test.check(took < 500ms, "stop took " + std::to_string(took.count()) + " ms");
        responder.stop();
        test.check(responder.port() == 0 && responder.endpoints().empty(), "still reports a port when stopped");
        client.send("127.0.0.1", port, kRequest);
        test.check(!client.receive(50ms), "answered after stop");
    }
    test.check(responder.answered() == 5, "answered() is " + std::to_string(responder.answered()));
    const auto before = Clock::now();
    {
        DiscoveryResponder scoped(0, 8080, "127.0.0.1");
        test.check(startFor(scoped, error), "scoped start: ", error);
    }
    test.check(Clock::now() - before < 500ms, "destructor was slow");
}

} // namespace

int main()
{
    // The test's own probes need Winsock; the responder starts its own.
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::printf("FAIL WSAStartup\n");
        return 1;
    }
    Machine host = machine();
    host.sendMsgSetsSource = !host.ownIpv6.empty() && sendMsgChoosesTheSource(host.ownIpv6);
    std::printf("machine: own IPv4 '%s', own IPv6 '%s', group interface %u, WSASendMsg %s the source\n",
                host.ownIpv4.c_str(), host.ownIpv6.c_str(), host.groupInterface,
                host.sendMsgSetsSource ? "sets" : "does not set");
    {
        DiscoveryResponder every(0, 8080, "::");
        std::string error;
        if (every.start(error))
            std::printf("responder on '::' answers at %s\n", every.endpoints().c_str());
    }
    replyIsTheHttpPort();
    answersOnlyRequests();
    answersOnlyWhereServed(host);
    refusesBadSettings();
    heldPortFailsWithTheReason();
    twoServersBothAnswerABroadcast();
    stopIsPrompt();
    std::printf("%d failed\n", failures);
    ::WSACleanup();
    return failures;
}
