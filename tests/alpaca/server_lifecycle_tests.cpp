// velmaro-alpaca as a user starts and stops it: what a bad command line, a
// busy port or an unusable config file tells them; the config it writes
// once and keeps; serving with no mount; SIGTERM and SIGINT mid-slew, which
// must leave the serial device free and the config as it was; a device that
// goes away and comes back; the trace folder; and the log's one line per
// event.
#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

constexpr int kBadCommandLine = 2;
constexpr int kCannotStart = 1;
constexpr int kNotConnected = 0x407;
constexpr int kLinkDown = 0x502;
constexpr int kMountFailure = 0x500;
// However the mount or its device fails, a request is answered within this.
constexpr long kPromptMs = 5000;
constexpr const char* kNotConnectedText = "The telescope is not connected";
constexpr const char* kModelTwoName = "Corvane A/Corvane B";

// ---------------------------------------------------------------- helpers

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The log's lines that contain part.
int countLines(const std::string& log, const std::string& part)
{
    int count = 0;
    for (const std::string& line : linesOf(log))
        count += contains(line, part) ? 1 : 0;
    return count;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (SteadyClock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool exitedWith(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

std::string statusText(int status)
{
    if (status == -1)
        return "did not end in time";
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

// The program run to its end with stdout and stderr kept apart, and the
// config's default folder inside scratch, so that no run touches the
// user's own.
struct SplitRun {
    int status = -1;
    std::string out, err;
};

// Where a run of runSplit would put its config unasked: the scratch's
// config home, or for the Windows server the prefix's ProgramData\Velmaro
// (which no other test of the lane makes: they all name a config).
std::string defaultConfigFolder(const ScratchFolder& scratch)
{
    if (serverIsWindows())
        return serverWinePrefix() + "/drive_c/ProgramData/Velmaro";
    return scratch.file("config-home");
}

SplitRun runSplit(const ScratchFolder& scratch, std::vector<std::string> args)
{
    std::error_code ignored;
    fs::remove_all(defaultConfigFolder(scratch), ignored);
    std::vector<std::string> words = serverCommand();
    words.insert(words.end(), args.begin(), args.end());
    const std::string outPath = scratch.file("stdout"), errPath = scratch.file("stderr");
    const std::string home = "HOME=" + scratch.path(), xdg = "XDG_CONFIG_HOME=" + scratch.file("config-home");
    pid_t child = fork();
    if (child == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        putenv(const_cast<char*>(home.c_str()));
        putenv(const_cast<char*>(xdg.c_str()));
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    SplitRun run;
    const bool ended = waitUntil([&] { return waitpid(child, &run.status, WNOHANG) == child; }, 10000);
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        run.status = -1;
    }
    run.out = withLinuxLineEnds(readFile(outPath));
    run.err = withLinuxLineEnds(readFile(errPath));
    return run;
}

// One Alpaca answer: its HTTP status, its JSON and how long it took.
struct Answer {
    bool answered = false;
    int http = 0;
    Json body;
    long ms = 0;

    int error() const { return body.value("ErrorNumber", -1); }
    std::string message() const { return body.value("ErrorMessage", std::string()); }
};

std::ostream& operator<<(std::ostream& out, const Answer& answer)
{
    if (!answer.answered)
        return out << "no answer after " << answer.ms << " ms";
    return out << "HTTP " << answer.http << " in " << answer.ms << " ms: " << answer.body.dump();
}

// A request with a read time-out well past kPromptMs, so that a hang
// shows as a slow answer rather than a stuck test.
Answer request(const ServerProcess& server, bool put, const std::string& member, const std::string& form = "")
{
    auto client = server.client();
    client->set_read_timeout(3 * kPromptMs / 1000, 0);
    const auto started = SteadyClock::now();
    httplib::Result result = put ? client->Put(telescope(member), form, "application/x-www-form-urlencoded")
                                 : client->Get(telescope(member));
    Answer answer;
    answer.ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started).count());
    if (!result)
        return answer;
    answer.answered = true;
    answer.http = result->status;
    answer.body = Json::parse(result->body, nullptr, false);
    return answer;
}

Answer get(const ServerProcess& server, const std::string& member)
{
    return request(server, false, member);
}

Answer put(const ServerProcess& server, const std::string& member, const std::string& form = "")
{
    return request(server, true, member, form);
}

// What another program finds when it opens the device after us.
struct DeviceOpen {
    bool opened = false;
    bool locked = false;    // flock(LOCK_EX | LOCK_NB) was granted
    bool exclusive = false; // the tty is still in exclusive mode
};

DeviceOpen openDevice(const std::string& path)
{
    DeviceOpen found;
    const int descriptor = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return found;
    found.opened = true;
    found.locked = ::flock(descriptor, LOCK_EX | LOCK_NB) == 0;
    int exclusive = 0;
    found.exclusive = ::ioctl(descriptor, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(descriptor);
    return found;
}

std::string uniqueIdIn(const std::string& configText)
{
    std::smatch match;
    static const std::regex line(R"((?:^|\n)unique_id = ([^\n]*))");
    return std::regex_search(configText, match, line) ? match[1].str() : std::string();
}

std::string servedUniqueId(const ServerProcess& server)
{
    httplib::Result result = server.get("/management/v1/configureddevices");
    if (!result)
        return "(no answer)";
    Json body = Json::parse(result->body, nullptr, false);
    if (!body.contains("Value") || !body["Value"].is_array() || body["Value"].empty())
        return "(no device listed)";
    return body["Value"][0].value("UniqueID", std::string("(none)"));
}

// A trace's lines without their CR LF ends (those of the DLL's traces on
// Windows, so that one reader serves both).
std::vector<std::string> traceLines(const std::string& trace)
{
    std::vector<std::string> lines = linesOf(trace);
    for (std::string& line : lines)
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    return lines;
}

// The commands a trace shows as sent: the text of each `>> "..."` line.
std::vector<std::string> tracedCommands(const std::string& trace)
{
    std::vector<std::string> commands;
    for (const std::string& line : traceLines(trace)) {
        const std::size_t sent = line.find(" >> \"");
        if (sent == std::string::npos || line.back() != '"')
            continue;
        commands.push_back(line.substr(sent + 5, line.size() - sent - 6));
    }
    return commands;
}

std::vector<fs::path> filesIn(const std::string& folder)
{
    std::vector<fs::path> files;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// ---------------------------------------------------------------- command line

TEST(CommandLine, ABadOptionIsOneLineOnStderrAndExitStatus2)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> saying;
    };
    const Case cases[] = {
        {{"--bogus"}, {"unknown option", "--bogus"}},
        {{"--http-port", "70000"}, {"--http-port", "1 to 65535"}},
        {{"--http-port"}, {"--http-port", "1 to 65535"}},
    };
    for (const Case& c : cases) {
        ScratchFolder scratch;
        const SplitRun run = runSplit(scratch, c.args);
        const std::string shown = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_TRUE(exitedWith(run.status, kBadCommandLine)) << shown << ": " << statusText(run.status);
        const std::vector<std::string> lines = linesOf(run.err);
        ASSERT_EQ(lines.size(), 1u) << shown << ": stderr [" << run.err << "]";
        EXPECT_EQ(lines[0].rfind("velmaro-alpaca: ", 0), 0u) << lines[0];
        for (const std::string& part : c.saying)
            EXPECT_TRUE(contains(lines[0], part)) << shown << ": [" << lines[0] << "] lacks " << part;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_FALSE(fs::exists(defaultConfigFolder(scratch))) << shown << ": a refused start wrote a config";
    }
}

TEST(CommandLine, HelpListsEveryOptionAndExits0)
{
    ScratchFolder scratch;
    const SplitRun run = runSplit(scratch, {"--help"});
    EXPECT_TRUE(exitedWith(run.status, 0)) << statusText(run.status);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("Usage: velmaro-alpaca", 0), 0u) << run.out;
    const char* const options[] = {"--serial",      "--http-port", "--listen",
                                   "--discovery-port", "--config", "--trace-dir",
                                   "--allow-remote-setup", "--help", "--version"};
    for (const char* option : options) {
        const std::regex listed("(^|\n)  " + std::string(option) + "[ =]");
        EXPECT_TRUE(std::regex_search(run.out, listed)) << option << " is not listed in:\n" << run.out;
    }
    EXPECT_FALSE(fs::exists(defaultConfigFolder(scratch))) << "--help wrote a config";
}

TEST(CommandLine, VersionNamesTheProgramAndExits0)
{
    ScratchFolder scratch;
    const SplitRun run = runSplit(scratch, {"--version"});
    EXPECT_TRUE(exitedWith(run.status, 0)) << statusText(run.status);
    EXPECT_EQ(run.out, "velmaro-alpaca 2.1\n");
    EXPECT_EQ(run.err, "");
}

// ---------------------------------------------------------------- refused starts

TEST(Startup, ABusyHttpPortIsOneLineNamingItAndExitStatus1)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    ScratchFolder scratch;
    const RunResult run =
        runServerToEnd({"--http-port", port, "--discovery-port", "0", "--config", scratch.file("alpaca.conf")});
    ::close(listener);
    EXPECT_TRUE(exitedWith(run.status, kCannotStart)) << statusText(run.status) << "\n" << run.output;
    const std::vector<std::string> lines = linesOf(run.output);
    ASSERT_EQ(lines.size(), 1u) << run.output;
    EXPECT_TRUE(contains(lines[0], "127.0.0.1:" + port)) << lines[0];
    EXPECT_TRUE(contains(lines[0], "in use")) << lines[0];
}

