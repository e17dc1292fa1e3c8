// The status API: what the status page shows of a mount, answered from what
// the server keeps. Watching costs the mount nothing (no exchange however
// often it is asked), it agrees with what the clients were told, and it
// follows the link through a silence, a slew and a park. Another web site's
// page, through a visitor's browser, can change nothing. The ledger and the
// link's activity behind it, with a clock of the test's own.
#include "ClientLedger.h"
#include "LinkActivity.h"
#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kStatus = "/status/v1/telescope/0";

bool waitUntil(const std::function<bool()>& condition, int ms)
{
    for (const auto until = SteadyClock::now() + std::chrono::milliseconds(ms); SteadyClock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (condition())
            return true;
    return condition();
}

class StatusApi : public ::testing::Test {
protected:
    void start(int model, std::vector<std::string> extra = {})
    {
        mount = std::make_unique<SimulatorProcess>(scratch, model, std::vector<std::string>{"--slew-rate", "20"});
        ASSERT_TRUE(mount->ready());
        std::vector<std::string> args = {"--serial", mount->link};
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<ServerProcess>(scratch, args);
        ASSERT_TRUE(server->ready()) << server->log();
    }
    Json status()
    {
        const httplib::Result answer = server->get(kStatus);
        EXPECT_TRUE(answer && answer->status == 200) << (answer ? answer->body : "no answer");
        return answer ? Json::parse(answer->body, nullptr, false) : Json();
    }
    Json ask(const std::string& member, std::uint32_t client = 7)
    {
        const httplib::Result answer = server->get(telescope(member) + "?ClientID=" + std::to_string(client));
        return answer && answer->status == 200 ? Json::parse(answer->body, nullptr, false) : Json();
    }
    int act(const std::string& member, const std::string& form, std::uint32_t client = 7)
    {
        const httplib::Result answer =
            server->put(telescope(member), form + (form.empty() ? "" : "&") + "ClientID=" + std::to_string(client));
        const Json body = answer && answer->status == 200 ? Json::parse(answer->body, nullptr, false) : Json();
        return body.is_object() ? body.value("ErrorNumber", -1) : -1;
    }
    static const Json* clientRow(const Json& status, std::uint32_t client)
    {
        for (const Json& row : status["Clients"])
            if (row.value("ClientID", 0u) == client)
                return &row;
        return nullptr;
    }

    ScratchFolder scratch;
    std::unique_ptr<SimulatorProcess> mount;
    std::unique_ptr<ServerProcess> server;
};

} // namespace

TEST_F(StatusApi, WatchingSendsNothingToTheMountAndTellsWhatTheClientsWereTold)
{
    start(3);
    ASSERT_EQ(act("connected", "Connected=true"), 0);
    const Json rightAscension = ask("rightascension");
    const Json latitude = ask("sitelatitude");
    const Json longitude = ask("sitelongitude");
    ASSERT_EQ(rightAscension.value("ErrorNumber", -1), 0) << rightAscension;
    const std::size_t before = mount->commands().size();
    Json shown;
    for (int look = 0; look < 100; ++look)
        shown = status();
    EXPECT_EQ(mount->commandsSince(before), std::vector<std::string>{}) << "the status page cost the link exchanges";

    EXPECT_EQ(shown["Mount"]["RightAscension"], rightAscension["Value"]) << shown;
    EXPECT_EQ(shown["Site"]["Latitude"], latitude["Value"]) << shown;
    EXPECT_EQ(shown["Site"]["Longitude"], longitude["Value"]) << shown;
    EXPECT_TRUE(shown["Mount"]["Slewing"].is_null()) << "a reading never made is not known: " << shown;
    EXPECT_EQ(shown["Device"]["ModelNumber"], 3);
    EXPECT_EQ(shown["Device"]["SerialDevice"], mount->link);
    EXPECT_EQ(shown["Device"]["Simulated"], false);
    EXPECT_EQ(shown["Link"]["State"], "open");
    EXPECT_EQ(shown["Capabilities"]["CanFindHome"], true) << shown;
    EXPECT_EQ(shown["TrackingRates"].size(), 4u) << shown;
    EXPECT_GT(shown["Link"]["ExchangesPerSecond"].get<double>(), 0.0);
    const Json* row = clientRow(shown, 7);
    ASSERT_NE(row, nullptr) << shown;
    EXPECT_EQ((*row)["Connected"], true);
    EXPECT_EQ((*row)["RequestsPerMinute"], 4) << "the connect and three reads, and not the status page's";
    EXPECT_EQ(shown["Clients"].size(), 1u) << "the status page is no client";
}

