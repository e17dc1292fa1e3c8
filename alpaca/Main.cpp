// velmaro-alpaca: serves the mount on the serial link to every program
// that asks, as an Alpaca Telescope, over HTTP, with UDP discovery and
// setup pages. One line to stderr per start, stop, connection and failure.
#include "AlpacaHttpServer.h"
#include "AlpacaRouter.h"
#include "DeviceRegistry.h"
#include "Discovery.h"
#include "Messages.h"
#include "ServerConfig.h"
#include "ServerOptions.h"
#include "ServerSettings.h"
#include "SimulatedSerialPort.h"
#include "TelescopeDevice.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include "TraceFolder.h"

#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

constexpr const char* kProgram = "velmaro-alpaca";
constexpr int kBadCommandLine = 2;
constexpr int kCannotStart = 1;

std::mutex logMutex;

void logLine(const std::string& text)
{
    std::lock_guard<std::mutex> lock(logMutex);
    std::cerr << kProgram << ": " << text << std::endl;
}

void setTraceFolder(const std::string& folder)
{
#ifdef _WIN32
    chooseTraceFolder(folder);
#else
    setenv("VELMARO_TRACE_DIR", folder.c_str(), 1);
#endif
}

std::string hostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0)
        return "this computer";
    return name;
}

// Loads the config, with at least `mounts` mounts, giving each its UniqueID
// on its first run.
bool prepareConfig(const std::string& path, bool isDefault, std::size_t mounts, ServerConfig& config)
{
    std::string error;
    if (!prepareConfigFolder(path, isDefault, error) || !loadConfig(path, config, error)) {
        logLine("cannot use the config " + path + ": " + error);
        return false;
    }
    bool changed = config.mounts.size() < mounts;
    if (changed)
        config.mounts.resize(mounts);
    for (MountConfig& mount : config.mounts) {
        if (!mount.uniqueId.empty())
            continue;
        mount.uniqueId = newUniqueId();
        if (mount.uniqueId.empty()) {
            logLine("cannot write the config " + path + ": no random source");
            return false;
        }
        changed = true;
    }
    if (changed && !saveConfig(path, config, error)) {
        logLine("cannot write the config " + path + ": " + error);
        return false;
    }
    return true;
}

// What the server runs with: the file it writes, and per mount served the
// device that stands in for the stored one.
struct StartingConfig {
    std::string writtenPath;
    ServerConfig config;
    std::vector<std::string> serialOverrides;
};

bool startingConfig(const ServerOptions& options, const std::string& configPath, bool isDefault,
                    StartingConfig& starting)
{
    starting.writtenPath = configPath;
    if (options.stateDir.empty()) {
        if (!prepareConfig(configPath, isDefault, 1, starting.config))
            return false;
        starting.serialOverrides.resize(starting.config.mounts.size());
    } else {
        // A service's config is the administrator's, read only: it names the
        // mounts, and what the server writes goes to its state folder. The
        // config's devices then stand in as the command line's does.
        ServerConfig administrators;
        std::string error;
        if (!loadConfig(configPath, administrators, error)) {
            logLine("cannot use the config " + configPath + ": " + error);
            return false;
        }
        starting.writtenPath = options.stateDir + "/alpaca.conf";
        if (!prepareConfig(starting.writtenPath, false, administrators.mounts.size(), starting.config))
            return false;
        starting.config.listen = administrators.listen;
        for (const MountConfig& mount : administrators.mounts)
            starting.serialOverrides.push_back(mount.serial);
    }
    if (!options.serial.empty())
        starting.serialOverrides.front() = options.serial;
    return true;
}

// Each mount's log lines say which telescope they are about once there are
// several.
TelescopeDevice::Log mountLog(std::size_t mount, std::size_t mounts)
{
    if (mounts == 1)
        return logLine;
    const std::string prefix = DeviceRegistry::telescopeName(mount) + ": ";
    return [prefix](const std::string& text) { logLine(prefix + text); };
}

// The devices for the start line: "/dev/ttyUSB0", or with several mounts
// each device followed by the telescope it is for.
std::string devicesText(const std::vector<std::unique_ptr<ServerSettings>>& settings)
{
    std::string text;
    for (std::size_t at = 0; at < settings.size(); ++at) {
        const std::string device = settings[at]->device();
        if (at > 0)
            text += at + 1 == settings.size() ? " and " : ", ";
        text += device.empty() ? "no serial device yet" : device;
        if (settings.size() > 1)
            text += " for " + DeviceRegistry::telescopeName(at);
    }
    return text;
}

// Ends the serving on the system's request to stop, from a thread of its
// own: SIGINT and SIGTERM (blocked in every other thread), or on Windows
// Ctrl+C, Ctrl+Break, the console closing, logoff and shutdown. A request
// that comes before the server runs must still end it.
class StopRequests {
public:
    // Before any other thread starts.
    StopRequests();
    void watch(AlpacaHttpServer& http);
    // Once the serving has ended.
    void end();

private:
    void stopServing(const char* why);

    AlpacaHttpServer* http = nullptr;
    std::atomic<bool> finished{false};
#ifdef _WIN32
    static BOOL WINAPI onConsoleEvent(DWORD event);
    static std::atomic<StopRequests*> current;
#else
    sigset_t signals;
    std::thread waiter;
#endif
};

