// A libFuzzer target over everything velmaro-alpaca answers: each input is
// a session of requests handed to AlpacaRouter::answer (paths, query
// parameters, form bodies, every member and the management API, the setup
// pages) against a real TelescopeDevice, whose serial port talks to a mount
// that answers from the same input. No sockets, no real time: the clock
// only moves when the core pauses or a read waits out its time-out.
//
// The input is text, one line each (fuzz/README.md has examples):
//   @FLAGS         the mount: 1, 2 or 3 answer the handshake and the model
//                  query as that model; 0 leaves even the handshake to the
//                  input; without a digit only the handshake is scripted.
//                  n: no device chosen; b: the device is busy (every open
//                  refused); r: the server takes setup changes from anywhere.
//   =PREFIX REPLY  every command that starts with PREFIX gets REPLY.
//   <REPLY         the next command without a standing answer gets REPLY.
//   !              the next such command finds the device gone away;
//   !N             so does the N-th command written, whatever it is.
//   [~]METHOD PATH[?QUERY] [BODY]
//                  a request; with '~' from another computer. PATH and
//                  QUERY are percent-decoded here, as the HTTP server does;
//                  BODY goes to the router as it is, but "$token" becomes
//                  the setup form's token.
// REPLY, PREFIX and "!" lines take %XX escapes. Anything else is a request,
// so raw bytes reach the router too.
#include "AlpacaRouter.h"
#include "Clock.h"
#include "MountModels.h"
#include "RequestValues.h"
#include "SerialPort.h"
#include "ServerConfig.h"
#include "ServerSettings.h"
#include "TelescopeDevice.h"
#include "Trace.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// A session longer than this says nothing a shorter one does not, and a
// slow input wastes the run.
constexpr std::size_t kMostRequests = 48;
// A pulse on a model that sends it in pieces waits real time between them
// (the device's own thread); up to this long the only piece goes at once.
constexpr std::int32_t kLongestWaitFreePulseMs = 200;
// The bounds of the synchronous slews and the home search, short so that a
// mount that never arrives costs few polls.
constexpr const char* kFuzzWaitLimitMs = "3000";
// Far more than any answer should hold: the page is the largest.
constexpr std::size_t kLargestAnswer = 256 * 1024;

constexpr const char* kDevicePath = "/dev/ttyFUZZ0";
constexpr const char* kUniqueId = "0b6e2f0c-2d5e-4c1a-9f7e-5a3c8d1e7b42";
constexpr std::string_view kSetupPath = "/setup/v1/telescope/0/setup";
constexpr std::string_view kPulsePath = "/api/v1/telescope/0/pulseguide";
constexpr std::string_view kConnectPath = "/api/v1/telescope/0/connect";

std::string configPath;
// Where a trace the setup page switched on goes: emptied after each input.
std::string traceFolder;
// VELMARO_FUZZ_SHOW=1: each request and its answer to stderr, to see what
// an input does (run the fuzzer on that one file).
bool showAnswers = false;

// ---------------------------------------------------------------- time

// Steady and wall time that move together, by the pauses of the core and
// the time-outs of reads; several threads of the device read it.
class FuzzClock final : public Clock {
public:
    std::uint64_t steadyMs() override { return steady.load(); }
    std::int64_t wallMs() override { return wall.load(); }
    void sleepMs(std::uint32_t milliseconds) override { advance(milliseconds); }
    void advance(std::uint64_t milliseconds)
    {
        steady += milliseconds;
        wall += static_cast<std::int64_t>(milliseconds);
    }

private:
    // 2026-01-01 00:00:00.700 UTC, as the native tests start.
    std::atomic<std::uint64_t> steady{5000000};
    std::atomic<std::int64_t> wall{1767225600700LL};
};

// ---------------------------------------------------------------- the mount

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %XX becomes its byte (and '+' a space when plusIsSpace); a broken escape
// stays as it is, so every text is some value.
std::string percentDecoded(std::string_view text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexDigit(text[i + 1]);
            int low = hexDigit(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
    }
    return out;
}

