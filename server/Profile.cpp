#include "Profile.h"

#include <cstring>

const char kProfileKeyPath[] = "Software\\ASCOM\\Telescope Drivers\\Velmaro.Telescope";
const char kProfileDisplayName[] = "Velmaro Telescope";

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
