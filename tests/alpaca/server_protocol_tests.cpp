// The rules of the Alpaca protocol as the server keeps them, over real
// HTTP and UDP: parameter names and their case, transaction numbers, the
// 400s with their plain-text reason for what cannot be made sense of, the
// 0x401 for what is out of range, body size and methods, the management
// API and discovery. Most need no mount: one server serves the suite.
#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kInvalidValue = 0x401;
constexpr int kNotConnected = 0x407;
constexpr int kActionNotImplemented = 0x40C;
const char* const kUnknownError = "Unknown Error";
const char* const kNoSuchAxis = "There is no such axis";

struct Answer {
    int status = 0;  // 0: no answer at all
    std::string contentType;
    std::string body;
    Json json;  // discarded unless the body is JSON
};

Answer answerOf(const httplib::Result& result)
{
    Answer answer;
    if (!result)
        return answer;
    answer.status = result->status;
    answer.contentType = result->get_header_value("Content-Type");
    answer.body = result->body;
    answer.json = Json::parse(answer.body, nullptr, false);
    return answer;
}

Answer send(const ServerProcess& server, const std::string& method, const std::string& path,
            const std::string& body = "")
{
    auto client = server.client();
    const char* form = "application/x-www-form-urlencoded";
    if (method == "GET")
        return answerOf(client->Get(path));
    if (method == "PUT")
        return answerOf(client->Put(path, body, form));
    if (method == "POST")
        return answerOf(client->Post(path, body, form));
    if (method == "DELETE")
        return answerOf(client->Delete(path));
    ADD_FAILURE() << "no such method in this test: " << method;
    return Answer();
}

// A 400 whose body says why, as plain text.
void expectRefusedWithAReason(const Answer& answer, const std::string& mentions = "")
{
    EXPECT_EQ(answer.status, 400) << answer.body;
    EXPECT_EQ(answer.contentType.rfind("text/plain", 0), 0u) << "Content-Type: " << answer.contentType;
    EXPECT_FALSE(answer.body.empty()) << "a 400 without its reason";
    if (!mentions.empty()) {
        EXPECT_NE(answer.body.find(mentions), std::string::npos) << answer.body;
    }
}

// A JSON answer under HTTP 200.
void expectAlpacaAnswer(const Answer& answer, int errorNumber, const std::string& message = "")
{
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.contentType, "application/json");
    ASSERT_TRUE(answer.json.is_object()) << answer.body;
    EXPECT_EQ(answer.json.value("ErrorNumber", Json()), Json(errorNumber)) << answer.body;
    EXPECT_EQ(answer.json.value("ErrorMessage", Json()), Json(message)) << answer.body;
}

Json clientTransactionOf(const Answer& answer)
{
    return answer.json.is_object() ? answer.json.value("ClientTransactionID", Json()) : Json();
}

std::string telescopeQuery(const std::string& member, const std::string& query)
{
    return telescope(member) + (query.empty() ? "" : "?" + query);
}

// A UDP port on loopback that nothing is bound to just now.
int freeUdpPort()
{
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (probe >= 0)
        ::close(probe);
    return port;
}

// Sends raw bytes over a new TCP connection and reads the answer's head
// and its Content-Length of body, or what came before `limit` passed.
struct RawAnswer {
    std::string text;
    Clock::duration took{};
};

RawAnswer rawExchange(int port, const std::string& request, std::chrono::milliseconds limit)
{
    RawAnswer answer;
    const auto began = Clock::now();
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    if (socket < 0 || ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::send(socket, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        if (socket >= 0)
            ::close(socket);
        return answer;
    }
    const auto deadline = began + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd wait{socket, POLLIN, 0};
        if (left <= 0 || ::poll(&wait, 1, int(left)) <= 0)
            break;
        char buffer[4096];
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        answer.text.append(buffer, std::size_t(got));
        const std::size_t headEnd = answer.text.find("\r\n\r\n");
        if (headEnd == std::string::npos)
            continue;
        std::smatch length;
        const std::string head = answer.text.substr(0, headEnd);
        static const std::regex contentLength("Content-Length: *([0-9]+)", std::regex::icase);
        if (!std::regex_search(head, length, contentLength)
            || answer.text.size() >= headEnd + 4 + std::stoul(length[1]))
            break;
    }
    answer.took = Clock::now() - began;
    ::close(socket);
    return answer;
}