// What the model query of each model gets from a real mount of it.
const char* mountInfoAnswer(int model)
{
    switch (model) {
    case 2:
        return ":KV72#";
    case 3:
        return "6150";
    default:
        return "LT1000";
    }
}

// The mount at the other end of every port the device makes: it answers
// each command written, from the input.
class FuzzMount {
public:
    // -1: only the handshake scripted; 0: nothing; 1 to 3: that model.
    int model = -1;
    bool busy = false;

    void answerAlways(std::string prefix, std::string reply)
    {
        standing.emplace_back(std::move(prefix), std::move(reply));
    }
    void answerNext(std::string reply) { queued.push_back({false, std::move(reply)}); }
    void vanishNext() { queued.push_back({true, std::string()}); }
    void vanishAt(std::uint64_t commandNumber) { vanishings.push_back(commandNumber); }

    // The reply to command; vanished is set when the device goes away instead.
    std::string replyTo(const std::string& command, bool& vanished)
    {
        ++written;
        vanished = std::find(vanishings.begin(), vanishings.end(), written) != vanishings.end();
        if (vanished)
            return std::string();
        for (const auto& [prefix, reply] : standing)
            if (command.compare(0, prefix.size(), prefix) == 0)
                return reply;
        if (model != 0 && command == ":V#")
            return "V1.00#";
        if (model > 0 && command == ":MountInfo#")
            return mountInfoAnswer(model);
        if (queued.empty())
            return std::string();
        Queued next = std::move(queued.front());
        queued.pop_front();
        vanished = next.vanishes;
        return next.reply;
    }

    // Every port's state and the mount's go under this one lock: the
    // device's threads take turns, but the probe and a pulse piece may not.
    std::mutex mutex;

private:
    struct Queued {
        bool vanishes;
        std::string reply;
    };
    std::vector<std::pair<std::string, std::string>> standing;
    std::deque<Queued> queued;
    // Command numbers (from 1, every port's) at which the device goes away.
    std::vector<std::uint64_t> vanishings;
    std::uint64_t written = 0;
};

// A port to the fuzz mount: what a real port does, on the fuzz clock.
class FuzzPort final : public SerialPort {
public:
    FuzzPort(FuzzMount& mount, FuzzClock& clock) : mount(mount), clock(clock) {}

    bool open(const char* devicePath, std::uint32_t) override
    {
        std::lock_guard<std::mutex> lock(mount.mutex);
        // The system's port refuses an empty path too.
        if (mount.busy || devicePath == nullptr || devicePath[0] == 0)
            return false;
        opened = true;
        gone = false;
        return true;
    }
    void close() override
    {
        std::lock_guard<std::mutex> lock(mount.mutex);
        opened = false;
        input.clear();
    }
    bool purge() override
    {
        std::lock_guard<std::mutex> lock(mount.mutex);
        input.clear();
        return opened && !gone;
    }
    bool write(const void* bytes, std::uint32_t count) override
    {
        std::lock_guard<std::mutex> lock(mount.mutex);
        if (!opened || gone)
            return false;
        bool vanished = false;
        std::string reply = mount.replyTo(std::string(static_cast<const char*>(bytes), count), vanished);
        if (vanished) {
            gone = true;
            return false;
        }
        input += reply;
        return true;
    }
    std::uint32_t read(void* buffer, std::uint32_t count) override
    {
        std::uint32_t got = 0;
        {
            std::lock_guard<std::mutex> lock(mount.mutex);
            if (opened && !gone) {
                got = static_cast<std::uint32_t>(std::min<std::size_t>(count, input.size()));
                std::memcpy(buffer, input.data(), got);
                input.erase(0, got);
            }
        }
        // Fewer bytes than asked for: the port waited out its time-out.
        if (got < count)
            clock.advance(kReadTotalConstantMs + kReadTotalPerByteMs * std::uint64_t(count));
        return got;
    }
    bool isOpen() const override
    {
        std::lock_guard<std::mutex> lock(mount.mutex);
        return opened;
    }
    bool hasHungUp() const override
    {
        std::lock_guard<std::mutex> lock(mount.mutex);
        return opened && gone;
    }

private:
    FuzzMount& mount;
    FuzzClock& clock;
    bool opened = false;
    bool gone = false;
    // Bytes the mount sent that were not read yet.
    std::string input;
};