TEST(Startup, AConfigThatCannotBeUsedIsOneLineAndExitStatus1)
{
    ScratchFolder scratch;
    const std::string folderAsFile = scratch.file("alpaca.conf.d");
    fs::create_directory(folderAsFile);
    const std::string malformed = scratch.file("malformed.conf");
    const std::string malformedText = "serial = /dev/ttyUSB0\ntrace = maybe\n";
    writeFile(malformed, malformedText);
    struct Case {
        std::string path;
        std::string saying;
    };
    const Case cases[] = {
        {"/nonexistent-folder/x/alpaca.conf", "does not exist"},
        {folderAsFile, "folder"},
        {malformed, "line 2"},
    };
    for (const Case& c : cases) {
        const RunResult run =
            runServerToEnd({"--http-port", std::to_string(freeLoopbackPort()), "--discovery-port", "0", "--config",
                            c.path});
        EXPECT_TRUE(exitedWith(run.status, kCannotStart)) << c.path << ": " << statusText(run.status);
        const std::vector<std::string> lines = linesOf(run.output);
        ASSERT_EQ(lines.size(), 1u) << c.path << ":\n" << run.output;
        EXPECT_TRUE(contains(lines[0], c.path)) << lines[0];
        EXPECT_TRUE(contains(lines[0], c.saying)) << lines[0];
    }
    EXPECT_FALSE(fs::exists("/nonexistent-folder")) << "the server made a folder it was not asked to";
    EXPECT_EQ(readFile(malformed), malformedText) << "a refused config was rewritten";
}

