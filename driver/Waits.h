// Every wait for the mount ends: a slew or a home search that the mount
// never reports finished fails after a bound instead of hanging the client.
#pragma once

#include <windows.h>

// Bounds for a mount at its slowest: a slew across the sky, and a home
// search that may first unwind a full turn.
constexpr DWORD kSlewWaitLimitMs = 180000;
constexpr DWORD kHomeWaitLimitMs = 300000;

// The bound in force: the standard one, or the value of the environment
// variable VELMARO_WAIT_LIMIT_MS when it is set to a positive number (for
// tests, and for mounts slower than any we know).
DWORD waitLimitMs(DWORD standard);

// Fails with "The mount did not <what> within <bound> s!", the bound in
// seconds as the client set it (1.5 for 1500 ms).
HRESULT failWaitedTooLong(const char* what, DWORD limitMs);

// Milliseconds since the wait began, across the tick counter's wrap.
class WaitClock {
public:
    WaitClock() : start(GetTickCount64()) {}
    ULONGLONG elapsedMs() const { return GetTickCount64() - start; }

private:
    ULONGLONG start;
};
