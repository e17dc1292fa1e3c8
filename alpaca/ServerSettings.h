// What the mount core keeps between connections, for the server: the
// serial device and the trace switch, in the config file. The core counts
// ports by number; the server has one device, named by its path, which it
// hands the core as port 1.
#pragma once

#include "MountSettings.h"
#include "ServerConfig.h"

#include <mutex>
#include <string>

class ServerSettings final : public MountSettings {
public:
    // config as loaded from configPath; serialOverride (the command line's
    // device) wins over the stored one until the setup page stores another.
    // traceForced: the command line asked for a trace of every connection.
    ServerSettings(std::string configPath, ServerConfig config, std::string serialOverride, bool traceForced);

    bool readPort(int& portNumber) override;
    bool readTraceSwitch() override;
    // The core stores nothing by number here: the setup page stores a device.
    void storePort(int) override {}
    void storeTraceSwitch(bool on) override;
    std::string devicePath(int portNumber) override;
    std::string portLabel(int portNumber) override;

    // The setup page's choice, written to the config file at once. False,
    // and nothing changed, with the reason when the file cannot be written.
    bool storeChoice(const std::string& device, bool traceOn, std::string& error);

    std::string device() const;
    bool traceSwitch() const;
    std::string uniqueId() const;

private:
    mutable std::mutex mutex;
    const std::string configPath;
    ServerConfig config;
    std::string serialOverride;
    const bool traceForced;
};

// The port label when no device is chosen yet.
constexpr const char* kNoDeviceChosen = "(no serial device chosen: choose one on the setup page)";