// ---------------------------------------------------------------- the input

struct Request {
    std::string method;
    std::string path;
    ParameterList query;
    std::string body;
    bool fromLoopback = true;
};

struct Session {
    bool noDevice = false;
    bool allowRemoteSetup = false;
    std::vector<Request> requests;
};

void takeFlags(std::string_view flags, FuzzMount& mount, Session& session)
{
    for (char flag : flags) {
        if (flag >= '0' && flag <= '3')
            mount.model = flag - '0';
        else if (flag == 'n')
            session.noDevice = true;
        else if (flag == 'b')
            mount.busy = true;
        else if (flag == 'r')
            session.allowRemoteSetup = true;
    }
}

ParameterList queryPairs(std::string_view query)
{
    ParameterList pairs;
    while (!query.empty()) {
        std::size_t end = query.find('&');
        std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        if (pair.empty())
            continue;
        std::size_t equals = pair.find('=');
        std::string_view value = equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        pairs.emplace_back(percentDecoded(pair.substr(0, equals), true), percentDecoded(value, true));
    }
    return pairs;
}

Request requestOf(std::string_view line)
{
    Request request;
    if (!line.empty() && line.front() == '~') {
        request.fromLoopback = false;
        line.remove_prefix(1);
    }
    std::size_t space = line.find(' ');
    request.method = std::string(line.substr(0, space));
    line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    space = line.find(' ');
    std::string_view target = line.substr(0, space);
    request.body = space == std::string_view::npos ? std::string() : std::string(line.substr(space + 1));
    std::size_t question = target.find('?');
    request.path = percentDecoded(target.substr(0, question), false);
    if (question != std::string_view::npos)
        request.query = queryPairs(target.substr(question + 1));
    return request;
}

Session sessionOf(std::string_view input, FuzzMount& mount)
{
    Session session;
    while (!input.empty()) {
        std::size_t end = input.find('\n');
        std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        switch (line.front()) {
        case '@':
            takeFlags(line.substr(1), mount, session);
            break;
        case '=': {
            std::string_view rest = line.substr(1);
            std::size_t space = rest.find(' ');
            std::string_view reply = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
            mount.answerAlways(percentDecoded(rest.substr(0, space), false), percentDecoded(reply, false));
            break;
        }
        case '<':
            mount.answerNext(percentDecoded(line.substr(1), false));
            break;
        case '!': {
            const std::string number = percentDecoded(line.substr(1), false);
            std::uint64_t at = 0;
            const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), at);
            if (number.empty() || error != std::errc() || end != number.data() + number.size() || at == 0)
                mount.vanishNext();
            else
                mount.vanishAt(at);
            break;
        }
        default:
            if (session.requests.size() < kMostRequests)
                session.requests.push_back(requestOf(line));
        }
    }
    return session;
}

// ---------------------------------------------------------------- checks

[[noreturn]] void fault(const Request& request, const HttpAnswer& answer, const char* what)
{
    std::fprintf(stderr, "\n==== fuzz check failed: %s\nrequest: %s %s (%zu query pairs) body \"%s\"%s\n"
                         "answer: %d %s\n%.2000s\n",
                 what, request.method.c_str(), request.path.c_str(), request.query.size(), request.body.c_str(),
                 request.fromLoopback ? "" : " from another computer", answer.status, answer.contentType.c_str(),
                 answer.body.c_str());
    std::abort();
}

bool isKnownError(int number)
{
    switch (number) {
    case kAlpacaOk:
    case kAlpacaNotImplemented:
    case kAlpacaInvalidValue:
    case kAlpacaValueNotSet:
    case kAlpacaNotConnected:
    case kAlpacaInvalidWhileParked:
    case kAlpacaInvalidOperation:
    case kAlpacaActionNotImplemented:
    case kAlpacaMountFailure:
    case kAlpacaNotConfirmed:
        return true;
    default:
        return false;
    }
}

