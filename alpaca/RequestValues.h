// What an Alpaca request carries: its parameters, decoded from the query
// string of a GET or the form body of a PUT, and their values read strictly
// and without regard to the process locale. Nothing here knows HTTP, so a
// fuzzer and the tests reach it directly.
#pragma once

#include "MountTypes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class RequestMethod { Get, Put };

using ParameterList = std::vector<std::pair<std::string, std::string>>;

// Decodes application/x-www-form-urlencoded text ("a=1&b=x%20y"), appending
// to into. False on a broken escape or more than kMostParameters pairs.
bool decodeForm(std::string_view text, ParameterList& into);
constexpr std::size_t kMostParameters = 64;

class RequestParameters {
public:
    RequestParameters(RequestMethod method, ParameterList list) : method(method), list(std::move(list)) {}
    // A GET's names match in any case, a PUT's only in their exact case;
    // the first of several wins. Null when absent.
    const std::string* find(std::string_view name) const;

private:
    RequestMethod method;
    ParameterList list;
};

// Each is false when the text is not wholly a value of its kind.
// A finite number with '.' as the decimal point ("12.5", "-3e-2").
bool readNumber(std::string_view text, double& value);
// A whole decimal number that fits 32 bits, with an optional '-'.
bool readInteger(std::string_view text, std::int32_t& value);
// "true" or "false" in any case.
bool readBoolean(std::string_view text, bool& value);
// A client's transaction or client number: a whole number from 0 to
// 4294967295.
bool readUnsigned(std::string_view text, std::uint32_t& value);
// An ISO 8601 time as clients send it, "2026-12-08T22:15:30.25Z": up to
// nine digits of fraction, and "Z", an offset ("+01:00", "-0530", "+01")
// that is taken off, or no zone at all (UTC).
bool readUtcDate(std::string_view text, UtcTime& value);
// As Alpaca writes it: "2026-12-08T22:15:30.2500000Z".
std::string formatUtcDate(UtcTime value);
