#include "core/astro.h"

#include <algorithm>
#include <cmath>

#include "core/angles.h"

namespace velmaro::sim {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kRadPerDeg = kPi / 180.0;
constexpr double kRadPerHour = kPi / 12.0;

double clampUnit(double v) { return std::clamp(v, -1.0, 1.0); }
}  // namespace

double gmstHours(double utcEpochSeconds) {
    if (!std::isfinite(utcEpochSeconds)) return 0.0;
    // Days from J2000.0 (2000-01-01 12:00 UT); the Unix epoch is JD 2440587.5.
    const double d = utcEpochSeconds / 86400.0 - 10957.5;
    // Split the whole days out so the large multiple of 24 h drops away exactly.
    const double whole = std::floor(d);
    const double frac = d - whole;
    const double gmst = 18.697374558 + 0.06570982441908 * whole + 24.06570982441908 * frac;
    return wrapHours(gmst);
}

double lstHours(double utcEpochSeconds, double longitudeEastDeg) {
    return wrapHours(gmstHours(utcEpochSeconds) + longitudeEastDeg / 15.0);
}

Horizontal toHorizontal(double haHours, double decDeg, double latitudeDeg) {
    const double h = haHours * kRadPerHour;
    const double d = decDeg * kRadPerDeg;
    const double p = latitudeDeg * kRadPerDeg;
    const double sinAlt = std::sin(d) * std::sin(p) + std::cos(d) * std::cos(p) * std::cos(h);
    const double alt = std::asin(clampUnit(sinAlt));
    const double y = -std::cos(d) * std::sin(h);
    const double x = std::sin(d) * std::cos(p) - std::cos(d) * std::sin(p) * std::cos(h);
    return {alt / kRadPerDeg, wrapDegrees(std::atan2(y, x) / kRadPerDeg)};
}

HourAngleDec toEquatorial(double altDeg, double azDeg, double latitudeDeg) {
    // The transformation has the same form in both directions.
    const double a = azDeg * kRadPerDeg;
    const double e = altDeg * kRadPerDeg;
    const double p = latitudeDeg * kRadPerDeg;
    const double sinDec = std::sin(e) * std::sin(p) + std::cos(e) * std::cos(p) * std::cos(a);
    const double dec = std::asin(clampUnit(sinDec));
    const double y = -std::cos(e) * std::sin(a);
    const double x = std::sin(e) * std::cos(p) - std::cos(e) * std::sin(p) * std::cos(a);
    return {wrapHoursSigned(std::atan2(y, x) / kRadPerHour), dec / kRadPerDeg};
}

CivilDate civilFromDays(long long days) {
    // Days-to-civil conversion over 400-year eras of 146097 days.
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

}  // namespace velmaro::sim
