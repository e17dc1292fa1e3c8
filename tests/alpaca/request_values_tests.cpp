// What a request carries, read as the server reads it: form decoding, the
// GET and PUT ways of finding a parameter, the strict readers of numbers,
// whole numbers, booleans and UTC dates, the date written back, and the
// Alpaca error number and text each core outcome becomes. The readers are
// run again under a decimal-comma locale, which must change nothing.
#include "AlpacaErrors.h"
#include "Messages.h"
#include "RequestValues.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace std::string_literals;

namespace {

// ---------------------------------------------------------------- forms

struct GoodForm {
    std::string text;
    ParameterList pairs;
};

const GoodForm kGoodForms[] = {
    {"", {}},
    {"a=1&b=x%20y", {{"a", "1"}, {"b", "x y"}}},
    {"Right+Ascension=1+2", {{"Right Ascension", "1 2"}}},
    {"a=%2B1", {{"a", "+1"}}},             // an escaped '+' stays a '+'
    {"a=%2b%2F%3d%26", {{"a", "+/=&"}}},   // hex digits in either case
    {"&&a=1&&&b=2&", {{"a", "1"}, {"b", "2"}}}, // empty pairs are skipped
    {"flag", {{"flag", ""}}},
    {"flag=", {{"flag", ""}}},
    {"=v", {{"", "v"}}},
    {"a=1=2", {{"a", "1=2"}}},              // only the first '=' divides
    {"a=%00b", {{"a", "\0b"s}}},            // any byte may be escaped
    {"a=%C3%A9", {{"a", "\xC3\xA9"}}},
    {"a=1&a=2", {{"a", "1"}, {"a", "2"}}},  // repeats kept, in order
};

const char* const kBrokenForms[] = {
    "a=%",     "a=%2",      "a=%G0",   "a=%0G",  "%zz=1", "a=1&b=%",
    "a=%%41",  "a=% 41",    "%=1",     "a=%-1",  "a=%+1", "a=1&%4",
};

std::string pairsText(const ParameterList& pairs)
{
    std::string text;
    for (const auto& [name, value] : pairs)
        text += "[" + name + "]=[" + value + "] ";
    return text;
}

std::string manyPairs(std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i ? "&p" : "p") + std::to_string(i) + "=" + std::to_string(i);
    return text;
}

TEST(DecodeForm, GoodFormsGiveTheirPairsInOrder)
{
    for (const GoodForm& form : kGoodForms) {
        ParameterList pairs;
        EXPECT_TRUE(decodeForm(form.text, pairs)) << "[" << form.text << "]";
        EXPECT_EQ(pairs, form.pairs) << "[" << form.text << "] gave " << pairsText(pairs);
    }
}

TEST(DecodeForm, AppendsToWhatIsThere)
{
    ParameterList pairs = {{"ClientID", "1"}};
    ASSERT_TRUE(decodeForm("Connected=true", pairs));
    EXPECT_EQ(pairs, (ParameterList{{"ClientID", "1"}, {"Connected", "true"}}));
}

TEST(DecodeForm, BrokenEscapesAreRefused)
{
    for (const char* text : kBrokenForms) {
        ParameterList pairs;
        EXPECT_FALSE(decodeForm(text, pairs)) << "[" << text << "] gave " << pairsText(pairs);
    }
}

TEST(DecodeForm, AtMostTheLimitOfPairs)
{
    struct Case {
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {manyPairs(kMostParameters), true},
        {manyPairs(kMostParameters) + "&&&&", true}, // empty pairs are not counted
        {manyPairs(kMostParameters + 1), false},
        {manyPairs(1000), false},
    };
    for (const Case& c : cases) {
        ParameterList pairs;
        EXPECT_EQ(decodeForm(c.text, pairs), c.accepted) << c.text.size() << " characters";
        if (c.accepted) {
            EXPECT_EQ(pairs.size(), kMostParameters);
        }
        EXPECT_LE(pairs.size(), kMostParameters);
    }
}

// ---------------------------------------------------------------- lookup

