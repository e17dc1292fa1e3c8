// Every member of Telescope 0 over real HTTP, for each mount model: the
// server started as users start it, on a simulated mount. Each case checks
// the JSON answer (its keys, the Value's type, the error number and text)
// and the commands the mount received for that one request, which are the
// ones the DLL sends for the same member, model and state (the core's own
// tests hold the exact bytes). The members that return at once and finish
// in the background (connect, pulse, home search) are watched until done.
#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::json;
using Commands = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kNotImplemented = 0x400;
constexpr int kInvalidValue = 0x401;
constexpr int kValueNotSet = 0x402;
constexpr int kNotConnected = 0x407;
constexpr int kInvalidWhileParked = 0x408;
constexpr int kInvalidOperation = 0x40B;
constexpr int kActionNotImplemented = 0x40C;

const char* const kNotConnectedText = "The telescope is not connected";
// A refusal the core tells by its number alone.
const char* const kUnknownError = "Unknown Error";
const char* const kNoSuchAxis = "There is no such axis";
const char* const kAltAzGuiding = "Do not support PulseGuide in Alt-Azi mounts!";
const char* const kNegativePulse = "A guide pulse cannot last less than no time: -5 ms";
const char* const kNoClockSetting = "The mount's clock cannot be set from the server: the mount has no command for it";
const char* const kNoSuchRate = "The mount has no such tracking rate: ";
const char* const kDriverInfo =
    "Velmaro Telescope ASCOM Driver 2.1 Copyright (C) 2026 the Velmaro developers. All rights reserved.";

// The setup probe on its own port, then the connection's handshake and
// model question: what every connect sends; and a model that can be asked
// whether it tracks is asked, for the first AbortSlew's restore of it.
const Commands kConnectCommands = {":V#",  ":MountInfo#", ":GR#", ":GD#", ":GA#", ":GZ#",
                                   ":GL#", ":GG#",        ":Gt#", ":Gg#", ":V#",  ":MountInfo#"};

Commands connectCommands(int model)
{
    Commands sent = kConnectCommands;
    if (model == 3)
        sent.push_back(":AT#");
    return sent;
}

// The request that marks the end of another request's commands: it asks
// the mount one thing, and the simulator writes each command down before
// it answers.
const char* const kFenceMember = "declination";
const char* const kFenceCommand = ":GD#";

enum class ValueType { None, Boolean, Integer, Number, Text, Date, List };

const char* typeName(ValueType type)
{
    switch (type) {
    case ValueType::None:
        return "no Value";
    case ValueType::Boolean:
        return "a boolean";
    case ValueType::Integer:
        return "an integer";
    case ValueType::Number:
        return "a floating-point number";
    case ValueType::Text:
        return "a string";
    case ValueType::Date:
        return "an ISO 8601 UTC date";
    case ValueType::List:
        return "an array";
    }
    return "?";
}

// Seconds since 1970 of a UTC time in the form the server writes.
std::optional<double> isoSeconds(const std::string& text)
{
    static const std::regex form(R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d{1,7})?Z$)");
    std::smatch field;
    if (!std::regex_match(text, field, form))
        return std::nullopt;
    std::tm time{};
    time.tm_year = std::stoi(field[1]) - 1900;
    time.tm_mon = std::stoi(field[2]) - 1;
    time.tm_mday = std::stoi(field[3]);
    time.tm_hour = std::stoi(field[4]);
    time.tm_min = std::stoi(field[5]);
    time.tm_sec = std::stoi(field[6]);
    const double fraction = field[7].matched ? std::stod("0" + field[7].str()) : 0.0;
    return double(timegm(&time)) + fraction;
}

// A date the server read just now: the simulator's clock is this machine's.
bool isRecentDate(const Json& value)
{
    if (!value.is_string())
        return false;
    std::optional<double> seconds = isoSeconds(value.get<std::string>());
    return seconds && std::fabs(*seconds - double(std::time(nullptr))) < 300.0;
}

bool hasType(const Json& value, ValueType type)
{
    switch (type) {
    case ValueType::None:
        return false;
    case ValueType::Boolean:
        return value.is_boolean();
    case ValueType::Integer:
        return value.is_number_integer();
    case ValueType::Number:
        return value.is_number_float();
    case ValueType::Text:
        return value.is_string();
    case ValueType::Date:
        return isRecentDate(value);
    case ValueType::List:
        return value.is_array();
    }
    return false;
}

// What one case expects for one model.
struct Expect {
    Commands sent;
    int error = 0;
    std::string message;
    // The Value as JSON text; empty: only its type is checked.
    std::string value;
    // A member that waits for the slew's end asks this once or more after
    // the commands that started it.
    Commands polls;
};

Expect ok(std::string value = "")
{
    return Expect{{}, 0, "", std::move(value), {}};
}

Expect sends(Commands sent, std::string value = "")
{
    return Expect{std::move(sent), 0, "", std::move(value), {}};
}

Expect refused(int number, std::string message)
{
    return Expect{{}, number, std::move(message), "", {}};
}

Expect waitsForTheSlew(Commands sent, Commands polls)
{
    return Expect{std::move(sent), 0, "", "", std::move(polls)};
}

// What the test does once a case is checked, before the next one.
enum class Then { Next, WaitForSlewEnd, WaitForPark };

struct MemberCase {
    const char* method;
    const char* member;
    const char* parameters;
    ValueType type;
    std::array<Expect, 3> byModel;
    Then then = Then::Next;
};

MemberCase same(const char* method, const char* member, const char* parameters, ValueType type, Expect expect,
                Then then = Then::Next)
{
    return {method, member, parameters, type, {expect, expect, expect}, then};
}

MemberCase each(const char* method, const char* member, const char* parameters, ValueType type, Expect model1,
                Expect model2, Expect model3, Then then = Then::Next)
{
    return {method, member, parameters, type, {std::move(model1), std::move(model2), std::move(model3)}, then};
}

struct Answer {
    int status = 0;
    std::string contentType;
    std::string body;
    Json json;  // discarded unless the body is JSON
    Clock::duration took{};
};

std::string withTransaction(const std::string& parameters, std::uint32_t transaction)
{
    const std::string mine = "ClientTransactionID=" + std::to_string(transaction);
    return parameters.empty() ? mine : parameters + "&" + mine;
}

void expectValue(const Json& value, const std::string& expected)
{
    const Json wanted = Json::parse(expected);
    if (wanted.is_number() && value.is_number()) {
        const double a = wanted.get<double>(), b = value.get<double>();
        EXPECT_NEAR(b, a, 1e-9 * std::max(1.0, std::fabs(a)));
    } else {
        EXPECT_EQ(value, wanted);
    }
}

// The answer's shape: exactly the keys of an Alpaca answer, Value only
// where the member returns one, and the error as expected.
void expectAnswer(const Answer& answer, ValueType type, const Expect& expect, std::uint32_t transaction)
{
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.contentType, "application/json");
    ASSERT_TRUE(answer.json.is_object()) << answer.body;
    std::set<std::string> keys;
    for (const auto& item : answer.json.items())
        keys.insert(item.key());
    std::set<std::string> wanted = {"ClientTransactionID", "ServerTransactionID", "ErrorNumber", "ErrorMessage"};
    if (type != ValueType::None)
        wanted.insert("Value");
    EXPECT_EQ(keys, wanted) << answer.body;
    EXPECT_EQ(answer.json.value("ClientTransactionID", Json()), Json(transaction));
    const Json server = answer.json.value("ServerTransactionID", Json());
    EXPECT_TRUE(server.is_number_unsigned() && server.get<std::uint64_t>() >= 1) << answer.body;
    EXPECT_EQ(answer.json.value("ErrorNumber", Json()), Json(expect.error)) << answer.body;
    EXPECT_EQ(answer.json.value("ErrorMessage", Json()), Json(expect.message)) << answer.body;
    if (type == ValueType::None || !answer.json.contains("Value"))
        return;
    const Json& value = answer.json["Value"];
    EXPECT_TRUE(hasType(value, type)) << "Value " << value.dump() << " is not " << typeName(type);
    if (!expect.value.empty())
        expectValue(value, expect.value);
}