// One server without a mount for the whole suite.
class Protocol : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        scratch = new ScratchFolder;
        server = new ServerProcess(*scratch, {});
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete scratch;
        server = nullptr;
        scratch = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server->ready()) << server->log(); }

    static Answer get(const std::string& path) { return send(*server, "GET", path); }
    static Answer put(const std::string& path, const std::string& form) { return send(*server, "PUT", path, form); }

    static ScratchFolder* scratch;
    static ServerProcess* server;
};

ScratchFolder* Protocol::scratch = nullptr;
ServerProcess* Protocol::server = nullptr;

// ---- Parameter names -------------------------------------------------------

TEST_F(Protocol, GetParameterNamesMatchInAnyCase)
{
    const char* const spellings[] = {"ClientTransactionID", "clienttransactionid", "CLIENTTRANSACTIONID",
                                     "cLiEnTtRaNsAcTiOnId"};
    std::uint32_t transaction = 40;
    for (const char* name : spellings) {
        SCOPED_TRACE(name);
        Answer answer = get(telescopeQuery("name", std::string(name) + "=" + std::to_string(++transaction)));
        expectAlpacaAnswer(answer, 0);
        EXPECT_EQ(clientTransactionOf(answer), Json(transaction));
    }
    // A member's own parameter too: the axis is read whatever its case.
    struct AxisCase {
        const char* query;
        int error;
        const char* message;
    };
    const AxisCase axes[] = {{"axis=3", kInvalidValue, kNoSuchAxis},
                             {"AXIS=3", kInvalidValue, kNoSuchAxis},
                             {"aXiS=0", 0, ""},
                             {"Axis=0", 0, ""}};
    for (const AxisCase& axis : axes) {
        SCOPED_TRACE(axis.query);
        expectAlpacaAnswer(get(telescopeQuery("axisrates", axis.query)), axis.error, axis.message);
        expectAlpacaAnswer(get(telescopeQuery("canmoveaxis", axis.query)), axis.error, axis.message);
    }
}

TEST_F(Protocol, PutParameterNamesMatchOnlyInTheirOwnCase)
{
    struct Case {
        const char* member;
        const char* form;
        const char* named;  // the parameter the reason names
    };
    const Case cases[] = {
        {"connected", "connected=true", "Connected"},
        {"connected", "CONNECTED=true", "Connected"},
        {"targetrightascension", "targetrightascension=5", "TargetRightAscension"},
        {"targetrightascension", "TargetRightascension=5", "TargetRightAscension"},
        {"pulseguide", "Direction=0&duration=100", "Duration"},
        {"slewtocoordinatesasync", "rightascension=5&Declination=10", "RightAscension"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.member) + " " + c.form);
        expectRefusedWithAReason(put(telescope(c.member), c.form), c.named);
    }
    // The client's own numbers in another case are not the client's numbers.
    Answer answer = put(telescope("targetrightascension"), "TargetRightAscension=5&clienttransactionid=9");
    expectAlpacaAnswer(answer, 0);
    EXPECT_EQ(clientTransactionOf(answer), Json(0));
}

// ---- Transaction numbers -----------------------------------------------------