// ---------------------------------------------------------------- config

TEST(Config, TheFirstStartWritesAUniqueIdThatARestartKeeps)
{
    ScratchFolder scratch;
    std::string written;
    {
        ServerProcess server(scratch, {});
        ASSERT_TRUE(server.ready()) << server.log();
        written = readFile(server.configPath());
        const std::string id = uniqueIdIn(written);
        const std::regex randomUuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
        EXPECT_TRUE(std::regex_match(id, randomUuid)) << "config:\n" << written;
        EXPECT_EQ(servedUniqueId(server), id);
        EXPECT_TRUE(exitedWith(server.stop(SIGTERM), 0));
    }
    ServerProcess again(scratch, {});
    ASSERT_TRUE(again.ready()) << again.log();
    EXPECT_EQ(servedUniqueId(again), uniqueIdIn(written));
    EXPECT_EQ(readFile(again.configPath()), written) << "a restart changed the config";
}

// The setup form's token, from the page.
std::string setupToken(const ServerProcess& server)
{
    auto page = server.client()->Get("/setup/v1/telescope/0/setup");
    std::smatch found;
    static const std::regex token("name=\"token\" value=\"([^\"]+)\"");
    if (!page || !std::regex_search(page->body, found, token))
        return std::string();
    return found[1];
}

