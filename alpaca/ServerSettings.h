// What the mount core keeps between connections, for the server: each
// mount's serial device and trace switch, in the one config file. The core
// counts ports by number; a mount of the server has one device, named by
// its path, which it hands the core as port 1.
#pragma once

#include "MountSettings.h"
#include "ServerConfig.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The config file while the server runs, shared by every mount's settings:
// each changes only its own mount, and each change writes the whole file.
class ConfigFile {
public:
    // config as loaded from path. One mount is served for each of
    // serialOverrides (at least one): [N], the command line's or the
    // administrator's device for mount N (empty for none), wins over the
    // stored one until the setup page stores another. Mounts the file keeps
    // beyond those are kept, not served.
    ConfigFile(std::string path, ServerConfig config, std::vector<std::string> serialOverrides);

    std::size_t servedCount() const { return serialOverrides.size(); }
    std::string device(std::size_t mount) const;
    // Why two mounts would open one device, or empty when none would.
    std::string sharedDevice() const;
    MountConfig stored(std::size_t mount) const;
    // Mount `mount` is a simulated mount inside the server, named by label
    // where its device would be: the setup page stores no device for it,
    // and its stored one is kept, unused.
    void simulate(std::size_t mount, std::string label);
    bool simulated(std::size_t mount) const;
    // The setup page's choice for mount, written to the file at once. False,
    // and nothing changed, with the reason when another mount has the device
    // or the file cannot be written.
    bool storeChoice(std::size_t mount, const std::string& device, bool traceOn, std::string& error);

private:
    std::string deviceLocked(std::size_t mount) const;

    mutable std::mutex mutex;
    const std::string path;
    ServerConfig config;
    std::vector<std::string> serialOverrides;
    std::vector<bool> simulatedMounts;
};

class ServerSettings final : public MountSettings {
public:
    // Mount number `mount` of file. traceForced: the command line asked for
    // a trace of every connection.
    ServerSettings(std::shared_ptr<ConfigFile> file, std::size_t mount, bool traceForced);
    // A server of one mount, with the file to itself.
    ServerSettings(std::string configPath, ServerConfig config, std::string serialOverride, bool traceForced);

    bool readPort(int& portNumber) override;
    bool readTraceSwitch() override;
    // The core stores nothing by number here: the setup page stores a device.
    void storePort(int) override {}
    void storeTraceSwitch(bool on) override;
    std::string devicePath(int portNumber) override;
    std::string portLabel(int portNumber) override;

    // The setup page's choice, written to the config file at once. False,
    // and nothing changed, with the reason when it cannot be stored.
    bool storeChoice(const std::string& device, bool traceOn, std::string& error);

    std::string device() const;
    // A simulated mount: device() is its label, and nothing is stored.
    bool simulated() const;
    bool traceSwitch() const;
    std::string uniqueId() const;

private:
    const std::shared_ptr<ConfigFile> file;
    const std::size_t mount;
    const bool traceForced;
};

// The port label when no device is chosen yet.
constexpr const char* kNoDeviceChosen = "(no serial device chosen: choose one on the setup page)";
