// The discovery responder through real UDP sockets on this machine: what it
// answers, where it answers for each listen address, and that it shares its
// port, stops promptly and starts again.
#include "Discovery.h"
#include "DiscoveryPlan.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kSilence = 300ms; // how long "no reply" is waited for
constexpr auto kReplyWait = 2s;
const std::string kRequest = "alpacadiscovery1";

struct Reply {
    std::string text;
    std::string from;
};

// A client's UDP socket on an ephemeral port of every address of its family,
// or of `address`. `device` ties it to one interface (SO_BINDTODEVICE, root
// before Linux 5.7): its broadcasts leave by that interface alone. `made` is a socket
// opened elsewhere (in another network namespace), taken over.
class Probe {
public:
    explicit Probe(int family, const char* device = nullptr, int made = -1, const char* address = nullptr)
        : family(family)
    {
        descriptor = made >= 0 ? made : ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (descriptor >= 0 && device
            && ::setsockopt(descriptor, SOL_SOCKET, SO_BINDTODEVICE, device, socklen_t(std::strlen(device))) != 0) {
            ::close(descriptor);
            descriptor = -1;
        }
        sockaddr_storage any{};
        any.ss_family = sa_family_t(family);
        const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (address && family == AF_INET)
            ::inet_pton(AF_INET, address, &reinterpret_cast<sockaddr_in&>(any).sin_addr);
        else if (address)
            ::inet_pton(AF_INET6, address, &reinterpret_cast<sockaddr_in6&>(any).sin6_addr);
        if (descriptor >= 0 && ::bind(descriptor, reinterpret_cast<sockaddr*>(&any), length) != 0) {
            ::close(descriptor);
            descriptor = -1;
        }
    }
    ~Probe()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // To one address, or (scope set, IPv6) out of that interface.
    bool send(const std::string& address, int port, const std::string& bytes, unsigned scope = 0)
    {
        sockaddr_storage to{};
        socklen_t length;
        if (family == AF_INET) {
            auto& to4 = reinterpret_cast<sockaddr_in&>(to);
            to4.sin_family = AF_INET;
            to4.sin_port = htons(std::uint16_t(port));
            length = sizeof to4;
            if (::inet_pton(AF_INET, address.c_str(), &to4.sin_addr) != 1)
                return false;
            const int on = 1;
            ::setsockopt(descriptor, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        } else {
            auto& to6 = reinterpret_cast<sockaddr_in6&>(to);
            to6.sin6_family = AF_INET6;
            to6.sin6_port = htons(std::uint16_t(port));
            to6.sin6_scope_id = scope;
            length = sizeof to6;
            if (::inet_pton(AF_INET6, address.c_str(), &to6.sin6_addr) != 1)
                return false;
            ::setsockopt(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_IF, &scope, sizeof scope);
        }
        return ::sendto(descriptor, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), length)
            == ssize_t(bytes.size());
    }

    std::optional<Reply> receive(std::chrono::milliseconds wait = kReplyWait)
    {
        pollfd watch{descriptor, POLLIN, 0};
        if (::poll(&watch, 1, int(wait.count())) != 1)
            return std::nullopt;
        char bytes[2048];
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(descriptor, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0)
            return std::nullopt;
        char text[INET6_ADDRSTRLEN] = "";
        if (from.ss_family == AF_INET)
            ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in&>(from).sin_addr, text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6&>(from).sin6_addr, text, sizeof text);
        return Reply{std::string(bytes, std::size_t(got)), text};
    }

    bool isOpen() const { return descriptor >= 0; }

private:
    int family;
    int descriptor = -1;
};

bool hasIpv6Loopback()
{
    const int descriptor = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (descriptor < 0)
        return false;
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(descriptor, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
    ::close(descriptor);
    return bound;
}

// This machine's addresses and interfaces beyond loopback, when it has them.
struct Machine {
    std::string ownIpv4;
    std::string ownIpv6;         // global, not link-local
    unsigned groupInterface = 0; // up, multicast-capable, with IPv6
    bool ipv6Loopback = false;
};

Machine machine()
{
    Machine found;
    found.ipv6Loopback = hasIpv6Loopback();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET6_ADDRSTRLEN] = "";
        if (entry->ifa_addr->sa_family == AF_INET && found.ownIpv4.empty()) {
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
            found.ownIpv4 = text;
        }
        if (entry->ifa_addr->sa_family == AF_INET6 && (entry->ifa_flags & IFF_MULTICAST)) {
            const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
            if (found.groupInterface == 0)
                found.groupInterface = ::if_nametoindex(entry->ifa_name);
            if (found.ownIpv6.empty() && !IN6_IS_ADDR_LINKLOCAL(&address)) {
                ::inet_ntop(AF_INET6, &address, text, sizeof text);
                found.ownIpv6 = text;
            }
        }
    }
    ::freeifaddrs(list);
    return found;
}

