#include "ServerSettings.h"

#include <utility>

namespace {
constexpr int kTheOnePort = 1;
}

ServerSettings::ServerSettings(std::string configPath, ServerConfig config, std::string serialOverride,
                               bool traceForced)
    : configPath(std::move(configPath)), config(std::move(config)), serialOverride(std::move(serialOverride)),
      traceForced(traceForced)
{
}

bool ServerSettings::readPort(int& portNumber)
{
    portNumber = kTheOnePort;
    return true;
}

bool ServerSettings::readTraceSwitch()
{
    std::lock_guard<std::mutex> lock(mutex);
    return traceForced || config.traceOn;
}

void ServerSettings::storeTraceSwitch(bool on)
{
    std::string error;
    storeChoice(device(), on, error);
}

std::string ServerSettings::devicePath(int)
{
#ifdef _WIN32
    // "COM12" is opened as \\.\COM12: the only form that reaches ports above COM9.
    const std::string name = device();
    return name.empty() || name.find('\\') != std::string::npos ? name : "\\\\.\\" + name;
#else
    return device();
#endif
}

std::string ServerSettings::portLabel(int)
{
    std::string path = device();
    return path.empty() ? kNoDeviceChosen : path;
}

bool ServerSettings::storeChoice(const std::string& chosenDevice, bool traceOn, std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex);
    ServerConfig changed = config;
    changed.serial = chosenDevice;
    changed.traceOn = traceOn;
    if (!saveConfig(configPath, changed, error))
        return false;
    config = std::move(changed);
    // The user chose: the command line's device no longer stands in.
    serialOverride.clear();
    return true;
}

std::string ServerSettings::device() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return serialOverride.empty() ? config.serial : serialOverride;
}

bool ServerSettings::traceSwitch() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return config.traceOn;
}

std::string ServerSettings::uniqueId() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return config.uniqueId;
}
