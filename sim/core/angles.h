// Angle and time-of-day text as it travels on the serial line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmaro::sim {

// Wraps into [0, period).  Non-finite input yields 0 so a bad value can never
// reach an integer conversion.
double wrapPeriod(double value, double period);
inline double wrapHours(double hours) { return wrapPeriod(hours, 24.0); }
inline double wrapDegrees(double degrees) { return wrapPeriod(degrees, 360.0); }
// Wraps into [-12, 12): the signed form of an hour angle or RA difference.
double wrapHoursSigned(double hours);

// Formatting rounds to the last displayed unit first and splits that whole
// count afterwards, so no field ever reads 60 and 24 h / 360 deg wrap to 0.
std::string formatHours(double hours, bool withTenths);           // HH:MM:SS or HH:MM:SS.S
std::string formatTimeOfDay(long long tenthsOfDay, bool withTenths);  // same layout, from a clock
std::string formatSignedDegrees(double degrees);                  // sDD*MM:SS
std::string formatAzimuth(double degrees);                        // DDD*MM:SS
std::string formatLongitude(double degrees);                      // sDDD*MM:SS

// Matches text against a layout in which 's' stands for '+' or '-', 'd' for
// one decimal digit and every other character for itself.  Returns the value
// of each run of digits; *sign receives +1 or -1 when the layout has an 's'.
std::optional<std::vector<int>> matchLayout(std::string_view text, std::string_view layout,
                                            int* sign = nullptr);

// "HH:MM:SS" in 00:00:00..24:00:00; 24:00:00 is the same instant as 0 h.
std::optional<double> parseHours(std::string_view text);

// Degrees, minutes, seconds laid out as `layout` (three digit runs), kept only
// when minutes and seconds are below 60 and the value lies in [minDeg, maxDeg].
std::optional<double> parseDegrees(std::string_view text, std::string_view layout, double minDeg,
                                   double maxDeg);

}  // namespace velmaro::sim
