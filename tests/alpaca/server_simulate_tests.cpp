// The server with --simulate: the simulator's core inside it as mount 0, no
// pseudo-terminal. Each model answers as itself, moves, parks and reads at
// an exchange's pace, with the command line's site; the start line and setup
// page say "simulated mount" and no device is stored; the port paces its
// replies at 9600 baud; a bad command line is one line and exit status 2.
#include "ServerProcess.h"
#include "SimulatedSerialPort.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include <sys/wait.h>

namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

double msSince(SteadyClock::time_point began)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - began).count();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct ModelCase {
    int model;
    std::vector<int> trackingRates;
};
const ModelCase kModels[] = {{2, {0, 1, 2}}, {3, {0, 1, 2, 3}}};

struct Refusal {
    std::vector<std::string> args;
    std::string reason;
};
const std::string kModelReason = "--simulate needs a mount model: 1, 2 or 3";
const std::string kBothReason =
    "--simulate and --serial cannot be given together: the simulated mount takes mount 0's serial device's place";
const Refusal kRefusals[] = {
    {{"--simulate", "4"}, kModelReason},
    {{"--simulate", "0"}, kModelReason},
    {{"--simulate=two"}, kModelReason},
    {{"--simulate"}, kModelReason},
    {{"--simulate", "2", "--serial", "/dev/ttyS0"}, kBothReason},
    {{"--serial", "/dev/ttyS0", "--simulate", "3"}, kBothReason},
    {{"--latitude", "40"}, "--latitude sets the simulated mount: give --simulate too"},
    {{"--simulate", "2", "--latitude", "91"}, "--latitude value '91' is not a number in range"},
};

} // namespace

TEST(SimulatedMount, EachModelAnswersMovesParksAndSaysItIsSimulated)
{
    for (const ModelCase& c : kModels) {
        const std::string label = "simulated mount (model " + std::to_string(c.model) + ")";
        SCOPED_TRACE(label);
        ScratchFolder scratch;
        ServerProcess server(scratch, {"--simulate", std::to_string(c.model), "--slew-rate", "10", "--latitude",
                                       "40.25", "--longitude", "-3.5"});
        ASSERT_TRUE(server.ready()) << server.log();
        EXPECT_TRUE(contains(server.log(), "with " + label + ",")) << server.log();
        auto ask = [&](const std::string& member, const std::string& form = "-") {
            auto r = form == "-" ? server.get(telescope(member) + "?ClientID=7")
                                 : server.put(telescope(member), form + "&ClientID=7");
            const Json answer = r && r->status == 200 ? Json::parse(r->body, nullptr, false) : Json();
            EXPECT_EQ(answer.is_object() ? answer.value("ErrorNumber", -1) : -1, 0) << member << ": " << answer;
            return answer.is_object() && answer.contains("Value") ? answer["Value"] : Json();
        };
        auto becomes = [&](const std::string& member, bool wanted) {
            for (const auto until = SteadyClock::now() + std::chrono::seconds(60); SteadyClock::now() < until;
                 std::this_thread::sleep_for(std::chrono::milliseconds(100)))
                if (ask(member) == wanted)
                    return true;
            return false;
        };

        ask("connected", "Connected=true");
        EXPECT_EQ(ask("trackingrates"), Json(c.trackingRates));
        EXPECT_NEAR(ask("sitelatitude").get<double>(), 40.25, 1.0 / 60);
        EXPECT_NEAR(ask("sitelongitude").get<double>(), -3.5, 1.0 / 60);

        // Each read is an exchange at the mount's pace (the link's pause, in
        // which the reply's bytes come), not at once and not a time-out.
        std::vector<double> ms;
        for (int read = 0; read < 9; ++read) {
            const auto began = SteadyClock::now();
            ask(read % 2 ? "declination" : "rightascension");
            ms.push_back(msSince(began));
        }
        std::sort(ms.begin(), ms.end());
        EXPECT_GE(ms[4], 20.0) << "reads answered at once";
        EXPECT_LT(ms[4], 400.0) << "reads waited for their time-out";

        const double targetRa = std::fmod(ask("rightascension").get<double>() + 3.0, 24.0);
        ask("slewtocoordinatesasync", "RightAscension=" + std::to_string(targetRa) + "&Declination=80");
        EXPECT_EQ(ask("slewing"), true) << "a 45 degree slew at 10 degrees a second is under way";
        EXPECT_TRUE(becomes("slewing", false)) << "the slew never ended";
        EXPECT_NEAR(ask("rightascension").get<double>(), targetRa, 0.01);
        EXPECT_NEAR(ask("declination").get<double>(), 80.0, 0.1);
        ask("park", "");
        EXPECT_TRUE(becomes("atpark", true)) << "the park never arrived";
        EXPECT_EQ(ask("slewing"), false);

        auto page = server.get("/setup/v1/telescope/0/setup");
        ASSERT_TRUE(page && page->status == 200);
        EXPECT_TRUE(contains(page->body, "This is a " + label + ", inside the server")) << page->body;
        EXPECT_FALSE(contains(page->body, "id=\"store\"") || contains(page->body, "<select")) << page->body;
        auto stored = server.client()->Post("/setup/v1/telescope/0/setup", "device=/dev/ttyS0",
                                            "application/x-www-form-urlencoded");
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->status, 409);
        EXPECT_TRUE(contains(stored->body, "Nothing was stored: this is a simulated mount")) << stored->body;
        std::ifstream config(server.configPath());
        EXPECT_FALSE(contains(std::string(std::istreambuf_iterator<char>(config), {}), "/dev/ttyS0"));
    }
}

