// One mount, several programs: each client connects and disconnects for
// itself, the link stays while any client holds it, a client that goes
// silent is let go, and an AbortSlew overtakes the reads waiting for the
// mount.
#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;
constexpr int kNotConnected = 0x407;

class Sharing : public ::testing::Test {
protected:
    void start(int model, std::vector<std::string> extra = {}, std::vector<std::string> simulatorExtra = {})
    {
        simulator = std::make_unique<SimulatorProcess>(scratch, model, simulatorExtra);
        ASSERT_TRUE(simulator->ready());
        std::vector<std::string> args = {"--serial", simulator->link};
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<ServerProcess>(scratch, args);
        ASSERT_TRUE(server->ready()) << server->log();
    }
    // The answer's JSON (null when there was no JSON answer).
    Json get(const std::string& member, std::uint32_t client)
    {
        auto result = server->get(telescope(member) + "?ClientID=" + std::to_string(client));
        return result && result->status == 200 ? Json::parse(result->body, nullptr, false) : Json();
    }
    Json put(const std::string& member, const std::string& form, std::uint32_t client)
    {
        std::string body = form + (form.empty() ? "" : "&") + "ClientID=" + std::to_string(client);
        auto result = server->put(telescope(member), body);
        return result && result->status == 200 ? Json::parse(result->body, nullptr, false) : Json();
    }
    bool connected(std::uint32_t client) { return get("connected", client)["Value"] == true; }
    std::size_t count(const std::string& command)
    {
        std::vector<std::string> sent = simulator->commands();
        return std::size_t(std::count(sent.begin(), sent.end(), command));
    }

    ScratchFolder scratch;
    std::unique_ptr<SimulatorProcess> simulator;
    std::unique_ptr<ServerProcess> server;
};

} // namespace