TEST(Config, WithAStateFolderTheConfigIsOnlyReadAndTheServerWritesTheState)
{
    ScratchFolder scratch;
    SimulatorProcess mount(scratch, 2);
    ASSERT_TRUE(mount.ready());
    // As a service runs it: the administrator's file names the device.
    const std::string config = scratch.file("etc.conf");
    const std::string state = scratch.file("state");
    const std::string written = "# the administrator's\nserial = " + serverDeviceName(mount.link) + "\nlisten = 127.0.0.1\n";
    { std::ofstream(config) << written; }
    fs::create_directory(state);
    const std::vector<std::string> args = {"--config", config, "--state-dir", state};
    std::string id;
    {
        ServerProcess server(scratch, args);
        ASSERT_TRUE(server.ready()) << server.log();
        id = uniqueIdIn(readFile(state + "/alpaca.conf"));
        EXPECT_FALSE(id.empty()) << readFile(state + "/alpaca.conf");
        EXPECT_EQ(servedUniqueId(server), id);
        const Answer connect = put(server, "connected", "Connected=true");
        EXPECT_EQ(connect.error(), 0) << "the config's device was not used: " << connect;
        // The setup page's choice goes to the state, never the config.
        const std::string token = setupToken(server);
        auto stored = server.client()->Post("/setup/v1/telescope/0/setup",
                                            "token=" + token + "&device=" + serverDeviceName(mount.link) + "&trace=on",
                                            "application/x-www-form-urlencoded");
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->status, 200) << stored->body;
        EXPECT_TRUE(contains(readFile(state + "/alpaca.conf"), "trace = on"));
        EXPECT_TRUE(exitedWith(server.stop(SIGTERM), 0)) << server.log();
    }
    EXPECT_EQ(readFile(config), written) << "the server wrote the administrator's config";
    ServerProcess again(scratch, args);
    ASSERT_TRUE(again.ready()) << again.log();
    EXPECT_EQ(servedUniqueId(again), id);
    EXPECT_TRUE(contains(again.log(), "state " + state + "/alpaca.conf")) << again.log();
}

// ---------------------------------------------------------------- no mount

// Members that need the mount, each with a form for its PUT.
struct Member {
    bool put;
    const char* name;
    const char* form;
};

const Member kNeedTheMount[] = {
    {false, "rightascension", ""},
    {false, "declination", ""},
    {false, "altitude", ""},
    {false, "azimuth", ""},
    {false, "siderealtime", ""},
    {false, "atpark", ""},
    {false, "athome", ""},
    {false, "tracking", ""},
    {false, "sideofpier", ""},
    {false, "utcdate", ""},
    {true, "slewtocoordinatesasync", "RightAscension=1&Declination=20"},
    {true, "synctocoordinates", "RightAscension=1&Declination=20"},
    {true, "slewtotargetasync", ""},
    {true, "abortslew", ""},
    {true, "park", ""},
    {true, "unpark", ""},
    {true, "findhome", ""},
    {true, "tracking", "Tracking=true"},
    {true, "pulseguide", "Direction=0&Duration=100"},
    {true, "moveaxis", "Axis=0&Rate=0"},
    {true, "sitelatitude", "SiteLatitude=10"},
    {true, "utcdate", "UTCDate=2026-12-08T22:15:30Z"},
};

void expectEveryMemberRefusedAsNotConnected(const ServerProcess& server)
{
    for (const Member& member : kNeedTheMount) {
        const Answer answer = request(server, member.put, member.name, member.form);
        const std::string shown = std::string(member.put ? "PUT " : "GET ") + member.name;
        ASSERT_TRUE(answer.answered) << shown << ": " << answer;
        EXPECT_EQ(answer.http, 200) << shown << ": " << answer;
        EXPECT_EQ(answer.error(), kNotConnected) << shown << ": " << answer;
        EXPECT_EQ(answer.message(), kNotConnectedText) << shown << ": " << answer;
    }
}