// The same requests to a server over the pseudo-terminal simulator and to
// one with the simulator inside: the same answers, value, error number and
// message, for each model. Values that run on with time (the clock, the
// sidereal time, a position while tracking) are compared within a bound.
struct SameAnswer {
    const char* member;
    const char* form;  // nullptr: a GET
    double tolerance;  // 0: exactly the same
};
const SameAnswer kSameAnswers[] = {
    {"connected", "Connected=true", 0},
    {"canpark", nullptr, 0},
    {"canpulseguide", nullptr, 0},
    {"cansettracking", nullptr, 0},
    {"canfindhome", nullptr, 0},
    {"canslewaltaz", nullptr, 0},
    {"cansync", nullptr, 0},
    {"canunpark", nullptr, 0},
    {"trackingrates", nullptr, 0},
    {"alignmentmode", nullptr, 0},
    {"equatorialsystem", nullptr, 0},
    {"sitelatitude", nullptr, 0},
    {"sitelongitude", nullptr, 0},
    {"declination", nullptr, 0},
    {"altitude", nullptr, 0.02},
    {"azimuth", nullptr, 0.02},
    {"siderealtime", nullptr, 0.001},
    {"tracking", nullptr, 0},
    {"slewtocoordinatesasync", "RightAscension=25&Declination=10", 0},
    {"slewtocoordinatesasync", "RightAscension=abc&Declination=10", 0},
    {"pulseguide", "Direction=7&Duration=100", 0},
    {"moveaxis", "Axis=0&Rate=100", 0},
    {"trackingrate", "TrackingRate=9", 0},
    {"sitelatitude", "SiteLatitude=95", 0},
};

TEST(SimulatedMount, AnswersAsTheSimulatorOnAPseudoTerminalDoes)
{
    const std::vector<std::string> site = {"--latitude", "-33.75", "--longitude", "151.25"};
    for (int model : {1, 2, 3}) {
        SCOPED_TRACE("model " + std::to_string(model));
        ScratchFolder scratch;
        SimulatorProcess mount(scratch, model, site);
        ASSERT_TRUE(mount.ready());
        ServerProcess overPty(scratch, {"--serial", mount.link});
        ScratchFolder inside;
        std::vector<std::string> simulated = {"--simulate", std::to_string(model)};
        simulated.insert(simulated.end(), site.begin(), site.end());
        ServerProcess withSimulator(inside, simulated);
        ASSERT_TRUE(overPty.ready() && withSimulator.ready()) << overPty.log() << withSimulator.log();
        auto answer = [](const ServerProcess& server, const SameAnswer& row) {
            auto r = row.form ? server.put(telescope(row.member), std::string(row.form) + "&ClientID=7")
                              : server.get(telescope(row.member) + "?ClientID=7");
            if (!r)
                return Json("no answer");
            Json body = Json::parse(r->body, nullptr, false);
            if (!body.is_object())
                return Json(std::to_string(r->status) + " " + r->body);
            body.erase("ClientTransactionID");
            body.erase("ServerTransactionID");
            return body;
        };
        for (const SameAnswer& row : kSameAnswers) {
            SCOPED_TRACE(std::string(row.member) + (row.form ? std::string(" ") + row.form : ""));
            const Json expected = answer(overPty, row);
            const Json given = answer(withSimulator, row);
            if (row.tolerance == 0 || !expected.contains("Value") || !given.contains("Value")
                || !expected["Value"].is_number()) {
                EXPECT_EQ(given, expected);
                continue;
            }
            EXPECT_NEAR(given["Value"].get<double>(), expected["Value"].get<double>(), row.tolerance);
            EXPECT_EQ(given["ErrorNumber"], expected["ErrorNumber"]);
        }
    }
}

// The port itself, read a byte at a time from the moment the command is
// written: the first byte at once, each next one a byte time at 9600 baud
// after it, as from the pseudo-terminal simulator paced.
TEST(SimulatedMount, RepliesComeAt9600Baud)
{
    for (const auto& [model, command] : {std::pair{2, ":GR#"}, {2, ":GD#"}, {3, ":GR#"}, {3, ":GZ#"}}) {
        SCOPED_TRACE(std::to_string(model) + " " + command);
        velmaro::sim::SimConfig config;
        config.model = model;
        auto mount = std::make_shared<SimulatedMount>(config);
        std::unique_ptr<SerialPort> port = mount->portMaker()();
        ASSERT_TRUE(port->open("unused", 9600));
        EXPECT_FALSE(mount->portMaker()()->open("unused", 9600)) << "a second port opened the mount";
        const auto began = SteadyClock::now();
        ASSERT_TRUE(port->write(command, std::uint32_t(std::strlen(command))));
        std::string reply;
        for (char byte = 0; reply.size() < 32 && !contains(reply, "#") && port->read(&byte, 1) == 1;)
            reply += byte;
        const double ms = msSince(began);
        ASSERT_TRUE(contains(reply, "#")) << reply;
        EXPECT_GE(ms, 0.95 * double(reply.size() - 1) * 10000.0 / 9600.0) << reply << " came at once";
        EXPECT_LT(ms, 400.0) << reply;
    }
}

TEST(SimulatedMount, BadCommandLinesAreOneLineAndExitStatus2)
{
    ScratchFolder scratch;
    for (const Refusal& refusal : kRefusals) {
        std::vector<std::string> args = {"--http-port", std::to_string(freeLoopbackPort()), "--discovery-port", "0",
                                         "--config", scratch.file("alpaca.conf")};
        args.insert(args.end(), refusal.args.begin(), refusal.args.end());
        const RunResult run = runServerToEnd(args);
        EXPECT_TRUE(run.status != -1 && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 2) << run.output;
        EXPECT_EQ(run.output, "velmaro-alpaca: " + refusal.reason + " (see --help)\n");
    }
}