TEST_F(StatusApi, TheClientsTableFollowsConnectsAndDisconnects)
{
    start(2);
    ASSERT_EQ(act("connected", "Connected=true", 7), 0);
    ASSERT_EQ(act("connected", "Connected=true", 9), 0);
    ask("name", 11);
    ASSERT_EQ(act("connected", "Connected=false", 9), 0);
    const Json shown = status();
    struct Expected {
        std::uint32_t client;
        bool connected;
        int requests;
    };
    for (const Expected& expected : {Expected{7, true, 1}, Expected{9, false, 2}, Expected{11, false, 1}}) {
        SCOPED_TRACE(expected.client);
        const Json* row = clientRow(shown, expected.client);
        ASSERT_NE(row, nullptr) << shown;
        EXPECT_EQ((*row)["Connected"], expected.connected);
        EXPECT_EQ((*row)["RequestsPerMinute"], expected.requests);
        EXPECT_LT((*row)["SecondsSinceLastRequest"].get<double>(), 5.0);
    }
    // Most recently heard first.
    EXPECT_EQ(shown["Clients"][0]["ClientID"], 9) << shown;
}

TEST_F(StatusApi, ASilentMountShowsSilentSinceWithTheLastError)
{
    start(2);
    ASSERT_EQ(act("connected", "Connected=true"), 0);
    mount->freeze();
    for (int read = 0; read < 3; ++read)
        ask("declination");
    const Json shown = status();
    mount->thaw();
    EXPECT_EQ(shown["Link"]["State"], "silent") << shown;
    EXPECT_EQ(shown["Link"]["Since"].get<std::string>().rfind("20", 0), 0u) << shown;
    EXPECT_EQ(shown["Link"]["LastError"].get<std::string>().rfind("The mount is not answering", 0), 0u) << shown;
    EXPECT_FALSE(shown["Link"]["LastErrorTime"].get<std::string>().empty());
    EXPECT_TRUE(waitUntil([&] { return status()["Link"]["State"] == "open"; }, 6000)) << server->log();
}

TEST_F(StatusApi, ASlewShowsItsTargetAndAParkItsPositionOnceSeen)
{
    start(3);
    ASSERT_EQ(act("connected", "Connected=true"), 0);
    ASSERT_EQ(act("unpark", ""), 0);
    ASSERT_EQ(act("tracking", "Tracking=true"), 0);
    const double lst = ask("siderealtime").value("Value", 0.0);
    const double rightAscension = std::fmod(lst + 1.0, 24.0);
    ASSERT_EQ(act("slewtocoordinatesasync", "RightAscension=" + std::to_string(rightAscension) + "&Declination=30"), 0);
    const Json during = status();
    ASSERT_TRUE(during["SlewTarget"].is_object()) << during;
    EXPECT_NEAR(during["SlewTarget"]["RightAscension"].get<double>(), rightAscension, 1.0 / 3600);
    EXPECT_NEAR(during["SlewTarget"]["Declination"].get<double>(), 30.0, 1.0 / 60);
    ASSERT_TRUE(waitUntil([&] { return ask("slewing").value("Value", true) == false; }, 30000));
    EXPECT_TRUE(status()["SlewTarget"].is_null());

    EXPECT_TRUE(status()["ParkPosition"].is_null());
    ASSERT_EQ(act("park", ""), 0);
    ASSERT_TRUE(waitUntil([&] { return ask("atpark").value("Value", false); }, 30000));
    const Json parkedAt = ask("altitude");
    ask("azimuth");
    const Json shown = status();
    ASSERT_TRUE(shown["ParkPosition"].is_object()) << shown;
    EXPECT_EQ(shown["ParkPosition"]["Altitude"], parkedAt["Value"]);
    EXPECT_EQ(shown["Mount"]["AtPark"], true);
}

