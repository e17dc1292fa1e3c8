// velmaro-alpaca: serves the mount on the serial link to every program
// that asks, as an Alpaca Telescope, over HTTP, with UDP discovery and
// setup pages. One line to stderr per start, stop, connection and failure.
#include "AlpacaHttpServer.h"
#include "AlpacaRouter.h"
#include "Discovery.h"
#include "Messages.h"
#include "ServerConfig.h"
#include "ServerOptions.h"
#include "ServerSettings.h"
#include "TelescopeDevice.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

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

// Loads the config, giving it its UniqueID on the first run.
bool prepareConfig(const std::string& path, bool isDefault, ServerConfig& config)
{
    std::string error;
    if (!prepareConfigFolder(path, isDefault, error) || !loadConfig(path, config, error)) {
        logLine("cannot use the config " + path + ": " + error);
        return false;
    }
    if (!config.uniqueId.empty())
        return true;
    config.uniqueId = newUniqueId();
    if (config.uniqueId.empty() || !saveConfig(path, config, error)) {
        logLine("cannot write the config " + path + ": " + (error.empty() ? "no random source" : error));
        return false;
    }
    return true;
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
    ServerConfig config;
    std::string writtenPath = configPath;
    std::string serialOverride = options.serial;
    if (options.stateDir.empty()) {
        if (!prepareConfig(configPath, defaultConfig, config))
            return kCannotStart;
    } else {
        // A service's config is the administrator's, read only: what the
        // server writes goes to its state folder. The config's device then
        // stands in as the command line's does.
        ServerConfig administrators;
        if (!loadConfig(configPath, administrators, error)) {
            logLine("cannot use the config " + configPath + ": " + error);
            return kCannotStart;
        }
        writtenPath = options.stateDir + "/alpaca.conf";
        if (!prepareConfig(writtenPath, false, config))
            return kCannotStart;
        config.listen = administrators.listen;
        if (serialOverride.empty())
            serialOverride = administrators.serial;
    }
    const std::string listen = options.listenGiven || config.listen.empty() ? options.listen : config.listen;

    if (!options.traceDir.empty())
        setTraceFolder(options.traceDir);
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
#endif
    StopRequests stopRequests;

    ServerSettings settings(writtenPath, config, serialOverride, !options.traceDir.empty());
    TelescopeDevice device(settings, logLine);
    device.setClientTimeoutMs(std::int64_t(options.clientTimeoutSeconds) * 1000);
    device.sharedReads().setMaxAgeMs(std::uint32_t(options.maxAgeMs));
    device.setFreshnessGoalMs(std::uint32_t(options.freshMs));
    AlpacaRouter router(device, settings, ServerIdentity{config.uniqueId, hostName()}, options.allowRemoteSetup);
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

    const std::string device_ = settings.device();
    const std::string shownListen = listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
    logLine(std::string("started ") + kDriverVersion + ": " + router.served() + " on http://" + shownListen + ":"
            + std::to_string(http.port()) + "/ with " + (device_.empty() ? "no serial device yet" : device_)
            + ", " + discoveryText + ", config " + configPath
            + (options.stateDir.empty() ? std::string() : ", state " + writtenPath));
    const bool served = http.run();
    stopRequests.end();

    discovery.stop();
    device.shutdown();
    logLine(served ? "stopped" : "stopped: the HTTP server failed");
    return served ? 0 : kCannotStart;
}
