// Values a client passes are refused before they can reach a command.
#pragma once

#include <cmath>

// A finite number: NaN and infinities pass no range test of ours.
inline bool isUsableNumber(double value)
{
    return std::isfinite(value);
}

// Within [low, high], bounds included, and a number at all.
inline bool isWithin(double value, double low, double high)
{
    return isUsableNumber(value) && value >= low && value <= high;
}
