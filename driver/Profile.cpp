#include "Profile.h"

#include "Messages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kPortValue[] = "COM";
constexpr DWORD kStoredValueBuffer = 256;

} // namespace

const char kProfileKeyPath[] = "Software\\ASCOM\\Telescope Drivers\\Velmaro.Telescope";
const char* const kProfileDisplayName = kDriverName;

LONG openProfileKey(HKEY* key, bool* created)
{
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProfileKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, key, &disposition);
    if (created)
        *created = status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    return status;
}

LONG deleteProfileKey()
{
    return RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kProfileKeyPath, KEY_WOW64_32KEY, 0);
}

LONG setRegistryString(HKEY key, const char* valueName, const char* text, std::size_t length)
{
    return RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(length));
}

LONG setRegistryString(HKEY key, const char* valueName, const char* text)
{
    return setRegistryString(key, valueName, text, std::strlen(text));
}

int clampedPortNumber(const char* text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value < kFirstPort)
        return kFirstPort;
    if (value > kLastPort)
        return kLastPort;
    return static_cast<int>(value);
}

bool readStoredPort(int& portNumber)
{
    HKEY key = nullptr;
    if (openProfileKey(&key) != ERROR_SUCCESS)
        return false;
    // Cleared first: the value is stored without its terminating NUL.
    char stored[kStoredValueBuffer] = {};
    DWORD size = kStoredValueBuffer - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, kPortValue, nullptr, &type, reinterpret_cast<BYTE*>(stored), &size) == ERROR_SUCCESS)
        portNumber = clampedPortNumber(stored);
    RegCloseKey(key);
    return true;
}

void storePortNumber(int portNumber)
{
    HKEY key = nullptr;
    if (openProfileKey(&key) != ERROR_SUCCESS)
        return;
    char text[16];
    std::snprintf(text, sizeof text, "%i", portNumber);
    setRegistryString(key, kPortValue, text);
    RegCloseKey(key);
}
