#include "core/angles.h"

#include <cmath>
#include <cstdio>

namespace velmaro::sim {

double wrapPeriod(double value, double period) {
    if (!std::isfinite(value)) return 0.0;
    double r = std::fmod(value, period);
    if (r < 0) r += period;
    // A tiny negative remainder plus the period can round up to the period.
    if (r >= period) r = 0.0;
    return r;
}

double wrapHoursSigned(double hours) {
    double h = wrapHours(hours);
    return h >= 12.0 ? h - 24.0 : h;
}

namespace {

std::string printThree(const char* format, long long a, long long b, long long c) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

// Whole arc-seconds of |degrees|, capped so that the degree field keeps its
// width even if a caller passes something out of range.
long long arcSeconds(double degrees, long long maxDegrees) {
    const double a = std::isfinite(degrees) ? std::fabs(degrees) : 0.0;
    const double capped = a > static_cast<double>(maxDegrees) ? static_cast<double>(maxDegrees) : a;
    return std::llround(capped * 3600.0);
}

}  // namespace

std::string formatTimeOfDay(long long tenthsOfDay, bool withTenths) {
    const long long perDay = 864000;
    long long t = tenthsOfDay % perDay;
    if (t < 0) t += perDay;
    const long long seconds = t / 10;
    std::string out = printThree("%02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    if (withTenths) {
        out += '.';
        out += static_cast<char>('0' + t % 10);
    }
    return out;
}

std::string formatHours(double hours, bool withTenths) {
    if (withTenths) {
        return formatTimeOfDay(std::llround(wrapHours(hours) * 36000.0), true);
    }
    // Round to whole seconds, not down to tenths first, so 23:59:59.6 shows as 00:00:00.
    return formatTimeOfDay(std::llround(wrapHours(hours) * 3600.0) * 10, false);
}

std::string formatSignedDegrees(double degrees) {
    const long long s = arcSeconds(degrees, 99);
    const char sign = (degrees < 0 && s > 0) ? '-' : '+';
    std::string out(1, sign);
    return out + printThree("%02lld*%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

std::string formatAzimuth(double degrees) {
    const long long s = std::llround(wrapDegrees(degrees) * 3600.0) % (360LL * 3600);
    return printThree("%03lld*%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

std::string formatLongitude(double degrees) {
    const long long s = arcSeconds(degrees, 180);
    const char sign = (degrees < 0 && s > 0) ? '-' : '+';
    std::string out(1, sign);
    return out + printThree("%03lld*%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

std::optional<std::vector<int>> matchLayout(std::string_view text, std::string_view layout, int* sign) {
    if (text.size() != layout.size()) return std::nullopt;
    std::vector<int> fields;
    bool inDigits = false;
    for (std::size_t i = 0; i < layout.size(); ++i) {
        const char want = layout[i];
        const char got = text[i];
        if (want == 'd') {
            if (got < '0' || got > '9') return std::nullopt;
            if (!inDigits) fields.push_back(0);
            fields.back() = fields.back() * 10 + (got - '0');
            inDigits = true;
            continue;
        }
        inDigits = false;
        if (want == 's') {
            if (got != '+' && got != '-') return std::nullopt;
            if (sign) *sign = got == '-' ? -1 : 1;
        } else if (got != want) {
            return std::nullopt;
        }
    }
    return fields;
}

std::optional<double> parseHours(std::string_view text) {
    const auto f = matchLayout(text, "dd:dd:dd");
    if (!f || f->size() != 3) return std::nullopt;
    const int h = (*f)[0], m = (*f)[1], s = (*f)[2];
    if (m > 59 || s > 59 || h > 24) return std::nullopt;
    if (h == 24) {
        if (m != 0 || s != 0) return std::nullopt;
        return 0.0;
    }
    return h + m / 60.0 + s / 3600.0;
}

std::optional<double> parseDegrees(std::string_view text, std::string_view layout, double minDeg,
                                   double maxDeg) {
    int sign = 1;
    const auto f = matchLayout(text, layout, &sign);
    if (!f || f->size() != 3) return std::nullopt;
    const int d = (*f)[0], m = (*f)[1], s = (*f)[2];
    if (m > 59 || s > 59) return std::nullopt;
    const double value = sign * (d + m / 60.0 + s / 3600.0);
    if (value < minDeg || value > maxDeg) return std::nullopt;
    return value;
}

}  // namespace velmaro::sim