TEST(RequestParameters, GetMatchesAnyCasePutOnlyTheExactOne)
{
    const ParameterList list = {{"ClientID", "5"},   {"clienttransactionid", "7"}, {"Connected", "true"},
                                {"connected", "false"}, {"Axis", ""}};
    const RequestParameters get(RequestMethod::Get, list);
    const RequestParameters put(RequestMethod::Put, list);
    struct Case {
        const char* name;
        std::optional<std::string> fromGet;
        std::optional<std::string> fromPut;
    };
    const Case cases[] = {
        {"ClientID", "5", "5"},
        {"clientid", "5", std::nullopt},
        {"CLIENTID", "5", std::nullopt},
        {"ClientTransactionID", "7", std::nullopt},
        {"clienttransactionid", "7", "7"},
        {"Connected", "true", "true"},      // the first of several wins
        {"CONNECTED", "true", std::nullopt},
        {"connected", "true", "false"},
        {"Axis", "", ""},                   // present but empty is not absent
        {"Client", std::nullopt, std::nullopt}, // no prefix matching
        {"ClientID ", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"Missing", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string* fromGet = get.find(c.name);
        const std::string* fromPut = put.find(c.name);
        EXPECT_EQ(fromGet ? std::optional(*fromGet) : std::nullopt, c.fromGet) << "GET " << c.name;
        EXPECT_EQ(fromPut ? std::optional(*fromPut) : std::nullopt, c.fromPut) << "PUT " << c.name;
    }
}

// ---------------------------------------------------------------- values

struct NumberCase {
    const char* text;
    std::optional<double> value;
};

const NumberCase kNumbers[] = {
    {"12.5", 12.5},   {"-3e-2", -3e-2}, {"0", 0.0},        {"-0.75", -0.75}, {"1E3", 1000.0},
    {"23.9999", 23.9999}, {".5", 0.5}, {"1e308", 1e308},   {"007", 7.0},
    {"1,5", std::nullopt},  {" 1", std::nullopt},  {"1 ", std::nullopt},   {"+1", std::nullopt},
    {"nan", std::nullopt},  {"NaN", std::nullopt}, {"inf", std::nullopt},  {"-inf", std::nullopt},
    {"infinity", std::nullopt}, {"1e400", std::nullopt}, {"-1e400", std::nullopt}, {"", std::nullopt},
    {"0x10", std::nullopt}, {"1e", std::nullopt},  {"-", std::nullopt},    {".", std::nullopt},
    {"12.5abc", std::nullopt}, {"1.2.3", std::nullopt}, {"\xD9\xA1", std::nullopt}, // an Arabic-Indic one
    {"1\t", std::nullopt},
};

struct IntegerCase {
    const char* text;
    std::optional<std::int32_t> value;
};

const IntegerCase kIntegers[] = {
    {"0", 0}, {"42", 42}, {"-42", -42}, {"007", 7}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
    {"2147483648", std::nullopt},  {"-2147483649", std::nullopt}, {"99999999999999999999", std::nullopt},
    {"+1", std::nullopt},          {" 1", std::nullopt},          {"1 ", std::nullopt},
    {"1.0", std::nullopt},         {"1e3", std::nullopt},         {"", std::nullopt},
    {"-", std::nullopt},           {"0x10", std::nullopt},        {"1,000", std::nullopt},
};

struct UnsignedCase {
    const char* text;
    std::optional<std::uint32_t> value;
};

const UnsignedCase kUnsigned[] = {
    {"0", 0u}, {"1", 1u}, {"4294967295", 4294967295u},
    {"4294967296", std::nullopt}, {"-1", std::nullopt}, {"-0", std::nullopt}, {"+1", std::nullopt},
    {"", std::nullopt},           {" 1", std::nullopt}, {"1.5", std::nullopt}, {"0x1", std::nullopt},
};

struct BooleanCase {
    const char* text;
    std::optional<bool> value;
};

const BooleanCase kBooleans[] = {
    {"true", true},  {"TRUE", true},  {"True", true},  {"false", false}, {"FALSE", false}, {"fAlSe", false},
    {"1", std::nullopt},   {"0", std::nullopt},     {"yes", std::nullopt}, {"no", std::nullopt},
    {"", std::nullopt},    {"true ", std::nullopt}, {" true", std::nullopt}, {"truee", std::nullopt},
    {"t", std::nullopt},   {"on", std::nullopt},    {"tru", std::nullopt},
};

void checkNumbers()
{
    for (const NumberCase& c : kNumbers) {
        double value = -99.0;
        const bool read = readNumber(c.text, value);
        EXPECT_EQ(read, c.value.has_value()) << "[" << c.text << "]";
        if (read && c.value) {
            EXPECT_EQ(value, *c.value) << "[" << c.text << "]";
        }
    }
    // A NUL inside is not the end of the text.
    double value = 0;
    EXPECT_FALSE(readNumber(std::string_view("1\0" "5", 3), value));
}

void checkIntegers()
{
    for (const IntegerCase& c : kIntegers) {
        std::int32_t value = -99;
        const bool read = readInteger(c.text, value);
        EXPECT_EQ(read, c.value.has_value()) << "[" << c.text << "]";
        if (read && c.value) {
            EXPECT_EQ(value, *c.value) << "[" << c.text << "]";
        }
    }
    for (const UnsignedCase& c : kUnsigned) {
        std::uint32_t value = 99;
        const bool read = readUnsigned(c.text, value);
        EXPECT_EQ(read, c.value.has_value()) << "[" << c.text << "]";
        if (read && c.value) {
            EXPECT_EQ(value, *c.value) << "[" << c.text << "]";
        }
    }
}

void checkBooleans()
{
    for (const BooleanCase& c : kBooleans) {
        bool value = false;
        const bool read = readBoolean(c.text, value);
        EXPECT_EQ(read, c.value.has_value()) << "[" << c.text << "]";
        if (read && c.value) {
            EXPECT_EQ(value, *c.value) << "[" << c.text << "]";
        }
    }
}

TEST(ReadValues, Numbers) { checkNumbers(); }
TEST(ReadValues, WholeNumbers) { checkIntegers(); }
TEST(ReadValues, Booleans) { checkBooleans(); }

// ---------------------------------------------------------------- dates

struct Civil {
    int year, month, day, hour, minute, second;
    double fraction;
};

// Seconds since 1970 by the C library's own calendar, not the code's.
double secondsOf(const Civil& civil)
{
    std::tm parts{};
    parts.tm_year = civil.year - 1900;
    parts.tm_mon = civil.month - 1;
    parts.tm_mday = civil.day;
    parts.tm_hour = civil.hour;
    parts.tm_min = civil.minute;
    parts.tm_sec = civil.second;
    return double(timegm(&parts)) + civil.fraction;
}

double secondsOf(UtcTime time)
{
    return time.time_since_epoch().count() * 86400.0;
}

struct DateCase {
    const char* text;
    std::optional<Civil> when;
};

const DateCase kDates[] = {
    {"2026-12-08T22:15:30.25Z", Civil{2026, 12, 8, 22, 15, 30, 0.25}},
    {"2026-12-08T22:15:30Z", Civil{2026, 12, 8, 22, 15, 30, 0}},
    {"2026-12-08T22:15:30", Civil{2026, 12, 8, 22, 15, 30, 0}},
    {"2026-12-08T22:15:30.25", Civil{2026, 12, 8, 22, 15, 30, 0.25}},
    {"2026-12-08T22:15:30.5000000Z", Civil{2026, 12, 8, 22, 15, 30, 0.5}},
    {"2026-12-08T22:15:30.123456789Z", Civil{2026, 12, 8, 22, 15, 30, 0.123456789}},
    {"1970-01-01T00:00:00Z", Civil{1970, 1, 1, 0, 0, 0, 0}},
    {"1969-12-31T23:59:59.5Z", Civil{1969, 12, 31, 23, 59, 59, 0.5}},
    {"2024-02-29T12:00:00Z", Civil{2024, 2, 29, 12, 0, 0, 0}},   // leap day
    {"2000-02-29T00:00:00Z", Civil{2000, 2, 29, 0, 0, 0, 0}},    // every 400 years
    {"2026-12-31T23:59:59.9999999Z", Civil{2026, 12, 31, 23, 59, 59, 0.9999999}},
    {"2026-02-29T00:00:00Z", std::nullopt},  // not a leap year
    {"1900-02-29T00:00:00Z", std::nullopt},  // nor a century
    {"2026-04-31T00:00:00Z", std::nullopt},
    {"2026-13-01T00:00:00Z", std::nullopt},
    {"2026-00-10T00:00:00Z", std::nullopt},
    {"2026-12-00T00:00:00Z", std::nullopt},
    {"2026-12-08T24:00:00Z", std::nullopt},
    {"2026-12-08T23:60:00Z", std::nullopt},
    {"2026-12-08T23:59:60Z", std::nullopt},
    {"2026-12-08T22:15:30.1234567890Z", std::nullopt}, // ten digits of fraction
    {"2026-12-08T22:15:30.Z", std::nullopt},
    {"2026-12-08T22:15:30.", std::nullopt},
    {"2026-12-08T22:15:30,25Z", std::nullopt},
    {"2026-12-08T22:15:30.2 5Z", std::nullopt},
    {"2026-12-08T22:15:30.-5Z", std::nullopt},
    // Offsets, as Python's and .NET's clients send them, are taken off.
    {"2026-12-09T07:19:18.693063+00:00", Civil{2026, 12, 9, 7, 19, 18, 0.693063}},
    {"2026-12-08T22:15:30+01:00", Civil{2026, 12, 8, 21, 15, 30, 0}},
    {"2026-12-08T22:15:30.5-05:30", Civil{2026, 12, 9, 3, 45, 30, 0.5}},
    {"2026-12-31T23:30:00-01:00", Civil{2027, 1, 1, 0, 30, 0, 0}},
    {"2026-01-01T00:15:00+0100", Civil{2025, 12, 31, 23, 15, 0, 0}},
    {"2026-12-08T22:15:30+01", Civil{2026, 12, 8, 21, 15, 30, 0}},
    {"2026-12-08T22:15:30z", Civil{2026, 12, 8, 22, 15, 30, 0}},
    {"2026-12-08T22:15:30+24:00", std::nullopt},
    {"2026-12-08T22:15:30+01:60", std::nullopt},
    {"2026-12-08T22:15:30+1:00", std::nullopt},
    {"2026-12-08T22:15:30+01:0", std::nullopt},
    {"2026-12-08T22:15:30 +01:00", std::nullopt},
    {"2026-12-08T22:15:30+01:00Z", std::nullopt},
    {"2026-12-08T22:15:30Z+01:00", std::nullopt},
    {"2026-12-08T22:15:30+", std::nullopt},
    {"2026-12-08T22:15:30.+01:00", std::nullopt},
    {"2026-12-08T22:15:30ZZ", std::nullopt},
    {"2026-12-08T22:15:30.25Zjunk", std::nullopt},
    {"2026-12-08 22:15:30Z", std::nullopt},
    {"2026-12-08T22:15Z", std::nullopt},
    {"2026-12-8T22:15:30Z", std::nullopt},
    {"26-12-08T22:15:30Z", std::nullopt},
    {"+2026-12-08T22:15:30Z", std::nullopt},
    {"2026/12/08T22:15:30Z", std::nullopt},
    {"2026-12-08", std::nullopt},
    {"Z", std::nullopt},
    {"", std::nullopt},
};

void checkDates()
{
    for (const DateCase& c : kDates) {
        UtcTime value{};
        const bool read = readUtcDate(c.text, value);
        EXPECT_EQ(read, c.when.has_value()) << "[" << c.text << "]";
        if (read && c.when) {
            EXPECT_NEAR(secondsOf(value), secondsOf(*c.when), 1e-6) << "[" << c.text << "]";
        }
    }
}

TEST(ReadValues, UtcDates) { checkDates(); }

UtcTime atSeconds(double seconds)
{
    return UtcTime(MountDays(seconds / 86400.0));
}

struct FormatCase {
    UtcTime time;
    const char* text;
};

const FormatCase kFormats[] = {
    {atSeconds(0), "1970-01-01T00:00:00.0000000Z"},
    {atSeconds(-0.5), "1969-12-31T23:59:59.5000000Z"},
    {atSeconds(secondsOf(Civil{2026, 12, 8, 22, 15, 30, 0.25})), "2026-12-08T22:15:30.2500000Z"},
    {atSeconds(secondsOf(Civil{2024, 2, 29, 23, 59, 59, 0})), "2024-02-29T23:59:59.0000000Z"},
    // Rounded to the tenth of a microsecond, carrying into the next day.
    {atSeconds(86399.99999999), "1970-01-02T00:00:00.0000000Z"},
    // The ends of a four-digit year (half days: exact in the day count).
    {UtcTime(MountDays(-719162.0)), "0001-01-01T00:00:00.0000000Z"},
    {UtcTime(MountDays(2932896.5)), "9999-12-31T12:00:00.0000000Z"},
    {UtcTime(MountDays(-719162.5)), "1970-01-01T00:00:00.0000000Z"},
    {UtcTime(MountDays(2932897.0)), "1970-01-01T00:00:00.0000000Z"},
    // Out of a four-digit year's reach, or no number at all: the epoch.
    {UtcTime(MountDays(1e9)), "1970-01-01T00:00:00.0000000Z"},
    {UtcTime(MountDays(-1e9)), "1970-01-01T00:00:00.0000000Z"},
    {UtcTime(MountDays(std::numeric_limits<double>::quiet_NaN())), "1970-01-01T00:00:00.0000000Z"},
    {UtcTime(MountDays(std::numeric_limits<double>::infinity())), "1970-01-01T00:00:00.0000000Z"},
};

// Dates a client may send with all seven digits; each must come back as sent.
const char* const kRoundTrips[] = {
    "2026-12-08T22:15:30.1234567Z", "2026-12-08T22:15:30.0000001Z", "2026-12-08T22:15:30.9999999Z",
    "2024-02-29T23:59:59.9999999Z", "2000-01-01T12:00:00.0000000Z", "1970-01-01T00:00:00.0000001Z",
    "2099-12-31T23:59:59.5000000Z", "1999-12-31T23:59:59.7654321Z", "2026-06-21T04:05:06.0000005Z",
};

TEST(FormatUtcDate, AsAlpacaWritesIt)
{
    for (const FormatCase& c : kFormats)
        EXPECT_EQ(formatUtcDate(c.time), c.text) << secondsOf(c.time) << " s";
}

// A date is days in a double (the core's UtcTime): near today that holds
// about a third of a microsecond, so the round trip keeps the time to the
// microsecond, not to the text's last digit. (The mount's clock is read to
// the second.)
TEST(FormatUtcDate, GivesBackWhatWasReadToTheMicrosecond)
{
    for (const char* text : kRoundTrips) {
        UtcTime value{};
        ASSERT_TRUE(readUtcDate(text, value)) << text;
        const std::string written = formatUtcDate(value);
        UtcTime again{};
        ASSERT_TRUE(readUtcDate(written, again)) << written;
        EXPECT_NEAR(secondsOf(again), secondsOf(value), 1e-6) << text << " came back as " << written;
    }
}

// ---------------------------------------------------------------- locale

// Every reader's and writer's answer to every input of the tables above,
// one line each, exactly: what a change of locale must leave as it is.
// A double's bits in hex: printf's own forms would show the locale's comma.
std::string bitsOf(double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

std::vector<std::string> everyResult()
{
    std::vector<std::string> lines;
    for (const NumberCase& c : kNumbers) {
        double value = 0;
        const bool read = readNumber(c.text, value);
        lines.push_back("number [" + std::string(c.text) + "] " + (read ? bitsOf(value) : "refused"));
    }
    for (const IntegerCase& c : kIntegers) {
        std::int32_t value = 0;
        const bool read = readInteger(c.text, value);
        lines.push_back("integer [" + std::string(c.text) + "] " + (read ? std::to_string(value) : "refused"));
    }
    for (const UnsignedCase& c : kUnsigned) {
        std::uint32_t value = 0;
        const bool read = readUnsigned(c.text, value);
        lines.push_back("unsigned [" + std::string(c.text) + "] " + (read ? std::to_string(value) : "refused"));
    }
    for (const BooleanCase& c : kBooleans) {
        bool value = false;
        const bool read = readBoolean(c.text, value);
        lines.push_back("boolean [" + std::string(c.text) + "] " + (read ? (value ? "true" : "false") : "refused"));
    }
    for (const DateCase& c : kDates) {
        UtcTime value{};
        const bool read = readUtcDate(c.text, value);
        const std::string shown = bitsOf(value.time_since_epoch().count()) + " " + formatUtcDate(value);
        lines.push_back("date [" + std::string(c.text) + "] " + (read ? shown : "refused"));
    }
    for (const char* text : kRoundTrips) {
        UtcTime value{};
        readUtcDate(text, value);
        lines.push_back("round trip [" + std::string(text) + "] " + formatUtcDate(value));
    }
    for (const FormatCase& c : kFormats)
        lines.push_back("format " + formatUtcDate(c.time));
    return lines;
}

// A German locale (decimal comma, '.' to group thousands) made for this
// program alone with localedef under LOCPATH: nothing on the system changes.
// It is set as the C library's locale, where printf and strtod read it;
// std::locale is left alone, as glibc's newlocale leaks under LOCPATH and
// the leak checker would fail the program.
class DecimalCommaLocale : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/velmaro-locale-XXXXXX";
        if (!mkdtemp(pattern)) {
            reason = "no scratch folder for the locale";
            return;
        }
        folder = pattern;
        if (!std::filesystem::exists("/usr/share/i18n/locales/de_DE")) {
            reason = "no de_DE locale source in /usr/share/i18n/locales (Debian's locales package)";
            return;
        }
        const std::string made = folder + "/de_DE.UTF-8";
        pid_t child = fork();
        if (child == 0) {
            const char* argv[] = {"localedef", "-i", "de_DE", "-f", "UTF-8", made.c_str(), nullptr};
            execvp(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        int status = 0;
        // localedef's 1 means warnings only: the locale is still made.
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 1
            || !std::filesystem::exists(made + "/LC_NUMERIC"))
            reason = "localedef could not make de_DE.UTF-8 (wait status " + std::to_string(status) + ")";
    }

    static void TearDownTestSuite()
    {
        std::error_code ignored;
        if (!folder.empty())
            std::filesystem::remove_all(folder, ignored);
    }

    void SetUp() override
    {
        if (!reason.empty())
            GTEST_SKIP() << reason;
    }

    void TearDown() override
    {
        std::setlocale(LC_ALL, "C");
        unsetenv("LOCPATH");
    }

    static bool switchToGerman()
    {
        setenv("LOCPATH", folder.c_str(), 1);
        return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    }

    static inline std::string folder;
    static inline std::string reason;
};

TEST_F(DecimalCommaLocale, ChangesNoResult)
{
    const std::vector<std::string> inC = everyResult();
    ASSERT_TRUE(switchToGerman()) << "the made de_DE.UTF-8 cannot be set";
    // The locale really is in force: the C library now reads and writes a comma.
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    ASSERT_EQ(std::strtod("1,5", nullptr), 1.5);
    char written[16];
    std::snprintf(written, sizeof written, "%.1f", 2.5);
    ASSERT_STREQ(written, "2,5");

    const std::vector<std::string> inGerman = everyResult();
    ASSERT_EQ(inGerman.size(), inC.size());
    for (std::size_t i = 0; i < inC.size(); ++i)
        EXPECT_EQ(inGerman[i], inC[i]);
}

// ---------------------------------------------------------------- errors

TEST(AlpacaErrors, EveryOutcomeKindHasItsNumberAndTheCoreText)
{
    struct Case {
        Outcome outcome;
        int number;
        const char* message;
    };
    const Case cases[] = {
        {Outcome::success(), kAlpacaOk, ""},
        {Outcome::transmissionWarning(kSlewTransmissionError), 0x501, kSlewTransmissionError},
        {Outcome::failure(OutcomeKind::NotImplemented, kNoSetPark), 0x400, kNoSetPark},
        {Outcome::failure(OutcomeKind::InvalidValue, "Declination out of range"), 0x401, "Declination out of range"},
        {Outcome::failure(OutcomeKind::ValueNotSet, "no target"), 0x402, "no target"},
        {Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSlew), 0x408, kParkedSlew},
        {Outcome::failure(OutcomeKind::NotConnected, "The telescope is not connected"), 0x407,
         "The telescope is not connected"},
        {Outcome::failure(OutcomeKind::InvalidOperation, "busy"), 0x40B, "busy"},
        {Outcome::failure(OutcomeKind::Failure, "Cannot open port /dev/ttyUSB0!"), 0x500,
         "Cannot open port /dev/ttyUSB0!"},
        {Outcome::failure(OutcomeKind::LinkDown, "The mount is not answering"), 0x502, "The mount is not answering"},
    };
    std::vector<bool> seen(std::size_t(OutcomeKind::LinkDown) + 1, false);
    for (const Case& c : cases) {
        const AlpacaError error = alpacaError(c.outcome);
        EXPECT_EQ(error.number, c.number) << "kind " << int(c.outcome.kind());
        EXPECT_EQ(error.message, c.message) << "kind " << int(c.outcome.kind());
        seen[std::size_t(c.outcome.kind())] = true;
    }
    for (std::size_t kind = 0; kind < seen.size(); ++kind)
        EXPECT_TRUE(seen[kind]) << "no case for OutcomeKind " << kind;
}

TEST(AlpacaErrors, NumberedOutcomesReadTheTextWithoutAnEntry)
{
    struct Case {
        DriverErrorNumber number;
        int alpaca;
    };
    const Case cases[] = {
        {kErrorNotSupported, 0x400},
        {kErrorValueNotSet, 0x402},
        {kErrorInvalidValue, 0x401},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Outcome::numbered(c.number);
        EXPECT_EQ(outcome.driverNumber(), std::uint32_t(c.number));
        const AlpacaError error = alpacaError(outcome);
        EXPECT_EQ(error.number, c.alpaca) << c.number;
        EXPECT_EQ(error.message, kUnknownError) << c.number;
    }
}

} // namespace
