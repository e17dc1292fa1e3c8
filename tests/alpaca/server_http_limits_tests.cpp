// The HTTP side's limits, tried over raw sockets as an abusive client would:
// at most 64 connections served at once and a 503 at once beyond them, a
// flood of connections that neither takes the server down nor grows its
// threads, a request that comes too slowly closed after 10 s while others
// are served, and a stop that ends promptly whatever the clients are doing.
#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;
using namespace std::chrono_literals;

// As AlpacaHttpServer.h has them.
constexpr int kConnectionCap = 64;
constexpr auto kRequestArrival = 10s;
constexpr auto kKeepAlive = 2s;

const std::string kVersionsRequest = "GET /management/apiversions HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string kVersionsRequestLast
    = "GET /management/apiversions HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
// The start of a request whose end never comes, which holds its serving
// thread until the arrival deadline.
const std::string kHeadStart = "GET /management/apiversions HTTP/1.1\r\n";

Milliseconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<Milliseconds>(Clock::now() - start);
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// An answer as the client received it, byte for byte.
struct RawAnswer {
    std::string statusLine;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    bool whole = false; // head and the body its Content-Length gives
};

// Parses one answer at the start of `text`; `used` is how much of it the
// answer took (0 while it is not whole).
RawAnswer parseAnswer(const std::string& text, std::size_t& used)
{
    RawAnswer answer;
    used = 0;
    const std::size_t headEnd = text.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return answer;
    const std::size_t firstLineEnd = text.find("\r\n");
    answer.statusLine = text.substr(0, firstLineEnd);
    for (std::size_t at = firstLineEnd + 2; at < headEnd;) {
        const std::size_t end = text.find("\r\n", at);
        const std::string line = text.substr(at, end - at);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::size_t value = colon + 1;
            while (value < line.size() && line[value] == ' ')
                ++value;
            answer.headers[lowered(line.substr(0, colon))] = line.substr(value);
        }
        at = end + 2;
    }
    const std::size_t length = answer.headers.count("content-length")
        ? std::size_t(std::stoul(answer.headers["content-length"]))
        : 0;
    if (text.size() < headEnd + 4 + length)
        return answer;
    answer.body = text.substr(headEnd + 4, length);
    answer.whole = true;
    used = headEnd + 4 + length;
    return answer;
}

RawAnswer parseAnswer(const std::string& text)
{
    std::size_t used = 0;
    return parseAnswer(text, used);
}

int statusOf(const RawAnswer& answer)
{
    if (answer.statusLine.rfind("HTTP/1.1 ", 0) != 0)
        return 0;
    return std::atoi(answer.statusLine.c_str() + 9);
}

// One TCP connection to the server on loopback, as a client holds it.
class RawConnection {
public:
    explicit RawConnection(int port)
    {
        sock = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(std::uint16_t(port));
        if (sock >= 0 && ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(sock);
            sock = -1;
        }
    }
    ~RawConnection() { close(); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return sock >= 0; }
    int descriptor() const { return sock; }

