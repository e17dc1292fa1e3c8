#include "ProfileSettings.h"

#include "Profile.h"
#include "SerialPort.h"

bool ProfileSettings::readPort(int& portNumber)
{
    return readStoredPort(portNumber);
}

bool ProfileSettings::readTraceSwitch()
{
    return ::readTraceSwitch();
}

void ProfileSettings::storePort(int portNumber)
{
    storePortNumber(portNumber);
}

void ProfileSettings::storeTraceSwitch(bool on)
{
    ::storeTraceSwitch(on);
}

std::string ProfileSettings::devicePath(int portNumber)
{
    return comPortPath(portNumber);
}

MountSettings& profileSettings()
{
    static ProfileSettings settings;
    return settings;
}
