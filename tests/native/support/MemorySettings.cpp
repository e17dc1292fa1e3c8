#include "MemorySettings.h"

#include "ScriptedPort.h"

bool MemorySettings::readPort(int& portNumber)
{
    if (!readable)
        return false;
    if (portStored)
        portNumber = storedPort;
    return true;
}

void MemorySettings::storePort(int portNumber)
{
    storedPort = portNumber;
    portStored = true;
}

std::string MemorySettings::devicePath(int portNumber)
{
    return scriptedDevicePath(portNumber);
}