void expectCannotOpen(const Answer& answer, const std::string& naming)
{
    EXPECT_EQ(answer.error(), kMountFailure) << answer;
    EXPECT_EQ(answer.message().rfind("Cannot open port ", 0), 0u) << answer;
    EXPECT_TRUE(contains(answer.message(), naming)) << answer;
    EXPECT_EQ(answer.message().back(), '!') << answer;
    EXPECT_LT(answer.ms, kPromptMs) << answer;
}

TEST(NoMount, WithNoDeviceAnywhereItServesAndRefusesWithTheReason)
{
    ScratchFolder scratch;
    ServerProcess server(scratch, {});
    ASSERT_TRUE(server.ready()) << server.log();
    expectCannotOpen(put(server, "connected", "Connected=true"), "");
    EXPECT_EQ(get(server, "connected").body.value("Value", true), false);
    expectEveryMemberRefusedAsNotConnected(server);
    EXPECT_TRUE(server.running());
    EXPECT_EQ(countLines(server.log(), "cannot connect"), 1) << server.log();
}

TEST(NoMount, AMissingSerialDeviceIsRefusedAndTheServerKeepsRunning)
{
    ScratchFolder scratch;
    const std::string missing = scratch.file("no-such-device");
    ServerProcess server(scratch, {"--serial", missing});
    ASSERT_TRUE(server.ready()) << server.log();
    const std::string configBefore = readFile(server.configPath());
    expectCannotOpen(put(server, "connected", "Connected=true"), serverDeviceName(missing));
    expectEveryMemberRefusedAsNotConnected(server);

    // The connect that returns at once fails the same way, and says so.
    EXPECT_EQ(put(server, "connect").error(), 0);
    EXPECT_TRUE(waitUntil([&] { return get(server, "connecting").body.value("Value", true) == false; }, kPromptMs));
    EXPECT_EQ(get(server, "connected").body.value("Value", true), false);

    EXPECT_TRUE(server.running()) << server.log();
    EXPECT_EQ(get(server, "name").error(), 0);
    EXPECT_EQ(countLines(server.log(), "cannot connect"), 2) << server.log();
    // The command line's device stands in for this run; it is not stored.
    EXPECT_EQ(readFile(server.configPath()), configBefore);
}

// ---------------------------------------------------------------- stopping

// A model 2 mount slewing slowly to a far, circumpolar target.
void startAFarSlew(const ServerProcess& server)
{
    const Answer sidereal = get(server, "siderealtime");
    ASSERT_EQ(sidereal.error(), 0) << sidereal;
    const double target = std::fmod(sidereal.body.value("Value", 0.0) + 6.0, 24.0);
    const Answer slew =
        put(server, "slewtocoordinatesasync", "RightAscension=" + std::to_string(target) + "&Declination=80");
    ASSERT_EQ(slew.error(), 0) << slew;
    ASSERT_TRUE(waitUntil([&] { return get(server, "slewing").body.value("Value", false); }, 2000))
        << "the mount is not slewing";
}

