#include "Environment.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

bool readEnvironment(const char* name, std::string& value)
{
#ifdef _WIN32
    char text[256] = {};
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text)
        return false;
    value.assign(text, length);
    return true;
#else
    const char* text = std::getenv(name);
    if (!text)
        return false;
    value = text;
    return true;
#endif
}
