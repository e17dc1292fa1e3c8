// The coordinate readers scan the text once into at most three numeric
// fields, each with what came before it (nothing, spaces or a colon) and the
// unit mark after it, then judge the layout as a whole: a single decimal
// number; fields all separated by colons or all by spaces; or fields marked
// with their units in order (h m s, ° ' "), where the last mark may be left
// off. Only the last field may have a fraction.
#include "SkyCoordinates.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <span>
#include <system_error>

namespace {

// Which field a unit mark closes: 0 hours or degrees, 1 minutes, 2 seconds.
struct UnitMark {
    std::string_view text;
    int field;
};

constexpr UnitMark kHourMarks[] = {
    {"h", 0}, {"H", 0}, {"m", 1}, {"M", 1}, {"s", 2}, {"S", 2},
};

// Where one mark begins another, the longer comes first ('' before ').
constexpr UnitMark kDegreeMarks[] = {
    {"\xC2\xB0", 0}, // ° degree sign
    {"\xC2\xBA", 0}, // º masculine ordinal, typed for it
    {"d", 0},
    {"D", 0},
    {"''", 2},
    {"\xE2\x80\x99\xE2\x80\x99", 2}, // ’’
    {"\xE2\x80\xB2\xE2\x80\xB2", 2}, // ′′
    {"'", 1},
    {"\xE2\x80\x99", 1}, // ’ right single quotation mark
    {"\xE2\x80\xB2", 1}, // ′ prime
    {"m", 1},
    {"M", 1},
    {"\"", 2},
    {"\xE2\x80\x9D", 2}, // ” right double quotation mark
    {"\xE2\x80\xB3", 2}, // ″ double prime
    {"s", 2},
    {"S", 2},
};

enum class Separator { None, Spaces, Colon, Broken };

struct Field {
    double value = 0;
    bool hasFraction = false;
    int mark = -1; // the field its unit mark names; -1 without a mark
    Separator before = Separator::None;
};

struct Fields {
    bool negative = false;
    bool hasSign = false;
    std::array<Field, 3> items{};
    std::size_t count = 0;
};

// The length of the blank (space, tab, no-break space) text starts with.
std::size_t blankLength(std::string_view text)
{
    if (text.starts_with(' ') || text.starts_with('\t'))
        return 1;
    if (text.starts_with("\xC2\xA0"))
        return 2;
    return 0;
}

std::string_view trimmed(std::string_view text)
{
    while (std::size_t length = blankLength(text))
        text.remove_prefix(length);
    for (;;) {
        if (text.ends_with(' ') || text.ends_with('\t')) {
            text.remove_suffix(1);
        } else if (text.ends_with("\xC2\xA0")) {
            text.remove_suffix(2);
        } else {
            return text;
        }
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

class Scanner {
public:
    explicit Scanner(std::string_view text) : rest(text) {}

    bool atEnd() const { return rest.empty(); }

    bool take(std::string_view prefix)
    {
        if (!rest.starts_with(prefix))
            return false;
        rest.remove_prefix(prefix.size());
        return true;
    }

    std::size_t skipBlanks()
    {
        std::size_t skipped = 0;
        while (std::size_t length = blankLength(rest)) {
            rest.remove_prefix(length);
            skipped += length;
        }
        return skipped;
    }

    // A colon stands alone: "5 : 35" is refused.
    Separator separator()
    {
        const bool blanksBefore = skipBlanks() > 0;
        if (!take(":"))
            return blanksBefore ? Separator::Spaces : Separator::None;
        if (blanksBefore || skipBlanks() > 0)
            return Separator::Broken;
        return Separator::Colon;
    }

    // Digits, then optionally a point and more digits: no sign, exponent,
    // "inf" or "nan" gets this far.
    bool number(Field& field)
    {
        std::size_t length = digitsAt(0);
        if (length == 0)
            return false;
        if (length < rest.size() && rest[length] == '.') {
            const std::size_t fraction = digitsAt(length + 1);
            if (fraction == 0)
                return false;
            length += 1 + fraction;
            field.hasFraction = true;
        }
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + length, field.value);
        if (error != std::errc{} || end != rest.data() + length || !std::isfinite(field.value))
            return false;
        rest.remove_prefix(length);
        return true;
    }

    int mark(std::span<const UnitMark> marks)
    {
        for (const UnitMark& candidate : marks) {
            if (take(candidate.text))
                return candidate.field;
        }
        return -1;
    }

private:
    std::size_t digitsAt(std::size_t from) const
    {
        std::size_t at = from;
        while (at < rest.size() && isDigit(rest[at]))
            ++at;
        return at - from;
    }

    std::string_view rest;
};

std::optional<Fields> scanFields(std::string_view text, std::span<const UnitMark> marks)
{
    if (text.size() > kLongestCoordinateText)
        return std::nullopt;
    Scanner scan(trimmed(text));
    Fields fields;
    if (scan.take("-")) {
        fields.negative = fields.hasSign = true;
    } else if (scan.take("+")) {
        fields.hasSign = true;
    }
    while (!scan.atEnd()) {
        if (fields.count == fields.items.size())
            return std::nullopt;
        Field field;
        if (fields.count > 0)
            field.before = scan.separator();
        if (field.before == Separator::Broken || !scan.number(field))
            return std::nullopt;
        field.mark = scan.mark(marks);
        fields.items[fields.count++] = field;
    }
    if (fields.count == 0)
        return std::nullopt;
    return fields;
}

bool anyMarked(const Fields& fields)
{
    for (std::size_t i = 0; i < fields.count; ++i) {
        if (fields.items[i].mark >= 0)
            return true;
    }
    return false;
}

// Unmarked fields: one decimal number, or all separated by colons or all by
// spaces.
bool unmarkedLayoutFits(const Fields& fields)
{
    if (fields.count == 1)
        return true;
    const Separator first = fields.items[1].before;
    if (first != Separator::Colon && first != Separator::Spaces)
        return false;
    for (std::size_t i = 2; i < fields.count; ++i) {
        if (fields.items[i].before != first)
            return false;
    }
    return true;
}

// Marked fields: each marked with its own unit in order, separated by
// nothing or spaces; the last may go unmarked after a marked one ("5h35").
bool markedLayoutFits(const Fields& fields)
{
    for (std::size_t i = 0; i < fields.count; ++i) {
        const Field& field = fields.items[i];
        if (field.before == Separator::Colon)
            return false;
        if (field.mark == static_cast<int>(i))
            continue;
        const bool lastAfterMarked =
            field.mark < 0 && i > 0 && i + 1 == fields.count && fields.items[i - 1].mark == static_cast<int>(i - 1);
        if (!lastAfterMarked)
            return false;
    }
    return true;
}

bool valuesFit(const Fields& fields)
{
    for (std::size_t i = 0; i < fields.count; ++i) {
        const Field& field = fields.items[i];
        if (field.hasFraction && i + 1 != fields.count)
            return false;
        if (i > 0 && !(field.value < 60))
            return false;
    }
    return true;
}

// The magnitude of the angle the fields give, in their first field's unit;
// empty when the layout or a value does not fit.
std::optional<double> readMagnitude(const Fields& fields)
{
    const bool layoutFits = anyMarked(fields) ? markedLayoutFits(fields) : unmarkedLayoutFits(fields);
    if (!layoutFits || !valuesFit(fields))
        return std::nullopt;
    double total = 0;
    double unit = 1;
    for (std::size_t i = 0; i < fields.count; ++i) {
        total += fields.items[i].value / unit;
        unit *= 60;
    }
    return total;
}

} // namespace

std::optional<double> parseRightAscension(std::string_view text)
{
    const std::optional<Fields> fields = scanFields(text, kHourMarks);
    if (!fields || fields->hasSign)
        return std::nullopt;
    const std::optional<double> hours = readMagnitude(*fields);
    if (!hours || !(*hours < 24))
        return std::nullopt;
    return hours;
}

std::optional<double> parseDeclination(std::string_view text)
{
    const std::optional<Fields> fields = scanFields(text, kDegreeMarks);
    if (!fields)
        return std::nullopt;
    const std::optional<double> degrees = readMagnitude(*fields);
    if (!degrees || !(*degrees <= 90))
        return std::nullopt;
    return fields->negative ? -*degrees : *degrees;
}

std::string formatRightAscension(double hours)
{
    if (!std::isfinite(hours))
        return "?";
    constexpr long long kTenthsPerDay = 24LL * 36000;
    long long tenths = std::llround(std::fmod(hours, 24.0) * 36000) % kTenthsPerDay;
    if (tenths < 0)
        tenths += kTenthsPerDay;
    char text[32];
    std::snprintf(text, sizeof text, "%02lldh%02lldm%02lld.%llds", tenths / 36000, tenths / 600 % 60, tenths / 10 % 60,
                  tenths % 10);
    return text;
}

std::string formatDeclination(double degrees)
{
    if (!std::isfinite(degrees))
        return "?";
    const long long seconds = std::llround(std::fmin(std::fabs(degrees), 90.0) * 3600);
    const char sign = degrees < 0 && seconds > 0 ? '-' : '+';
    char text[32];
    std::snprintf(text, sizeof text, "%c%02lld\xC2\xB0%02lld'%02lld\"", sign, seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}