void expectStopsCleanlyOn(int signal, const char* signalName)
{
    ScratchFolder scratch;
    SimulatorProcess mount(scratch, 2, {"--slew-rate", "0.5"});
    ASSERT_TRUE(mount.ready());
    ServerProcess server(scratch, {"--serial", mount.link});
    ASSERT_TRUE(server.ready()) << server.log();
    const Answer connect = put(server, "connected", "Connected=true");
    ASSERT_EQ(connect.error(), 0) << connect;
    startAFarSlew(server);
    // The Windows server holds its COM port by the exclusive open instead,
    // which Wine does not keep for a pseudo-terminal.
    const bool locks = !serverIsWindows();
    if (locks) {
        ASSERT_FALSE(openDevice(mount.link).locked) << "the server does not hold the device's lock while connected";
    }
    const std::string configBefore = readFile(server.configPath());

    const auto stopping = SteadyClock::now();
    const int status = server.stop(signal, 10000);
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - stopping).count();
    EXPECT_TRUE(exitedWith(status, 0)) << signalName << ": " << statusText(status) << "\n" << server.log();
    EXPECT_LT(tookMs, 3000) << signalName;

    const DeviceOpen after = openDevice(mount.link);
    EXPECT_TRUE(after.opened && (after.locked || !locks)) << "the device is still held after " << signalName;
    EXPECT_FALSE(after.exclusive) << "the tty was left in exclusive mode, which only root can open";
    EXPECT_EQ(readFile(server.configPath()), configBefore) << signalName << " changed the config";

    const std::string log = server.log();
    EXPECT_EQ(countLines(log, "stopping on " + stopRequestName(signal)), 1) << log;
    EXPECT_EQ(countLines(log, "disconnected from " + serverDeviceName(mount.link)), 1) << log;
    EXPECT_EQ(countLines(log, "velmaro-alpaca: stopped"), 1) << log;
}

TEST(Stopping, SigtermMidSlewExits0AndLetsGoOfTheDevice)
{
    expectStopsCleanlyOn(SIGTERM, "SIGTERM");
}

TEST(Stopping, SigintMidSlewExits0AndLetsGoOfTheDevice)
{
    expectStopsCleanlyOn(SIGINT, "SIGINT");
}

