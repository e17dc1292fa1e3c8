#include "ServerSettings.h"

#include <utility>

namespace {
constexpr int kTheOnePort = 1;
}

ConfigFile::ConfigFile(std::string path, ServerConfig config, std::vector<std::string> serialOverrides)
    : path(std::move(path)), config(std::move(config)), serialOverrides(std::move(serialOverrides))
{
    if (this->serialOverrides.empty())
        this->serialOverrides.resize(1);
    if (this->config.mounts.size() < this->serialOverrides.size())
        this->config.mounts.resize(this->serialOverrides.size());
    simulatedMounts.resize(this->serialOverrides.size());
}

void ConfigFile::simulate(std::size_t mount, std::string label)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (mount >= serialOverrides.size())
        return;
    serialOverrides[mount] = std::move(label);
    simulatedMounts[mount] = true;
}

bool ConfigFile::simulated(std::size_t mount) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return mount < simulatedMounts.size() && simulatedMounts[mount];
}

std::string ConfigFile::deviceLocked(std::size_t mount) const
{
    if (mount >= serialOverrides.size())
        return {};
    return serialOverrides[mount].empty() ? config.mounts[mount].serial : serialOverrides[mount];
}

std::string ConfigFile::sharedDevice() const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t later = 1; later < serialOverrides.size(); ++later)
        for (std::size_t earlier = 0; earlier < later; ++earlier)
            if (!deviceLocked(later).empty() && deviceLocked(later) == deviceLocked(earlier))
                return "mounts " + std::to_string(earlier) + " and " + std::to_string(later) + " have one serial device, "
                       + deviceLocked(later);
    return {};
}

std::string ConfigFile::device(std::size_t mount) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return deviceLocked(mount);
}

MountConfig ConfigFile::stored(std::size_t mount) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return mount < config.mounts.size() ? config.mounts[mount] : MountConfig{};
}

bool ConfigFile::storeChoice(std::size_t mount, const std::string& chosenDevice, bool traceOn, std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (mount >= serialOverrides.size()) {
        error = "there is no mount " + std::to_string(mount);
        return false;
    }
    if (simulatedMounts[mount]) {
        error = "mount " + std::to_string(mount) + " is a simulated mount, which has no serial device to store";
        return false;
    }
    for (std::size_t other = 0; other < serialOverrides.size(); ++other) {
        if (other != mount && !chosenDevice.empty() && deviceLocked(other) == chosenDevice) {
            error = chosenDevice + " is already mount " + std::to_string(other) + "'s device";
            return false;
        }
    }
    ServerConfig changed = config;
    changed.mounts[mount].serial = chosenDevice;
    changed.mounts[mount].traceOn = traceOn;
    // The stored device of a mount that does not use it (one given at
    // start stands in, or the mount is kept but not served) gives way: two
    // mounts never keep one device.
    for (std::size_t other = 0; other < changed.mounts.size(); ++other) {
        const bool usesStored = other < serialOverrides.size() && serialOverrides[other].empty();
        if (other != mount && !usesStored && changed.mounts[other].serial == chosenDevice)
            changed.mounts[other].serial.clear();
    }
    if (!saveConfig(path, changed, error))
        return false;
    config = std::move(changed);
    // The user chose: the command line's device no longer stands in.
    serialOverrides[mount].clear();
    return true;
}

ServerSettings::ServerSettings(std::shared_ptr<ConfigFile> file, std::size_t mount, bool traceForced)
    : file(std::move(file)), mount(mount), traceForced(traceForced)
{
}

ServerSettings::ServerSettings(std::string configPath, ServerConfig config, std::string serialOverride,
                               bool traceForced)
    : ServerSettings(std::make_shared<ConfigFile>(std::move(configPath), std::move(config),
                                                  std::vector<std::string>{std::move(serialOverride)}),
                     0, traceForced)
{
}

bool ServerSettings::readPort(int& portNumber)
{
    portNumber = kTheOnePort;
    return true;
}

bool ServerSettings::readTraceSwitch()
{
    return traceForced || file->stored(mount).traceOn;
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
    return file->storeChoice(mount, chosenDevice, traceOn, error);
}

std::string ServerSettings::device() const
{
    return file->device(mount);
}

bool ServerSettings::simulated() const
{
    return file->simulated(mount);
}

bool ServerSettings::traceSwitch() const
{
    return file->stored(mount).traceOn;
}

std::string ServerSettings::uniqueId() const
{
    return file->stored(mount).uniqueId;
}
