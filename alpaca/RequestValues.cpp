#include "RequestValues.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool decodeComponent(std::string_view text, std::string& out)
{
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            int high = hexDigit(text[i + 1]);
            int low = hexDigit(text[i + 2]);
            if (high < 0 || low < 0)
                return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// Exactly `digits` decimal digits at text[at...], as a number.
bool fixedDigits(std::string_view text, std::size_t at, std::size_t digits, int& value)
{
    if (at + digits > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace

bool decodeForm(std::string_view text, ParameterList& into)
{
    while (!text.empty()) {
        std::size_t end = text.find('&');
        std::string_view pair = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (pair.empty())
            continue;
        if (into.size() >= kMostParameters)
            return false;
        std::size_t equals = pair.find('=');
        std::string name, value;
        if (!decodeComponent(pair.substr(0, equals), name))
            return false;
        if (equals != std::string_view::npos && !decodeComponent(pair.substr(equals + 1), value))
            return false;
        into.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

const std::string* RequestParameters::find(std::string_view name) const
{
    for (const auto& [key, value] : list) {
        bool matches = method == RequestMethod::Get ? equalsIgnoringCase(key, name) : key == name;
        if (matches)
            return &value;
    }
    return nullptr;
}

bool readNumber(std::string_view text, double& value)
{
    // from_chars reads the C locale's form whatever the process locale is,
    // and takes neither spaces nor a leading '+'.
    double parsed = 0.0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

bool readInteger(std::string_view text, std::int32_t& value)
{
    std::int32_t parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return false;
    value = parsed;
    return true;
}

bool readUnsigned(std::string_view text, std::uint32_t& value)
{
    std::uint32_t parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return false;
    value = parsed;
    return true;
}

bool readBoolean(std::string_view text, bool& value)
{
    if (equalsIgnoringCase(text, "true"))
        value = true;
    else if (equalsIgnoringCase(text, "false"))
        value = false;
    else
        return false;
    return true;
}

// The zone after the time: none or "Z" (UTC), or an offset "+hh:mm",
// "+hhmm" or "+hh" (either sign) east of UTC, in seconds.
static bool readZoneOffset(std::string_view zone, int& offsetSeconds)
{
    offsetSeconds = 0;
    if (zone.empty() || zone == "Z" || zone == "z")
        return true;
    const char sign = zone[0];
    if (sign != '+' && sign != '-')
        return false;
    zone.remove_prefix(1);
    int hours = 0, minutes = 0;
    bool whole;
    if (zone.size() == 2)
        whole = fixedDigits(zone, 0, 2, hours);
    else if (zone.size() == 4)
        whole = fixedDigits(zone, 0, 2, hours) && fixedDigits(zone, 2, 2, minutes);
    else if (zone.size() == 5)
        whole = fixedDigits(zone, 0, 2, hours) && zone[2] == ':' && fixedDigits(zone, 3, 2, minutes);
    else
        return false;
    if (!whole || hours > 23 || minutes > 59)
        return false;
    offsetSeconds = (sign == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

bool readUtcDate(std::string_view text, UtcTime& value)
{
    int year, month, day, hour, minute, second;
    if (text.size() < 19 || !fixedDigits(text, 0, 4, year) || text[4] != '-' || !fixedDigits(text, 5, 2, month)
        || text[7] != '-' || !fixedDigits(text, 8, 2, day) || (text[10] != 'T' && text[10] != 't')
        || !fixedDigits(text, 11, 2, hour) || text[13] != ':' || !fixedDigits(text, 14, 2, minute)
        || text[16] != ':' || !fixedDigits(text, 17, 2, second))
        return false;
    std::size_t at = 19;
    double fraction = 0.0;
    if (at < text.size() && text[at] == '.') {
        // A dot and one digit or more, nine at most.
        ++at;
        const std::size_t digitsFrom = at;
        double scale = 0.1;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, scale /= 10)
            fraction += (text[at] - '0') * scale;
        if (at == digitsFrom || at - digitsFrom > 9)
            return false;
    }
    int offsetSeconds = 0;
    if (!readZoneOffset(text.substr(at), offsetSeconds))
        return false;
    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(unsigned(month)),
                              std::chrono::day(unsigned(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59)
        return false;
    const double seconds = double(sys_days(date).time_since_epoch().count()) * 86400.0 + hour * 3600.0
        + minute * 60.0 + second + fraction - offsetSeconds;
    value = UtcTime(MountDays(seconds / 86400.0));
    return true;
}

std::string formatUtcDate(UtcTime value)
{
    using namespace std::chrono;
    const double days = value.time_since_epoch().count();
    // Beyond what a calendar of four-digit years holds, the epoch stands
    // in: the reply stays a well-formed date.
    // 0001-01-01 up to, not including, 10000-01-01, in whole days.
    constexpr double kFirstDay = -719162.0, kDayAfterLast = 2932897.0;
    const long long perDay = 86400LL * 10000000LL;
    if (!std::isfinite(days) || days < kFirstDay || days >= kDayAfterLast)
        return "1970-01-01T00:00:00.0000000Z";
    // Whole ten-millionths of a second, as the format shows them; a value
    // that rounds up into the year 10000 is out of reach too.
    const long long ticks = std::llround(days * 86400.0 * 1e7);
    if (ticks >= static_cast<long long>(kDayAfterLast) * perDay)
        return "1970-01-01T00:00:00.0000000Z";
    long long dayNumber = ticks / perDay;
    long long within = ticks % perDay;
    if (within < 0) {
        within += perDay;
        --dayNumber;
    }
    const year_month_day date{sys_days(std::chrono::days(dayNumber))};
    const long long secondsOfDay = within / 10000000LL;
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%07lldZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), secondsOfDay / 3600, secondsOfDay / 60 % 60,
                  secondsOfDay % 60, within % 10000000LL);
    return text;
}
