#include "Utilities.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

const char* const kDebugLogFile = "VelmaroASCOMDebug.txt";

namespace {
// Half a second of arc (or of time): with it, truncation rounds to the
// nearest whole second.
constexpr double kHalfSecond = 0.5 / 3600.0;
// Largest whole-unit count that still fits a 32-bit field after rounding.
constexpr double kLargestSplittable = 2147483646.0;

// Truncates toward zero into a non-negative int; saturates instead of
// overflowing, and NaN (the fraction of an infinity) counts as 0.
int truncateField(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= double(INT_MAX))
        return INT_MAX;
    return static_cast<int>(value);
}
}

bool angleFitsSplit(double value)
{
    return std::isfinite(value) && std::fabs(value) <= kLargestSplittable;
}

void splitAngle(double value, AngleFields& into)
{
    into.sign = '+';
    if (value < 0.0) {
        into.sign = '-';
        value = -value;
    }
    value += kHalfSecond;
    into.degrees = truncateField(value);
    double minutes = (value - std::trunc(value)) * 60.0;
    into.minutes = truncateField(minutes);
    double seconds = (minutes - std::trunc(minutes)) * 60.0;
    into.seconds = truncateField(seconds);
}

double julianDate(double dayWithFraction, int month, int year)
{
    // 64-bit so that no year, however wild a reply made it, overflows.
    long long y = year;
    long long m = month;
    long long centuries = y / 100;
    long long b = 2 - centuries + centuries / 4;
    if (m < 3) {
        m += 12;
        y -= 1;
    }
    return std::trunc(365.25 * double(y + 4716)) + std::trunc(30.6001 * double(m + 1)) + dayWithFraction
        + double(b) - 1524.5;
}

void logMessage(const char* message)
{
    // The line the log has always held: at most 98 characters of message.
    constexpr std::size_t kLongestLogMessage = 98;
    std::FILE* file = std::fopen(kDebugLogFile, "a");
    if (!file)
        return;
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char date[16];
    char time[16];
    std::strftime(date, sizeof date, "%m/%d/%y", &local);
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    std::fprintf(file, "%s %s %.*s\n", date, time, int(kLongestLogMessage), message ? message : "");
    std::fclose(file);
}
