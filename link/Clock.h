// Time as the link and the mount logic use it: a steady count for pauses
// and bounds, the wall clock for when a pulse began, and sleeping. The
// system's clock is the one in use; a test that is not about timing runs
// the same logic on a clock of its own that only moves when slept on.
#pragma once

#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds of a steady count: never goes back.
    virtual std::uint64_t steadyMs() = 0;
    // Milliseconds since 1970 of the wall clock (UTC): may be set back.
    virtual std::int64_t wallMs() = 0;
    virtual void sleepMs(std::uint32_t milliseconds) = 0;
};

// The system's clock, shared by the whole process.
Clock& systemClock();

// Milliseconds since the wait began, on the clock it was given.
class WaitClock {
public:
    explicit WaitClock(Clock& clock) : clock(clock), start(clock.steadyMs()) {}
    std::uint64_t elapsedMs() const { return clock.steadyMs() - start; }

private:
    Clock& clock;
    std::uint64_t start;
};
