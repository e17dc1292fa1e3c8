// velmaro-alpaca: serves the mount on the serial link to every program
// that asks, as Alpaca Telescope 0, over HTTP, with UDP discovery and
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
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

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

// SIGINT and SIGTERM go to one thread, which ends the serving; every other
// thread has them blocked.
sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

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
        setenv("VELMARO_TRACE_DIR", options.traceDir.c_str(), 1);
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

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

    std::atomic<bool> finished{false};
    std::thread signalWaiter([&] {
        int received = 0;
        sigwait(&signals, &received);
        if (finished)
            return;
        logLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
        // A signal that comes before the server runs must still end it.
        while (!finished) {
            http.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    const std::string device_ = settings.device();
    const std::string shownListen = listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
    logLine(std::string("started ") + kDriverVersion + ": telescope 0 on http://" + shownListen + ":"
            + std::to_string(http.port()) + "/ with " + (device_.empty() ? "no serial device yet" : device_)
            + ", " + discoveryText + ", config " + configPath
            + (options.stateDir.empty() ? std::string() : ", state " + writtenPath));
    const bool served = http.run();
    finished = true;

    discovery.stop();
    device.shutdown();
    // The waiter ends once a signal came; otherwise it is woken with one.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    logLine(served ? "stopped" : "stopped: the HTTP server failed");
    return served ? 0 : kCannotStart;
}
