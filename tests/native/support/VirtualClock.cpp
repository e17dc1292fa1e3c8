#include "VirtualClock.h"

#include <numeric>

void VirtualClock::sleepMs(std::uint32_t milliseconds)
{
    pauseLog.push_back(milliseconds);
    advance(milliseconds);
}

void VirtualClock::advance(std::uint64_t milliseconds)
{
    steady += milliseconds;
    wall += static_cast<std::int64_t>(milliseconds);
}

std::uint64_t VirtualClock::pausedMs() const
{
    return std::accumulate(pauseLog.begin(), pauseLog.end(), std::uint64_t(0));
}