TEST_F(Protocol, ClientTransactionIdIsEchoedAndZeroWhenAbsentOrUnreadable)
{
    struct Case {
        const char* parameter;  // nullptr: none
        std::uint32_t echoed;
    };
    const Case cases[] = {
        {nullptr, 0},     {"0", 0},          {"1", 1},       {"42", 42},         {"4294967295", 4294967295u},
        {"4294967296", 0}, {"-1", 0},        {"abc", 0},     {"1.5", 0},         {"", 0},
        {"12abc", 0},     {"0x10", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parameter ? c.parameter : "(absent)");
        const std::string mine = c.parameter ? std::string("ClientTransactionID=") + c.parameter : "";
        Answer read = get(telescopeQuery("interfaceversion", mine));
        expectAlpacaAnswer(read, 0);
        EXPECT_EQ(clientTransactionOf(read), Json(c.echoed));
        Answer written = put(telescope("slewsettletime"), "SlewSettleTime=1" + (mine.empty() ? "" : "&" + mine));
        expectAlpacaAnswer(written, 0);
        EXPECT_EQ(clientTransactionOf(written), Json(c.echoed));
        Answer management = get("/management/apiversions" + (mine.empty() ? "" : "?" + mine));
        expectAlpacaAnswer(management, 0);
        EXPECT_EQ(clientTransactionOf(management), Json(c.echoed));
    }
}

TEST_F(Protocol, ServerTransactionIdRisesByOneAcrossMembersAndManagement)
{
    struct Request {
        const char* method;
        const char* path;
        const char* form;
    };
    const Request requests[] = {
        {"GET", "/api/v1/telescope/0/name", ""},
        {"GET", "/management/apiversions", ""},
        {"PUT", "/api/v1/telescope/0/targetdeclination", "TargetDeclination=10"},
        {"GET", "/management/v1/description", ""},
        {"GET", "/api/v1/telescope/0/rightascension", ""},  // refused: not connected
        {"GET", "/management/v1/configureddevices", ""},
        {"PUT", "/api/v1/telescope/0/action", "Action=foo&Parameters="},
        {"GET", "/api/v1/telescope/0/devicestate", ""},
        {"PUT", "/api/v1/telescope/0/abortslew", ""},
        {"GET", "/api/v1/telescope/0/name?ClientTransactionID=5", ""},
    };
    std::optional<std::uint64_t> last;
    for (const Request& request : requests) {
        SCOPED_TRACE(std::string(request.method) + " " + request.path);
        Answer answer = send(*server, request.method, request.path, request.form);
        ASSERT_EQ(answer.status, 200) << answer.body;
        const Json number = answer.json.value("ServerTransactionID", Json());
        ASSERT_TRUE(number.is_number_unsigned()) << answer.body;
        if (last) {
            EXPECT_EQ(number.get<std::uint64_t>(), *last + 1);
        }
        last = number.get<std::uint64_t>();
    }
}

// ---- What the server cannot make sense of: 400 with the reason ---------------

