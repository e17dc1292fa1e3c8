// What the mount core keeps between connections, asked through the front
// end: the DLL keeps it in the registry profile, a test in memory.
#pragma once

#include <string>

class MountSettings {
public:
    virtual ~MountSettings() = default;

    // The stored port into portNumber (left as it is when none is stored);
    // false when the store cannot be read at all.
    virtual bool readPort(int& portNumber) = 0;
    // Whether a trace of each connection is wanted.
    virtual bool readTraceSwitch() = 0;
    virtual void storePort(int portNumber) = 0;
    virtual void storeTraceSwitch(bool on) = 0;
    // The device a port number names.
    virtual std::string devicePath(int portNumber) = 0;
    // The port as the client's messages and the trace name it ("COM3").
    virtual std::string portLabel(int portNumber) { return "COM" + std::to_string(portNumber); }
};
