#include "Waits.h"

#include "Environment.h"
#include "Messages.h"

#include <cstdio>
#include <cstdlib>
#include <string>

std::uint32_t waitLimitMs(std::uint32_t standard)
{
    std::string setting;
    if (!readEnvironment("VELMARO_WAIT_LIMIT_MS", setting) || setting.empty() || setting.size() >= 32)
        return standard;
    const char* text = setting.c_str();
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value == 0 || value > 24ul * 3600 * 1000)
        return standard;
    return static_cast<std::uint32_t>(value);
}

Outcome failWaitedTooLong(const char* what, std::uint32_t limitMs)
{
    // Whole numbers only, so that no client's locale changes the text.
    char seconds[32];
    unsigned long whole = limitMs / 1000;
    unsigned long thousandths = limitMs % 1000;
    if (thousandths == 0) {
        std::snprintf(seconds, sizeof seconds, "%lu", whole);
    } else {
        int digits = 3;
        for (; thousandths % 10 == 0; thousandths /= 10)
            --digits;
        std::snprintf(seconds, sizeof seconds, "%lu.%0*lu", whole, digits, thousandths);
    }
    char message[128];
    std::snprintf(message, sizeof message, kWaitedTooLong, what, seconds);
    return Outcome::failure(OutcomeKind::Failure, message);
}
