// The sky arithmetic the hand controller needs: the Julian date of a wall
// clock instant, precession of a J2000 catalogue position to the mean
// equinox of the date, and the altitude and azimuth of a position of date.
// Angles go in and out in the units people use (hours of right ascension,
// degrees otherwise).
#pragma once

#include <cstdint>

struct Equatorial {
    double rightAscensionHours = 0;
    double declinationDegrees = 0;
};

// Azimuth from north through east, [0, 360).
struct Horizontal {
    double altitudeDegrees = 0;
    double azimuthDegrees = 0;
};

constexpr double kJulianDateJ2000 = 2451545.0;

// The Julian date of milliseconds since 1970-01-01T00:00:00Z.
double julianDate(std::int64_t unixMilliseconds);

// Rigorous precession (IAU 1976 angles zeta, z, theta) from the mean
// equinox J2000.0 to the mean equinox of julianDate; right ascension in
// [0, 24). Good to a fraction of an arc second for centuries either side of
// 2000. The angles count in TT; a date in UT, a minute or so apart, moves
// nothing by a measurable amount.
Equatorial precessFromJ2000(const Equatorial& j2000, double julianDate);

// The local mean sidereal time in hours, [0, 24), at julianDate (UT) and
// longitudeDegrees (east positive): for when the mount's own is not known.
double localSiderealTime(double julianDate, double longitudeDegrees);

// Where a position of date stands for an observer at latitudeDegrees (north
// positive) when the local sidereal time is localSiderealHours.
Horizontal horizontalOf(const Equatorial& ofDate, double localSiderealHours, double latitudeDegrees);
