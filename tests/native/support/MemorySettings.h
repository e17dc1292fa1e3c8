// The settings the core keeps between connections, in memory: the stored
// port, the trace switch (off, so no trace file is written), and device
// paths the scripted ports know.
#pragma once

#include "MountSettings.h"

#include <string>

class MemorySettings final : public MountSettings {
public:
    bool readPort(int& portNumber) override;
    bool readTraceSwitch() override { return traceOn; }
    void storePort(int portNumber) override;
    void storeTraceSwitch(bool on) override { traceOn = on; }
    std::string devicePath(int portNumber) override;

    // What readPort finds: a store that cannot be read, or none stored.
    bool readable = true;
    bool portStored = true;
    int storedPort = 1;
    bool traceOn = false;
};
