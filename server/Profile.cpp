#include "Profile.h"

#include "Messages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kPortValue[] = "COM";
const char kTraceValue[] = "Trace";
constexpr DWORD kStoredValueBuffer = 256;

// "true" in any letter case, compared byte by byte: no locale's case rules
// enter.
bool isTrueText(const char* text)
{
    const char kTrue[] = "true";
    for (std::size_t i = 0; i < sizeof kTrue; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != kTrue[i])
            return false;
    }
    return true;
}

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

// One value of the profile into `stored`, cleared first: values are stored
// without their terminating NUL. False when the profile cannot be opened;
// `found` says whether the value was there, `type` its registry type.
static bool readProfileValue(const char* name, char (&stored)[kStoredValueBuffer], bool& found, DWORD& type)
{
    HKEY key = nullptr;
    if (openProfileKey(&key) != ERROR_SUCCESS)
        return false;
    DWORD size = kStoredValueBuffer - 1;
    found = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(stored), &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return true;
}

bool readStoredPort(int& portNumber)
{
    char stored[kStoredValueBuffer] = {};
    bool found = false;
    DWORD type = 0;
    if (!readProfileValue(kPortValue, stored, found, type))
        return false;
    if (found)
        portNumber = clampedPortNumber(stored);
    return true;
}

bool readTraceSwitch()
{
    char stored[kStoredValueBuffer] = {};
    bool found = false;
    DWORD type = 0;
    return readProfileValue(kTraceValue, stored, found, type) && found && type == REG_SZ && isTrueText(stored);
}

void storeTraceSwitch(bool on)
{
    HKEY key = nullptr;
    if (openProfileKey(&key) != ERROR_SUCCESS)
        return;
    setRegistryString(key, kTraceValue, on ? "true" : "false");
    RegCloseKey(key);
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