bool waitForAnswered(const DiscoveryResponder& responder, unsigned long count)
{
    for (const auto deadline = Clock::now() + 1s; Clock::now() < deadline; std::this_thread::sleep_for(5ms))
        if (responder.answered() == count)
            return true;
    return responder.answered() == count;
}

TEST(Discovery, ReplyIsTheHttpPortUnderTheKeyClientsRead)
{
    for (int httpPort : {1, 11111, 65535}) {
        SCOPED_TRACE(httpPort);
        DiscoveryResponder responder(0, httpPort, "127.0.0.1");
        std::string error;
        ASSERT_TRUE(responder.start(error)) << error;
        Probe client(AF_INET);
        ASSERT_TRUE(client.send("127.0.0.1", responder.port(), kRequest));
        const auto reply = client.receive();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->text, "{\"AlpacaPort\": " + std::to_string(httpPort) + "}");
        EXPECT_EQ(reply->from, "127.0.0.1");
        const auto parsed = nlohmann::json::parse(reply->text);
        ASSERT_TRUE(parsed.is_object());
        EXPECT_EQ(parsed.size(), 1u);
        ASSERT_TRUE(parsed.contains("AlpacaPort"));
        ASSERT_TRUE(parsed["AlpacaPort"].is_number_integer());
        EXPECT_EQ(parsed["AlpacaPort"].get<int>(), httpPort);
    }
}

TEST(Discovery, AnswersOnlyVersionOneRequestsOfBoundedSize)
{
    struct Case {
        const char* name;
        std::string bytes;
        bool answered;
    };
    const Case cases[] = {
        {"request", kRequest, true},
        {"request padded to the 64-byte limit", kRequest + std::string(48, 'x'), true},
        {"request with a NUL after the version", kRequest + std::string(1, '\0'), true},
        {"request over the 64-byte limit", kRequest + std::string(49, 'x'), false},
        {"version 2", "alpacadiscovery2", false},
        {"prefix only", "alpacadiscovery", false},
        {"short word", "alpaca", false},
        {"empty", "", false},
        {"upper case", "ALPACADISCOVERY1", false},
        {"leading byte", "xalpacadiscovery1", false},
        {"200 bytes of junk", std::string(200, '\xA5'), false},
    };
    DiscoveryResponder responder(0, 4567, "127.0.0.1");
    std::string error;
    ASSERT_TRUE(responder.start(error)) << error;
    Probe client(AF_INET);
    unsigned long expected = 0;
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        ASSERT_TRUE(client.send("127.0.0.1", responder.port(), each.bytes));
        const auto reply = client.receive(each.answered ? kReplyWait : kSilence);
        EXPECT_EQ(bool(reply), each.answered);
        if (reply) {
            EXPECT_EQ(reply->text, "{\"AlpacaPort\": 4567}");
        }
        expected += each.answered ? 1 : 0;
        EXPECT_TRUE(waitForAnswered(responder, expected)) << responder.answered();
    }
}

