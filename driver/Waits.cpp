#include "Waits.h"

#include <cstdlib>

DWORD waitLimitMs(DWORD standard)
{
    char text[32] = {};
    DWORD length = GetEnvironmentVariableA("VELMARO_WAIT_LIMIT_MS", text, sizeof text);
    if (length == 0 || length >= sizeof text)
        return standard;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value == 0 || value > 24ul * 3600 * 1000)
        return standard;
    return static_cast<DWORD>(value);
}
