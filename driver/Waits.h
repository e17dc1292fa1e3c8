// Every wait for the mount ends: a slew or a home search that the mount
// never reports finished fails after a bound instead of hanging the client.
#pragma once

#include "Outcome.h"

#include <cstdint>

// Bounds for a mount at its slowest: a slew across the sky, and a home
// search that may first unwind a full turn.
constexpr std::uint32_t kSlewWaitLimitMs = 180000;
constexpr std::uint32_t kHomeWaitLimitMs = 300000;

// The bound in force: the standard one, or the value of the environment
// variable VELMARO_WAIT_LIMIT_MS when it is set to a positive number (for
// tests, and for mounts slower than any we know).
std::uint32_t waitLimitMs(std::uint32_t standard);

// Fails with "The mount did not <what> within <bound> s!", the bound in
// seconds as the client set it (1.5 for 1500 ms).
Outcome failWaitedTooLong(const char* what, std::uint32_t limitMs);