// A null anywhere in a value the server calls good: a reading that was not
// a finite number reached the client (JSON has no NaN, the dump writes null).
bool holdsNull(const nlohmann::json& value)
{
    if (value.is_null())
        return true;
    if (value.is_structured())
        for (const auto& item : value)
            if (holdsNull(item))
                return true;
    return false;
}

// What every answer to a client must be, whatever it asked; the server's
// own transaction numbers rise with every JSON answer.
void checkAnswer(const Request& request, const HttpAnswer& answer, std::uint64_t& lastServerTransaction)
{
    if (answer.body.size() > kLargestAnswer)
        fault(request, answer, "answer beyond any bound");
    const std::string& type = answer.contentType;
    if (type == "application/json") {
        if (answer.status != 200)
            fault(request, answer, "JSON answer without HTTP 200");
        const nlohmann::json body = nlohmann::json::parse(answer.body, nullptr, false);
        if (body.is_discarded() || !body.is_object())
            fault(request, answer, "JSON answer that does not parse (or is no object)");
        const auto number = body.find("ErrorNumber");
        const auto message = body.find("ErrorMessage");
        const auto server = body.find("ServerTransactionID");
        const auto client = body.find("ClientTransactionID");
        if (number == body.end() || !number->is_number_integer() || message == body.end() || !message->is_string()
            || server == body.end() || !server->is_number_unsigned() || client == body.end()
            || !client->is_number_unsigned())
            fault(request, answer, "JSON answer without its four keys");
        const int error = number->get<int>();
        if (!isKnownError(error))
            fault(request, answer, "unknown ErrorNumber");
        if ((error == 0) != message->get<std::string>().empty())
            fault(request, answer, "ErrorMessage does not match ErrorNumber");
        if (error == kAlpacaNotConnected && message->get<std::string>() != kNotConnected)
            fault(request, answer, "not-connected answer with another message");
        if (server->get<std::uint64_t>() <= lastServerTransaction)
            fault(request, answer, "ServerTransactionID did not rise");
        lastServerTransaction = server->get<std::uint64_t>();
        if (request.method == "GET" && request.path.rfind("/api/v1/", 0) == 0) {
            const auto value = body.find("Value");
            if (value == body.end())
                fault(request, answer, "GET answer without a Value");
            if (error == 0 && holdsNull(*value))
                fault(request, answer, "good GET answer with a null (non-finite) value");
        }
    } else if (type.rfind("text/plain", 0) == 0) {
        if (answer.status != 400 && answer.status != 404)
            fault(request, answer, "plain-text answer that is not 400 or 404");
        if (answer.body.empty())
            fault(request, answer, "refusal without a reason");
    } else if (type.rfind("text/html", 0) == 0) {
        if (answer.status != 200 && answer.status != 400 && answer.status != 403)
            fault(request, answer, "page with an unexpected status");
        if (answer.body.rfind("<!DOCTYPE html>", 0) != 0)
            fault(request, answer, "page that is not a whole document");
        // The page has no scripts: one in it came from a reply or a path.
        std::string lower = answer.body;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
        if (lower.find("<script") != std::string::npos)
            fault(request, answer, "markup from the mount or the client got into the page unescaped");
    } else {
        fault(request, answer, "unknown content type");
    }
}

// ---------------------------------------------------------------- running

bool isPut(const Request& request, std::string_view path)
{
    return request.method == "PUT" && request.path == path;
}

// Whether the connected model sends a pulse in timed pieces (the others
// send it at once, or not at all).
bool pulsesInPieces(TelescopeDevice& device)
{
    const std::string name = device.modelName();
    for (int model = 0; model < kModelCount; ++model)
        if (name == modelRow(model).name)
            return modelRow(model).pulseGuiding == PulseGuiding::Pieces;
    return true;
}

