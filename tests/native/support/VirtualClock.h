// A clock for tests that only moves when someone waits on it: the core's
// pauses (50 ms before each read, 200 ms between polls, a pulse's lead)
// cost no real time, and what they add up to is data a test can check.
#pragma once

#include "Clock.h"

#include <cstdint>
#include <vector>

class VirtualClock final : public Clock {
public:
    // 2026-01-01 00:00:00.700 UTC: a start inside a second, so that a span
    // crosses a change of second as on a real clock.
    static constexpr std::int64_t kDefaultWallStartMs = 1767225600700LL;
    static constexpr std::uint64_t kDefaultSteadyStartMs = 5000000;

    std::uint64_t steadyMs() override { return steady; }
    std::int64_t wallMs() override { return wall; }
    // A pause of the code under test: noted, and both clocks move on.
    void sleepMs(std::uint32_t milliseconds) override;

    // Time that passes without the code pausing: a port waiting out its
    // time-out, or a client between two calls.
    void advance(std::uint64_t milliseconds);
    // The wall clock put to another time (a user setting it back, say);
    // the steady count goes on as it was.
    void setWallMs(std::int64_t milliseconds) { wall = milliseconds; }

    // Every pause since the last forgetPauses, in order.
    const std::vector<std::uint32_t>& pauses() const { return pauseLog; }
    // Their sum.
    std::uint64_t pausedMs() const;
    void forgetPauses() { pauseLog.clear(); }

private:
    std::uint64_t steady = kDefaultSteadyStartMs;
    std::int64_t wall = kDefaultWallStartMs;
    std::vector<std::uint32_t> pauseLog;
};

// Steady milliseconds from the moment it is made, on a virtual clock.
class Stopwatch {
public:
    explicit Stopwatch(VirtualClock& clock) : clock(clock), start(clock.steadyMs()) {}
    std::uint64_t elapsedMs() const { return clock.steadyMs() - start; }
    std::uint64_t startMs() const { return start; }

private:
    VirtualClock& clock;
    std::uint64_t start;
};
