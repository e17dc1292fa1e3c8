// The mount core's own names for what clients choose and read: no front
// end's enumerations reach the core. The values are the ones every
// telescope interface of the field uses, so front ends convert by value.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

enum class Alignment : int { AltAz = 0, Polar = 1, GermanPolar = 2 };

enum class DriveRate : int { Sidereal = 0, Lunar = 1, Solar = 2, King = 3, Custom = 4 };
constexpr int kLowestDriveRate = 0;
constexpr int kHighestDriveRate = 4;

// A front end passes what its client sent: a value outside the four is
// refused by the core, not by the type.
enum class GuideDirection : int { North = 0, South = 1, East = 2, West = 3 };

enum class PierSide : int { Unknown = -1, East = 0, West = 1 };

// One timed piece of a pulse: sent waitMs after the piece before (or after
// the pulse began), moving the mount durationMs towards letter.
struct PulsePiece {
    std::uint32_t waitMs;
    char letter;
    long durationMs;
};
using PulsePlan = std::vector<PulsePiece>;

// UTC as days since 1970, with the fraction of the day: the mount's clock
// is read to the second and turned into days, so a day count keeps every
// digit the reading had.
using MountDays = std::chrono::duration<double, std::ratio<86400>>;
using UtcTime = std::chrono::time_point<std::chrono::system_clock, MountDays>;