// With the server's own reads on (as it runs by default): a slew that
// nobody watches but the status page ends on the page when it ends at the
// mount, not before.
TEST_F(StatusApi, WithTheServersOwnReadsAnUnwatchedSlewEndsOnThePageWhenItEnds)
{
    start(3, {"--fresh-ms", "2000"});
    ASSERT_EQ(act("connected", "Connected=true"), 0);
    ASSERT_EQ(act("unpark", ""), 0);
    ASSERT_EQ(act("tracking", "Tracking=true"), 0);
    const double lst = ask("siderealtime").value("Value", 0.0);
    ASSERT_EQ(act("slewtocoordinatesasync",
                  "RightAscension=" + std::to_string(std::fmod(lst + 2.0, 24.0)) + "&Declination=60"),
              0);
    // From here on only the page looks: each time it says the slew is over,
    // the mount must have reached the target's declination.
    bool ended = false;
    for (const auto until = SteadyClock::now() + std::chrono::seconds(40); !ended && SteadyClock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(250))) {
        const Json shown = status();
        if (shown["Mount"]["Slewing"] != false)
            continue;
        ended = true;
        const Json declination = ask("declination");
        EXPECT_NEAR(declination.value("Value", 0.0), 60.0, 0.1) << "the page said the slew was over mid-way";
    }
    EXPECT_TRUE(ended) << "the page never showed the slew's end: " << status();
}

TEST_F(StatusApi, RefusesWhatItDoesNotServe)
{
    start(2);
    struct Case {
        std::string path;
        int status;
    };
    for (const Case& c : {Case{"/status/v1/telescope/1", 400}, Case{"/status/v1/telescope/01", 400},
                          Case{"/status/v1/telescope/x/target", 400}, Case{"/status/v1/telescope/0/nothing", 404},
                          Case{"/status/v1/camera/0", 404}, Case{"/status/v2/telescope/0", 404}}) {
        const httplib::Result answer = server->get(c.path);
        ASSERT_TRUE(answer) << c.path;
        EXPECT_EQ(answer->status, c.status) << c.path << ": " << answer->body;
    }
    const httplib::Result put = server->put(kStatus, "ClientID=1");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 400);
    EXPECT_EQ(put->body, "The status API takes GET only");
}

TEST_F(StatusApi, ATargetIsResolvedAndAnythingBelowTheHorizonRefusedBeforeAnythingIsSent)
{
    start(2);
    ASSERT_EQ(act("connected", "Connected=true"), 0);
    auto target = [&](const std::string& query) {
        const httplib::Result answer = server->get("/status/v1/telescope/0/target?" + query);
        EXPECT_TRUE(answer && answer->status == 200);
        return answer ? Json::parse(answer->body, nullptr, false) : Json();
    };
    EXPECT_EQ(target("Name=Vega")["Refusal"],
              "The mount's site is not known yet, so whether Vega (alf Lyr) is above the horizon cannot be told: "
              "connect, and read the site");
    const double latitude = ask("sitelatitude").value("Value", 0.0);
    ask("sitelongitude");
    const double lst = ask("siderealtime").value("Value", 0.0);
    const std::string onTheMeridian = "RightAscension=" + std::to_string(lst);
    struct Case {
        std::string query;
        std::string refusal;
        double altitude;
    };
    const Case cases[] = {
        {onTheMeridian + "&Declination=" + std::to_string(latitude), "", 90.0},
        {onTheMeridian + "&Declination=" + std::to_string(latitude - 100.0),
         "is below the horizon (altitude -10.0°)", -10.0},
        {"Name=M999", "No object named \"M999\" is in the catalogue", NAN},
        {"RightAscension=25:00:00&Declination=10", "\"25:00:00\" cannot be read as a right ascension", NAN},
        {"Name=polaris", "", latitude},
    };
    const std::size_t before = mount->commands().size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        const Json answer = target(c.query);
        const std::string refusal = answer.value("Refusal", "?");
        if (c.refusal.empty())
            EXPECT_EQ(refusal, "");
        else
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
        if (std::isnan(c.altitude))
            EXPECT_TRUE(answer["Altitude"].is_null()) << answer;
        else
            EXPECT_NEAR(answer.value("Altitude", 1000.0), c.altitude, 1.0) << answer;
    }
    EXPECT_EQ(mount->commandsSince(before), std::vector<std::string>{}) << "a target is told without the mount";
    // The catalogue's J2000 place, brought to the date: Polaris has moved
    // more than half an hour of right ascension since 2000.
    EXPECT_GT(target("Name=Polaris").value("RightAscension", 0.0), 2.53 + 0.4);

    const httplib::Result listed = server->get("/status/v1/catalogue");
    ASSERT_TRUE(listed && listed->status == 200);
    const Json entries = Json::parse(listed->body)["Entries"];
    ASSERT_GT(entries.size(), 110u);
    EXPECT_EQ(entries[0], (Json{{"Name", "M1"}, {"Description", "Crab nebula"}}));
    EXPECT_EQ(entries[109]["Name"], "M110");
}