// A pulse whose first piece waits real time on a model that sends pieces.
bool startsLongPulse(const Request& request, TelescopeDevice& device)
{
    if (!isPut(request, kPulsePath))
        return false;
    ParameterList form;
    if (!decodeForm(request.body, form))
        return false;
    const RequestParameters parameters(RequestMethod::Put, std::move(form));
    const std::string* duration = parameters.find("Duration");
    std::int32_t ms = 0;
    return duration && readInteger(*duration, ms) && ms > kLongestWaitFreePulseMs && pulsesInPieces(device);
}

// The form's token, as the setup page hands it to a browser.
std::string formToken(AlpacaRouter& router)
{
    IncomingRequest show;
    show.method = "GET";
    show.path = kSetupPath;
    show.fromLoopback = true;
    const std::string page = router.answer(show).body;
    const std::string marker = "name=\"token\" value=\"";
    std::size_t at = page.find(marker);
    if (at == std::string::npos)
        return std::string();
    at += marker.size();
    return page.substr(at, page.find('"', at) - at);
}

void replaceAll(std::string& text, std::string_view from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

void runSession(std::string_view input)
{
    FuzzClock clock;
    FuzzMount mount;
    Session session = sessionOf(input, mount);

    ServerConfig config;
    config.mounts.front().uniqueId = kUniqueId;
    ServerSettings settings(configPath, config, session.noDevice ? "" : kDevicePath, false);
    TelescopeDevice device(
        settings, [](const std::string&) {}, clock,
        [&mount, &clock] { return std::unique_ptr<SerialPort>(new FuzzPort(mount, clock)); });
    // The server's own reads run on a timer of their own: off, so that one
    // input is always one run.
    device.setFreshnessGoalMs(0);
    AlpacaRouter router(device, settings, ServerIdentity{kUniqueId, "fuzz"}, session.allowRemoteSetup);

    std::uint64_t lastServerTransaction = 0;
    bool pulseMayWait = false;
    std::string token;
    for (Request& request : session.requests) {
        // After a pulse that waits between its pieces, a pulse or connect
        // would wait for it to end, in real time: left out.
        if (pulseMayWait && (isPut(request, kPulsePath) || isPut(request, kConnectPath)))
            continue;
        pulseMayWait = pulseMayWait || startsLongPulse(request, device);
        if (request.body.find("$token") != std::string::npos) {
            if (token.empty())
                token = formToken(router);
            replaceAll(request.body, "$token", token);
        }
        IncomingRequest incoming;
        incoming.method = request.method;
        incoming.path = request.path;
        // As the HTTP server hands them in: a GET's query, any other's body.
        if (request.method == "GET")
            incoming.query = request.query;
        else
            incoming.body = request.body;
        incoming.fromLoopback = request.fromLoopback;
        const HttpAnswer answer = router.answer(incoming);
        if (showAnswers)
            std::fprintf(stderr, "%s %s -> %d %.300s\n", request.method.c_str(), request.path.c_str(), answer.status,
                         answer.contentType == "application/json" ? answer.body.c_str() : answer.contentType.c_str());
        checkAnswer(request, answer, lastServerTransaction);
    }
}

// The trace is the process's: one an input opened would go on through
// every later input (nothing in the server closes it), so it ends here.
void endTrace()
{
    if (!traceIsOn())
        return;
    closeTrace();
    std::error_code ignored;
    std::filesystem::remove_all(traceFolder, ignored);
}

void removeConfigFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(configPath).parent_path(), ignored);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("VELMARO_WAIT_LIMIT_MS", kFuzzWaitLimitMs, 0);
    const char* show = std::getenv("VELMARO_FUZZ_SHOW");
    showAnswers = show && std::strcmp(show, "1") == 0;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/velmaro-fuzz-XXXXXX";
    if (!mkdtemp(folder.data())) {
        std::perror("alpaca_request_fuzzer: mkdtemp");
        std::exit(1);
    }
    configPath = folder + "/alpaca.conf";
    // A trace the setup page switches on is fuzzed too, in this folder only.
    traceFolder = folder + "/traces";
    setenv("VELMARO_TRACE_DIR", traceFolder.c_str(), 1);
    std::atexit(removeConfigFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    runSession(std::string_view(reinterpret_cast<const char*>(data), size));
    endTrace();
    return 0;
}