    bool send(const std::string& text)
    {
        std::size_t sent = 0;
        while (sock >= 0 && sent < text.size()) {
            const ssize_t now = ::send(sock, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (now <= 0)
                return false;
            sent += std::size_t(now);
        }
        return sock >= 0;
    }

    // Reads what has come within `wait`; false once the server has closed
    // (an end or a reset).
    bool receiveFor(Milliseconds wait)
    {
        if (sock < 0 || ended)
            return false;
        pollfd watch{sock, POLLIN, 0};
        if (::poll(&watch, 1, int(wait.count())) <= 0)
            return true;
        char chunk[4096];
        const ssize_t got = ::recv(sock, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            received.append(chunk, std::size_t(got));
            return true;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        ended = true;
        return false;
    }

    // Everything until the server closes, or until `wait` has passed.
    void receiveUntilClosed(Milliseconds wait)
    {
        const Clock::time_point start = Clock::now();
        while (since(start) < wait && receiveFor(std::min(Milliseconds(50), wait - since(start))))
            ;
    }

    // The next whole answer on a kept connection, within `wait` (not whole
    // when none came).
    RawAnswer nextAnswer(Milliseconds wait)
    {
        const Clock::time_point start = Clock::now();
        for (;;) {
            std::size_t used = 0;
            RawAnswer answer = parseAnswer(received, used);
            if (answer.whole) {
                received.erase(0, used);
                return answer;
            }
            if (since(start) >= wait || !receiveFor(std::min(Milliseconds(50), wait - since(start))))
                return parseAnswer(received);
        }
    }

    // True when the server has closed its side (looked at without waiting).
    bool closedByServer()
    {
        receiveFor(0ms);
        return ended;
    }

    void close()
    {
        if (sock >= 0)
            ::close(sock);
        sock = -1;
    }

    const std::string& text() const { return received; }
    bool closed() const { return ended; }

private:
    int sock = -1;
    bool ended = false;
    std::string received;
};

// A connection that has had one request answered, so it surely holds a
// serving thread, and then sent the start of another request, which keeps
// that thread (for up to the arrival deadline).
std::unique_ptr<RawConnection> heldConnection(int port)
{
    auto held = std::make_unique<RawConnection>(port);
    if (!held->connected() || !held->send(kVersionsRequest))
        return nullptr;
    if (statusOf(held->nextAnswer(3000ms)) != 200 || !held->send(kHeadStart))
        return nullptr;
    return held;
}

// One request on a connection of its own, with Connection: close; its
// answer (status 0 when there was none within `wait`).
RawAnswer askOnce(int port, const std::string& request = kVersionsRequestLast, Milliseconds wait = 3000ms)
{
    RawConnection connection(port);
    if (!connection.connected() || !connection.send(request))
        return RawAnswer();
    connection.receiveUntilClosed(wait);
    return parseAnswer(connection.text());
}

// Asks until the server answers 200 or `wait` has passed; every answer
// before it must be the 503 of a full server.
int servedWithin(int port, Milliseconds wait, std::vector<std::string>& otherAnswers)
{
    const Clock::time_point start = Clock::now();
    int status = 0;
    while (since(start) < wait) {
        const RawAnswer answer = askOnce(port, kVersionsRequestLast, 2000ms);
        status = statusOf(answer);
        if (status == 200)
            return status;
        if (status != 503)
            otherAnswers.push_back(answer.statusLine.empty() ? "(none)" : answer.statusLine);
        std::this_thread::sleep_for(100ms);
    }
    return status;
}

// The threads of a process, as the system lists them.
std::size_t threadsOf(pid_t process)
{
    std::error_code error;
    std::size_t count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(process) + "/task", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

bool exitedWith(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// The 503 of a full server, exactly.
void expectFullServerAnswer(const RawConnection& connection, const std::string& shown)
{
    const RawAnswer answer = parseAnswer(connection.text());
    ASSERT_TRUE(answer.whole) << shown << ": [" << connection.text() << "]";
    EXPECT_EQ(answer.statusLine, "HTTP/1.1 503 Service Unavailable") << shown;
    EXPECT_EQ(answer.headers.size(), 4u) << shown << ": [" << connection.text() << "]";
    auto header = [&](const char* name) {
        auto found = answer.headers.find(name);
        return found == answer.headers.end() ? std::string("(none)") : found->second;
    };
    EXPECT_EQ(header("retry-after"), "1") << shown;
    EXPECT_EQ(header("connection"), "close") << shown;
    EXPECT_EQ(header("content-type"), "text/plain; charset=utf-8") << shown;
    EXPECT_EQ(header("content-length"), std::to_string(answer.body.size())) << shown;
    EXPECT_NE(answer.body.find("connections"), std::string::npos) << shown << ": " << answer.body;
    EXPECT_NE(answer.body.find(std::to_string(kConnectionCap)), std::string::npos) << shown << ": " << answer.body;
    EXPECT_EQ(connection.text().size(), answer.body.size() + connection.text().find("\r\n\r\n") + 4)
        << shown << ": more after the answer";
    EXPECT_TRUE(connection.closed()) << shown << ": not closed after the 503";
}

// ---- At most 64 at once --------------------------------------------------------

TEST(ConnectionCap, BeyondTheCapAClientIsAnswered503AtOnceAndServedOnceOthersClose)
{
    ScratchFolder scratch;
    ServerProcess server(scratch, {});
    ASSERT_TRUE(server.ready()) << server.log();
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < kConnectionCap; ++i) {
        held.push_back(heldConnection(server.port()));
        ASSERT_TRUE(held.back()) << "connection " << i << " was not served";
    }

    // What the refused client sends first makes no difference to it.
    struct Case {
        const char* name;
        std::vector<std::string> parts; // sent 300 ms apart
    };
    const Case cases[] = {
        {"a GET at once", {kVersionsRequest}},
        {"a PUT with its body",
         {"PUT /api/v1/telescope/0/connected HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
          "application/x-www-form-urlencoded\r\nContent-Length: 14\r\n\r\nConnected=true"}},
        {"a head in two parts", {"GET /management/apiversions HTTP/1.1\r\nHo", "st: 127.0.0.1\r\n\r\n"}},
        {"nothing at all", {}},
    };
    for (const Case& c : cases) {
        const Clock::time_point start = Clock::now();
        RawConnection refused(server.port());
        ASSERT_TRUE(refused.connected()) << c.name;
        for (std::size_t i = 0; i < c.parts.size(); ++i) {
            if (i > 0)
                std::this_thread::sleep_for(300ms);
            refused.send(c.parts[i]);
        }
        refused.receiveUntilClosed(2500ms);
        EXPECT_LT(since(start), 2500ms) << c.name << ": no prompt answer and close";
        expectFullServerAnswer(refused, c.name);
    }
    for (std::size_t i = 0; i < held.size(); ++i)
        EXPECT_FALSE(held[i]->closedByServer()) << "held connection " << i << " was closed by a refusal";

    // Once a few of them close, a newcomer is served again.
    for (int i = 0; i < 8; ++i)
        held[std::size_t(i)]->close();
    std::vector<std::string> otherAnswers;
    EXPECT_EQ(servedWithin(server.port(), 3000ms, otherAnswers), 200);
    EXPECT_TRUE(otherAnswers.empty()) << otherAnswers.front();
    EXPECT_TRUE(server.running()) << server.log();
}

// ---- A flood of connections ----------------------------------------------------

TEST(ConnectionFlood, FiveHundredSilentConnectionsAreAllEndedInBoundedTimeWithBoundedThreads)
{
    ScratchFolder scratch;
    ServerProcess server(scratch, {});
    ASSERT_TRUE(server.ready()) << server.log();
    const pid_t process = server.pid();
    ASSERT_GT(process, 0) << "the server's process was not found";

    std::atomic<bool> flooding{true};
    std::atomic<std::size_t> mostThreads{threadsOf(process)};
    std::thread counter([&] {
        while (flooding) {
            mostThreads = std::max(mostThreads.load(), threadsOf(process));
            std::this_thread::sleep_for(20ms);
        }
    });

    constexpr std::size_t kFlood = 500;
    const Clock::time_point start = Clock::now();
    std::vector<std::unique_ptr<RawConnection>> flood;
    for (std::size_t i = 0; i < kFlood; ++i)
        flood.push_back(std::make_unique<RawConnection>(server.port()));
    const std::size_t connected = std::size_t(std::count_if(
        flood.begin(), flood.end(), [](const std::unique_ptr<RawConnection>& c) { return c->connected(); }));
    EXPECT_EQ(connected, kFlood);

    // Served ones end with the keep-alive wait, refused ones within a few
    // seconds (two refusing threads, a second each at most).
    // Under Wine every socket call goes through its server, which a loaded
    // machine slows: bounded all the same, later.
    const Milliseconds bound = serverIsWindows() ? 20000ms : 8000ms;
    std::size_t open = kFlood;
    while (open > 0 && since(start) < bound) {
        std::vector<pollfd> watch;
        for (const auto& c : flood)
            if (c->connected() && !c->closed())
                watch.push_back(pollfd{c->descriptor(), POLLIN, 0});
        ::poll(watch.data(), nfds_t(watch.size()), 50);
        open = 0;
        for (const auto& c : flood)
            if (c->connected() && !c->closed() && c->receiveFor(0ms))
                ++open;
    }
    flooding = false;
    counter.join();
    EXPECT_EQ(open, 0u) << "connections still open after " << bound.count() << " ms";
    std::size_t answered = 0;
    for (std::size_t i = 0; i < flood.size(); ++i) {
        if (flood[i]->text().empty())
            continue;
        ++answered;
        EXPECT_EQ(parseAnswer(flood[i]->text()).statusLine, "HTTP/1.1 503 Service Unavailable")
            << "connection " << i << ": [" << flood[i]->text() << "]";
    }
    EXPECT_LE(answered, kFlood - kConnectionCap) << "more answers than refusals";
    EXPECT_LT(mostThreads.load(), std::size_t(kConnectionCap + 16)) << "threads grew with the connections";
    flood.clear();

    std::vector<std::string> otherAnswers;
    EXPECT_EQ(servedWithin(server.port(), 4000ms, otherAnswers), 200);
    EXPECT_TRUE(otherAnswers.empty()) << otherAnswers.front();
    EXPECT_TRUE(server.running()) << server.log();
}

// ---- Slow clients ---------------------------------------------------------------

// A client that sends `atOnce`, then `dribbled` one byte each `every`, until
// the server closes the connection or `giveUp` has passed.
struct Dribble {
    std::string atOnce;
    std::string dribbled;
    Milliseconds every;
};

struct DribbleResult {
    bool closed = false;
    Milliseconds closedAfter{0}; // from the request's first byte
    std::size_t dribbledBytes = 0;
    std::string received;
};

DribbleResult dribble(int port, const Dribble& how, Milliseconds giveUp, const std::atomic<bool>* stop = nullptr)
{
    DribbleResult result;
    RawConnection connection(port);
    if (!connection.connected())
        return result;
    const Clock::time_point start = Clock::now();
    bool sendFailed = !connection.send(how.atOnce);
    auto watchFor = [&](Milliseconds wait) {
        const Clock::time_point from = Clock::now();
        while (since(from) < wait && connection.receiveFor(std::min(Milliseconds(50), wait - since(from))))
            ;
    };
    while (!sendFailed && !connection.closed() && since(start) < giveUp && !(stop && *stop)) {
        if (result.dribbledBytes == how.dribbled.size()) {
            watchFor(giveUp - since(start));
            break;
        }
        sendFailed = !connection.send(how.dribbled.substr(result.dribbledBytes, 1));
        if (!sendFailed)
            ++result.dribbledBytes;
        watchFor(how.every);
    }
    result.closed = connection.closed() || sendFailed;
    result.closedAfter = since(start);
    result.received = connection.text();
    return result;
}

// A synchronous slew of ~13 s on a mount slewing 1 degree a second: its
// answer; the time it took.
struct LongAnswer {
    int status = 0;
    Json body;
    Milliseconds took{0};
};

LongAnswer longSlew(const ServerProcess& server)
{
    LongAnswer answer;
    auto client = server.client();
    auto ra = client->Get(telescope("rightascension"));
    auto dec = client->Get(telescope("declination"));
    if (!ra || !dec)
        return answer;
    const double rightAscension = Json::parse(ra->body, nullptr, false).value("Value", 0.0);
    const double declination = Json::parse(dec->body, nullptr, false).value("Value", 0.0);
    const double target = declination > 0 ? declination - 13 : declination + 13;
    const Clock::time_point start = Clock::now();
    const std::string form
        = "RightAscension=" + std::to_string(rightAscension) + "&Declination=" + std::to_string(target);
    auto slew = client->Put(telescope("slewtocoordinates"), form, "application/x-www-form-urlencoded");
    answer.took = since(start);
    if (slew) {
        answer.status = slew->status;
        answer.body = Json::parse(slew->body, nullptr, false);
    }
    return answer;
}

// Requests once a second on one kept connection, then one more whose head
// comes in three parts 4 s apart (each under the per-read time-out, 8 s in
// all): every answer must be a 200 on that same connection, the last some
// 15 s after it opened. Status 0 marks the request that got no answer.
std::vector<int> keptConnectionAnswers(int port)
{
    std::vector<int> statuses;
    RawConnection kept(port);
    if (!kept.connected())
        return statuses;
    for (int i = 0; i < 7; ++i) {
        kept.send(kVersionsRequest);
        statuses.push_back(statusOf(kept.nextAnswer(3000ms)));
        std::this_thread::sleep_for(1000ms);
    }
    kept.send("GET /management/apiversions HTTP/1.1\r\n");
    std::this_thread::sleep_for(4000ms);
    kept.send("Host: 127.0.0.1\r\n");
    std::this_thread::sleep_for(4000ms);
    kept.send("Accept: */*\r\n\r\n");
    statuses.push_back(statusOf(kept.nextAnswer(3000ms)));
    return statuses;
}

TEST(SlowClients, ARequestTooSlowToArriveIsClosedWhileOthersAreServedAndTheDeadlineIsPerRequest)
{
    ScratchFolder scratch;
    SimulatorProcess mount(scratch, 2, {"--slew-rate", "1"});
    ASSERT_TRUE(mount.ready());
    ServerProcess server(scratch, {"--serial", mount.link});
    ASSERT_TRUE(server.ready()) << server.log();
    auto connect = server.put(telescope("connected"), "Connected=true");
    ASSERT_TRUE(connect && connect->status == 200) << server.log();
    const int port = server.port();

    // All at once, each on a thread of its own.
    struct Case {
        const char* name;
        Dribble how;
    };
    const Case cases[] = {
        {"a head a byte every 500 ms",
         {"", "GET /management/apiversions HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: slow\r\nAccept: */*\r\n\r\n",
          500ms}},
        {"headers a byte every 500 ms after the request line",
         {"GET /management/apiversions HTTP/1.1\r\n", "Host: 127.0.0.1\r\nUser-Agent: slow\r\nAccept: */*\r\n\r\n",
          500ms}},
        {"a body a byte a second after its head",
         {"PUT /api/v1/telescope/0/connected HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
          "application/x-www-form-urlencoded\r\nContent-Length: 100\r\n\r\n",
          "Connected=true&Padding=" + std::string(77, 'p'), 1000ms}},
    };
    const Milliseconds giveUp = kRequestArrival + 4s;
    std::vector<std::future<DribbleResult>> slow;
    for (const Case& c : cases)
        slow.push_back(
            std::async(std::launch::async, [port, giveUp, &how = c.how] { return dribble(port, how, giveUp); }));
    auto kept = std::async(std::launch::async, [&] { return keptConnectionAnswers(port); });
    auto slew = std::async(std::launch::async, [&] { return longSlew(server); });

    // Others are served meanwhile.
    std::this_thread::sleep_for(3000ms);
    const Clock::time_point asked = Clock::now();
    const RawAnswer meanwhile = askOnce(port);
    EXPECT_EQ(statusOf(meanwhile), 200) << meanwhile.statusLine;
    EXPECT_LT(since(asked), 2000ms);

    for (std::size_t i = 0; i < slow.size(); ++i) {
        const Case& c = cases[i];
        const DribbleResult result = slow[i].get();
        EXPECT_TRUE(result.closed) << c.name << ": still open after " << result.closedAfter.count() << " ms";
        EXPECT_GE(result.closedAfter, kRequestArrival - 1s) << c.name << ": closed before its deadline";
        EXPECT_LE(result.closedAfter, kRequestArrival + 2500ms) << c.name;
        EXPECT_LT(result.dribbledBytes, c.how.dribbled.size()) << c.name << ": the request arrived whole";
        EXPECT_EQ(result.received, "") << c.name << ": a late request was answered";
    }

    const std::vector<int> keptStatuses = kept.get();
    EXPECT_EQ(keptStatuses, std::vector<int>(8, 200)) << "a kept connection was cut, or a slow head refused";

    // The mount's time in a handler is no part of the arrival.
    const LongAnswer slewed = slew.get();
    EXPECT_GT(slewed.took, kRequestArrival + 1s) << "the slew was too short to show anything";
    EXPECT_EQ(slewed.status, 200) << "after " << slewed.took.count() << " ms";
    EXPECT_EQ(slewed.body.value("ErrorNumber", -1), 0) << slewed.body.dump();
    EXPECT_TRUE(server.running()) << server.log();
}

// ---- Stopping ---------------------------------------------------------------------

TEST(Stopping, TheServerStopsPromptlyWhileConnectionsAreHeldRefusedAndSlow)
{
    ScratchFolder scratch;
    ServerProcess server(scratch, {});
    ASSERT_TRUE(server.ready()) << server.log();
    const int port = server.port();

    const Dribble slowHead{"", "GET /management/apiversions HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n", 500ms};
    const Dribble slowBody{
        "PUT /api/v1/telescope/0/connected HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50\r\n\r\n",
        std::string(50, 'a'), 500ms};
    std::atomic<bool> stopDribbling{false};
    std::future<DribbleResult> head;
    std::future<DribbleResult> body;
    // However the test ends, the slow clients end with it (before their
    // futures wait for them).
    struct StopsDribbling {
        std::atomic<bool>& stop;
        ~StopsDribbling() { stop = true; }
    } stopsDribbling{stopDribbling};
    head = std::async(std::launch::async, [&] { return dribble(port, slowHead, 20s, &stopDribbling); });
    body = std::async(std::launch::async, [&] { return dribble(port, slowBody, 20s, &stopDribbling); });
    std::this_thread::sleep_for(300ms);
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < kConnectionCap - 2; ++i) {
        held.push_back(heldConnection(port));
        ASSERT_TRUE(held.back()) << "connection " << i << " was not served";
    }
    // Beyond the cap: some wait for their refusal, the rest are closed.
    std::vector<std::unique_ptr<RawConnection>> beyond;
    for (int i = 0; i < 40; ++i)
        beyond.push_back(std::make_unique<RawConnection>(port));
    std::this_thread::sleep_for(200ms);

    const Clock::time_point stopping = Clock::now();
    const int status = server.stop(SIGTERM, 8000);
    const Milliseconds took = since(stopping);
    stopDribbling = true;
    EXPECT_TRUE(exitedWith(status, 0)) << "wait status " << status << "\n" << server.log();
    EXPECT_LT(took, 3000ms);
    head.get();
    body.get();
}

} // namespace