TEST(Stopping, SigkillWhileTheConfigIsBeingStoredLeavesItWholeAndTheDeviceFree)
{
    // Killed at a different moment each time, stores under way: the restart
    // finds the config as it was before a store or after it, never between.
    for (const int killAfterMs : {150, 400, 900}) {
        SCOPED_TRACE("killed after " + std::to_string(killAfterMs) + " ms of stores");
        ScratchFolder scratch;
        SimulatorProcess mount(scratch, 2, {"--slew-rate", "0.5"});
        ASSERT_TRUE(mount.ready());
        std::string id;
        {
            ServerProcess server(scratch, {"--serial", mount.link});
            ASSERT_TRUE(server.ready()) << server.log();
            ASSERT_EQ(put(server, "connected", "Connected=true").error(), 0);
            startAFarSlew(server);
            id = uniqueIdIn(readFile(server.configPath()));
            const std::string token = setupToken(server);
            ASSERT_FALSE(token.empty());
            std::atomic<bool> storing{true};
            std::thread stores([&] {
                auto client = server.client();
                for (int store = 0; storing; ++store) {
                    const std::string form = "token=" + token + "&device=" + serverDeviceName(mount.link)
                        + (store % 2 == 0 ? "&trace=on" : "");
                    client->Post("/setup/v1/telescope/0/setup", form, "application/x-www-form-urlencoded");
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
            const int status = server.stop(SIGKILL, 5000);
            storing = false;
            stores.join();
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << statusText(status);
        }
        ServerProcess again(scratch, {"--serial", mount.link});
        ASSERT_TRUE(again.ready()) << again.log();
        const std::string config = readFile(again.configPath());
        EXPECT_EQ(uniqueIdIn(config), id) << config;
        EXPECT_EQ(servedUniqueId(again), id);
        // As after a store, or as before the first one (a busy machine may
        // not have finished one by the kill).
        EXPECT_TRUE(contains(config, "serial = " + serverDeviceName(mount.link) + "\n")
                    || contains(config, "serial =\n"))
            << config;
        EXPECT_TRUE(contains(config, "trace = on") || contains(config, "trace = off")) << config;
        // The kernel let go of the killed server's lock: the device opens.
        const Answer connect = put(again, "connected", "Connected=true");
        EXPECT_EQ(connect.error(), 0) << connect;
        EXPECT_TRUE(exitedWith(again.stop(SIGTERM), 0)) << again.log();
    }
}

// ---------------------------------------------------------------- device loss

void expectPromptError(const Answer& answer, const std::string& what)
{
    ASSERT_TRUE(answer.answered) << what << ": " << answer;
    EXPECT_LT(answer.ms, kPromptMs) << what << ": " << answer;
    EXPECT_NE(answer.error(), 0) << what << " was answered as if the mount had replied: " << answer;
}

// Reads succeed again with no connect of the client's own, within
// timeoutMs of the device's return.
void expectReadsAgain(const ServerProcess& server, int timeoutMs)
{
    EXPECT_TRUE(waitUntil([&] { return get(server, "rightascension").error() == 0; }, timeoutMs)) << server.log();
    const Answer rightAscension = get(server, "rightascension");
    EXPECT_EQ(rightAscension.error(), 0) << rightAscension;
    const double hours = rightAscension.body.value("Value", -1.0);
    EXPECT_TRUE(hours >= 0.0 && hours < 24.0) << rightAscension;
    EXPECT_EQ(get(server, "connected").body.value("Value", false), true);
}

TEST(DeviceLoss, ADeviceThatVanishesGivesPromptTransientErrorsAndServesAgainOnItsReturn)
{
    ScratchFolder scratch;
    // Connecting never asks the sidereal time, so only the read below does.
    SimulatorProcess mount(scratch, 2, {"--fault", ":GS#=vanish", "--vanish-ms", "1500"});
    ASSERT_TRUE(mount.ready());
    ServerProcess server(scratch, {"--serial", mount.link});
    ASSERT_TRUE(server.ready()) << server.log();
    ASSERT_EQ(put(server, "connected", "Connected=true").error(), 0) << server.log();
    ASSERT_EQ(get(server, "rightascension").error(), 0);

    expectPromptError(get(server, "siderealtime"), "the read the device vanished under");
    const bool stillAway = access(mount.link.c_str(), F_OK) != 0;
    for (const char* member : {"rightascension", "declination", "tracking"}) {
        const Answer answer = get(server, member);
        expectPromptError(answer, member);
        if (access(mount.link.c_str(), F_OK) != 0) {
            EXPECT_EQ(answer.error(), kLinkDown) << member << ": " << answer;
        }
    }
    // The client stays connected, and a connect meanwhile changes nothing.
    EXPECT_EQ(get(server, "connected").body.value("Value", false), true);
    EXPECT_EQ(put(server, "connected", "Connected=true").error(), 0);
    EXPECT_EQ(countLines(server.log(), "went away: its clients stay connected"), 1) << server.log();
    EXPECT_TRUE(stillAway) << "the device was back before the first error was read";

    ASSERT_TRUE(waitUntil([&] { return access(mount.link.c_str(), F_OK) == 0; }, 5000)) << "the device never came back";
    expectReadsAgain(server, 3000);
    EXPECT_EQ(countLines(server.log(), "is back after"), 1) << server.log();
    EXPECT_TRUE(server.running());
}

TEST(DeviceLoss, AMountSwitchedOffAndOnAgainIsServedAgainWithoutAConnect)
{
    ScratchFolder scratch;
    auto mount = std::make_unique<SimulatorProcess>(scratch, 2);
    ASSERT_TRUE(mount->ready());
    const std::string link = mount->link;
    ServerProcess server(scratch, {"--serial", link});
    ASSERT_TRUE(server.ready()) << server.log();
    ASSERT_EQ(put(server, "connected", "Connected=true").error(), 0) << server.log();
    ASSERT_EQ(get(server, "declination").error(), 0);

    mount->stop();
    expectPromptError(get(server, "rightascension"), "the first read after the mount went away");
    const Answer next = get(server, "declination");
    expectPromptError(next, "the read after the loss was noticed");
    EXPECT_EQ(next.error(), kLinkDown) << next;
    EXPECT_NE(next.message().find("has gone away; the server is waiting for it to come back"), std::string::npos)
        << next;
    EXPECT_EQ(countLines(server.log(), "went away: its clients stay connected"), 1) << server.log();

    mount = std::make_unique<SimulatorProcess>(scratch, 2);
    ASSERT_TRUE(mount->ready());
    expectReadsAgain(server, 3000);
}

// ---------------------------------------------------------------- trace

TEST(Trace, EachConnectionWritesOneFileWithItsHeadAndEveryCommand)
{
    ScratchFolder scratch;
    SimulatorProcess mount(scratch, 2);
    ASSERT_TRUE(mount.ready());
    const std::string folder = scratch.file("traces");
    ServerProcess server(scratch, {"--serial", mount.link, "--trace-dir", folder});
    ASSERT_TRUE(server.ready()) << server.log();
    ASSERT_EQ(put(server, "connected", "Connected=true").error(), 0) << server.log();
    for (const char* member : {"rightascension", "declination", "siderealtime"})
        ASSERT_EQ(get(server, member).error(), 0) << member;

    // Read while connected: each line is in the file as soon as it is made.
    std::vector<fs::path> files = filesIn(folder);
    ASSERT_EQ(files.size(), 1u) << "in " << folder;
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(R"(ASCOM\.Velmaro\.Telescope\.\d{4}\.\d{5}\.txt)")))
        << files[0];
    const std::string trace = readFile(files[0]);
    const std::vector<std::string> lines = traceLines(trace);
    ASSERT_GE(lines.size(), 3u) << trace;
    for (const std::string& line : linesOf(trace))
        EXPECT_TRUE(!line.empty() && line.back() == '\r') << "not ended by CR LF: " << line;
    const std::regex stamped(R"(\d\d:\d\d:\d\d\.\d{3} [^\r]*)");
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    EXPECT_TRUE(contains(lines[0], "Velmaro Telescope driver 2.1")) << lines[0];
    EXPECT_TRUE(contains(lines[1], "Port: " + serverDeviceName(mount.link))) << lines[1];
    EXPECT_TRUE(contains(lines[2], std::string("Model: ") + kModelTwoName + " (2)")) << lines[2];
    // Every command the mount received, in order, and no other.
    EXPECT_EQ(tracedCommands(trace), mount.commands()) << trace;

    // The file ends with its connection: the setup page's probe of the
    // mount afterwards writes nowhere.
    ASSERT_EQ(put(server, "connected", "Connected=false").error(), 0);
    const std::string ended = readFile(files[0]);
    auto page = server.client()->Get("/setup");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(readFile(files[0]), ended) << "the trace went on after its connection";
    EXPECT_EQ(filesIn(folder).size(), 1u);

    // A second connection has a file of its own.
    ASSERT_EQ(put(server, "connected", "Connected=true").error(), 0);
    EXPECT_EQ(filesIn(folder).size(), 2u);
}

// ---------------------------------------------------------------- log

TEST(Log, OneLinePerStartStopConnectDisconnectAndFailure)
{
    ScratchFolder scratch;
    auto mount = std::make_unique<SimulatorProcess>(scratch, 2);
    ASSERT_TRUE(mount->ready());
    ServerProcess server(scratch, {"--serial", mount->link});
    ASSERT_TRUE(server.ready()) << server.log();
    ASSERT_EQ(put(server, "connected", "Connected=true").error(), 0);
    ASSERT_EQ(get(server, "rightascension").error(), 0);
    ASSERT_EQ(put(server, "connected", "Connected=false").error(), 0);
    mount->stop();
    ASSERT_EQ(put(server, "connected", "Connected=true").error(), kMountFailure);
    ASSERT_TRUE(exitedWith(server.stop(SIGTERM), 0));

    const std::string log = server.log();
    const std::string events[] = {"velmaro-alpaca: started ",
                                  "velmaro-alpaca: connected to ",
                                  "velmaro-alpaca: disconnected from ",
                                  "velmaro-alpaca: cannot connect",
                                  "velmaro-alpaca: stopping on " + stopRequestName(SIGTERM),
                                  "velmaro-alpaca: stopped"};
    for (const std::string& event : events)
        EXPECT_EQ(countLines(log, event), 1) << event << " in:\n" << log;
    EXPECT_EQ(linesOf(log).size(), std::size(events)) << log;
    for (const std::string& line : linesOf(log))
        EXPECT_EQ(line.rfind("velmaro-alpaca: ", 0), 0u) << line;
}

} // namespace
