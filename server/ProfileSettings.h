// The mount core's settings as the DLL keeps them: the ASCOM profile in
// the registry ("COM" and "Trace"), ports named "\\.\COMn".
#pragma once

#include "MountSettings.h"

class ProfileSettings final : public MountSettings {
public:
    bool readPort(int& portNumber) override;
    bool readTraceSwitch() override;
    void storePort(int portNumber) override;
    void storeTraceSwitch(bool on) override;
    std::string devicePath(int portNumber) override;
};

// The process's one: it keeps nothing but what the registry holds.
MountSettings& profileSettings();