// ---- the ledger and the link's activity -------------------------------------

TEST(ClientLedger, CountsTheLastMinuteAndForgetsTheLongSilent)
{
    ClientLedger ledger;
    for (std::uint64_t ms = 0; ms < 30000; ms += 500)
        ledger.noteRequest(1, 1000000 + ms);  // 60 requests in 30 s
    ledger.noteRequest(2, 1000000);
    struct Case {
        std::uint64_t at;
        std::uint64_t client1;
        bool client2Listed;
    };
    for (const Case& c : {Case{1029999, 60, true}, Case{1061000, 56, true}, Case{1090000, 0, true},
                          Case{1600000, 0, false}, Case{1629500, 0, false}}) {
        SCOPED_TRACE(c.at);
        const std::vector<ClientLedger::Row> rows = ledger.rows(c.at);
        std::uint64_t counted = 0;
        bool listed2 = false;
        bool listed1 = false;
        for (const ClientLedger::Row& row : rows) {
            if (row.client == 1) {
                counted = row.requestsLastMinute;
                listed1 = true;
            }
            listed2 |= row.client == 2;
        }
        EXPECT_EQ(counted, c.client1);
        EXPECT_EQ(listed2, c.client2Listed);
        EXPECT_EQ(listed1, c.at - 1029500 < ClientLedger::kForgetAfterMs);
    }
}

TEST(ClientLedger, StaysBoundedAsClientsComeAndGo)
{
    ClientLedger ledger;
    for (std::uint32_t client = 1; client <= 1000; ++client)
        ledger.noteRequest(client, client * 10);
    const std::vector<ClientLedger::Row> rows = ledger.rows(10010);
    EXPECT_LE(rows.size(), ClientLedger::kMostClients);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front().client, 1000u) << "the latest is kept, the longest silent make room";
}

TEST(LinkActivity, ExchangesASecondOverTheLastMinute)
{
    LinkActivity activity;
    activity.noteExchanges(100000, 0);
    for (std::uint64_t second = 0; second < 30; ++second)
        activity.noteExchanges(100000 + second * 1000, second * 20);  // 20 a second
    struct Case {
        std::uint64_t at;
        double perSecond;
    };
    for (const Case& c : {Case{129000, 580.0 / 60}, Case{161500, 560.0 / 60}, Case{200000, 0.0}})
        EXPECT_NEAR(activity.exchangesPerSecond(c.at), c.perSecond, 1e-9) << c.at;
    // A new connection counts from nothing again.
    activity.noteExchanges(300000, 5);
    EXPECT_NEAR(activity.exchangesPerSecond(300000), 5.0 / 60, 1e-9);
    EXPECT_EQ(activity.lastError().wallMs, 0);
    activity.noteError("The mount is not answering", 1234);
    EXPECT_EQ(activity.lastError().text, "The mount is not answering");
    EXPECT_EQ(activity.lastError().wallMs, 1234);
}

// ---- another web site's pages ------------------------------------------------