TEST_F(Sharing, EachClientConnectsForItselfAndTheLinkStaysWhileAnyHoldsIt)
{
    start(3);
    ASSERT_EQ(put("connected", "Connected=true", 1)["ErrorNumber"], 0);
    EXPECT_TRUE(connected(1));
    EXPECT_FALSE(connected(2)) << "client 2 never connected";
    EXPECT_FALSE(connected(0)) << "nor did the clients without an ID";
    EXPECT_EQ(get("rightascension", 2)["ErrorNumber"], kNotConnected);
    EXPECT_EQ(get("rightascension", 1)["ErrorNumber"], 0);

    // A second client's connect finds the link open: nothing is sent.
    const std::size_t handshakes = count(":MountInfo#");
    ASSERT_EQ(put("connected", "Connected=true", 2)["ErrorNumber"], 0);
    EXPECT_TRUE(connected(2));
    EXPECT_EQ(count(":MountInfo#"), handshakes);

    // One client's disconnect cuts no other off.
    ASSERT_EQ(put("connected", "Connected=false", 1)["ErrorNumber"], 0);
    EXPECT_FALSE(connected(1));
    EXPECT_TRUE(connected(2));
    EXPECT_EQ(get("rightascension", 2)["ErrorNumber"], 0);
    EXPECT_EQ(server->log().find("disconnected from"), std::string::npos) << server->log();

    // The last one's disconnect closes the link; the next connect opens it.
    ASSERT_EQ(put("disconnect", "", 2)["ErrorNumber"], 0);
    for (int wait = 0; wait < 100 && server->log().find("disconnected from") == std::string::npos; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(server->log().find("disconnected from"), std::string::npos) << server->log();
    EXPECT_FALSE(connected(2));
    ASSERT_EQ(put("connected", "Connected=true", 0)["ErrorNumber"], 0);
    EXPECT_TRUE(connected(0));
    EXPECT_GT(count(":MountInfo#"), handshakes);
}

TEST_F(Sharing, AClientThatFallsSilentIsLetGoAndTheLinkWithIt)
{
    start(2, {"--client-timeout", "1"});
    ASSERT_EQ(put("connected", "Connected=true", 7)["ErrorNumber"], 0);
    EXPECT_TRUE(connected(7));
    const auto silentSince = SteadyClock::now();
    std::string log;
    while (SteadyClock::now() - silentSince < std::chrono::seconds(6)) {
        log = server->log();
        if (log.find("disconnected from") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(log.find("client 7 sent nothing"), std::string::npos) << log;
    EXPECT_NE(log.find("disconnected from"), std::string::npos) << log;
    EXPECT_GE(SteadyClock::now() - silentSince, std::chrono::milliseconds(900));
    EXPECT_FALSE(connected(7));
}

TEST_F(Sharing, ARequestEveryFewHundredMillisecondsKeepsAClientConnected)
{
    start(2, {"--client-timeout", "1"});
    ASSERT_EQ(put("connected", "Connected=true", 8)["ErrorNumber"], 0);
    for (int poll = 0; poll < 10; ++poll) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(connected(8)) << "poll " << poll << "\n" << server->log();
    }
}

TEST_F(Sharing, AbortSlewOvertakesTheReadsWaitingForTheMount)
{
    // Every read waits for the mount: none takes an answer just finished.
    start(3, {"--max-age-ms", "0"});
    const int kReaders = 12;
    for (int client = 1; client <= kReaders; ++client)
        ASSERT_EQ(put("connected", "Connected=true", std::uint32_t(client))["ErrorNumber"], 0);
    const std::size_t before = simulator->commands().size();

    // Each reader keeps a read of its own member waiting (reads of one
    // member would share their exchange): twelve queue up behind one another.
    static const char* const kMembers[kReaders] = {
        "rightascension", "declination", "altitude", "azimuth", "siderealtime", "tracking",
        "atpark", "athome", "sideofpier", "trackingrate", "guideratedeclination", "sitelatitude"};
    std::atomic<bool> reading{true};
    std::mutex latenciesMutex;
    std::vector<double> latencies;
    std::vector<std::thread> readers;
    for (int client = 1; client <= kReaders; ++client)
        readers.emplace_back([&, client] {
            auto http = server->client();
            const std::string path = telescope(kMembers[client - 1]) + "?ClientID=" + std::to_string(client);
            while (reading) {
                const auto began = SteadyClock::now();
                http->Get(path);
                std::lock_guard<std::mutex> lock(latenciesMutex);
                latencies.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - began).count());
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const auto asked = SteadyClock::now();
    // From a client that reads too: its turn in the round would come only
    // after every other reader's.
    Json answer = put("abortslew", "", 1);
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - asked).count();
    reading = false;
    for (std::thread& reader : readers)
        reader.join();

    EXPECT_EQ(answer["ErrorNumber"], 0) << answer.dump();
    // Behind twelve queued reads it would take twelve exchanges (600 ms and
    // more); ahead of them it waits for the one under way, then its own.
    // Each read waits for a round of the others (about twelve exchanges);
    // ahead of them the abort waits for the one under way, then its own.
    // Compared in one run, so a busy machine moves both alike.
    ASSERT_FALSE(latencies.empty());
    std::sort(latencies.begin(), latencies.end());
    const double readMs = latencies[latencies.size() / 2];
    std::printf("[ figures  ] AbortSlew answered in %lld ms; a read behind %d readers took %.0f ms (median)\n",
                static_cast<long long>(tookMs), kReaders, readMs);
    EXPECT_LT(double(tookMs), readMs / 2) << "the abort waited behind the reads";
    std::vector<std::string> sent = simulator->commandsSince(before);
    auto abort = std::find(sent.begin(), sent.end(), ":Q#");
    ASSERT_NE(abort, sent.end());
    EXPECT_GE(abort - sent.begin(), kReaders / 2) << "the reads were under way before the abort came";
}

namespace {

// Every client's answer to one GET of member, all sent at the same moment.
std::vector<Json> getAtOnce(ServerProcess& server, const std::string& member, const std::vector<std::uint32_t>& clients)
{
    std::vector<Json> answers(clients.size());
    std::atomic<std::size_t> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < clients.size(); ++i)
        threads.emplace_back([&, i] {
            auto http = server.client();
            const std::string path = telescope(member) + "?ClientID=" + std::to_string(clients[i]);
            // A first request opens the connection, so that the timed one needs none.
            http->Get("/management/apiversions");
            ++ready;
            while (!go)
                std::this_thread::yield();
            auto result = http->Get(path);
            if (result && result->status == 200)
                answers[i] = Json::parse(result->body, nullptr, false);
        });
    while (ready < clients.size())
        std::this_thread::yield();
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    return answers;
}

} // namespace

TEST_F(Sharing, OverlappingReadsShareOneExchangeCountedAtTheMount)
{
    // Only reads at once share: none takes an answer finished a moment ago.
    start(3, {"--max-age-ms", "0"});
    std::vector<std::uint32_t> clients;
    for (std::uint32_t client = 1; client <= 10; ++client) {
        ASSERT_EQ(put("connected", "Connected=true", client)["ErrorNumber"], 0);
        clients.push_back(client);
    }
    // A client that never connected asks at the same moment.
    clients.push_back(99);
    const std::size_t before = count(":GR#");
    std::vector<Json> answers = getAtOnce(*server, "rightascension", clients);
    const std::size_t exchanges = count(":GR#") - before;
    EXPECT_GE(exchanges, 1u);
    EXPECT_LE(exchanges, 2u) << "ten overlapping reads, each its own exchange";
    for (std::size_t i = 0; i + 1 < answers.size(); ++i) {
        EXPECT_EQ(answers[i]["ErrorNumber"], 0) << i << ": " << answers[i].dump();
        EXPECT_TRUE(answers[i]["Value"].is_number());
    }
    EXPECT_EQ(answers.back()["ErrorNumber"], kNotConnected) << "no other client's answer to a client not connected";

    // Reads of different members share nothing.
    const std::size_t declinations = count(":GD#");
    const std::size_t ascensions = count(":GR#");
    std::thread other([&] { get("declination", 2); });
    get("rightascension", 1);
    other.join();
    EXPECT_EQ(count(":GD#"), declinations + 1);
    EXPECT_EQ(count(":GR#"), ascensions + 1);
}

namespace {

// For a synchronous slew that keeps a slow mount busy for seconds: 5
// degrees from where it points.
std::string slowSlewTarget(const std::function<Json(const std::string&)>& read)
{
    const double declination = read("declination")["Value"].get<double>();
    const double rightAscension = read("rightascension")["Value"].get<double>();
    return "RightAscension=" + std::to_string(rightAscension)
        + "&Declination=" + std::to_string(declination > 0 ? declination - 5 : declination + 5);
}

} // namespace

TEST_F(Sharing, AReadAfterAnotherHasFinishedTakesItsAnswerOnlyWithinTheAgeWhileTheMountIsBusy)
{
    const struct {
        const char* maxAge;
        bool busy;
        std::size_t exchanges;
    } cases[] = {
        {"0", false, 2},
        {"0", true, 2},
        {"5000", false, 2},
        {"5000", true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("--max-age-ms ") + c.maxAge + (c.busy ? ", the mount busy" : ", the mount free"));
        ScratchFolder folder;
        simulator = std::make_unique<SimulatorProcess>(folder, 3, std::vector<std::string>{"--slew-rate", "2"});
        ASSERT_TRUE(simulator->ready());
        server = std::make_unique<ServerProcess>(
            folder, std::vector<std::string>{"--serial", simulator->link, "--max-age-ms", c.maxAge});
        ASSERT_TRUE(server->ready()) << server->log();
        for (std::uint32_t client : {1u, 6u})
            ASSERT_EQ(put("connected", "Connected=true", client)["ErrorNumber"], 0);
        const std::string target = slowSlewTarget([&](const std::string& member) { return get(member, 6); });
        const std::size_t before = count(":AG#");
        Json first = get("guideratedeclination", 1);
        std::thread slew;
        if (c.busy) {
            slew = std::thread([&] { put("slewtocoordinates", target, 6); });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        const auto asked = std::chrono::steady_clock::now();
        Json second = get("guideratedeclination", 1);
        const auto tookMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
        if (slew.joinable())
            slew.join();
        EXPECT_EQ(first["ErrorNumber"], 0) << first.dump();
        EXPECT_EQ(second["ErrorNumber"], 0) << second.dump();
        EXPECT_EQ(second["Value"], first["Value"]);
        EXPECT_EQ(count(":AG#") - before, c.exchanges);
        if (c.busy && c.exchanges == 1) {
            EXPECT_LT(tookMs, 500) << "the read waited for the slew";
        }
        server.reset();
        simulator.reset();
    }
}

TEST_F(Sharing, AClientHasAtMostEightRequestsInFlightAndOthersAreStillServed)
{
    // A slow mount: a synchronous slew holds it for seconds, so every read
    // below is still waiting when the last one comes (none takes an answer
    // just finished).
    start(3, {"--max-age-ms", "0"}, {"--slew-rate", "2"});
    for (std::uint32_t client : {5u, 6u, 7u})
        ASSERT_EQ(put("connected", "Connected=true", client)["ErrorNumber"], 0);
    const std::string target = slowSlewTarget([&](const std::string& member) { return get(member, 6); });
    std::thread slew([&] { put("slewtocoordinates", target, 6); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // Twelve reads of different members (no two share an exchange).
    static const char* const kMembers[] = {"rightascension", "declination", "altitude", "azimuth",
                                           "siderealtime", "tracking", "atpark", "athome",
                                           "sideofpier", "trackingrate", "guideratedeclination", "sitelatitude"};
    std::vector<int> statuses(std::size(kMembers), 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < std::size(kMembers); ++i)
        threads.emplace_back([&, i] {
            auto result = server->client()->Get(telescope(kMembers[i]) + "?ClientID=5");
            statuses[i] = result ? result->status : -1;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Another client, meanwhile, is not refused: it waits its turn.
    auto other = server->client()->Get(telescope("name") + "?ClientID=7");
    for (std::thread& thread : threads)
        thread.join();
    slew.join();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 200);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 503), 4) << "twelve at once, eight allowed";
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), 8);
    // Once they are answered the client has its allowance back.
    EXPECT_EQ(get("rightascension", 5)["ErrorNumber"], 0);
}

namespace {

// Sends a request on a socket of its own and closes it before any answer.
void sendAndHangUp(int port, const std::string& request)
{
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(sock, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    ::close(sock);
}

} // namespace

TEST_F(Sharing, ClientsThatHangUpMidRequestLeaveTheOthersServed)
{
    start(3, {}, {"--slew-rate", "5"});
    ASSERT_EQ(put("connected", "Connected=true", 1)["ErrorNumber"], 0);
    ASSERT_EQ(put("connected", "Connected=true", 2)["ErrorNumber"], 0);
    const double declination = get("declination", 2)["Value"].get<double>();
    const double rightAscension = get("rightascension", 2)["Value"].get<double>();
    const std::string target = "RightAscension=" + std::to_string(rightAscension)
        + "&Declination=" + std::to_string(declination > 0 ? declination - 3 : declination + 3);
    // Client 1 asks for a synchronous slew and a read and hangs up at once,
    // then sends half a request and hangs up.
    const std::string form = target + "&ClientID=1";
    sendAndHangUp(server->port(), "PUT " + telescope("slewtocoordinates")
                                      + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                        "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form);
    sendAndHangUp(server->port(), "GET " + telescope("altitude") + "?ClientID=1 HTTP/1.1\r\nHost: x\r\n\r\n");
    sendAndHangUp(server->port(), "PUT " + telescope("tracking") + " HTTP/1.1\r\nContent-Length: 500\r\n\r\nTrack");
    // Client 2 goes on: its reads are answered (after the slew the hung-up
    // client asked for), and so are the management requests.
    for (const char* member : {"rightascension", "declination", "slewing", "tracking"}) {
        Json answer = get(member, 2);
        EXPECT_EQ(answer["ErrorNumber"], 0) << member << ": " << answer.dump();
    }
    auto versions = server->get("/management/apiversions");
    ASSERT_TRUE(versions);
    EXPECT_EQ(versions->status, 200);
    EXPECT_TRUE(server->running());
    EXPECT_TRUE(connected(1)) << "hanging up is no disconnect";
}

TEST_F(Sharing, AMountThatVanishesWithClientsWaitingAnswersEachPromptlyAndKeepsThemConnected)
{
    start(3);
    static const char* const kMembers[] = {"rightascension", "declination", "altitude", "azimuth",
                                           "siderealtime", "sitelatitude"};
    for (std::uint32_t client = 1; client <= std::size(kMembers); ++client)
        ASSERT_EQ(put("connected", "Connected=true", client)["ErrorNumber"], 0);
    std::atomic<bool> reading{true};
    std::mutex resultsMutex;
    std::vector<double> slowestMs(std::size(kMembers), 0.0);
    std::vector<int> lastError(std::size(kMembers), -1);
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < std::size(kMembers); ++i)
        readers.emplace_back([&, i] {
            auto http = server->client();
            const std::string path = telescope(kMembers[i]) + "?ClientID=" + std::to_string(i + 1);
            while (reading) {
                const auto began = SteadyClock::now();
                auto result = http->Get(path);
                const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - began).count();
                std::lock_guard<std::mutex> lock(resultsMutex);
                slowestMs[i] = std::max(slowestMs[i], ms);
                if (result && result->status == 200)
                    lastError[i] = Json::parse(result->body, nullptr, false).value("ErrorNumber", -1);
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    simulator->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    reading = false;
    for (std::thread& reader : readers)
        reader.join();
    for (std::size_t i = 0; i < std::size(kMembers); ++i) {
        SCOPED_TRACE(kMembers[i]);
        // Behind the others' exchanges at most, each with its time-out.
        EXPECT_LT(slowestMs[i], 5000.0) << "a waiting client hung";
        EXPECT_EQ(lastError[i], 0x502) << "the device's loss is transient";
        EXPECT_TRUE(connected(std::uint32_t(i + 1)));
    }
    EXPECT_NE(server->log().find("went away: its clients stay connected"), std::string::npos) << server->log();
}

namespace {

// Milliseconds since 1970 of an Alpaca UTC date ("2026-12-09T02:03:46.4040000Z").
std::int64_t wallMsOf(const std::string& date)
{
    std::tm when{};
    int fraction = 0;
    if (std::sscanf(date.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%7dZ", &when.tm_year, &when.tm_mon, &when.tm_mday,
                    &when.tm_hour, &when.tm_min, &when.tm_sec, &fraction) != 7)
        return -1;
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    return std::int64_t(timegm(&when)) * 1000 + fraction / 10000;
}

std::int64_t wallMsNow()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// DeviceState's items by name.
std::map<std::string, Json> itemsOf(const Json& answer)
{
    std::map<std::string, Json> items;
    for (const Json& item : answer["Value"])
        items[item["Name"].get<std::string>()] = item["Value"];
    return items;
}

} // namespace

TEST_F(Sharing, DeviceStateAnswersFromTheFreshestValuesAndRereadsOnlyWhatAWriteChanged)
{
    start(3);
    // The connect reads tracking, the first DeviceState every other field.
    const std::int64_t beforeConnect = wallMsNow();
    ASSERT_EQ(put("connected", "Connected=true", 1)["ErrorNumber"], 0);
    Json first = get("devicestate", 1);
    ASSERT_EQ(first["ErrorNumber"], 0) << first.dump();
    EXPECT_EQ(itemsOf(first).size(), 13u) << first.dump();

    // Every field was just read: the next answer costs the mount nothing,
    // and its TimeStamp is that of the oldest value in it, not of now.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::size_t before = simulator->commands().size();
    const std::int64_t beforeSecond = wallMsNow();
    Json second = get("devicestate", 1);
    EXPECT_EQ(simulator->commandsSince(before), std::vector<std::string>{});
    EXPECT_EQ(itemsOf(second).size(), 13u) << second.dump();
    const std::int64_t stamp = wallMsOf(itemsOf(second)["TimeStamp"].get<std::string>());
    EXPECT_GE(stamp, beforeConnect - 5);
    EXPECT_LT(stamp, beforeSecond) << "the TimeStamp claims the values are newer than they are";

    // Tracking off changes the motion readings only: those are read again
    // (on this model Slewing asks the mount nothing), and the answer has
    // the new value, never the one from before.
    ASSERT_EQ(put("tracking", "Tracking=false", 1)["ErrorNumber"], 0);
    before = simulator->commands().size();
    Json third = get("devicestate", 1);
    EXPECT_EQ(itemsOf(third)["Tracking"], false) << third.dump();
    EXPECT_EQ(simulator->commandsSince(before), std::vector<std::string>{":AT#"});
}

TEST_F(Sharing, AWriteEndsTheAgeAReadMayTakeAnAnswerAtFromTheMomentItIsAsked)
{
    start(3, {"--max-age-ms", "5000"}, {"--slew-rate", "2"});
    for (std::uint32_t client : {1u, 5u, 6u})
        ASSERT_EQ(put("connected", "Connected=true", client)["ErrorNumber"], 0);
    const std::string target = slowSlewTarget([&](const std::string& member) { return get(member, 6); });
    const std::size_t before = count(":AG#");
    ASSERT_EQ(get("guideratedeclination", 1)["ErrorNumber"], 0);
    std::thread slew([&] { put("slewtocoordinates", target, 6); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(get("guideratedeclination", 1)["ErrorNumber"], 0);
    EXPECT_EQ(count(":AG#"), before + 1) << "within the age, with the mount busy, the answer is shared";

    // A write of the rate, waiting behind the slew: from then on no read
    // takes the answer from before it, though the write has not reached
    // the mount yet.
    std::thread write([&] { put("guideratedeclination", "GuideRateDeclination=0.002", 5); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(get("guideratedeclination", 1)["ErrorNumber"], 0);
    write.join();
    slew.join();
    EXPECT_EQ(count(":AG#"), before + 2) << "a read after the write was asked took an answer from before it";
}

// A synchronous slew holds the mount for seconds. What it leaves alone is
// given at once from a moment ago; where the mount points is asked once
// the slew is over, and is where it went.
TEST_F(Sharing, DuringASlewWhatItLeavesAloneIsSharedAndThePositionIsAskedAfresh)
{
    start(3, {"--max-age-ms", "5000"}, {"--slew-rate", "2"});
    for (std::uint32_t client : {1u, 6u})
        ASSERT_EQ(put("connected", "Connected=true", client)["ErrorNumber"], 0);
    const std::string target = slowSlewTarget([&](const std::string& member) { return get(member, 6); });
    const struct {
        const char* member;
        const char* command;
        bool shared;
    } reads[] = {{"tracking", ":AT#", true}, {"atpark", ":AP#", true}, {"declination", ":GD#", false}};
    std::map<std::string, Json> before;
    for (const auto& read : reads)
        before[read.member] = get(read.member, 1);
    std::map<std::string, std::size_t> exchanges;
    for (const auto& read : reads)
        exchanges[read.command] = count(read.command);
    std::thread slew([&] { put("slewtocoordinates", target, 6); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const auto& read : reads) {
        SCOPED_TRACE(read.member);
        const auto asked = SteadyClock::now();
        const Json during = get(read.member, 1);
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - asked).count();
        EXPECT_EQ(during["ErrorNumber"], 0) << during.dump();
        EXPECT_EQ(count(read.command) - exchanges[read.command], read.shared ? 0u : 1u);
        if (read.shared) {
            EXPECT_EQ(during["Value"], before[read.member]["Value"]);
            EXPECT_LT(tookMs, 500) << "the read waited for the slew";
        } else {
            EXPECT_GT(tookMs, 500) << "the position was given before the slew was over";
            EXPECT_NEAR(during["Value"].get<double>(), before[read.member]["Value"].get<double>(), 5.5);
            EXPECT_GT(std::abs(during["Value"].get<double>() - before[read.member]["Value"].get<double>()), 4.5);
        }
    }
    slew.join();
}

// An abort during a slew asks at once whether the mount has stopped, so
// that programs are told so, and where it points is no longer asked afresh
// by each of them as if it still moved.
TEST_F(Sharing, AnAbortDuringASlewAsksAtOnceWhetherTheMountHasStopped)
{
    start(3, {}, {"--slew-rate", "2"});
    for (std::uint32_t client : {1u, 6u})
        ASSERT_EQ(put("connected", "Connected=true", client)["ErrorNumber"], 0);
    const std::string target = slowSlewTarget([&](const std::string& member) { return get(member, 6); });
    ASSERT_EQ(put("slewtocoordinatesasync", target, 6)["ErrorNumber"], 0);
    ASSERT_EQ(get("slewing", 1)["Value"], true);
    const std::size_t before = simulator->commands().size();
    ASSERT_EQ(put("abortslew", "", 6)["ErrorNumber"], 0);
    std::vector<std::string> sent = simulator->commandsSince(before);
    // The server's own reads may come after the abort's turn.
    const auto stop = std::find(sent.begin(), sent.end(), ":Q#");
    ASSERT_NE(stop, sent.end());
    EXPECT_EQ(std::vector<std::string>(stop, std::min(stop + 3, sent.end())),
              (std::vector<std::string>{":Q#", ":ST1#", ":SE?#"}));
    const Json slewing = get("slewing", 1);
    EXPECT_EQ(slewing["ErrorNumber"], 0);
    EXPECT_EQ(slewing["Value"], false);
}

// SideOfPier asks the mount twice. An abort that comes during the first
// question goes before the second: it never waits for both. The mount
// here leaves ":pS#" unanswered, so each question waits out its time-out.
TEST_F(Sharing, AnAbortGoesBetweenTheTwoQuestionsOfASideOfPierRead)
{
    start(3, {"--max-age-ms", "0"}, {"--fault", ":pS#=silence"});
    for (std::uint32_t client : {1u, 2u})
        ASSERT_EQ(put("connected", "Connected=true", client)["ErrorNumber"], 0);
    const std::size_t before = simulator->commands().size();
    std::thread read([&] { get("sideofpier", 1); });
    for (int wait = 0; wait < 200 && count(":pS#") == 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(count(":pS#"), 1u);
    const Json abort = put("abortslew", "", 2);
    read.join();
    EXPECT_EQ(abort["ErrorNumber"], 0) << abort.dump();
    // The abort may restore tracking after its stop (":ST1#").
    std::vector<std::string> questionsAndStop = simulator->commandsSince(before);
    std::erase_if(questionsAndStop, [](const std::string& sent) { return sent != ":pS#" && sent != ":Q#"; });
    EXPECT_EQ(questionsAndStop, (std::vector<std::string>{":pS#", ":Q#", ":pS#"}));
}

TEST_F(Sharing, TheServersOwnReadsKeepThePositionFreshOnlyWhileNoClientsReadsDo)
{
    // The position, and tracking, which an abort restores without asking.
    const std::vector<std::string> kept = {":GR#", ":GD#", ":GA#", ":GZ#", ":AT#"};
    const std::vector<std::string> position(kept.begin(), kept.begin() + 4);
    auto countOf = [](const std::vector<std::string>& sent, const std::string& command) {
        return std::size_t(std::count(sent.begin(), sent.end(), command));
    };
    start(3, {"--fresh-ms", "2000"});
    ASSERT_EQ(put("connected", "Connected=true", 1)["ErrorNumber"], 0);

    // A client that asks nothing: each of the position's reads at least
    // once every two seconds, and nothing else.
    std::size_t before = simulator->commands().size();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    std::vector<std::string> sent = simulator->commandsSince(before);
    for (const std::string& command : kept)
        EXPECT_GE(countOf(sent, command), 2u) << command << " in 5 s of a quiet client";
    for (const std::string& command : sent)
        EXPECT_NE(std::find(kept.begin(), kept.end(), command), kept.end())
            << command << ": only the position and tracking are kept while DeviceState is not asked";

    // A client reading the position itself keeps it fresh: the server adds
    // no read of its own.
    before = simulator->commands().size();
    std::size_t reads = 0;
    for (const auto end = SteadyClock::now() + std::chrono::seconds(3); SteadyClock::now() < end;) {
        for (const char* member : {"rightascension", "declination", "altitude", "azimuth"})
            EXPECT_EQ(get(member, 1)["ErrorNumber"], 0);
        ++reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    // At most one of the server's own besides, should a client's read have
    // waited over a second on a busy machine (a check with every Wine lane
    // running saw one); a server that read alongside the client would add
    // one every second.
    sent = simulator->commandsSince(before);
    for (const std::string& command : position)
        EXPECT_LE(countOf(sent, command), reads + 1) << command << ": the server read what a client kept fresh";

    // No client connected, nothing read.
    ASSERT_EQ(put("connected", "Connected=false", 1)["ErrorNumber"], 0);
    before = simulator->commands().size();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(simulator->commandsSince(before), std::vector<std::string>{});
}

TEST_F(Sharing, AnAbortWithTrackingFreshlyReadSendsTheStopFirst)
{
    start(3);
    ASSERT_EQ(put("connected", "Connected=true", 1)["ErrorNumber"], 0);
    const struct {
        const char* before;   // what the client does just before the abort
        std::vector<std::string> sent;
    } cases[] = {
        // The connect read tracking: the first stop goes out first too.
        {"nothing since the connect", {":Q#", ":ST1#"}},
        // The read leaves tracking known: nothing waits before the stop.
        {"GET tracking", {":Q#", ":ST1#"}},
        // A write of tracking leaves it unknown until read again.
        {"PUT tracking", {":AT#", ":Q#", ":ST1#"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        if (std::string(c.before) == "GET tracking") {
            ASSERT_EQ(get("tracking", 1)["Value"], true);
        } else if (std::string(c.before) == "PUT tracking") {
            ASSERT_EQ(put("tracking", "Tracking=true", 1)["ErrorNumber"], 0);
        }
        const std::size_t before = simulator->commands().size();
        ASSERT_EQ(put("abortslew", "", 1)["ErrorNumber"], 0);
        EXPECT_EQ(simulator->commandsSince(before), c.sent);
    }
}

// While a park is under way DeviceState reads the motion afresh, in one
// turn; DeviceStates that overlap share that turn, as reads of one member
// do, so that programs polling it do not fill the link while a mount parks.
TEST_F(Sharing, OverlappingDeviceStatesDuringAParkShareOneMotionRead)
{
    start(3, {}, {"--slew-rate", "3"});
    ASSERT_EQ(put("connected", "Connected=true", 1)["ErrorNumber"], 0);
    ASSERT_EQ(put("park", "", 1)["ErrorNumber"], 0);
    ASSERT_EQ(itemsOf(get("devicestate", 1))["Slewing"], true) << "the park is over already";
    constexpr std::size_t kAskers = 6;
    const std::size_t before = simulator->commands().size();
    std::vector<Json> answers(kAskers);
    std::vector<std::thread> askers;
    for (std::size_t at = 0; at < kAskers; ++at)
        askers.emplace_back([&, at] { answers[at] = get("devicestate", 1); });
    for (std::thread& asker : askers)
        asker.join();
    const std::vector<std::string> sent = simulator->commandsSince(before);
    for (const Json& answer : answers) {
        EXPECT_EQ(itemsOf(answer)["Slewing"], true) << answer.dump();
        EXPECT_EQ(itemsOf(answer)["AtPark"], false) << answer.dump();
    }
    const auto parkQuestions = std::count(sent.begin(), sent.end(), ":AP#");
    EXPECT_GE(parkQuestions, 1);
    std::string shown;
    for (const std::string& command : sent)
        shown += command + " ";
    // Each apart would ask once; how many arrive while one is still under
    // way depends on the machine.
    EXPECT_LT(parkQuestions, std::ptrdiff_t(kAskers))
        << kAskers << " DeviceStates at once asked the mount " << parkQuestions << " times: " << shown;
}

// A slew does not change AtPark or Tracking, so DeviceState gives them
// from the kept values while one is under way, but it leaves home: AtHome
// kept from before the slew is never given.
TEST_F(Sharing, DeviceStateDuringASlewFromHomeSaysItLeftHome)
{
    start(3, {}, {"--slew-rate", "12"});
    ASSERT_EQ(put("connected", "Connected=true", 1)["ErrorNumber"], 0);
    ASSERT_EQ(put("findhome", "", 1)["ErrorNumber"], 0);
    for (int wait = 0; wait < 200 && get("slewing", 1)["Value"] != false; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(itemsOf(get("devicestate", 1))["AtHome"], true);

    const double ra = get("rightascension", 1)["Value"].get<double>();
    ASSERT_EQ(put("slewtocoordinatesasync", "RightAscension=" + std::to_string(ra) + "&Declination=50", 1)["ErrorNumber"],
              0);
    const std::map<std::string, Json> during = itemsOf(get("devicestate", 1));
    EXPECT_EQ(during.at("Slewing"), true);
    EXPECT_EQ(during.at("AtHome"), false) << "AtHome from before the slew";
    EXPECT_EQ(during.at("AtPark"), false);
    EXPECT_EQ(during.at("Tracking"), get("tracking", 1)["Value"]);
}
