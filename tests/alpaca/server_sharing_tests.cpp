// One mount, several programs: each client connects and disconnects for
// itself, the link stays while any client holds it, a client that goes
// silent is let go, and an AbortSlew overtakes the reads waiting for the
// mount.
#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;
constexpr int kNotConnected = 0x407;

class Sharing : public ::testing::Test {
protected:
    void start(int model, std::vector<std::string> extra = {})
    {
        simulator = std::make_unique<SimulatorProcess>(scratch, model);
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
    start(3);
    const int kReaders = 12;
    for (int client = 1; client <= kReaders; ++client)
        ASSERT_EQ(put("connected", "Connected=true", std::uint32_t(client))["ErrorNumber"], 0);
    const std::size_t before = simulator->commands().size();

    // Each reader keeps a read waiting: twelve of them queue up behind one another.
    std::atomic<bool> reading{true};
    std::vector<std::thread> readers;
    for (int client = 1; client <= kReaders; ++client)
        readers.emplace_back([&, client] {
            auto http = server->client();
            const std::string path = telescope("rightascension") + "?ClientID=" + std::to_string(client);
            while (reading)
                http->Get(path);
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
    EXPECT_LT(tookMs, 400) << "the abort waited behind the reads";
    std::vector<std::string> sent = simulator->commandsSince(before);
    auto abort = std::find(sent.begin(), sent.end(), ":Q#");
    ASSERT_NE(abort, sent.end());
    EXPECT_GE(std::count(sent.begin(), abort, std::string(":GR#")), kReaders / 2)
        << "the reads were queued before the abort came";
}