TEST_F(Protocol, PathsThatNameNoMemberOfTelescope0AreRefusedWithAReason)
{
    struct Case {
        const char* method;
        const char* path;
    };
    const Case cases[] = {
        {"GET", "/api/v1/telescope/0"},
        {"GET", "/api/v1/telescope/0/"},
        {"GET", "/api/v1/camera/0/name"},
        {"GET", "/api/v1/Telescope/0/name"},
        {"GET", "/api/v1/TELESCOPE/0/name"},
        {"GET", "/api/v1/telescope/-1/name"},
        {"GET", "/api/v1/telescope/99999/name"},
        {"GET", "/api/v1/telescope/A/name"},
        {"GET", "/api/v1/telescope/00/name"},
        {"GET", "/api/v1/telescope/1/name"},
        {"GET", "/api/v1/telescope//name"},
        {"GET", "/api/v1/telescope/0/frobnicate"},
        {"GET", "/api/v1/telescope/0/name/more"},
        {"PUT", "/api/v1/telescope/00/park"},
        {"PUT", "/api/v1/telescope/-1/abortslew"},
        {"PUT", "/api/v1/telescope/0/frobnicate"},
        {"GET", "/management/v1/frobnicate"},
        {"GET", "/management/v2/description"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        expectRefusedWithAReason(send(*server, c.method, c.path));
    }
}

TEST_F(Protocol, MissingOrUnreadableValuesAreRefusedWithAReason)
{
    struct Case {
        const char* method;
        const char* member;
        const char* parameters;
        const char* named;
    };
    const Case cases[] = {
        {"PUT", "targetrightascension", "TargetRightAscension=abc", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=1,5", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=nan", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=inf", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=-inf", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=1e400", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=%205", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=5%20", "TargetRightAscension"},
        {"PUT", "targetrightascension", "TargetRightAscension=0x5", "TargetRightAscension"},
        {"PUT", "targetrightascension", "", "TargetRightAscension"},
        {"PUT", "targetdeclination", "TargetDeclination=ten", "TargetDeclination"},
        {"PUT", "slewtocoordinatesasync", "RightAscension=abc&Declination=10", "RightAscension"},
        {"PUT", "slewtocoordinatesasync", "RightAscension=5", "Declination"},
        {"PUT", "pulseguide", "Direction=0&Duration=1.5", "Duration"},
        {"PUT", "pulseguide", "Direction=&Duration=100", "Direction"},
        {"PUT", "pulseguide", "Direction=0", "Duration"},
        {"PUT", "pulseguide", "Direction=0&Duration=99999999999", "Duration"},
        {"PUT", "slewsettletime", "SlewSettleTime=1.5", "SlewSettleTime"},
        {"PUT", "trackingrate", "TrackingRate=sidereal", "TrackingRate"},
        {"PUT", "tracking", "Tracking=1", "Tracking"},
        {"PUT", "tracking", "Tracking=", "Tracking"},
        {"PUT", "doesrefraction", "DoesRefraction=yes", "DoesRefraction"},
        {"PUT", "utcdate", "UTCDate=yesterday", "UTCDate"},
        {"PUT", "utcdate", "UTCDate=2026-13-01T00:00:00Z", "UTCDate"},
        {"PUT", "utcdate", "UTCDate=2026-12-08T22:15:30%2B24:00", "UTCDate"},
        {"PUT", "utcdate", "UTCDate=2026-12-08T22:15:30.1234567890Z", "UTCDate"},
        {"PUT", "utcdate", "UTCDate=2026-12-08 22:15:30Z", "UTCDate"},
        {"PUT", "moveaxis", "Axis=0&Rate=fast", "Rate"},
        {"PUT", "commandblind", "Command=x", "Raw"},
        {"PUT", "commandbool", "Command=x&Raw=maybe", "Raw"},
        // Parameters may be left out; the action's name may not.
        {"PUT", "action", "Parameters=", "Action"},
        {"PUT", "targetrightascension", "TargetRightAscension=%zz", ""},
        {"GET", "axisrates", "Axis=x", "Axis"},
        {"GET", "axisrates", "", "Axis"},
        {"GET", "canmoveaxis", "Axis=1.0", "Axis"},
        {"GET", "destinationsideofpier", "RightAscension=abc&Declination=1", "RightAscension"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.member + " " + c.parameters);
        const Answer answer = c.method == std::string("GET") ? get(telescopeQuery(c.member, c.parameters))
                                                             : put(telescope(c.member), c.parameters);
        expectRefusedWithAReason(answer, c.named);
    }
}

TEST_F(Protocol, ValuesOutOfRangeAreAnsweredWithInvalidValueAndTheBoundsAreTaken)
{
    struct Case {
        const char* method;
        const char* member;
        const char* parameters;
        int error;
        const char* message;
    };
    const Case cases[] = {
        {"PUT", "targetrightascension", "TargetRightAscension=24", kInvalidValue, kUnknownError},
        {"PUT", "targetrightascension", "TargetRightAscension=24.5", kInvalidValue, kUnknownError},
        {"PUT", "targetrightascension", "TargetRightAscension=-0.001", kInvalidValue, kUnknownError},
        {"PUT", "targetrightascension", "TargetRightAscension=0", 0, ""},
        {"PUT", "targetrightascension", "TargetRightAscension=23.999", 0, ""},
        {"PUT", "targetdeclination", "TargetDeclination=91", kInvalidValue, kUnknownError},
        {"PUT", "targetdeclination", "TargetDeclination=-90.001", kInvalidValue, kUnknownError},
        {"PUT", "targetdeclination", "TargetDeclination=90", 0, ""},
        {"PUT", "targetdeclination", "TargetDeclination=-90", 0, ""},
        {"PUT", "siteelevation", "SiteElevation=10000.5", kInvalidValue, kUnknownError},
        {"PUT", "siteelevation", "SiteElevation=-300.5", kInvalidValue, kUnknownError},
        {"PUT", "siteelevation", "SiteElevation=10000", 0, ""},
        {"PUT", "siteelevation", "SiteElevation=-300", 0, ""},
        {"PUT", "slewsettletime", "SlewSettleTime=-1", kInvalidValue, kUnknownError},
        {"PUT", "slewsettletime", "SlewSettleTime=0", 0, ""},
        {"PUT", "moveaxis", "Axis=3&Rate=0", kInvalidValue, kNoSuchAxis},
        {"PUT", "moveaxis", "Axis=-1&Rate=0", kInvalidValue, kNoSuchAxis},
        {"GET", "axisrates", "Axis=3", kInvalidValue, kNoSuchAxis},
        {"GET", "axisrates", "Axis=-1", kInvalidValue, kNoSuchAxis},
        {"GET", "canmoveaxis", "Axis=3", kInvalidValue, kNoSuchAxis},
        {"GET", "canmoveaxis", "Axis=2", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.member + " " + c.parameters);
        const Answer answer = c.method == std::string("GET") ? get(telescopeQuery(c.member, c.parameters))
                                                             : put(telescope(c.member), c.parameters);
        expectAlpacaAnswer(answer, c.error, c.message);
    }
    // A refused value is not kept: the last good target stands.
    expectAlpacaAnswer(put(telescope("targetrightascension"), "TargetRightAscension=7.25"), 0);
    expectAlpacaAnswer(put(telescope("targetrightascension"), "TargetRightAscension=25"), kInvalidValue,
                       kUnknownError);
    Answer kept = get(telescope("targetrightascension"));
    expectAlpacaAnswer(kept, 0);
    EXPECT_EQ(kept.json.value("Value", Json()), Json(7.25));
}

TEST_F(Protocol, ConnectedIsRefusedUnlessTrueOrFalse)
{
    const char* const forms[] = {"Connected=",      "Connected=1",    "Connected=0",    "Connected=yes",
                                 "Connected=truex", "Connected=%20true", "Connected=on", "Connected=-1"};
    for (const char* form : forms) {
        SCOPED_TRACE(form);
        expectRefusedWithAReason(put(telescope("connected"), form), "Connected");
    }
}

TEST(ProtocolWithAMount, ConnectedTakesTrueAndFalseInAnyCase)
{
    ScratchFolder scratch;
    SimulatorProcess simulator(scratch, 2);
    ASSERT_TRUE(simulator.ready());
    ServerProcess server(scratch, {"--serial", simulator.link});
    ASSERT_TRUE(server.ready()) << server.log();
    struct Case {
        const char* value;
        bool connected;
    };
    const Case cases[] = {{"TRUE", true}, {"False", false}, {"tRuE", true}, {"FALSE", false}, {"true", true},
                          {"false", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        expectAlpacaAnswer(send(server, "PUT", telescope("connected"), std::string("Connected=") + c.value), 0);
        Answer now = send(server, "GET", telescope("connected"));
        expectAlpacaAnswer(now, 0);
        EXPECT_EQ(now.json.value("Value", Json()), Json(c.connected));
    }
}

// ---- Size, methods, bodies -----------------------------------------------------

TEST_F(Protocol, ABodyOver64KiBGets413AndOneOfExactly64KiBIsServed)
{
    // A client's action with 10 KiB of parameters, well within the bound.
    expectAlpacaAnswer(put(telescope("action"), "Action=foo&Parameters=" + std::string(10 * 1024, 'p')),
                       kActionNotImplemented, "The action is not supported: foo");
    const std::string head = "Connected=false&Padding=";
    const std::size_t limit = 64 * 1024;
    const std::string whole = head + std::string(limit - head.size(), 'a');
    ASSERT_EQ(whole.size(), limit);
    expectAlpacaAnswer(put(telescope("connected"), whole), 0);
    Answer over = put(telescope("connected"), whole + "a");
    EXPECT_EQ(over.status, 413) << over.body;
    Answer far = put(telescope("connected"), whole + std::string(limit, 'a'));
    EXPECT_EQ(far.status, 413) << far.body;
    // The server goes on serving.
    expectAlpacaAnswer(get(telescope("name")), 0);
}

TEST_F(Protocol, AMethodTheMemberDoesNotTakeIsRefusedWithAReason)
{
    struct Case {
        const char* method;
        const char* path;
    };
    const Case cases[] = {
        {"GET", "/api/v1/telescope/0/abortslew"},
        {"GET", "/api/v1/telescope/0/park"},
        {"GET", "/api/v1/telescope/0/pulseguide"},
        {"GET", "/api/v1/telescope/0/connect"},
        {"GET", "/api/v1/telescope/0/action"},
        {"GET", "/api/v1/telescope/0/commandblind"},
        {"PUT", "/api/v1/telescope/0/name"},
        {"PUT", "/api/v1/telescope/0/connecting"},
        {"PUT", "/api/v1/telescope/0/interfaceversion"},
        {"PUT", "/api/v1/telescope/0/devicestate"},
        {"PUT", "/api/v1/telescope/0/axisrates"},
        {"PUT", "/api/v1/telescope/0/rightascension"},
        {"POST", "/api/v1/telescope/0/name"},
        {"POST", "/api/v1/telescope/0/abortslew"},
        {"DELETE", "/api/v1/telescope/0/connected"},
        {"PUT", "/management/apiversions"},
        {"POST", "/management/v1/description"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        expectRefusedWithAReason(send(*server, c.method, c.path));
    }
}

// HTTP/1.1: a request with neither Content-Length nor a chunked body has an
// empty one. A client that sends a bare PUT for a member without
// parameters must get its answer at once, not after the read time-out.
TEST_F(Protocol, APutWithoutContentLengthIsAnEmptyFormAnsweredAtOnce)
{
    const std::string request = "PUT /api/v1/telescope/0/abortslew HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    RawAnswer answer = rawExchange(server->port(), request, 3000ms);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(answer.took).count(), 1000)
        << "answered only after " << std::chrono::duration_cast<std::chrono::milliseconds>(answer.took).count()
        << " ms";
    EXPECT_EQ(answer.text.rfind("HTTP/1.1 200", 0), 0u) << answer.text;
    const std::size_t body = answer.text.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos) << answer.text;
    const Json json = Json::parse(answer.text.substr(body + 4), nullptr, false);
    EXPECT_EQ(json.value("ErrorNumber", Json()), Json(kNotConnected)) << answer.text;
}

// ---- Management ------------------------------------------------------------------

bool isUuid(const Json& value)
{
    static const std::regex form("^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$");
    return value.is_string() && std::regex_match(value.get<std::string>(), form);
}

std::set<std::string> keysOf(const Json& object)
{
    std::set<std::string> keys;
    if (object.is_object())
        for (const auto& item : object.items())
            keys.insert(item.key());
    return keys;
}

TEST_F(Protocol, ManagementNamesTheApiTheServerAndItsOneTelescope)
{
    Answer versions = get("/management/apiversions?clienttransactionid=3");
    expectAlpacaAnswer(versions, 0);
    EXPECT_EQ(versions.json.value("Value", Json()), Json::array({1}));
    EXPECT_EQ(clientTransactionOf(versions), Json(3));

    Answer description = get("/management/v1/description");
    expectAlpacaAnswer(description, 0);
    const Json server = description.json.value("Value", Json());
    EXPECT_EQ(keysOf(server), (std::set<std::string>{"ServerName", "Manufacturer", "ManufacturerVersion", "Location"}))
        << server.dump();
    for (const char* key : {"ServerName", "Manufacturer", "ManufacturerVersion", "Location"}) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(server.value(key, Json()).is_string() && !server[key].get<std::string>().empty())
            << server.dump();
    }
    EXPECT_EQ(server.value("ManufacturerVersion", Json()), get(telescope("driverversion")).json.value("Value", Json()));

    Answer devices = get("/management/v1/configureddevices");
    expectAlpacaAnswer(devices, 0);
    const Json list = devices.json.value("Value", Json());
    ASSERT_TRUE(list.is_array() && list.size() == 1) << list.dump();
    const Json& device = list[0];
    EXPECT_EQ(keysOf(device), (std::set<std::string>{"DeviceName", "DeviceType", "DeviceNumber", "UniqueID"}))
        << device.dump();
    EXPECT_EQ(device.value("DeviceType", Json()), Json("Telescope"));
    EXPECT_EQ(device.value("DeviceNumber", Json()), Json(0));
    EXPECT_EQ(device.value("DeviceName", Json()), get(telescope("name")).json.value("Value", Json()));
    EXPECT_TRUE(isUuid(device.value("UniqueID", Json()))) << device.dump();
}

Json uniqueIdOf(const ServerProcess& server)
{
    Answer devices = send(server, "GET", "/management/v1/configureddevices");
    const Json list = devices.json.is_object() ? devices.json.value("Value", Json()) : Json();
    return list.is_array() && list.size() == 1 ? list[0].value("UniqueID", Json()) : Json();
}

TEST(ProtocolRestarts, TheUniqueIdStaysWithTheConfig)
{
    ScratchFolder scratch;
    Json first;
    {
        ServerProcess server(scratch, {});
        ASSERT_TRUE(server.ready()) << server.log();
        first = uniqueIdOf(server);
        ASSERT_TRUE(isUuid(first)) << first.dump();
        EXPECT_EQ(server.stop(), 0);
    }
    {
        ServerProcess again(scratch, {});
        ASSERT_TRUE(again.ready()) << again.log();
        EXPECT_EQ(uniqueIdOf(again), first) << "the same config, another UniqueID";
    }
    // Another config is another device.
    ScratchFolder other;
    ServerProcess elsewhere(other, {});
    ASSERT_TRUE(elsewhere.ready()) << elsewhere.log();
    const Json second = uniqueIdOf(elsewhere);
    EXPECT_TRUE(isUuid(second)) << second.dump();
    EXPECT_NE(second, first);
}

// ---- Discovery ------------------------------------------------------------------

TEST(ProtocolDiscovery, AnswersADatagramWithTheHttpPort)
{
    const int udpPort = freeUdpPort();
    ASSERT_GT(udpPort, 0);
    ScratchFolder scratch;
    ServerProcess server(scratch, {"--discovery-port", std::to_string(udpPort)});
    ASSERT_TRUE(server.ready()) << server.log();

    const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(udpPort));
    const std::string request = "alpacadiscovery1";
    ASSERT_EQ(::sendto(socket, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&address),
                       sizeof address),
              ssize_t(request.size()));
    pollfd wait{socket, POLLIN, 0};
    ASSERT_EQ(::poll(&wait, 1, 2000), 1) << "no answer to the discovery request";
    char reply[1024];
    const ssize_t got = ::recv(socket, reply, sizeof reply, 0);
    ::close(socket);
    ASSERT_GT(got, 0);
    const Json answer = Json::parse(std::string(reply, std::size_t(got)), nullptr, false);
    EXPECT_EQ(answer, (Json{{"AlpacaPort", server.port()}})) << std::string(reply, std::size_t(got));
}

} // namespace