void StopRequests::stopServing(const char* why)
{
    if (finished)
        return;
    logLine(std::string("stopping on ") + why);
    while (!finished) {
        http->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

#ifdef _WIN32
std::atomic<StopRequests*> StopRequests::current{nullptr};

StopRequests::StopRequests() {}

BOOL WINAPI StopRequests::onConsoleEvent(DWORD event)
{
    StopRequests* self = current.load();
    if (!self)
        return FALSE;
    self->stopServing(event == CTRL_C_EVENT ? "Ctrl+C" : event == CTRL_BREAK_EVENT ? "Ctrl+Break" : "the session ending");
    return TRUE;
}

void StopRequests::watch(AlpacaHttpServer& server)
{
    http = &server;
    current = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void StopRequests::end()
{
    finished = true;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    current = nullptr;
}
#else
StopRequests::StopRequests()
{
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void StopRequests::watch(AlpacaHttpServer& server)
{
    http = &server;
    waiter = std::thread([this] {
        int received = 0;
        sigwait(&signals, &received);
        stopServing(received == SIGINT ? "SIGINT" : "SIGTERM");
    });
}

void StopRequests::end()
{
    finished = true;
    // The waiter ends once a signal came; otherwise it is woken with one.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
}
#endif

} // namespace

int main(int argc, char** argv)
{
    ServerOptions options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::cerr << kProgram << ": " << error << " (see --help)" << std::endl;
        return kBadCommandLine;
    }
    if (options.help) {
        std::cout << usageText();
        return 0;
    }
    if (options.version) {
        std::cout << kProgram << " " << kDriverVersion << std::endl;
        return 0;
    }

    const bool defaultConfig = options.configPath.empty();
    const std::string configPath = defaultConfig ? defaultConfigPath() : options.configPath;
    if (configPath.empty()) {
        logLine("no config file: there is no home folder; name one with --config");
        return kCannotStart;
    }
    StartingConfig starting;
    if (!startingConfig(options, configPath, defaultConfig, starting))
        return kCannotStart;
    const ServerConfig& config = starting.config;
    const std::string listen = options.listenGiven || config.listen.empty() ? options.listen : config.listen;
    auto configFile = std::make_shared<ConfigFile>(starting.writtenPath, config, starting.serialOverrides);
    // --simulate: mount 0 is the simulator's core inside the server, in
    // place of its serial device; the config's further mounts stay devices.
    std::shared_ptr<SimulatedMount> simulated;
    if (options.simulate != 0) {
        velmaro::sim::SimConfig simConfig;
        if (!simulatorConfig(options.simulate, options.simulatorOptions, simConfig, error)) {
            logLine(error);
            return kBadCommandLine;
        }
        simulated = std::make_shared<SimulatedMount>(simConfig);
        configFile->simulate(0, simulated->label());
    }
    const std::string shared = configFile->sharedDevice();
    if (!shared.empty()) {
        logLine("cannot serve the config " + configPath + ": " + shared);
        return kCannotStart;
    }

    if (!options.traceDir.empty())
        setTraceFolder(options.traceDir);
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
#endif
    StopRequests stopRequests;

    const std::size_t mounts = configFile->servedCount();
    std::vector<std::unique_ptr<ServerSettings>> settings;
    std::vector<std::unique_ptr<TelescopeDevice>> devices;
    std::vector<ServedTelescope> served;
    for (std::size_t at = 0; at < mounts; ++at) {
        settings.push_back(std::make_unique<ServerSettings>(configFile, at, !options.traceDir.empty()));
        devices.push_back(at == 0 && simulated
                              ? std::make_unique<TelescopeDevice>(*settings.back(), mountLog(at, mounts),
                                                                  systemClock(), simulated->portMaker())
                              : std::make_unique<TelescopeDevice>(*settings.back(), mountLog(at, mounts)));
        TelescopeDevice& device = *devices.back();
        device.setClientTimeoutMs(std::int64_t(options.clientTimeoutSeconds) * 1000);
        device.sharedReads().setMaxAgeMs(std::uint32_t(options.maxAgeMs));
        device.setFreshnessGoalMs(std::uint32_t(options.freshMs));
        served.push_back(ServedTelescope{device, *settings.back(), settings.back()->uniqueId()});
    }
    AlpacaRouter router(served, ServerIdentity{config.mounts.front().uniqueId, hostName()}, options.allowRemoteSetup);
    AlpacaHttpServer http(router);
    if (!http.bind(listen, options.httpPort, error)) {
        logLine(error);
        return kCannotStart;
    }

    DiscoveryResponder discovery(options.discoveryPort, http.port(), listen);
    std::string discoveryText = "discovery off";
    if (options.discoveryPort != 0) {
        if (discovery.start(error))
            discoveryText = "discovery on " + discovery.endpoints();
        else
            logLine("no discovery: " + error);
    }

    stopRequests.watch(http);

    const std::string shownListen = listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
    logLine(std::string("started ") + kDriverVersion + ": " + router.served() + " on http://" + shownListen + ":"
            + std::to_string(http.port()) + "/ with " + devicesText(settings) + ", " + discoveryText + ", config "
            + configPath + (options.stateDir.empty() ? std::string() : ", state " + starting.writtenPath));
    const bool ran = http.run();
    stopRequests.end();

    discovery.stop();
    for (auto& device : devices)
        device->shutdown();
    logLine(ran ? "stopped" : "stopped: the HTTP server failed");
    return ran ? 0 : kCannotStart;
}
