// Sidereal time, horizon coordinates and calendar dates.  Accuracy is that of
// the plain GMST polynomial (well under a second of time), plenty for a mount
// that reports whole seconds.
#pragma once

namespace velmaro::sim {

double gmstHours(double utcEpochSeconds);
// Longitude is east positive.
double lstHours(double utcEpochSeconds, double longitudeEastDeg);

struct Horizontal {
    double altDeg;
    double azDeg;  // 0 = north, 90 = east
};
struct HourAngleDec {
    double haHours;  // positive west of the meridian
    double decDeg;
};

Horizontal toHorizontal(double haHours, double decDeg, double latitudeDeg);
HourAngleDec toEquatorial(double altDeg, double azDeg, double latitudeDeg);

struct CivilDate {
    long long year;
    int month;
    int day;
};
// Proleptic Gregorian date of a day count where day 0 is 1970-01-01.
CivilDate civilFromDays(long long days);

}  // namespace velmaro::sim