namespace {

struct RawAnswer {
    int status = 0;
    std::string head;
};

// One request as a browser sends it, written byte for byte; the answer's
// status and head.
RawAnswer rawRequest(int port, const std::string& request)
{
    RawAnswer answer;
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock < 0 || ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (sock >= 0)
            ::close(sock);
        return answer;
    }
    timeval patience{5, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
    std::string received;
    char buffer[4096];
    for (ssize_t got; received.find("\r\n\r\n") == std::string::npos
                      && (got = ::recv(sock, buffer, sizeof buffer, 0)) > 0;)
        received.append(buffer, std::size_t(got));
    ::close(sock);
    answer.head = received.substr(0, received.find("\r\n\r\n"));
    if (received.rfind("HTTP/1.1 ", 0) == 0)
        answer.status = std::atoi(received.c_str() + 9);
    return answer;
}

bool namesCors(const std::string& head)
{
    std::string lower;
    for (char c : head)
        lower += char(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("access-control-") != std::string::npos;
}

} // namespace

TEST_F(StatusApi, AnotherWebSitesPageCanNeitherAskAheadNorChangeAnything)
{
    start(2);
    ASSERT_EQ(act("connected", "Connected=true"), 0);
    const std::string host = "127.0.0.1:" + std::to_string(server->port());
    const std::string elsewhere = "Origin: http://mount-control.example\r\n";
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    auto request = [&](const std::string& line, const std::string& headers, const std::string& body = "") {
        return line + "\r\nHost: " + host + "\r\n" + headers + "Content-Length: " + std::to_string(body.size())
               + "\r\nConnection: close\r\n\r\n" + body;
    };
    struct Case {
        const char* what;
        std::string request;
        int status;
    };
    const Case cases[] = {
        {"a preflight for a PUT", request("OPTIONS /api/v1/telescope/0/park HTTP/1.1",
                                          elsewhere + "Access-Control-Request-Method: PUT\r\n"), 403},
        {"a preflight for the status page", request("OPTIONS / HTTP/1.1", elsewhere + "Access-Control-Request-Method: GET\r\n"), 403},
        {"a PUT from elsewhere", request("PUT /api/v1/telescope/0/park HTTP/1.1", elsewhere + form, "ClientID=7"), 403},
        {"a PUT whose Origin is \"null\"", request("PUT /api/v1/telescope/0/park HTTP/1.1",
                                                    "Origin: null\r\n" + form, "ClientID=7"), 403},
        {"a read from elsewhere", request("GET /status/v1/telescope/0 HTTP/1.1", elsewhere), 200},
        {"a device read from elsewhere", request("GET /api/v1/telescope/0/name?ClientID=7 HTTP/1.1", elsewhere), 200},
        {"the page's own PUT", request("PUT /api/v1/telescope/0/connected HTTP/1.1",
                                       "Origin: http://" + host + "\r\n" + form, "Connected=true&ClientID=8"), 200},
        {"the page's own PUT through an https proxy",
         request("PUT /api/v1/telescope/0/connected HTTP/1.1", "Origin: https://" + host + "\r\n" + form,
                 "Connected=true&ClientID=9"), 200},
        {"a PUT from another port of this host", request("PUT /api/v1/telescope/0/park HTTP/1.1",
                                                          "Origin: http://127.0.0.1:1\r\n" + form, "ClientID=7"), 403},
    };
    const std::size_t before = mount->commands().size();
    std::ifstream configBefore(server->configPath());
    const std::string storedBefore((std::istreambuf_iterator<char>(configBefore)), {});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RawAnswer answer = rawRequest(server->port(), c.request);
        EXPECT_EQ(answer.status, c.status) << answer.head;
        EXPECT_FALSE(namesCors(answer.head)) << answer.head;
    }
    EXPECT_EQ(mount->commandsSince(before), std::vector<std::string>{}) << "another site's page reached the mount";
    // A setup form from elsewhere is refused by the setup page itself, which
    // shows the mount as it is (reading it) and stores nothing.
    const RawAnswer setup = rawRequest(server->port(), request("POST /setup/v1/telescope/0/setup HTTP/1.1",
                                                               elsewhere + form, "device=%2Fdev%2FttyS9&trace=on"));
    EXPECT_EQ(setup.status, 403) << setup.head;
    EXPECT_FALSE(namesCors(setup.head)) << setup.head;
    std::ifstream configAfter(server->configPath());
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(configAfter)), {}), storedBefore);
    EXPECT_EQ(ask("atpark").value("Value", true), false);
}
