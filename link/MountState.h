// Process-wide mount state shared by every driver object and the utilities.
// One call at a time in the whole process (the server's lock) keeps it whole.
#pragma once

#include <cstdint>

struct ClockSample {
    std::int64_t seconds = 0;       // since 1970
    std::uint16_t milliseconds = 0;
};

struct MountState {
    bool connected = false;
    // 1 to 3 once a connection has told the models apart; 0 before.
    std::uint8_t model = 0;
    // Results of splitAngle, also scan targets for replies.
    char angleSign = 0;
    std::int32_t angleDegrees = 0;
    std::int32_t angleMinutes = 0;
    std::int32_t angleSeconds = 0;
    // Message of the next debug-log entry.
    char logLine[99] = {};
    ClockSample clockSample;
};

extern MountState mount;
