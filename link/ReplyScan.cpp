#include "ReplyScan.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstring>

namespace {

bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

void skipSpace(const char*& text)
{
    while (*text && isSpace(*text))
        ++text;
}

// Reads [sign] digits, at most width characters (0: no limit).
bool scanInteger(const char*& text, int width, int& value)
{
    skipSpace(text);
    const char* p = text;
    int limit = width > 0 ? width : INT_MAX;
    int used = 0;
    bool negative = false;
    if ((*p == '+' || *p == '-') && used < limit) {
        negative = *p == '-';
        ++p;
        ++used;
    }
    long long magnitude = 0;
    int digits = 0;
    while (used < limit && isDigit(*p)) {
        if (magnitude <= INT_MAX)
            magnitude = magnitude * 10 + (*p - '0');
        ++p;
        ++used;
        ++digits;
    }
    if (digits == 0)
        return false;
    long long signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT_MAX)
        signedValue = INT_MAX;
    if (signedValue < INT_MIN)
        signedValue = INT_MIN;
    value = static_cast<int>(signedValue);
    text = p;
    return true;
}

// Reads [sign] digits [. digits] [e [sign] digits] with a point as the
// decimal separator whatever the locale says.
bool scanDouble(const char*& text, double& value)
{
    skipSpace(text);
    const char* p = text;
    if (*p == '+' || *p == '-')
        ++p;
    const char* mantissa = p;
    while (isDigit(*p))
        ++p;
    if (*p == '.') {
        ++p;
        while (isDigit(*p))
            ++p;
    }
    if (p == mantissa || (p == mantissa + 1 && *mantissa == '.'))
        return false;
    if (*p == 'e' || *p == 'E') {
        const char* exponent = p + 1;
        if (*exponent == '+' || *exponent == '-')
            ++exponent;
        if (isDigit(*exponent)) {
            while (isDigit(*exponent))
                ++exponent;
            p = exponent;
        }
    }
    // from_chars takes no leading '+'.
    const char* first = *text == '+' ? text + 1 : text;
    double parsed = 0.0;
    auto result = std::from_chars(first, p, parsed);
    if (result.ec == std::errc::result_out_of_range)
        return false;
    if (result.ec != std::errc())
        return false;
    value = parsed;
    text = p;
    return true;
}

} // namespace

int scanReply(const char* text, const char* format, ...)
{
    va_list fields;
    va_start(fields, format);
    int converted = 0;
    while (*format) {
        if (isSpace(*format)) {
            skipSpace(text);
            ++format;
            continue;
        }
        if (*format != '%' || format[1] == '%') {
            if (*format == '%')
                ++format;
            if (*text != *format)
                break;
            ++text;
            ++format;
            continue;
        }
        ++format;
        int width = 0;
        while (isDigit(*format))
            width = width * 10 + (*format++ - '0');
        bool ok = false;
        if (*format == 'c') {
            ++format;
            if (*text) {
                *va_arg(fields, char*) = *text++;
                ok = true;
            }
        } else if (*format == 'd') {
            ++format;
            int value = 0;
            if ((ok = scanInteger(text, width, value)))
                *va_arg(fields, int*) = value;
        } else if (format[0] == 'l' && format[1] == 'f') {
            format += 2;
            double value = 0.0;
            if ((ok = scanDouble(text, value)))
                *va_arg(fields, double*) = value;
        }
        if (!ok)
            break;
        ++converted;
    }
    va_end(fields);
    return converted;
}