// Runs a program (no shell), its output dropped: true when it exits 0.
bool run(std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    for (std::string& each : arguments)
        argv.push_back(each.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int failed = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (failed != 0 || ::waitpid(child, &status, 0) != child)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A machine of the test's own on a link of its own: a network namespace
// ("here": lo and our end of a veth pair) joined to a second one (the
// neighbour, the other end). Our end has 198.18.0.1/24, fd18::1/64 and
// fe80::1/64 and carries the default route, as a machine's network
// interface does: a plain 255.255.255.255 goes out on it, and so does the
// group. The neighbour's end has 198.18.0.2/24 and fd18::2/64. Nothing
// sent in either leaves the two namespaces, and joining the group is
// announced to the neighbour only. Both are removed again however the test
// ends.
class TestLink {
public:
    TestLink()
    {
        if (::geteuid() != 0) {
            why = "making a network namespace needs root";
            return;
        }
        const std::string id = std::to_string(::getpid());
        if (!run({"ip", "netns", "add", "velmaro-disc-" + id})) {
            why = "cannot make a network namespace ('ip netns add' failed or no 'ip')";
            return;
        }
        neighbour = "velmaro-disc-" + id;
        if (!run({"ip", "netns", "add", neighbour + "-here"})) {
            why = "cannot make a second network namespace";
            return;
        }
        here = neighbour + "-here";
        ours = "vdisc" + id;
        theirs = ours + "n";
        // Link-local addresses of our choosing, usable at once: no address
        // made up by the system, none waiting for duplicate detection.
        const bool ready = run({"ip", "-n", here, "link", "set", "lo", "up"})
            && run({"ip", "-n", here, "link", "add", ours, "type", "veth", "peer", "name", theirs, "netns", neighbour})
            && run({"ip", "-n", here, "link", "set", ours, "addrgenmode", "none"})
            && run({"ip", "-n", neighbour, "link", "set", theirs, "addrgenmode", "none"})
            && run({"ip", "-n", here, "addr", "add", "198.18.0.1/24", "dev", ours})
            && run({"ip", "-n", here, "-6", "addr", "add", "fd18::1/64", "dev", ours, "nodad"})
            && run({"ip", "-n", here, "-6", "addr", "add", "fe80::1/64", "dev", ours, "nodad"})
            && run({"ip", "-n", neighbour, "addr", "add", "198.18.0.2/24", "dev", theirs})
            && run({"ip", "-n", neighbour, "-6", "addr", "add", "fd18::2/64", "dev", theirs, "nodad"})
            && run({"ip", "-n", neighbour, "link", "set", theirs, "up"})
            && run({"ip", "-n", here, "link", "set", ours, "up"})
            && run({"ip", "-n", here, "route", "add", "default", "dev", ours});
        if (!ready)
            why = "cannot set up the veth pair between the two network namespaces";
    }
    ~TestLink()
    {
        // Each namespace takes its end of the pair along.
        if (!here.empty())
            run({"ip", "netns", "del", here});
        if (!neighbour.empty())
            run({"ip", "netns", "del", neighbour});
    }
    TestLink(const TestLink&) = delete;
    TestLink& operator=(const TestLink&) = delete;

    // Empty when the link is there, else why not.
    const std::string& missing() const { return why; }
    const std::string& ourEnd() const { return ours; }
    const std::string& theirEnd() const { return theirs; }

    // While it lives, the calling thread is on our end of the link, and so
    // are the threads it starts meanwhile (a responder's). setns() moves the
    // calling thread only.
    class Inside {
    public:
        explicit Inside(const TestLink& link)
        {
            back = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            const int space = ::open(("/run/netns/" + link.here).c_str(), O_RDONLY | O_CLOEXEC);
            if (back < 0 || space < 0 || ::setns(space, CLONE_NEWNET) != 0) {
                // The tests after this one would run in the wrong place.
                std::fprintf(stderr, "cannot enter the test's network namespace: %s\n", std::strerror(errno));
                std::abort();
            }
            ::close(space);
        }
        ~Inside()
        {
            if (::setns(back, CLONE_NEWNET) != 0) {
                std::fprintf(stderr, "cannot leave the test's network namespace: %s\n", std::strerror(errno));
                std::abort();
            }
            ::close(back);
        }
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;

    private:
        int back = -1;
    };

    // The machine as the tests see it, asked on our end (inside).
    Machine machine() const
    {
        Machine found;
        found.ownIpv4 = "198.18.0.1";
        found.ownIpv6 = "fd18::1";
        found.groupInterface = ::if_nametoindex(ours.c_str());
        found.ipv6Loopback = hasIpv6Loopback();
        return found;
    }

    // A UDP socket on the neighbour, -1 when it cannot be made.
    int socketInside(int family) const
    {
        int made = -1;
        std::thread([&] {
            const int space = ::open(("/run/netns/" + neighbour).c_str(), O_RDONLY | O_CLOEXEC);
            if (space >= 0 && ::setns(space, CLONE_NEWNET) == 0)
                made = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (space >= 0)
                ::close(space);
        }).join();
        return made;
    }

private:
    std::string neighbour, here, ours, theirs, why;
};

// Where a client sends from, for the table below. LoopbackBroadcast4 is to
// 127.255.255.255, BroadcastOnLo to 255.255.255.255 out of lo only.
enum class Via { Loopback4, Loopback6, Own4, Own6, Broadcast4, Group6, LoopbackBroadcast4, BroadcastOnLo };
enum class Serves { Loopback4, OtherLoopback4, Every4, Every, Loopback6, Own4, Own6 };

struct Route {
    const char* name;
    Serves serves;
    Via via;
    bool answered;
};

std::ostream& operator<<(std::ostream& out, const Route& route) { return out << route.name; }

// A broadcast or the group from here goes out by an interface of the
// machine, and a responder on ::, ::1 or an IPv6 address of an interface
// joins the group there, which the system announces on the link: such a row
// runs on the test's own link (TestLink).
bool onOwnLink(const Route& route)
{
    return route.via == Via::Broadcast4 || route.via == Via::Group6 || route.serves == Serves::Every
        || route.serves == Serves::Loopback6 || route.serves == Serves::Own6;
}

class Routes : public ::testing::TestWithParam<Route> {
protected:
    // Sends a request by `via`; false with `why` set when this machine
    // cannot (no such address, no route for a broadcast).
    static bool sendVia(Via via, const Machine& host, Probe& client4, Probe& client6, Probe& clientLo, int port,
                        std::string& to, std::string& why)
    {
        switch (via) {
        case Via::Loopback4:
            to = "127.0.0.1";
            return client4.send(to, port, kRequest);
        case Via::Loopback6:
            to = "::1";
            why = "this machine has no IPv6 loopback (::1)";
            return host.ipv6Loopback && client6.send(to, port, kRequest);
        case Via::Own4:
            to = host.ownIpv4;
            why = "this machine has no IPv4 address beyond loopback";
            return !to.empty() && client4.send(to, port, kRequest);
        case Via::Own6:
            to = host.ownIpv6;
            why = "this machine has no global IPv6 address";
            return !to.empty() && client6.send(to, port, kRequest);
        case Via::Broadcast4:
            why = "cannot send an IPv4 broadcast here (no route for 255.255.255.255)";
            return client4.send("255.255.255.255", port, kRequest);
        case Via::Group6:
            why = "no multicast-capable interface with IPv6";
            return host.groupInterface != 0 && client6.send("ff12::a1:9aca", port, kRequest, host.groupInterface);
        case Via::LoopbackBroadcast4:
            why = "cannot send to 127.255.255.255 here";
            return client4.send("127.255.255.255", port, kRequest);
        case Via::BroadcastOnLo:
            why = "cannot tie a socket to lo (SO_BINDTODEVICE refused; systems before Linux 5.7 want root)";
            return clientLo.isOpen() && clientLo.send("255.255.255.255", port, kRequest);
        }
        return false;
    }
};

TEST_P(Routes, AnswerOnlyWhereTheHttpServerServes)
{
    const Route& route = GetParam();
    // A row that sends a broadcast or to the group, or whose responder joins
    // the group, runs on the test's own link: here it would put traffic on
    // this machine's network. The others run on this machine's interfaces.
    std::optional<TestLink> link;
    std::optional<TestLink::Inside> inside;
    if (onOwnLink(route)) {
        link.emplace();
        if (!link->missing().empty())
            GTEST_SKIP() << "sends a broadcast or to the group, or joins the group, so runs on a link of its own: "
                         << link->missing();
        inside.emplace(*link);
    }
    const Machine host = link ? link->machine() : machine();
    std::string listen;
    Via control = Via::Loopback4; // a way the responder does answer
    switch (route.serves) {
    case Serves::Loopback4: listen = "127.0.0.1"; break;
    case Serves::OtherLoopback4: listen = "127.0.0.2"; break;
    case Serves::Every4: listen = "0.0.0.0"; break;
    case Serves::Every: listen = "::"; break;
    case Serves::Loopback6: listen = "::1"; control = Via::Loopback6; break;
    case Serves::Own4: listen = host.ownIpv4; control = Via::Own4; break;
    case Serves::Own6: listen = host.ownIpv6; control = Via::Own6; break;
    }
    if (listen.empty())
        GTEST_SKIP() << "this machine has no such address beyond loopback";
    if (route.serves == Serves::Loopback6 && !host.ipv6Loopback)
        GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";

    DiscoveryResponder responder(0, 8080, listen);
    std::string error;
    ASSERT_TRUE(responder.start(error)) << error;
    // Tied to lo and left to choose, a socket sends from the machine's other
    // address, which lo does not bring the reply back to.
    Probe client4(AF_INET), client6(AF_INET6), clientLo(AF_INET, "lo", -1, "127.0.0.1");
    ASSERT_TRUE(client4.isOpen());
    std::string to, why;
    if (!sendVia(route.via, host, client4, client6, clientLo, responder.port(), to, why))
        GTEST_SKIP() << why;
    Probe& replied = route.via == Via::Loopback6 || route.via == Via::Own6 || route.via == Via::Group6 ? client6
        : route.via == Via::BroadcastOnLo                                                              ? clientLo
                                                                                                       : client4;
    const auto reply = replied.receive(route.answered ? kReplyWait : kSilence);
    ASSERT_EQ(bool(reply), route.answered) << "responder on " << responder.endpoints();
    if (reply) {
        EXPECT_EQ(reply->text, "{\"AlpacaPort\": 8080}");
        // The client takes the HTTP server's address from the reply.
        if (route.serves == Serves::Loopback6 && route.via == Via::Group6) {
            // Sent from our link-local address, which ::1 cannot answer.
            EXPECT_EQ(reply->from.rfind("fe80:", 0), 0u) << reply->from;
        } else if (route.serves != Serves::Every4 && route.serves != Serves::Every) {
            EXPECT_EQ(reply->from, listen);
        } else if (!to.empty()) {
            EXPECT_EQ(reply->from, to);
        }
        return;
    }
    // Silence must come from the choice of interface, not a dead responder.
    std::string controlTo;
    ASSERT_TRUE(sendVia(control, host, client4, client6, clientLo, responder.port(), controlTo, why)) << why;
    Probe& controlReplied = control == Via::Loopback4 || control == Via::Own4 ? client4 : client6;
    EXPECT_TRUE(controlReplied.receive());
    EXPECT_TRUE(waitForAnswered(responder, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, Routes,
    ::testing::Values(Route{"LoopbackAnswers127", Serves::Loopback4, Via::Loopback4, true},
                      Route{"LoopbackIgnoresIpv6Loopback", Serves::Loopback4, Via::Loopback6, false},
                      // From this machine, whatever it was sent to.
                      Route{"LoopbackAnswersOwnAddressFromHere", Serves::Loopback4, Via::Own4, true},
                      Route{"LoopbackAnswersBroadcastFromHere", Serves::Loopback4, Via::Broadcast4, true},
                      Route{"LoopbackAnswersLoopbackBroadcast", Serves::Loopback4, Via::LoopbackBroadcast4, true},
                      Route{"LoopbackAnswersBroadcastOnLo", Serves::Loopback4, Via::BroadcastOnLo, true},
                      Route{"OtherLoopbackAnswers127", Serves::OtherLoopback4, Via::Loopback4, true},
                      Route{"OtherLoopbackAnswersLoopbackBroadcast", Serves::OtherLoopback4, Via::LoopbackBroadcast4,
                            true},
                      Route{"LoopbackIgnoresGroup", Serves::Loopback4, Via::Group6, false},
                      Route{"Every4Answers127", Serves::Every4, Via::Loopback4, true},
                      Route{"Every4AnswersOwnAddress", Serves::Every4, Via::Own4, true},
                      Route{"Every4AnswersBroadcast", Serves::Every4, Via::Broadcast4, true},
                      Route{"Every4IgnoresIpv6Loopback", Serves::Every4, Via::Loopback6, false},
                      Route{"Every4IgnoresGroup", Serves::Every4, Via::Group6, false},
                      Route{"EveryAnswers127", Serves::Every, Via::Loopback4, true},
                      Route{"EveryAnswersBroadcast", Serves::Every, Via::Broadcast4, true},
                      Route{"EveryAnswersIpv6Loopback", Serves::Every, Via::Loopback6, true},
                      Route{"EveryAnswersOwnIpv6", Serves::Every, Via::Own6, true},
                      Route{"EveryAnswersGroup", Serves::Every, Via::Group6, true},
                      Route{"Ipv6LoopbackAnswersIt", Serves::Loopback6, Via::Loopback6, true},
                      Route{"Ipv6LoopbackIgnores127", Serves::Loopback6, Via::Loopback4, false},
                      Route{"Ipv6LoopbackAnswersGroupFromHere", Serves::Loopback6, Via::Group6, true},
                      Route{"Ipv6LoopbackAnswersOwnIpv6", Serves::Loopback6, Via::Own6, true},
                      Route{"OwnIpv4AnswersIt", Serves::Own4, Via::Own4, true},
                      Route{"OwnIpv4AnswersBroadcastFromIt", Serves::Own4, Via::Broadcast4, true},
                      Route{"OwnIpv4Ignores127", Serves::Own4, Via::Loopback4, false},
                      Route{"OwnIpv6AnswersIt", Serves::Own6, Via::Own6, true},
                      Route{"OwnIpv6AnswersGroupFromIt", Serves::Own6, Via::Group6, true},
                      Route{"OwnIpv6IgnoresIpv6Loopback", Serves::Own6, Via::Loopback6, false}),
    [](const ::testing::TestParamInfo<Route>& info) { return std::string(info.param.name); });

TEST(Discovery, RefusesBadSettingsWithTheReason)
{
    struct Case {
        int discoveryPort;
        int httpPort;
        const char* listen;
        const char* mentioned;
    };
    const Case cases[] = {
        {70000, 8080, "127.0.0.1", "70000"},
        {-1, 8080, "127.0.0.1", "-1"},
        {0, 0, "127.0.0.1", "HTTP port 0"},
        {0, 65536, "127.0.0.1", "65536"},
        {0, 8080, "", "''"},
        {0, 8080, "localhost", "localhost"},
        {0, 8080, "127.0.0.1; rm", "127.0.0.1; rm"},
        {0, 8080, "203.0.113.77", "not an address of this machine"},
        {0, 8080, "2001:db8::77", "not an address of this machine"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.listen);
        DiscoveryResponder responder(each.discoveryPort, each.httpPort, each.listen);
        std::string error;
        EXPECT_FALSE(responder.start(error));
        EXPECT_NE(error.find(each.mentioned), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(responder.port(), 0);
        responder.stop();
    }
}

TEST(Discovery, PortHeldWithoutSharingFailsWithTheReasonAndHoldsNothing)
{
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback), 0);
    socklen_t length = sizeof loopback;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&loopback), &length);
    const int port = ntohs(loopback.sin_port);

    DiscoveryResponder responder(port, 8080, "127.0.0.1");
    std::string error;
    EXPECT_FALSE(responder.start(error));
    EXPECT_EQ(error, "discovery port " + std::to_string(port) + " on 127.0.0.1: " + std::strerror(EADDRINUSE));
    EXPECT_EQ(responder.port(), 0);

    // Once the port is free the same responder starts and answers.
    ::close(holder);
    ASSERT_TRUE(responder.start(error)) << error;
    Probe client(AF_INET);
    ASSERT_TRUE(client.send("127.0.0.1", port, kRequest));
    EXPECT_TRUE(client.receive());
}

TEST(Discovery, TwoServersShareThePortAndTheSecondTakesOverAfterTheFirstStops)
{
    DiscoveryResponder first(0, 1001, "127.0.0.1");
    std::string error;
    ASSERT_TRUE(first.start(error)) << error;
    DiscoveryResponder second(first.port(), 1002, "127.0.0.1");
    ASSERT_TRUE(second.start(error)) << error;

    // A unicast request reaches one of the two, and only one answers it.
    Probe client(AF_INET);
    ASSERT_TRUE(client.send("127.0.0.1", first.port(), kRequest));
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_FALSE(client.receive(kSilence));
    EXPECT_EQ(first.answered() + second.answered(), 1u);

    DiscoveryResponder& answering = reply->text == "{\"AlpacaPort\": 1001}" ? first : second;
    DiscoveryResponder& other = &answering == &first ? second : first;
    const std::string otherReply = &other == &first ? "{\"AlpacaPort\": 1001}" : "{\"AlpacaPort\": 1002}";
    const int port = first.port();
    answering.stop();
    ASSERT_TRUE(client.send("127.0.0.1", port, kRequest));
    const auto takenOver = client.receive();
    ASSERT_TRUE(takenOver);
    EXPECT_EQ(takenOver->text, otherReply);
}

// Both servers on a shared port get each broadcast: `to` is sent from
// `client`, and both replies come back to it.
void expectBothAnswer(Probe& client, const std::string& to)
{
    DiscoveryResponder first(0, 1001, "0.0.0.0");
    std::string error;
    ASSERT_TRUE(first.start(error)) << error;
    DiscoveryResponder second(first.port(), 1002, "0.0.0.0");
    ASSERT_TRUE(second.start(error)) << error;
    ASSERT_TRUE(client.send(to, first.port(), kRequest)) << std::strerror(errno);
    std::multiset<std::string> replies;
    for (auto reply = client.receive(); reply; reply = client.receive(kSilence))
        replies.insert(reply->text);
    EXPECT_EQ(replies, (std::multiset<std::string>{"{\"AlpacaPort\": 1001}", "{\"AlpacaPort\": 1002}"}));
}

TEST(Discovery, TwoServersOnOnePortBothAnswerABroadcast)
{
    // 255.255.255.255 out of lo only: from anywhere else it would reach
    // this machine's network.
    Probe client(AF_INET, "lo", -1, "127.0.0.1");
    if (!client.isOpen())
        GTEST_SKIP() << "cannot tie a socket to lo (SO_BINDTODEVICE refused; systems before Linux 5.7 want root)";
    expectBothAnswer(client, "255.255.255.255");
}

TEST(Discovery, TwoServersOnOnePortBothAnswerALoopbackBroadcast)
{
    Probe client(AF_INET);
    ASSERT_TRUE(client.isOpen());
    expectBothAnswer(client, "127.255.255.255");
}

TEST(Discovery, StopIsPromptAndStartStopRepeats)
{
    DiscoveryResponder probeForPort(0, 8080, "127.0.0.1");
    std::string error;
    ASSERT_TRUE(probeForPort.start(error)) << error;
    const int port = probeForPort.port();
    probeForPort.stop();
    probeForPort.stop();

    DiscoveryResponder responder(port, 8080, "127.0.0.1");
    responder.stop(); // never started
    Probe client(AF_INET);
    for (unsigned long round = 1; round <= 10; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(responder.start(error)) << error;
        ASSERT_TRUE(responder.start(error)) << "a second start while running is a no-op";
        EXPECT_EQ(responder.port(), port);
        ASSERT_TRUE(client.send("127.0.0.1", port, kRequest));
        ASSERT_TRUE(client.receive());
        EXPECT_TRUE(waitForAnswered(responder, round));
        const auto before = Clock::now();
        responder.stop();
        EXPECT_LT(Clock::now() - before, 1s);
        responder.stop();
        EXPECT_EQ(responder.port(), 0);
        EXPECT_EQ(responder.endpoints(), "");
        // Stopped means silent.
        ASSERT_TRUE(client.send("127.0.0.1", port, kRequest));
        EXPECT_FALSE(client.receive(50ms));
    }
    EXPECT_EQ(responder.answered(), 10u);

    // Going out of scope stops it as promptly.
    const auto before = Clock::now();
    {
        DiscoveryResponder scoped(0, 8080, "127.0.0.1");
        ASSERT_TRUE(scoped.start(error)) << error;
    }
    EXPECT_LT(Clock::now() - before, 1s);
}

TEST(Discovery, BurstsOfRequestsAndJunkAreAnsweredOneForOne)
{
    DiscoveryResponder responder(0, 8080, "127.0.0.1");
    std::string error;
    ASSERT_TRUE(responder.start(error)) << error;
    Probe client(AF_INET);
    unsigned long replies = 0;
    for (int burst = 0; burst < 20; ++burst) {
        for (int each = 0; each < 10; ++each) {
            ASSERT_TRUE(client.send("127.0.0.1", responder.port(), std::string(std::size_t(each * 7), char(each))));
            ASSERT_TRUE(client.send("127.0.0.1", responder.port(), kRequest));
        }
        for (int each = 0; each < 10; ++each)
            replies += client.receive() ? 1 : 0;
    }
    EXPECT_FALSE(client.receive(kSilence));
    EXPECT_EQ(replies, 200u);
    EXPECT_TRUE(waitForAnswered(responder, 200)) << responder.answered();
}

TEST(Discovery, LoopbackListenAnswersThisMachineOnlyWhateverItSendsTo)
{
    struct Send {
        const char* name;
        bool fromNeighbour;
        const char* to;
        bool answered;
    };
    struct Listen {
        const char* address;
        int family;
        std::vector<Send> sends;
    };
    const Listen cases[] = {
        {"127.0.0.1",
         AF_INET,
         {{"from here to our address on the link", false, "198.18.0.1", true},
          {"from here, broadcast on the link", false, "198.18.0.255", true},
          {"from the neighbour to our address", true, "198.18.0.1", false},
          {"from the neighbour, broadcast on the link", true, "198.18.0.255", false},
          {"from the neighbour, to 255.255.255.255", true, "255.255.255.255", false}}},
        {"::1",
         AF_INET6,
         {{"from here to our address on the link", false, "fd18::1", true},
          {"from here, to the group on the link", false, "ff12::a1:9aca", true},
          {"from the neighbour to our address", true, "fd18::1", false},
          {"from the neighbour, to the group on the link", true, "ff12::a1:9aca", false}}},
    };
    for (const Listen& listen : cases) {
        SCOPED_TRACE(listen.address);
        if (listen.family == AF_INET6 && !hasIpv6Loopback())
            continue;
        // On a machine of the test's own: a responder on ::1 joins the group
        // on every interface, and says so on each link.
        const TestLink neighbour;
        if (!neighbour.missing().empty())
            GTEST_SKIP() << neighbour.missing();
        const TestLink::Inside inside(neighbour);
        const unsigned link = ::if_nametoindex(neighbour.ourEnd().c_str());
        ASSERT_NE(link, 0u);
        DiscoveryResponder responder(0, 8080, listen.address);
        std::string error;
        ASSERT_TRUE(responder.start(error)) << error;

        unsigned long expected = 0;
        for (const Send& send : listen.sends) {
            SCOPED_TRACE(send.name);
            // Inside, the socket is tied to the namespace's end: even
            // 255.255.255.255 goes to our end only.
            const int made = send.fromNeighbour ? neighbour.socketInside(listen.family) : -1;
            ASSERT_TRUE(!send.fromNeighbour || made >= 0);
            // From here, from fd18::1 (not the link-local address, which
            // ::1 cannot answer).
            const bool fromUs6 = !send.fromNeighbour && listen.family == AF_INET6;
            Probe client(listen.family, send.fromNeighbour ? neighbour.theirEnd().c_str() : nullptr, made,
                         fromUs6 ? "fd18::1" : nullptr);
            ASSERT_TRUE(client.isOpen()) << std::strerror(errno);
            ASSERT_TRUE(client.send(send.to, responder.port(), kRequest, send.fromNeighbour ? 0 : link))
                << std::strerror(errno);
            const auto reply = client.receive(send.answered ? kReplyWait : 1000ms);
            EXPECT_EQ(bool(reply), send.answered) << "responder on " << responder.endpoints();
            if (reply) {
                EXPECT_EQ(reply->from, listen.address);
            }
            expected += send.answered ? 1 : 0;
            EXPECT_TRUE(waitForAnswered(responder, expected)) << responder.answered();
        }
    }
}

TEST(DiscoveryPlan, LocalSourcesAreLoopbackOrAnAddressOfThisMachine)
{
    const auto v4 = [](const char* text) {
        in_addr bytes{};
        ::inet_pton(AF_INET, text, &bytes);
        return discovery::IpAddress::ipv4(&bytes);
    };
    const auto v6 = [](const char* text, unsigned scope = 0) {
        in6_addr bytes{};
        ::inet_pton(AF_INET6, text, &bytes);
        return discovery::IpAddress::ipv6(&bytes, scope);
    };
    const std::vector<discovery::InterfaceAddress> machine = {
        {1, "lo", false, v4("127.0.0.1"), std::nullopt},
        {2, "eth0", true, std::nullopt, std::nullopt},
        {2, "eth0", true, v4("192.0.2.2"), v4("192.0.2.255")},
        {2, "eth0", true, v6("fd00::2"), std::nullopt},
        {2, "eth0", true, v6("fe80::2", 2), std::nullopt},
    };
    struct Case {
        const char* name;
        discovery::IpAddress source;
        bool local;
    };
    const Case cases[] = {
        {"127.0.0.1", v4("127.0.0.1"), true},
        {"another 127.x", v4("127.9.8.7"), true},
        {"::1", v6("::1"), true},
        {"an interface's IPv4", v4("192.0.2.2"), true},
        {"its neighbour", v4("192.0.2.3"), false},
        {"its broadcast address", v4("192.0.2.255"), false},
        {"255.255.255.255", v4("255.255.255.255"), false},
        {"0.0.0.0", v4("0.0.0.0"), false},
        {"an interface's IPv6", v6("fd00::2"), true},
        {"its IPv6 neighbour", v6("fd00::3"), false},
        {"our link-local on its link", v6("fe80::2", 2), true},
        {"our link-local address on another link", v6("fe80::2", 3), false},
        {"our link-local without a scope", v6("fe80::2"), true},
        {"IPv4-mapped 127.0.0.1", v6("::ffff:127.0.0.1"), true},
        {"IPv4-mapped own address", v6("::ffff:192.0.2.2"), true},
        {"IPv4-mapped neighbour", v6("::ffff:192.0.2.3"), false},
        {"::", v6("::"), false},
        {"IPv6 with our IPv4's first bytes", v6("c000:202::"), false},
        {"the group", v6("ff12::a1:9aca"), false},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(discovery::isLocalSource(each.source, machine), each.local);
    }
    // Listed nothing (the system would not say): only loopback counts.
    EXPECT_TRUE(discovery::isLocalSource(v4("127.0.0.1"), {}));
    EXPECT_FALSE(discovery::isLocalSource(v4("192.0.2.2"), {}));
}

TEST(DiscoveryPlan, LoopbackListenBindsEveryAddressAndRepliesFromItself)
{
    const discovery::InterfaceLister lister = [] {
        const unsigned char own[4] = {192, 0, 2, 2};
        return std::vector<discovery::InterfaceAddress>{
            {1, "lo", false, std::nullopt, std::nullopt},
            {2, "eth0", true, discovery::IpAddress::ipv4(own), std::nullopt}};
    };
    const unsigned char loopback2[4] = {127, 0, 0, 2};
    const unsigned char linkLocal[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    const unsigned char unique[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    struct Case {
        const char* listen;
        discovery::IpAddress parsed;
        bool groupOnEth0;
    };
    const Case cases[] = {{"127.0.0.2", discovery::IpAddress::ipv4(loopback2), false},
                          {"[::1]", discovery::IpAddress::loopbackIpv6(), true}};
    for (const Case& each : cases) {
        SCOPED_TRACE(each.listen);
        std::vector<discovery::PlannedEndpoint> plan;
        std::string error;
        ASSERT_TRUE(discovery::planEndpoints(each.listen, each.parsed, lister, plan, error)) << error;
        ASSERT_EQ(plan.size(), 1u);
        const discovery::PlannedEndpoint& endpoint = plan[0];
        EXPECT_TRUE(endpoint.bind.isAnyAddress());
        EXPECT_EQ(endpoint.bind.v6, each.parsed.v6);
        EXPECT_EQ(endpoint.broadcast, !each.parsed.v6);
        EXPECT_TRUE(endpoint.thisMachineOnly);
        EXPECT_FALSE(endpoint.oneAddress);
        EXPECT_TRUE(endpoint.answersFor().sameAs(each.parsed));
        EXPECT_EQ(endpoint.groupInterfaces.size(), each.groupOnEth0 ? 1u : 0u);
        // From itself, but to a link-local source ::1 cannot send.
        EXPECT_TRUE(discovery::repliesFromOwnTo(endpoint, discovery::IpAddress::ipv6(unique)));
        EXPECT_EQ(discovery::repliesFromOwnTo(endpoint, discovery::IpAddress::ipv6(linkLocal, 2)), !each.parsed.v6);
    }
}

} // namespace