void expectCommands(const Commands& received, const Expect& expect)
{
    if (expect.polls.empty()) {
        EXPECT_EQ(received, expect.sent);
        return;
    }
    // The commands that started the slew, then its end asked for until over.
    ASSERT_GE(received.size(), expect.sent.size() + expect.polls.size()) << ::testing::PrintToString(received);
    EXPECT_EQ(Commands(received.begin(), received.begin() + long(expect.sent.size())), expect.sent);
    Commands rest(received.begin() + long(expect.sent.size()), received.end());
    EXPECT_EQ(rest.size() % expect.polls.size(), 0u) << ::testing::PrintToString(received);
    for (std::size_t at = 0; at + expect.polls.size() <= rest.size(); at += expect.polls.size())
        EXPECT_EQ(Commands(rest.begin() + long(at), rest.begin() + long(at + expect.polls.size())), expect.polls)
            << ::testing::PrintToString(received);
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

long long milliseconds(Clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// One simulated mount of a model and one server on it, per test.
class ServedMount : public ::testing::Test {
protected:
    void start(int mountModel, std::vector<std::string> simulatorOptions = {})
    {
        model = mountModel;
        scratch = std::make_unique<ScratchFolder>();
        simulator = std::make_unique<SimulatorProcess>(*scratch, model, simulatorOptions);
        ASSERT_TRUE(simulator->ready()) << "the simulator did not come up";
        server = std::make_unique<ServerProcess>(*scratch, std::vector<std::string>{"--serial", simulator->link});
        ASSERT_TRUE(server->ready()) << server->log();
    }

    Answer request(const std::string& method, const std::string& member, const std::string& parameters) const
    {
        const auto began = Clock::now();
        httplib::Result result = method == "GET"
            ? server->get(telescope(member) + (parameters.empty() ? "" : "?" + parameters))
            : server->put(telescope(member), parameters);
        Answer answer;
        answer.took = Clock::now() - began;
        if (!result)
            return answer;
        answer.status = result->status;
        answer.contentType = result->get_header_value("Content-Type");
        answer.body = result->body;
        answer.json = Json::parse(answer.body, nullptr, false);
        return answer;
    }

    // The Value of a GET that must succeed.
    Json valueOf(const std::string& member, const std::string& parameters = "") const
    {
        Answer answer = request("GET", member, parameters);
        if (!answer.json.is_object() || answer.json.value("ErrorNumber", -1) != 0) {
            ADD_FAILURE() << "GET " << member << ": " << answer.body;
            return Json();
        }
        return answer.json["Value"];
    }

    // What the mount received after the first `before` commands: the fence
    // request goes out last, so every command of the request before it is
    // written down once the fence is answered.
    Commands receivedSince(std::size_t before) const
    {
        Answer fence = request("GET", kFenceMember, "");
        Commands since = simulator->commandsSince(before);
        if (!fence.json.is_object() || fence.json.value("ErrorNumber", -1) != 0)
            return since;  // not connected: nothing can be on its way
        if (since.empty() || since.back() != kFenceCommand) {
            ADD_FAILURE() << "the fence " << kFenceCommand << " is not the last command: "
                          << ::testing::PrintToString(since);
            return since;
        }
        since.pop_back();
        return since;
    }

    void connect()
    {
        const std::size_t before = simulator->commands().size();
        Answer answer = request("PUT", "connected", "Connected=true&ClientTransactionID=1");
        expectAnswer(answer, ValueType::None, ok(), 1);
        EXPECT_EQ(receivedSince(before), connectCommands(model));
    }

    void afterwards(Then then) const
    {
        if (then == Then::WaitForSlewEnd) {
            EXPECT_TRUE(waitFor([&] { return valueOf("slewing") == Json(false); }, 20s)) << "still slewing";
        } else if (then == Then::WaitForPark) {
            EXPECT_TRUE(waitFor([&] { return valueOf("atpark") == Json(true); }, 20s)) << "never parked";
        }
    }

    // Each case in turn, its answer and what the mount received for it.
    // `fenced`: the server holds the mount, so a fence marks the end of a
    // case's commands. Cases that send nothing share the next fence: what
    // one of them sent late would come before the fence all the same.
    void runCases(const std::vector<MemberCase>& cases, bool fenced)
    {
        std::uint32_t transaction = 100;
        std::optional<std::size_t> quietSince;
        std::string quietCases;
        for (const MemberCase& row : cases) {
            const Expect& expect = row.byModel[std::size_t(model - 1)];
            const std::string name = std::string(row.method) + " " + row.member + " " + row.parameters;
            SCOPED_TRACE(name);
            const std::size_t before = simulator->commands().size();
            Answer answer = request(row.method, row.member, withTransaction(row.parameters, ++transaction));
            expectAnswer(answer, row.type, expect, transaction);
            const bool quiet = fenced && expect.sent.empty() && expect.polls.empty() && row.then == Then::Next;
            if (quiet) {
                EXPECT_EQ(simulator->commandsSince(before), Commands{});
                quietSince = quietSince.value_or(before);
                quietCases += "\n  " + name;
                continue;
            }
            // A command that gets no reply, or a pulse piece sent from the
            // server's own thread, may still be on its way.
            waitFor([&] { return simulator->commandsSince(before).size() >= expect.sent.size(); }, 2s);
            const Commands received = fenced ? receivedSince(before) : simulator->commandsSince(before);
            if (quietSince) {
                expectNothingBetween(*quietSince, before, quietCases);
                quietSince.reset();
                quietCases.clear();
            }
            expectCommands(received, expect);
            afterwards(row.then);
        }
        if (quietSince) {
            EXPECT_EQ(receivedSince(*quietSince), Commands{}) << "sent by one of:" << quietCases;
        }
    }

    void expectNothingBetween(std::size_t from, std::size_t to, const std::string& cases) const
    {
        const Commands all = simulator->commands();
        const Commands between(all.begin() + long(std::min(from, all.size())),
                               all.begin() + long(std::min(to, all.size())));
        EXPECT_EQ(between, Commands{}) << "sent by one of:" << cases;
    }

    int model = 0;
    std::unique_ptr<ScratchFolder> scratch;
    std::unique_ptr<SimulatorProcess> simulator;
    std::unique_ptr<ServerProcess> server;
};

class EachModel : public ServedMount, public ::testing::WithParamInterface<int> {};

std::string modelName(const ::testing::TestParamInfo<int>& info)
{
    return "Model" + std::to_string(info.param);
}

// DeviceState: the operational readings, each as its member reads it.
struct StateItem {
    const char* name;
    ValueType type;
};

const StateItem kStateItems[] = {
    {"Altitude", ValueType::Number},       {"AtHome", ValueType::Boolean},       {"AtPark", ValueType::Boolean},
    {"Azimuth", ValueType::Number},        {"Declination", ValueType::Number},   {"IsPulseGuiding", ValueType::Boolean},
    {"RightAscension", ValueType::Number}, {"SideOfPier", ValueType::Integer},   {"SiderealTime", ValueType::Number},
    {"Slewing", ValueType::Boolean},       {"Tracking", ValueType::Boolean},     {"UTCDate", ValueType::Date},
    {"TimeStamp", ValueType::Date},
};

// What reading every item asks the mount, model by model.
const Commands kDeviceStateCommands[3] = {
    {":GA#", ":GZ#", ":GD#", ":GR#", ":GS#", ":GG#", ":GC#", ":GL#"},
    {":GA#", ":GZ#", ":GD#", ":GR#", ":pS#", ":pS#", ":GS#", ":GG#", ":GC#", ":GL#"},
    {":GA#", ":AH#", ":AP#", ":GZ#", ":GD#", ":GR#", ":pS#", ":pS#", ":GS#", ":AT#", ":GG#", ":GC#", ":GL#"},
};

// The items in order, each {Name, Value} and nothing else; model 1 cannot
// pulse-guide, so it has no IsPulseGuiding to report.
void expectDeviceState(const Json& state, bool connected, int model)
{
    ASSERT_TRUE(state.is_array()) << state.dump();
    std::vector<StateItem> wanted;
    for (const StateItem& item : kStateItems) {
        const std::string name = item.name;
        if (name == "TimeStamp" || (connected && !(model == 1 && name == "IsPulseGuiding")))
            wanted.push_back(item);
    }
    ASSERT_EQ(state.size(), wanted.size()) << state.dump();
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        SCOPED_TRACE(wanted[i].name);
        const Json& item = state[i];
        ASSERT_TRUE(item.is_object());
        EXPECT_EQ(item.size(), 2u) << item.dump();
        EXPECT_EQ(item.value("Name", Json()), Json(wanted[i].name));
        EXPECT_TRUE(item.contains("Value") && hasType(item["Value"], wanted[i].type))
            << item.dump() << " is not " << typeName(wanted[i].type);
    }
}

// ---- Before connecting ------------------------------------------------------

// Nothing reaches the mount: the server does not hold its port yet.
const std::vector<MemberCase> kBeforeConnecting = {
    // Members that need the mount.
    same("GET", "alignmentmode", "", ValueType::Integer, refused(kNotConnected, kNotConnectedText)),
    same("GET", "altitude", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "athome", "", ValueType::Boolean, refused(kNotConnected, kNotConnectedText)),
    same("GET", "atpark", "", ValueType::Boolean, refused(kNotConnected, kNotConnectedText)),
    same("GET", "azimuth", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "canfindhome", "", ValueType::Boolean, refused(kNotConnected, kNotConnectedText)),
    same("GET", "canpulseguide", "", ValueType::Boolean, refused(kNotConnected, kNotConnectedText)),
    same("GET", "canslewaltaz", "", ValueType::Boolean, refused(kNotConnected, kNotConnectedText)),
    same("GET", "declination", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "destinationsideofpier", "RightAscension=5&Declination=10", ValueType::Integer,
         refused(kNotConnected, kNotConnectedText)),
    same("GET", "guideratedeclination", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "guideraterightascension", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "ispulseguiding", "", ValueType::Boolean, refused(kNotConnected, kNotConnectedText)),
    same("GET", "rightascension", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "sideofpier", "", ValueType::Integer, refused(kNotConnected, kNotConnectedText)),
    same("GET", "siderealtime", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "sitelatitude", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "sitelongitude", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
    same("GET", "slewing", "", ValueType::Boolean, refused(kNotConnected, kNotConnectedText)),
    same("GET", "tracking", "", ValueType::Boolean, refused(kNotConnected, kNotConnectedText)),
    same("GET", "trackingrate", "", ValueType::Integer, refused(kNotConnected, kNotConnectedText)),
    same("GET", "utcdate", "", ValueType::Text, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "abortslew", "", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "declinationrate", "DeclinationRate=0", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "findhome", "", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "guideratedeclination", "GuideRateDeclination=0.002", ValueType::None,
         refused(kNotConnected, kNotConnectedText)),
    same("PUT", "guideraterightascension", "GuideRateRightAscension=0.002", ValueType::None,
         refused(kNotConnected, kNotConnectedText)),
    same("PUT", "moveaxis", "Axis=0&Rate=0", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "park", "", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "pulseguide", "Direction=0&Duration=100", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "rightascensionrate", "RightAscensionRate=0", ValueType::None,
         refused(kNotConnected, kNotConnectedText)),
    same("PUT", "setpark", "", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "sideofpier", "SideOfPier=0", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "sitelatitude", "SiteLatitude=45", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "sitelongitude", "SiteLongitude=10", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "slewtoaltaz", "Azimuth=180&Altitude=45", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "slewtoaltazasync", "Azimuth=180&Altitude=45", ValueType::None,
         refused(kNotConnected, kNotConnectedText)),
    same("PUT", "slewtocoordinates", "RightAscension=5.5&Declination=60", ValueType::None,
         refused(kNotConnected, kNotConnectedText)),
    same("PUT", "slewtocoordinatesasync", "RightAscension=5.5&Declination=60", ValueType::None,
         refused(kNotConnected, kNotConnectedText)),
    same("PUT", "slewtotarget", "", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "slewtotargetasync", "", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "synctoaltaz", "Azimuth=180&Altitude=45", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "synctocoordinates", "RightAscension=5.5&Declination=60", ValueType::None,
         refused(kNotConnected, kNotConnectedText)),
    same("PUT", "synctotarget", "", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "tracking", "Tracking=true", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "trackingrate", "TrackingRate=0", ValueType::None, refused(kNotConnected, kNotConnectedText)),
    same("PUT", "unpark", "", ValueType::None, refused(kNotConnected, kNotConnectedText)),

    // Members that answer without the mount.
    same("GET", "connected", "", ValueType::Boolean, ok("false")),
    same("GET", "connecting", "", ValueType::Boolean, ok("false")),
    same("GET", "name", "", ValueType::Text, ok("\"Velmaro Telescope\"")),
    same("GET", "description", "", ValueType::Text, ok("\"Velmaro Telescope\"")),
    same("GET", "driverinfo", "", ValueType::Text, ok(Json(kDriverInfo).dump())),
    same("GET", "driverversion", "", ValueType::Text, ok("\"2.1\"")),
    same("GET", "interfaceversion", "", ValueType::Integer, ok("4")),
    same("GET", "supportedactions", "", ValueType::List, ok("[]")),
    same("GET", "aperturearea", "", ValueType::Number, ok("1.0")),
    same("GET", "aperturediameter", "", ValueType::Number, ok("1.0")),
    same("GET", "focallength", "", ValueType::Number, ok("1.0")),
    same("GET", "equatorialsystem", "", ValueType::Integer, ok("1")),
    same("GET", "declinationrate", "", ValueType::Number, ok("0.0")),
    same("GET", "rightascensionrate", "", ValueType::Number, ok("0.0")),
    same("GET", "doesrefraction", "", ValueType::Boolean, ok("true")),
    same("GET", "siteelevation", "", ValueType::Number, ok("0.0")),
    same("GET", "slewsettletime", "", ValueType::Integer, ok("0")),
    same("GET", "targetrightascension", "", ValueType::Number, refused(kValueNotSet, kUnknownError)),
    same("GET", "targetdeclination", "", ValueType::Number, refused(kValueNotSet, kUnknownError)),
    same("GET", "trackingrates", "", ValueType::List, ok("[0]")),
    same("GET", "axisrates", "Axis=0", ValueType::List, ok("[]")),
    same("GET", "axisrates", "Axis=3", ValueType::List, refused(kInvalidValue, kNoSuchAxis)),
    same("GET", "canmoveaxis", "Axis=1", ValueType::Boolean, ok("false")),
    same("PUT", "moveaxis", "Axis=3&Rate=0", ValueType::None, refused(kInvalidValue, kNoSuchAxis)),
    same("PUT", "siteelevation", "SiteElevation=120.9", ValueType::None, ok()),
    same("GET", "siteelevation", "", ValueType::Number, ok("120.0")),
    same("PUT", "slewsettletime", "SlewSettleTime=2", ValueType::None, ok()),
    same("PUT", "targetrightascension", "TargetRightAscension=5.5", ValueType::None, ok()),
    same("GET", "targetrightascension", "", ValueType::Number, ok("5.5")),
    same("PUT", "targetdeclination", "TargetDeclination=-10.25", ValueType::None, ok()),
    same("GET", "targetdeclination", "", ValueType::Number, ok("-10.25")),
    same("PUT", "doesrefraction", "DoesRefraction=true", ValueType::None, ok()),
    same("PUT", "commandblind", "Command=%3AGR%23&Raw=true", ValueType::None,
         refused(kNotImplemented, "Do not support CommandBlind")),
    same("PUT", "commandbool", "Command=%3AGR%23&Raw=true", ValueType::Boolean,
         refused(kNotImplemented, "Do not support CommandBool")),
    same("PUT", "commandstring", "Command=%3AGR%23&Raw=true", ValueType::Text,
         refused(kNotImplemented, "Do not support CommandString")),
    same("PUT", "action", "Action=foo&Parameters=", ValueType::Text,
         refused(kActionNotImplemented, "The action is not supported: foo")),
    same("PUT", "disconnect", "", ValueType::None, ok()),
    same("PUT", "connected", "Connected=false", ValueType::None, ok()),
};

TEST_P(EachModel, BeforeConnectingWhatNeedsTheMountIsRefusedAndConnectFinishesInTheBackground)
{
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    runCases(kBeforeConnecting, false);
    // DeviceState still answers, with the time alone.
    Answer state = request("GET", "devicestate", "ClientTransactionID=3");
    expectAnswer(state, ValueType::List, ok(), 3);
    expectDeviceState(state.json.value("Value", Json()), false, GetParam());
    EXPECT_EQ(simulator->commands(), Commands{});

    // Connect returns at once; Connecting holds until Connected.
    Answer answer = request("PUT", "connect", "ClientTransactionID=7");
    expectAnswer(answer, ValueType::None, ok(), 7);
    EXPECT_LT(milliseconds(answer.took), 300) << "Connect waited for the connection";
    EXPECT_EQ(valueOf("connecting"), Json(true));
    // Another client's Connect meanwhile joins the one under way.
    Answer again = request("PUT", "connect", "ClientTransactionID=8");
    expectAnswer(again, ValueType::None, ok(), 8);
    EXPECT_LT(milliseconds(again.took), 300) << "a second Connect waited for the first";
    bool sawBoth = false;
    ASSERT_TRUE(waitFor(
        [&] {
            // Connected first: once it is true, a Connecting read after it
            // must be false (the other order can see the change between).
            const Json connected = valueOf("connected");
            const Json connecting = valueOf("connecting");
            sawBoth = sawBoth || (connecting == Json(true) && connected == Json(true));
            return connected == Json(true) && connecting == Json(false);
        },
        10s));
    EXPECT_FALSE(sawBoth) << "Connected was true while Connecting still was";
    EXPECT_EQ(simulator->commands(), connectCommands(GetParam()));

    // Connected now, to the model the mount named; the target set before
    // connecting still stands.
    EXPECT_EQ(valueOf("canfindhome"), Json(GetParam() == 3));
    EXPECT_EQ(valueOf("canslewaltaz"), Json(GetParam() == 1));
    EXPECT_EQ(valueOf("targetrightascension"), Json(5.5));
}

// ---- Every read member, connected, the mount as it powers up ---------------

// Model 2 cannot be asked its guide rate: half the sidereal rate, in
// degrees per second.
const std::string kFixedGuideRate = Json(0.5 / 240).dump();

std::vector<MemberCase> readCases()
{
    return {
        same("GET", "connected", "", ValueType::Boolean, ok("true")),
        same("GET", "connecting", "", ValueType::Boolean, ok("false")),
        same("GET", "name", "", ValueType::Text, ok("\"Velmaro Telescope\"")),
        same("GET", "description", "", ValueType::Text, ok("\"Velmaro Telescope\"")),
        same("GET", "driverinfo", "", ValueType::Text, ok(Json(kDriverInfo).dump())),
        same("GET", "driverversion", "", ValueType::Text, ok("\"2.1\"")),
        same("GET", "interfaceversion", "", ValueType::Integer, ok("4")),
        same("GET", "supportedactions", "", ValueType::List, ok("[]")),
        each("GET", "alignmentmode", "", ValueType::Integer, sends({":GAM#"}), ok("2"), ok("2")),
        same("GET", "altitude", "", ValueType::Number, sends({":GA#"})),
        same("GET", "aperturearea", "", ValueType::Number, ok("1.0")),
        same("GET", "aperturediameter", "", ValueType::Number, ok("1.0")),
        each("GET", "athome", "", ValueType::Boolean, ok("false"), ok("false"), sends({":AH#"}, "false")),
        each("GET", "atpark", "", ValueType::Boolean, ok("false"), ok("false"), sends({":AP#"}, "false")),
        same("GET", "azimuth", "", ValueType::Number, sends({":GZ#"})),
        each("GET", "canfindhome", "", ValueType::Boolean, ok("false"), ok("false"), ok("true")),
        same("GET", "canpark", "", ValueType::Boolean, ok("true")),
        each("GET", "canpulseguide", "", ValueType::Boolean, ok("false"), ok("true"), ok("true")),
        same("GET", "cansetdeclinationrate", "", ValueType::Boolean, ok("false")),
        each("GET", "cansetguiderates", "", ValueType::Boolean, ok("false"), ok("false"), ok("true")),
        same("GET", "cansetpark", "", ValueType::Boolean, ok("false")),
        same("GET", "cansetpierside", "", ValueType::Boolean, ok("false")),
        same("GET", "cansetrightascensionrate", "", ValueType::Boolean, ok("false")),
        same("GET", "cansettracking", "", ValueType::Boolean, ok("true")),
        same("GET", "canslew", "", ValueType::Boolean, ok("true")),
        each("GET", "canslewaltaz", "", ValueType::Boolean, ok("true"), ok("false"), ok("false")),
        each("GET", "canslewaltazasync", "", ValueType::Boolean, ok("true"), ok("false"), ok("false")),
        same("GET", "canslewasync", "", ValueType::Boolean, ok("true")),
        same("GET", "cansync", "", ValueType::Boolean, ok("true")),
        each("GET", "cansyncaltaz", "", ValueType::Boolean, ok("true"), ok("false"), ok("false")),
        same("GET", "canunpark", "", ValueType::Boolean, ok("true")),
        same("GET", "declination", "", ValueType::Number, sends({":GD#"}, "20.0")),
        same("GET", "declinationrate", "", ValueType::Number, ok("0.0")),
        same("GET", "doesrefraction", "", ValueType::Boolean, ok("true")),
        same("GET", "equatorialsystem", "", ValueType::Integer, ok("1")),
        same("GET", "focallength", "", ValueType::Number, ok("1.0")),
        each("GET", "guideratedeclination", "", ValueType::Number, sends({":GGS#"}), ok(kFixedGuideRate),
             sends({":AG#"})),
        each("GET", "guideraterightascension", "", ValueType::Number, sends({":GGS#"}), ok(kFixedGuideRate),
             sends({":AG#"})),
        each("GET", "ispulseguiding", "", ValueType::Boolean, refused(kNotImplemented, kAltAzGuiding), ok("false"),
             ok("false")),
        same("GET", "rightascension", "", ValueType::Number, sends({":GR#"})),
        same("GET", "rightascensionrate", "", ValueType::Number, ok("0.0")),
        // Pointing east of the pier, an hour west of the meridian.
        each("GET", "sideofpier", "", ValueType::Integer, ok("-1"), sends({":pS#", ":pS#"}, "0"),
             sends({":pS#", ":pS#"}, "0")),
        same("GET", "siderealtime", "", ValueType::Number, sends({":GS#"})),
        same("GET", "siteelevation", "", ValueType::Number, ok("0.0")),
        same("GET", "sitelatitude", "", ValueType::Number, sends({":Gt#"}, "48.5")),
        same("GET", "sitelongitude", "", ValueType::Number, sends({":Gg#"}, "-71.25")),
        same("GET", "slewing", "", ValueType::Boolean, ok("false")),
        same("GET", "slewsettletime", "", ValueType::Integer, ok("0")),
        same("GET", "targetdeclination", "", ValueType::Number, refused(kValueNotSet, kUnknownError)),
        same("GET", "targetrightascension", "", ValueType::Number, refused(kValueNotSet, kUnknownError)),
        // The driver's own record on models 1 and 2; model 3 is asked.
        each("GET", "tracking", "", ValueType::Boolean, ok("false"), ok("false"), sends({":AT#"}, "true")),
        each("GET", "trackingrate", "", ValueType::Integer, sends({":GTR#"}, "0"), ok("0"), sends({":QT#"}, "0")),
        // What each model can set and read back as set.
        each("GET", "trackingrates", "", ValueType::List, ok("[0,1,2]"), ok("[0,1,2]"), ok("[0,1,2,3]")),
        same("GET", "utcdate", "", ValueType::Date, sends({":GG#", ":GC#", ":GL#"})),
        same("GET", "axisrates", "Axis=0", ValueType::List, ok("[]")),
        same("GET", "axisrates", "Axis=2", ValueType::List, ok("[]")),
        same("GET", "axisrates", "Axis=3", ValueType::List, refused(kInvalidValue, kNoSuchAxis)),
        same("GET", "canmoveaxis", "Axis=0", ValueType::Boolean, ok("false")),
        same("GET", "canmoveaxis", "Axis=2", ValueType::Boolean, ok("false")),
        same("GET", "canmoveaxis", "Axis=3", ValueType::Boolean, refused(kInvalidValue, kNoSuchAxis)),
        same("GET", "destinationsideofpier", "RightAscension=5&Declination=10", ValueType::Integer,
             refused(kNotImplemented, "Do not support to predict the side of pier of the telecope")),
    };
}

TEST_P(EachModel, EveryReadMemberAnswersAsTheDriverReadsIt)
{
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    ASSERT_NO_FATAL_FAILURE(connect());
    // Nothing read yet over this connection but the fence after connecting
    // (and tracking, which the connect read): DeviceState reads every
    // other field.
    Commands unread = kDeviceStateCommands[model - 1];
    unread.erase(std::find(unread.begin(), unread.end(), kFenceCommand));
    if (model == 3)
        unread.erase(std::find(unread.begin(), unread.end(), ":AT#"));
    std::size_t before = simulator->commands().size();
    Answer first = request("GET", "devicestate", "ClientTransactionID=8");
    expectAnswer(first, ValueType::List, ok(), 8);
    expectDeviceState(first.json.value("Value", Json()), true, model);
    EXPECT_EQ(receivedSince(before), unread);

    runCases(readCases(), true);

    before = simulator->commands().size();
    Answer answer = request("GET", "devicestate", "ClientTransactionID=9");
    expectAnswer(answer, ValueType::List, ok(), 9);
    expectDeviceState(answer.json.value("Value", Json()), true, model);
    // Every field was read by its member just now: DeviceState answers
    // from those values and asks the mount nothing.
    EXPECT_EQ(receivedSince(before), Commands{});
}

// ---- Every write and action member in turn ---------------------------------

// The targets stand near the pole, always above this site's horizon
// (48.5 degrees north), wherever the sky has turned.
const char* const kRa0530 = ":Sr 05:30:00#";
const char* const kDec60 = ":Sd +60*00:00#";
const char* const kRa0600 = ":Sr 06:00:00#";
const char* const kDec62 = ":Sd +62*00:00#";

std::vector<MemberCase> writeCases()
{
    // Models 1 and 3 are asked whether the slew goes on; model 2 is compared
    // with its target.
    const Commands slewEnd1 = {":SE?#"}, slewEnd2 = {":GR#", ":GD#"}, slewEnd3 = {":SE?#"};
    const Commands slewTo0600 = {kRa0600, kDec62, ":MS#"};
    const Expect noAltAz = refused(kNotImplemented, kUnknownError);
    const Expect noGuideRate = refused(kNotImplemented, "Cannot set the guide rate of the telescope");
    const Expect badValue = refused(kInvalidValue, kUnknownError);
    const Expect noClock = refused(kNotImplemented, kNoClockSetting);
    auto noSuchRate = [](const char* rate) { return refused(kInvalidValue, std::string(kNoSuchRate) + rate); };
    auto parked = [](const char* text) { return refused(kInvalidWhileParked, text); };
    return {
        // Refused by the driver, nothing sent.
        same("PUT", "action", "Action=foo&Parameters=", ValueType::Text,
             refused(kActionNotImplemented, "The action is not supported: foo")),
        // A client leaves Parameters out when it has none.
        same("PUT", "action", "Action=foo", ValueType::Text,
             refused(kActionNotImplemented, "The action is not supported: foo")),
        same("PUT", "commandblind", "Command=%3AGR%23&Raw=true", ValueType::None,
             refused(kNotImplemented, "Do not support CommandBlind")),
        same("PUT", "commandbool", "Command=%3AGR%23&Raw=false", ValueType::Boolean,
             refused(kNotImplemented, "Do not support CommandBool")),
        same("PUT", "commandstring", "Command=%3AGR%23&Raw=true", ValueType::Text,
             refused(kNotImplemented, "Do not support CommandString")),
        same("PUT", "setpark", "", ValueType::None, refused(kNotImplemented, "Do not support SetPark")),
        same("PUT", "sideofpier", "SideOfPier=0", ValueType::None,
             refused(kNotImplemented, "Do not support to set the side of pier")),
        same("PUT", "declinationrate", "DeclinationRate=0", ValueType::None,
             refused(kNotImplemented, "Cannot set the declination offset rate")),
        same("PUT", "rightascensionrate", "RightAscensionRate=0", ValueType::None,
             refused(kNotImplemented, "Cannot set the Right Ascension offset rate")),
        same("PUT", "doesrefraction", "DoesRefraction=true", ValueType::None, ok()),
        same("PUT", "doesrefraction", "DoesRefraction=false", ValueType::None,
             refused(kNotImplemented, "Cannot set DoesRefraction to FALSE")),
        same("PUT", "moveaxis", "Axis=0&Rate=0", ValueType::None, refused(kNotImplemented, kUnknownError)),
        same("PUT", "moveaxis", "Axis=3&Rate=0", ValueType::None, refused(kInvalidValue, kNoSuchAxis)),
        each("PUT", "findhome", "", ValueType::None, refused(kNotImplemented, "Do not support FindHome"),
             refused(kNotImplemented, "Do not support FindHome"), sends({":MH#"}), Then::WaitForSlewEnd),
        each("PUT", "pulseguide", "Direction=0&Duration=100", ValueType::None, refused(kNotImplemented, kAltAzGuiding),
             sends({":RT2#", ":Mn100#"}), sends({":ST1#", ":Mn00100#"})),
        each("PUT", "pulseguide", "Direction=4&Duration=100", ValueType::None, refused(kNotImplemented, kAltAzGuiding),
             badValue, badValue),
        // No length is no pulse; less than none is refused, nothing sent.
        each("PUT", "pulseguide", "Direction=1&Duration=0", ValueType::None, refused(kNotImplemented, kAltAzGuiding),
             ok(), ok()),
        each("PUT", "pulseguide", "Direction=1&Duration=-5", ValueType::None, refused(kNotImplemented, kAltAzGuiding),
             refused(kInvalidValue, kNegativePulse), refused(kInvalidValue, kNegativePulse)),
        each("PUT", "pulseguide", "Direction=-1&Duration=-5", ValueType::None,
             refused(kNotImplemented, kAltAzGuiding), badValue, badValue),
        same("PUT", "connect", "", ValueType::None, ok()),
        same("PUT", "connected", "Connected=true", ValueType::None, ok()),

        // Values the driver keeps, and the site.
        same("PUT", "slewsettletime", "SlewSettleTime=3", ValueType::None, ok()),
        same("PUT", "slewsettletime", "SlewSettleTime=-1", ValueType::None, badValue),
        same("GET", "slewsettletime", "", ValueType::Integer, ok("0")),
        same("PUT", "siteelevation", "SiteElevation=250.7", ValueType::None, ok()),
        same("PUT", "siteelevation", "SiteElevation=10000.5", ValueType::None, badValue),
        same("GET", "siteelevation", "", ValueType::Number, ok("250.0")),
        same("PUT", "sitelatitude", "SiteLatitude=91", ValueType::None, badValue),
        same("PUT", "sitelatitude", "SiteLatitude=-90.5", ValueType::None, badValue),
        same("PUT", "sitelatitude", "SiteLatitude=45.5", ValueType::None, sends({":St +45*30:00#"})),
        same("GET", "sitelatitude", "", ValueType::Number, sends({":Gt#"}, "45.5")),
        same("PUT", "sitelatitude", "SiteLatitude=48.5", ValueType::None, sends({":St +48*30:00#"})),
        same("PUT", "sitelongitude", "SiteLongitude=180.5", ValueType::None, badValue),
        // Model 2 counts longitude eastward from 0 to 360.
        each("PUT", "sitelongitude", "SiteLongitude=-71.25", ValueType::None, sends({":Sg -071*15:00#"}),
             sends({":Sg 288*45:00#"}), sends({":Sg -071*15:00#"})),
        same("GET", "sitelongitude", "", ValueType::Number, sends({":Gg#"}, "-71.25")),
        // The mount's clock cannot be set: every well-formed date is refused.
        same("PUT", "utcdate", "UTCDate=2026-01-02T03:04:05.000Z", ValueType::None, noClock),
        same("PUT", "utcdate", "UTCDate=2026-12-09T07%3A19%3A18.693063%2B00%3A00", ValueType::None, noClock),
        same("PUT", "utcdate", "UTCDate=2026-12-09T02:19:18-05:00", ValueType::None, noClock),

        // Guide rates: only model 3 takes one, as percent of the sidereal rate.
        each("PUT", "guideratedeclination", "GuideRateDeclination=0.0041666", ValueType::None, noGuideRate,
             noGuideRate, sends({":RG100#"})),
        each("GET", "guideratedeclination", "", ValueType::Number, sends({":GGS#"}), ok(kFixedGuideRate),
             sends({":AG#"}, Json(1.0 / 240).dump())),
        each("PUT", "guideraterightascension", "GuideRateRightAscension=0.0025", ValueType::None, noGuideRate,
             noGuideRate, sends({":RG060#"})),
        each("PUT", "guideratedeclination", "GuideRateDeclination=-0.001", ValueType::None, noGuideRate,
             noGuideRate, badValue),
        each("PUT", "guideraterightascension", "GuideRateRightAscension=0.0020833", ValueType::None, noGuideRate,
             noGuideRate, sends({":RG050#"})),

        // Tracking and its rate; model 2 remembers the rate for the next start.
        same("PUT", "trackingrate", "TrackingRate=9", ValueType::None, noSuchRate("9")),
        same("PUT", "trackingrate", "TrackingRate=-1", ValueType::None, noSuchRate("-1")),
        each("PUT", "trackingrate", "TrackingRate=1", ValueType::None, sends({":STR2#"}), ok(), sends({":RT1#"})),
        each("GET", "trackingrate", "", ValueType::Integer, sends({":GTR#"}, "1"), ok("1"), sends({":QT#"}, "1")),
        each("PUT", "tracking", "Tracking=true", ValueType::None, sends({":RG#"}), sends({":RT0#"}),
             sends({":ST1#"})),
        each("GET", "tracking", "", ValueType::Boolean, ok("true"), ok("true"), sends({":AT#"}, "true")),
        each("PUT", "trackingrate", "TrackingRate=0", ValueType::None, sends({":STR0#"}), ok(), sends({":RT0#"})),
        each("PUT", "tracking", "Tracking=false", ValueType::None, sends({":Q#"}), sends({":RT9#"}),
             sends({":ST0#"})),
        each("GET", "tracking", "", ValueType::Boolean, ok("false"), ok("false"), sends({":AT#"}, "false")),
        // The abort stops tracking too, and sends back what tracking was:
        // on model 3 as just read, so the stop goes out without asking.
        each("PUT", "abortslew", "", ValueType::None, sends({":Q#", ":Q#"}), sends({":Q#", ":RT9#"}),
             sends({":Q#", ":ST0#"})),
        each("PUT", "tracking", "Tracking=true", ValueType::None, sends({":RG#"}), sends({":RT2#"}),
             sends({":ST1#"})),

        // The target, syncs and slews.
        same("PUT", "synctotarget", "", ValueType::None, refused(kValueNotSet, kUnknownError)),
        same("PUT", "targetrightascension", "TargetRightAscension=24.5", ValueType::None, badValue),
        same("PUT", "targetrightascension", "TargetRightAscension=5.5", ValueType::None, ok()),
        same("GET", "targetrightascension", "", ValueType::Number, ok("5.5")),
        same("PUT", "targetdeclination", "TargetDeclination=91", ValueType::None, badValue),
        same("PUT", "targetdeclination", "TargetDeclination=60", ValueType::None, ok()),
        same("GET", "targetdeclination", "", ValueType::Number, ok("60.0")),
        each("PUT", "synctotarget", "", ValueType::None, sends({kRa0530, kDec60, ":CMR#"}),
             sends({kRa0530, kDec60, ":CMR#"}), sends({kRa0530, kDec60, ":CM#"})),
        same("PUT", "synctocoordinates", "RightAscension=24.5&Declination=60", ValueType::None, badValue),
        same("PUT", "synctocoordinates", "RightAscension=6&Declination=91", ValueType::None, badValue),
        each("PUT", "synctocoordinates", "RightAscension=6&Declination=62", ValueType::None,
             sends({kRa0600, kDec62, ":CMR#"}), sends({kRa0600, kDec62, ":CMR#"}), sends({kRa0600, kDec62, ":CM#"})),
        each("PUT", "synctoaltaz", "Azimuth=180&Altitude=45.5", ValueType::None,
             sends({":Sz 180:00:00#", ":Sa +45*30:00#", ":CMR#"}),
             refused(kNotImplemented, "Do not support Sync to Alt-Azi coordinates!"),
             refused(kNotImplemented, "Do not support Sync to Alt-Azi coordinates!")),
        same("PUT", "slewtocoordinatesasync", "RightAscension=24.5&Declination=60", ValueType::None, badValue),
        same("PUT", "slewtocoordinatesasync", "RightAscension=6&Declination=91", ValueType::None, badValue),
        same("PUT", "slewtocoordinatesasync", "RightAscension=5.5&Declination=60", ValueType::None,
             sends({kRa0530, kDec60, ":MS#"}), Then::WaitForSlewEnd),
        each("PUT", "slewtocoordinates", "RightAscension=6&Declination=62", ValueType::None,
             waitsForTheSlew(slewTo0600, slewEnd1), waitsForTheSlew(slewTo0600, slewEnd2),
             waitsForTheSlew(slewTo0600, slewEnd3)),
        // The slew's coordinates became the target.
        same("GET", "targetrightascension", "", ValueType::Number, ok("6.0")),
        same("PUT", "targetrightascension", "TargetRightAscension=5.5", ValueType::None, ok()),
        same("PUT", "targetdeclination", "TargetDeclination=60", ValueType::None, ok()),
        same("PUT", "slewtotargetasync", "", ValueType::None, sends({kRa0530, kDec60, ":MS#"}), Then::WaitForSlewEnd),
        same("PUT", "targetrightascension", "TargetRightAscension=6", ValueType::None, ok()),
        same("PUT", "targetdeclination", "TargetDeclination=62", ValueType::None, ok()),
        each("PUT", "slewtotarget", "", ValueType::None, waitsForTheSlew(slewTo0600, slewEnd1),
             waitsForTheSlew(slewTo0600, slewEnd2), waitsForTheSlew(slewTo0600, slewEnd3)),
        each("PUT", "slewtoaltazasync", "Azimuth=360&Altitude=45", ValueType::None, badValue, noAltAz, noAltAz),
        each("PUT", "slewtoaltazasync", "Azimuth=180&Altitude=45.5", ValueType::None,
             sends({":Sz 180:00:00#", ":Sa +45*30:00#", ":MS#"}), noAltAz, noAltAz, Then::WaitForSlewEnd),
        each("PUT", "slewtoaltaz", "Azimuth=90&Altitude=30", ValueType::None,
             waitsForTheSlew({":Sz 90:00:00#", ":Sa +30*00:00#", ":MS#"}, slewEnd1), noAltAz, noAltAz),
        same("GET", "slewing", "", ValueType::Boolean, ok("false")),

        // Parked: every motion refused before anything is sent.
        // Model 3 is asked first whether it is parked already.
        each("PUT", "park", "", ValueType::None, sends({":PK#"}), sends({":KA"}), sends({":AP#", ":MH#", ":MP1#"}),
             Then::WaitForPark),
        same("PUT", "slewtocoordinatesasync", "RightAscension=6&Declination=62", ValueType::None,
             parked("Cannot slew when parking")),
        same("PUT", "slewtocoordinates", "RightAscension=6&Declination=62", ValueType::None,
             parked("Cannot slew when parking")),
        same("PUT", "slewtotarget", "", ValueType::None, parked("Cannot slew when parking")),
        same("PUT", "slewtotargetasync", "", ValueType::None, parked("Cannot Slew when parking")),
        same("PUT", "slewtoaltaz", "Azimuth=180&Altitude=45.5", ValueType::None,
             parked("Cannot SlewToAltAz when parking")),
        same("PUT", "slewtoaltazasync", "Azimuth=180&Altitude=45.5", ValueType::None,
             parked("Cannot SlewToAltAz when parking")),
        same("PUT", "synctocoordinates", "RightAscension=6&Declination=62", ValueType::None,
             parked("Cannot Sync when parking")),
        same("PUT", "synctotarget", "", ValueType::None, parked("Cannot Sync when parking")),
        same("PUT", "synctoaltaz", "Azimuth=180&Altitude=45.5", ValueType::None, parked("Cannot Sync when parking")),
        same("PUT", "abortslew", "", ValueType::None, parked("Cannot AbortSlew when parking")),
        same("PUT", "pulseguide", "Direction=0&Duration=100", ValueType::None,
             parked("Cannot PulseGuide when parking")),
        same("PUT", "moveaxis", "Axis=0&Rate=1", ValueType::None, parked("Cannot move axis when parking")),
        same("PUT", "findhome", "", ValueType::None, parked("Cannot FindHome when parking")),
        same("PUT", "tracking", "Tracking=true", ValueType::None, parked("Cannot start tracking when parked")),
        each("GET", "atpark", "", ValueType::Boolean, ok("true"), ok("true"), sends({":AP#"}, "true")),
        each("PUT", "unpark", "", ValueType::None, ok(), sends({":PO#"}), sends({":MP0#"})),
        each("GET", "atpark", "", ValueType::Boolean, ok("false"), ok("false"), sends({":AP#"}, "false")),
        // Model 1 has no unpark command: the driver lets the slew go, and the
        // mount, still parked, refuses it.
        each("PUT", "slewtocoordinatesasync", "RightAscension=5.5&Declination=60", ValueType::None,
             Expect{{kRa0530, kDec60, ":MS#"}, kInvalidOperation, "The target is horizon below!", "", {}},
             sends({kRa0530, kDec60, ":MS#"}), sends({kRa0530, kDec60, ":MS#"}), Then::WaitForSlewEnd),

        // Disconnected, and connected again.
        same("PUT", "disconnect", "", ValueType::None, ok()),
        same("GET", "connected", "", ValueType::Boolean, ok("false")),
        same("GET", "rightascension", "", ValueType::Number, refused(kNotConnected, kNotConnectedText)),
        each("PUT", "connected", "Connected=true", ValueType::None, sends(connectCommands(1)),
             sends(connectCommands(2)), sends(connectCommands(3))),
        same("GET", "connected", "", ValueType::Boolean, ok("true")),
        same("PUT", "connected", "Connected=false", ValueType::None, ok()),
        same("GET", "connected", "", ValueType::Boolean, ok("false")),
    };
}

TEST_P(EachModel, EveryWriteAndActionMemberInTurnSendsWhatTheDriverSends)
{
    ASSERT_NO_FATAL_FAILURE(start(GetParam(), {"--slew-rate", "360"}));
    ASSERT_NO_FATAL_FAILURE(connect());
    runCases(writeCases(), true);
}

// Each rate a model lists is set and read back as set (model 2 remembers
// it and sends it with tracking on); any other is refused, nothing sent.
TEST_P(EachModel, EveryListedTrackingRateReadsBackAsSetAndNoOtherReachesTheMount)
{
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    ASSERT_NO_FATAL_FAILURE(connect());
    auto noSuchRate = [](const char* rate) {
        return refused(kInvalidValue, std::string("The mount has no such tracking rate: ") + rate);
    };
    struct Rate {
        const char* form;
        const char* value;
        Expect set[3];
        Expect trackingOn[3];
    };
    const Rate rates[] = {
        {"TrackingRate=1", "1", {sends({":STR2#"}), ok(), sends({":RT1#"})},
         {sends({":RG#"}), sends({":RT0#"}), sends({":ST1#"})}},
        {"TrackingRate=2", "2", {sends({":STR1#"}), ok(), sends({":RT2#"})},
         {sends({":RG#"}), sends({":RT1#"}), sends({":ST1#"})}},
        {"TrackingRate=0", "0", {sends({":STR0#"}), ok(), sends({":RT0#"})},
         {sends({":RG#"}), sends({":RT2#"}), sends({":ST1#"})}},
        {"TrackingRate=3", "3", {noSuchRate("3"), noSuchRate("3"), sends({":RT3#"})}, {ok(), ok(), sends({":ST1#"})}},
        {"TrackingRate=4", "4", {noSuchRate("4"), noSuchRate("4"), noSuchRate("4")}, {ok(), ok(), ok()}},
    };
    std::vector<MemberCase> cases;
    const char* lastSet = "0";
    for (const Rate& rate : rates) {
        cases.push_back(each("PUT", "trackingrate", rate.form, ValueType::None, rate.set[0], rate.set[1], rate.set[2]));
        const bool listed = rate.set[GetParam() - 1].error == 0;
        // Read back: the rate as set, or the one before it when refused.
        if (listed)
            lastSet = rate.value;
        cases.push_back(each("GET", "trackingrate", "", ValueType::Integer, sends({":GTR#"}, lastSet), ok(lastSet),
                             sends({":QT#"}, lastSet)));
        if (listed)
            cases.push_back(each("PUT", "tracking", "Tracking=true", ValueType::None, rate.trackingOn[0],
                                 rate.trackingOn[1], rate.trackingOn[2]));
    }
    runCases(cases, true);
}

// ---- What returns at once and finishes in the background ---------------------

struct PulseCase {
    int model;
    // What the mount has received when the answer comes, and in the end:
    // tracking started first, then the pulse.
    Commands atAnswer;
    Commands sent;
};

void PrintTo(const PulseCase& pulse, std::ostream* out)
{
    *out << "model " << pulse.model;
}

class PulseGuiding : public ServedMount, public ::testing::WithParamInterface<PulseCase> {};

TEST_P(PulseGuiding, ReturnsAtOnceAndIsPulseGuidingCoversThePulse)
{
    const PulseCase& pulse = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(pulse.model));
    ASSERT_NO_FATAL_FAILURE(connect());
    const std::size_t before = simulator->commands().size();
    Answer answer = request("PUT", "pulseguide", "Direction=0&Duration=2000&ClientTransactionID=5");
    const auto began = Clock::now() - answer.took;
    expectAnswer(answer, ValueType::None, ok(), 5);
    EXPECT_LT(milliseconds(answer.took), 300) << "PulseGuide waited for the pulse";
    // The first piece of model 2 follows 800 ms into the pulse.
    waitFor([&] { return simulator->commandsSince(before).size() >= pulse.atAnswer.size(); }, 500ms);
    EXPECT_EQ(simulator->commandsSince(before), pulse.atAnswer);
    EXPECT_EQ(valueOf("ispulseguiding"), Json(true));

    ASSERT_TRUE(waitFor([&] { return valueOf("ispulseguiding") == Json(false); }, 6s));
    const long long pulseMs = milliseconds(Clock::now() - began);
    EXPECT_GE(pulseMs, 1900) << "IsPulseGuiding ended before the pulse did";
    EXPECT_LE(pulseMs, 3500) << "IsPulseGuiding outlasted the pulse";
    EXPECT_EQ(simulator->commandsSince(before), pulse.sent);
}

// Model 2 takes at most 999 ms a command: each piece goes out as the mount
// nearly finishes the one before (the core's timing); model 3 takes it whole.
const PulseCase kPulses[] = {
    {2, {":RT2#"}, {":RT2#", ":Mn999#", ":Mn999#", ":Mn002#"}},
    {3, {":ST1#", ":Mn02000#"}, {":ST1#", ":Mn02000#"}},
};

INSTANTIATE_TEST_SUITE_P(Models, PulseGuiding, ::testing::ValuesIn(kPulses),
                         [](const ::testing::TestParamInfo<PulseCase>& info) {
                             return "Model" + std::to_string(info.param.model);
                         });

TEST_F(ServedMount, Model3FindHomeAndParkReturnAtOnceAndTheMountIsFollowedUntilThere)
{
    // Slow enough that the search is seen under way.
    ASSERT_NO_FATAL_FAILURE(start(3, {"--slew-rate", "35"}));
    ASSERT_NO_FATAL_FAILURE(connect());
    const std::size_t before = simulator->commands().size();
    Answer answer = request("PUT", "findhome", "ClientTransactionID=11");
    const auto began = Clock::now() - answer.took;
    expectAnswer(answer, ValueType::None, ok(), 11);
    EXPECT_LT(milliseconds(answer.took), 300) << "FindHome waited for the search";
    EXPECT_EQ(valueOf("slewing"), Json(true));
    ASSERT_TRUE(waitFor([&] { return valueOf("slewing") == Json(false); }, 15s));
    EXPECT_GE(milliseconds(Clock::now() - began), 1000) << "Slewing ended long before the mount got home";

    // Slewing asked whether the mount is home, and nothing else, until it was.
    Commands sent = simulator->commandsSince(before);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent.front(), ":MH#");
    EXPECT_EQ(Commands(sent.begin() + 1, sent.end()), Commands(sent.size() - 1, ":AH#"));
    EXPECT_EQ(valueOf("athome"), Json(true));
    // The search over, Slewing asks nothing more.
    const std::size_t after = simulator->commands().size();
    EXPECT_EQ(valueOf("slewing"), Json(false));
    EXPECT_EQ(receivedSince(after), Commands{});

    // Home is where the mount parks: down the meridian first, then park,
    // whose two steps go out at once while the slew to the pole takes its time.
    const double meridian = valueOf("siderealtime").get<double>();
    answer = request("PUT", "slewtocoordinatesasync", "RightAscension=" + std::to_string(meridian) + "&Declination=60");
    ASSERT_EQ(answer.json.value("ErrorNumber", -1), 0) << answer.body;
    ASSERT_TRUE(waitFor([&] { return valueOf("slewing") == Json(false); }, 15s));
    const std::size_t parking = simulator->commands().size();
    answer = request("PUT", "park", "ClientTransactionID=12");
    expectAnswer(answer, ValueType::None, ok(), 12);
    EXPECT_LT(milliseconds(answer.took), 500) << "Park waited for the mount to arrive";
    // Asked first whether it is parked already; then home and park.
    EXPECT_EQ(receivedSince(parking), (Commands{":AP#", ":MH#", ":MP1#"}));
    EXPECT_EQ(valueOf("atpark"), Json(false)) << "parked before the mount got there";
    EXPECT_TRUE(waitFor([&] { return valueOf("atpark") == Json(true); }, 15s));
}

INSTANTIATE_TEST_SUITE_P(Models, EachModel, ::testing::Values(1, 2, 3), modelName);

} // namespace
