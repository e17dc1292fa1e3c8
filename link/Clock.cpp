#include "Clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace {

#ifdef _WIN32
// The calls the driver has always paced itself with, so its timing on
// Windows is what it was.
class SystemClock final : public Clock {
public:
    std::uint64_t steadyMs() override { return GetTickCount64(); }
    std::int64_t wallMs() override
    {
        constexpr std::int64_t kTicksPerMillisecond = 10000;
        constexpr std::int64_t kMillisecondsFrom1601To1970 = 11644473600000LL;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        std::int64_t ticks = (std::int64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        return ticks / kTicksPerMillisecond - kMillisecondsFrom1601To1970;
    }
    void sleepMs(std::uint32_t milliseconds) override { Sleep(milliseconds); }
};
#else
std::int64_t millisecondsOf(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

class SystemClock final : public Clock {
public:
    std::uint64_t steadyMs() override { return static_cast<std::uint64_t>(millisecondsOf(CLOCK_MONOTONIC)); }
    std::int64_t wallMs() override { return millisecondsOf(CLOCK_REALTIME); }
    void sleepMs(std::uint32_t milliseconds) override
    {
        timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
        // A signal cuts the sleep short; the rest is slept.
        while (nanosleep(&left, &left) != 0) {
        }
    }
};
#endif

} // namespace

Clock& systemClock()
{
    static SystemClock clock;
    return clock;
}
