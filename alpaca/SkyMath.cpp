#include "SkyMath.h"

#include <cmath>
#include <numbers>

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180;
constexpr double kRadiansPerArcSecond = kRadiansPerDegree / 3600;
constexpr double kRadiansPerHour = kRadiansPerDegree * 15;
constexpr double kJulianDateUnixEpoch = 2440587.5;
constexpr double kMillisecondsPerDay = 86400000.0;
constexpr double kDaysPerJulianCentury = 36525.0;

// value reduced to [0, period); a value a rounding step below the period
// becomes 0, not the period itself. Not a number stays so.
double wrapped(double value, double period)
{
    double reduced = std::fmod(value, period);
    if (reduced < 0)
        reduced += period;
    return reduced >= period ? 0.0 : reduced;
}

struct PrecessionAngles {
    double zeta;
    double z;
    double theta;
};

// The IAU 1976 angles from J2000.0 to t Julian centuries after it.
PrecessionAngles precessionAngles(double t)
{
    const double zeta = ((0.017998 * t + 0.30188) * t + 2306.2181) * t;
    const double z = ((0.018203 * t + 1.09468) * t + 2306.2181) * t;
    const double theta = ((-0.041833 * t - 0.42665) * t + 2004.3109) * t;
    return {zeta * kRadiansPerArcSecond, z * kRadiansPerArcSecond, theta * kRadiansPerArcSecond};
}

} // namespace

double julianDate(std::int64_t unixMilliseconds)
{
    return kJulianDateUnixEpoch + static_cast<double>(unixMilliseconds) / kMillisecondsPerDay;
}

Equatorial precessFromJ2000(const Equatorial& j2000, double julianDate)
{
    const PrecessionAngles angles = precessionAngles((julianDate - kJulianDateJ2000) / kDaysPerJulianCentury);
    const double shiftedRightAscension = j2000.rightAscensionHours * kRadiansPerHour + angles.zeta;
    const double declination = j2000.declinationDegrees * kRadiansPerDegree;
    const double a = std::cos(declination) * std::sin(shiftedRightAscension);
    const double b = std::cos(angles.theta) * std::cos(declination) * std::cos(shiftedRightAscension) -
                     std::sin(angles.theta) * std::sin(declination);
    const double c = std::sin(angles.theta) * std::cos(declination) * std::cos(shiftedRightAscension) +
                     std::cos(angles.theta) * std::sin(declination);
    // atan2 of c against the length of (a, b) keeps its precision at the poles,
    // where an arcsine of c loses it.
    const double rightAscension = std::atan2(a, b) + angles.z;
    return {wrapped(rightAscension / kRadiansPerHour, 24.0), std::atan2(c, std::hypot(a, b)) / kRadiansPerDegree};
}

Horizontal horizontalOf(const Equatorial& ofDate, double localSiderealHours, double latitudeDegrees)
{
    const double hourAngle = (localSiderealHours - ofDate.rightAscensionHours) * kRadiansPerHour;
    const double declination = ofDate.declinationDegrees * kRadiansPerDegree;
    const double latitude = latitudeDegrees * kRadiansPerDegree;
    // The position in the observer's frame: north, east and up components.
    const double north =
        std::sin(declination) * std::cos(latitude) - std::cos(declination) * std::sin(latitude) * std::cos(hourAngle);
    const double east = -std::cos(declination) * std::sin(hourAngle);
    const double up =
        std::sin(declination) * std::sin(latitude) + std::cos(declination) * std::cos(latitude) * std::cos(hourAngle);
    return {std::atan2(up, std::hypot(north, east)) / kRadiansPerDegree,
            wrapped(std::atan2(east, north) / kRadiansPerDegree, 360.0)};
}

double localSiderealTime(double julianDate, double longitudeDegrees)
{
    // Greenwich mean sidereal time, the usual linear form: within 0.1 s
    // for this century.
    const double greenwich = 18.697374558 + 24.06570982441908 * (julianDate - kJulianDateJ2000);
    return std::fmod(std::fmod(greenwich + longitudeDegrees / 15.0, 24.0) + 24.0, 24.0);
}
