// The hand controller's sky pieces on their own: coordinates as people type
// them, precession against published worked examples, altitude and azimuth,
// the catalogue against the package it came from, and what a request to go
// somewhere resolves to or is refused with.
#include "Catalogue.h"
#include "SkyCoordinates.h"
#include "SkyMath.h"
#include "SkyTargets.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double hms(double hours, double minutes, double seconds)
{
    return hours + minutes / 60 + seconds / 3600;
}

double dms(double degrees, double minutes, double seconds)
{
    return degrees + minutes / 60 + seconds / 3600;
}

// ---------------------------------------------------------------- typed coordinates

struct GoodText {
    std::string text;
    double value;
};

const GoodText kGoodRightAscensions[] = {
    {"5h35m17s", hms(5, 35, 17)},
    {"5h35m17.3s", hms(5, 35, 17.3)},
    {"5h 35m 17s", hms(5, 35, 17)},
    {"5H35M17S", hms(5, 35, 17)},
    {"5h35.3m", hms(5, 35.3, 0)},
    {"5h35", hms(5, 35, 0)},
    {"5h", 5},
    {"5:35:17", hms(5, 35, 17)},
    {"05:35:17", hms(5, 35, 17)},
    {"5:35:17.25", hms(5, 35, 17.25)},
    {"5:35.3", hms(5, 35.3, 0)},
    {"5 35 17", hms(5, 35, 17)},
    {"12 30", 12.5},
    {"5.588", 5.588},
    {"0", 0},
    {"0:00:00", 0},
    {"  5:35:17  ", hms(5, 35, 17)},
    {"\t5h35m\t", hms(5, 35, 0)},
    {"\xC2\xA0" "5:35\xC2\xA0", hms(5, 35, 0)},  // no-break spaces, as pasted
    {"23:59:59.999", hms(23, 59, 59.999)},
    {"5h35m59.999s", hms(5, 35, 59.999)},
    {"0000005:35", hms(5, 35, 0)},
};

const std::string kBadRightAscensions[] = {
    "", "   ", "24:00:00", "24", "24h", "25:00:00", "23:60:00", "5:60", "5:35:60", "5h35m60s", "5h60m",
    "-5:35:17", "-0:00:00", "+5:35:17", "5:35:17:00", "5h35m17s junk", "5h35m17sx", "abc", "5,588", "5.", ".5",
    "5:35.5:17", "5.5:30", "5.5h30m", "5: 35", "5 :35", "5::35", "5 35:17", "5h 35 17", "5h35s", "35m17s", "5m",
    "5h:35m", "5 h", "nan", "inf", "1e1", "0x5", "5\xC2\xB0", "5:35\0"s, "\xFF", std::string(65, '1'),
    std::string(70, ' ') + "5",
};

const GoodText kGoodDeclinations[] = {
    {"-5\xC2\xB0" "23'28\"", -dms(5, 23, 28)},
    {"-5\xC2\xBA" "23'28\"", -dms(5, 23, 28)},                               // º
    {"-5\xC2\xB0" "23\xE2\x80\x99" "28\xE2\x80\x9D", -dms(5, 23, 28)},       // ’ ”
    {"-5\xC2\xB0" "23\xE2\x80\xB2" "28\xE2\x80\xB3", -dms(5, 23, 28)},       // ′ ″
    {"-5\xC2\xB0" "23'28''", -dms(5, 23, 28)},
    {"-5\xC2\xB0 23' 28\"", -dms(5, 23, 28)},
    {"-5\xC2\xB0" "23'28", -dms(5, 23, 28)},
    {"-5d23m28s", -dms(5, 23, 28)},
    {"5D23M28S", dms(5, 23, 28)},
    {"-5:23:28", -dms(5, 23, 28)},
    {"-5 23 28", -dms(5, 23, 28)},
    {"-5.39", -5.39},
    {"+89:59:59", dms(89, 59, 59)},
    {"-89:59:59.999", -dms(89, 59, 59.999)},
    {"-0:30:00", -0.5},
    {"-0\xC2\xB0" "30'", -0.5},
    {"-0 30", -0.5},
    {"-0.5", -0.5},
    {"5\xC2\xB0", 5},
    {"-5\xC2\xB0" "23'", -dms(5, 23, 0)},
    {"45\xC2\xB0" "30'15.5\"", dms(45, 30, 15.5)},
    {"90", 90},
    {"-90:00:00", -90},
    {"+0", 0},
    {" -12:00 ", -12},
};

const std::string kBadDeclinations[] = {
    "", "-95", "90:00:01", "91", "-90.0001", "5:60:00", "5:23:60", "5\xC2\xB0" "60'", "5\xC2\xB0" "23'60\"",
    "--5", "+-5", "- 5", "5-", "5:-23", "5\xC2\xB0" "23\"", "5'", "5\xC2\xB0" "23'28\"x", "abc", "5.5\xC2\xB0" "30'",
    "nan", "-inf", "1e1", "5,39", "5\xC2\xB0 23 28", "5 23:28", "5:23'", "5\xC2\xB0:23'", "-", "+",
    "\xC2\xB0", "5\xC2", std::string(65, '1'),
};

TEST(SkyCoordinates, RightAscensionsInTheFormsPeopleType)
{
    for (const GoodText& good : kGoodRightAscensions) {
        const std::optional<double> hours = parseRightAscension(good.text);
        ASSERT_TRUE(hours) << good.text;
        EXPECT_NEAR(*hours, good.value, 1e-12) << good.text;
    }
}

TEST(SkyCoordinates, RightAscensionsRefused)
{
    for (const std::string& bad : kBadRightAscensions)
        EXPECT_FALSE(parseRightAscension(bad)) << '"' << bad << '"';
}

TEST(SkyCoordinates, DeclinationsInTheFormsPeopleType)
{
    for (const GoodText& good : kGoodDeclinations) {
        const std::optional<double> degrees = parseDeclination(good.text);
        ASSERT_TRUE(degrees) << good.text;
        EXPECT_NEAR(*degrees, good.value, 1e-12) << good.text;
    }
}

TEST(SkyCoordinates, DeclinationsRefused)
{
    for (const std::string& bad : kBadDeclinations)
        EXPECT_FALSE(parseDeclination(bad)) << '"' << bad << '"';
}

TEST(SkyCoordinates, EveryLengthOfEveryTextIsReadWithoutHarm)
{
    // Each good text cut short at every byte: read or refused, never more
    // than the range allows (the sanitizers watch the reads).
    for (const GoodText& good : kGoodDeclinations) {
        for (std::size_t length = 0; length <= good.text.size(); ++length) {
            const std::optional<double> degrees = parseDeclination(good.text.substr(0, length));
            if (degrees) {
                EXPECT_LE(std::fabs(*degrees), 90.0) << good.text.substr(0, length);
            }
            const std::optional<double> hours = parseRightAscension(good.text.substr(0, length));
            if (hours) {
                EXPECT_TRUE(*hours >= 0 && *hours < 24) << good.text.substr(0, length);
            }
        }
    }
}

TEST(SkyCoordinates, WrittenBackForAPerson)
{
    const struct {
        double hours;
        const char* text;
    } rightAscensions[] = {
        {hms(5, 35, 17.3), "05h35m17.3s"}, {0, "00h00m00.0s"},          {hms(23, 59, 59.96), "00h00m00.0s"},
        {-1, "23h00m00.0s"},               {25, "01h00m00.0s"},         {hms(12, 0, 59.96), "12h01m00.0s"},
        {kNaN, "?"},
    };
    for (const auto& row : rightAscensions) EXPECT_EQ(formatRightAscension(row.hours), row.text) << row.hours;

    const struct {
        double degrees;
        const char* text;
    } declinations[] = {
        {-dms(5, 23, 28), "-05\xC2\xB0" "23'28\""}, {-0.5, "-00\xC2\xB0" "30'00\""},
        {dms(89, 59, 59.6), "+90\xC2\xB0" "00'00\""}, {-0.0001, "+00\xC2\xB0" "00'00\""},
        {-90, "-90\xC2\xB0" "00'00\""},            {kNaN, "?"},
    };
    for (const auto& row : declinations) EXPECT_EQ(formatDeclination(row.degrees), row.text) << row.degrees;
}

TEST(SkyCoordinates, WhatIsWrittenReadsBack)
{
    for (double hours : {0.0, 5.588, 12.25, 23.99}) {
        const std::optional<double> read = parseRightAscension(formatRightAscension(hours));
        ASSERT_TRUE(read) << hours;
        EXPECT_NEAR(*read, hours, 0.05 / 3600) << hours;
    }
    for (double degrees : {-90.0, -5.39, -0.25, 0.0, 45.5, 90.0}) {
        const std::optional<double> read = parseDeclination(formatDeclination(degrees));
        ASSERT_TRUE(read) << degrees;
        EXPECT_NEAR(*read, degrees, 0.5 / 3600) << degrees;
    }
}

// ---------------------------------------------------------------- Julian date and precession

TEST(SkyMath, JulianDates)
{
    const struct {
        std::int64_t unixMilliseconds;
        double julianDate;
    } cases[] = {
        {0, 2440587.5},                  // 1970-01-01 00:00 UTC
        {946728000000, 2451545.0},       // 2000-01-01 12:00 UTC, J2000.0
        {-86400000, 2440586.5},          // the day before 1970
        {1796854530000, 2461384.4274306}, // 2026-12-09 22:15:30 UTC
    };
    for (const auto& row : cases) EXPECT_NEAR(julianDate(row.unixMilliseconds), row.julianDate, 1e-7);
    EXPECT_TRUE(std::isfinite(julianDate(std::numeric_limits<std::int64_t>::max())));
    EXPECT_TRUE(std::isfinite(julianDate(std::numeric_limits<std::int64_t>::min())));
}

// Meeus, Astronomical Algorithms, 2nd ed., examples 12.a and 12.b: the mean
// sidereal time at Greenwich; and the same a quarter of the world east and
// west, where it is six hours ahead and behind.
TEST(SkyMath, MeanSiderealTime)
{
    const struct {
        double julianDate;
        double longitude;
        double hours;
    } cases[] = {
        {2446895.5, 0.0, 13.0 + 10.0 / 60 + 46.3668 / 3600},
        {2446896.30625, 0.0, 8.0 + 34.0 / 60 + 57.0896 / 3600},
        {2446896.30625, 90.0, 14.0 + 34.0 / 60 + 57.0896 / 3600},
        {2446896.30625, -135.0, 24.0 - 0.41747511},
    };
    for (const auto& row : cases)
        EXPECT_NEAR(localSiderealTime(row.julianDate, row.longitude), row.hours, 0.1 / 3600) << row.julianDate;
}

// A published J2000 mean position with its annual proper motion, and the
// mean position the source gives for the equinox of a date.
struct PublishedPrecession {
    const char* source;
    double rightAscensionHours;
    double declinationDegrees;
    double properMotionSecondsOfTime;  // per Julian year
    double properMotionArcSeconds;     // per Julian year
    double julianDate;
    double publishedRightAscensionHours;
    double publishedDeclinationDegrees;
};

// The proper motion is applied here, linearly over the Julian years from
// J2000 to the date, as the source does, so that what is compared is the
// precession alone.
const PublishedPrecession kPublishedPrecessions[] = {
    {"Meeus, Astronomical Algorithms, 2nd ed. (1998), example 21.b: theta Persei to 2028 Nov 13.19 TD",
     hms(2, 44, 11.986), dms(49, 13, 42.48), 0.03425, -0.0895, 2462088.69, hms(2, 46, 11.331), dms(49, 20, 54.54)},
    {"Meeus, Astronomical Algorithms, 2nd ed. (1998), exercise of chapter 21: Polaris to B1900.0",
     hms(2, 31, 48.704), dms(89, 15, 50.72), 0.19877, -0.0152, 2415020.3135, hms(1, 22, 33.90), dms(88, 46, 26.18)},
    {"Meeus, Astronomical Algorithms, 2nd ed. (1998), exercise of chapter 21: Polaris to J2050.0",
     hms(2, 31, 48.704), dms(89, 15, 50.72), 0.19877, -0.0152, 2469807.5, hms(3, 48, 16.43), dms(89, 27, 15.38)},
    {"Meeus, Astronomical Algorithms, 2nd ed. (1998), exercise of chapter 21: Polaris to J2100.0",
     hms(2, 31, 48.704), dms(89, 15, 50.72), 0.19877, -0.0152, 2488070.0, hms(5, 53, 29.17), dms(89, 32, 22.18)},
};

// Angular distance in arc seconds between two positions.
double separationArcSeconds(const Equatorial& a, const Equatorial& b)
{
    const double radiansPerDegree = std::acos(-1.0) / 180;
    const double ra1 = a.rightAscensionHours * 15 * radiansPerDegree;
    const double ra2 = b.rightAscensionHours * 15 * radiansPerDegree;
    const double dec1 = a.declinationDegrees * radiansPerDegree;
    const double dec2 = b.declinationDegrees * radiansPerDegree;
    // The haversine form keeps its precision at the small distances compared here.
    const double h = std::pow(std::sin((dec2 - dec1) / 2), 2) +
                     std::cos(dec1) * std::cos(dec2) * std::pow(std::sin((ra2 - ra1) / 2), 2);
    return 2 * std::asin(std::sqrt(h)) / radiansPerDegree * 3600;
}

TEST(SkyMath, PrecessionMatchesPublishedExamples)
{
    // The published figures are rounded to 0.001 s or 0.01 s of time and
    // 0.01", at most 0.007" on the sky; 0.01" is well inside what a
    // wrong term (0.3" a century squared and more) would cost.
    constexpr double kToleranceArcSeconds = 0.01;
    for (const PublishedPrecession& example : kPublishedPrecessions) {
        const double years = (example.julianDate - kJulianDateJ2000) / 365.25;
        const Equatorial moved{example.rightAscensionHours + example.properMotionSecondsOfTime * years / 3600,
                               example.declinationDegrees + example.properMotionArcSeconds * years / 3600};
        const Equatorial precessed = precessFromJ2000(moved, example.julianDate);
        const Equatorial published{example.publishedRightAscensionHours, example.publishedDeclinationDegrees};
        EXPECT_LT(separationArcSeconds(precessed, published), kToleranceArcSeconds)
            << example.source << ": " << formatRightAscension(precessed.rightAscensionHours) << " "
            << formatDeclination(precessed.declinationDegrees);
        EXPECT_NEAR(precessed.declinationDegrees, published.declinationDegrees, kToleranceArcSeconds / 3600)
            << example.source;
    }
}

TEST(SkyMath, PrecessionAtJ2000ChangesNothingAndKeepsRightAscensionInRange)
{
    const Equatorial positions[] = {{0, 0}, {5.588, -5.39}, {23.9999999, 10}, {12, 89.9999}, {6, -90}};
    for (const Equatorial& position : positions) {
        const Equatorial same = precessFromJ2000(position, kJulianDateJ2000);
        EXPECT_LT(separationArcSeconds(same, position), 1e-6) << position.rightAscensionHours;
        for (double date : {kJulianDateJ2000 + 36525, kJulianDateJ2000 - 36525}) {
            const Equatorial moved = precessFromJ2000(position, date);
            EXPECT_GE(moved.rightAscensionHours, 0.0);
            EXPECT_LT(moved.rightAscensionHours, 24.0);
            EXPECT_LE(std::fabs(moved.declinationDegrees), 90.0);
        }
    }
}

// ---------------------------------------------------------------- altitude and azimuth

TEST(SkyMath, AltitudeAndAzimuth)
{
    const struct Case {
        const char* what;
        Equatorial position;
        double localSiderealHours;
        double latitude;
        double altitude;
        double azimuth;  // not compared when negative (at the zenith)
    } cases[] = {
        {"at the zenith", {3, 52}, 3, 52, 90, -1},
        {"the pole stands at the latitude, due north", {7, 90}, 1, 52, 52, 0},
        {"on the meridian south of the zenith", {10, 0}, 10, 52, 38, 180},
        {"rising due east on the equator", {10, 0}, 4, 52, 0, 90},
        {"setting due west on the equator", {10, 0}, 16, 52, 0, 270},
        {"below the horizon at lower culmination", {10, 10}, 22, 52, -28, 0},
        {"southern sky: the south pole at the latitude, due south", {0, -90}, 5, -33, 33, 180},
        {"southern sky: on the meridian north of the zenith", {8, 0}, 8, -33, 57, 0},
        {"southern sky: rising due east", {8, 0}, 2, -33, 0, 90},
        // Meeus, Astronomical Algorithms, 2nd ed., example 13.b: Venus from
        // Washington (38°55'17" N) at hour angle 64.352133°; the book gives
        // h = 15.1249° and A = 68.0337° from the south, 248.0337° from north.
        {"Meeus example 13.b", {hms(23, 9, 16.641), -dms(6, 43, 11.61)}, hms(23, 9, 16.641) + 64.352133 / 15,
         dms(38, 55, 17), 15.1249, 248.0337},
    };
    for (const Case& row : cases) {
        const Horizontal seen = horizontalOf(row.position, row.localSiderealHours, row.latitude);
        EXPECT_NEAR(seen.altitudeDegrees, row.altitude, 1e-4) << row.what;
        if (row.azimuth >= 0) {
            EXPECT_NEAR(seen.azimuthDegrees, row.azimuth, 1e-4) << row.what;
        }
        EXPECT_GE(seen.azimuthDegrees, 0.0) << row.what;
        EXPECT_LT(seen.azimuthDegrees, 360.0) << row.what;
    }
}

TEST(SkyMath, AzimuthJustWestOfNorthStaysBelow360)
{
    // The pole star a hair west of the meridian: atan2 gives a tiny negative
    // angle, which must wrap to just under 360, never to 360 itself.
    const Horizontal seen = horizontalOf({0, 89.9}, 1e-13, 52);
    EXPECT_GE(seen.azimuthDegrees, 0.0);
    EXPECT_LT(seen.azimuthDegrees, 360.0);
}

// ---------------------------------------------------------------- the catalogue

bool isMessierName(const std::string& name)
{
    return name.size() > 1 && name[0] == 'M' && name.find_first_not_of("0123456789", 1) == std::string::npos;
}

std::string folded(const std::string& text)
{
    std::string lowered;
    for (char c : text) lowered += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

TEST(Catalogue, MessierObjectsInOrderThenTheStarsByName)
{
    const std::vector<CatalogueEntry>& entries = catalogue();
    // siril-common 1.0.6: 110 Messier rows; 338 named stars, 318 names.
    ASSERT_EQ(entries.size(), 110u + 318u);
    for (std::size_t i = 0; i < 110; ++i) EXPECT_EQ(entries[i].name, "M" + std::to_string(i + 1));
    for (std::size_t i = 110; i < entries.size(); ++i) {
        EXPECT_FALSE(isMessierName(entries[i].name)) << entries[i].name;
        if (i > 110) {
            EXPECT_LT(folded(entries[i - 1].name), folded(entries[i].name)) << entries[i].name;
        }
    }
    for (const CatalogueEntry& entry : entries) {
        EXPECT_TRUE(entry.rightAscensionHours >= 0 && entry.rightAscensionHours < 24) << entry.name;
        EXPECT_LE(std::fabs(entry.declinationDegrees), 90.0) << entry.name;
        const std::string name = entry.name;
        EXPECT_FALSE(name.empty() || name.front() == ' ' || name.back() == ' ') << '"' << name << '"';
        // Each name finds its own entry: no two collide once case and
        // spaces are set aside.
        EXPECT_EQ(findInCatalogue(entry.name), &entry) << entry.name;
    }
}

TEST(Catalogue, ValuesAsThePackageFilesGiveThem)
{
    // Rows of siril-common 1.0.6's messier.txt and stars.txt, copied here by
    // hand: M42;5.5878780;-;5.3902220;...;Orion nebula;NGC1976/Sh2-281;
    const struct {
        const char* name;
        const char* description;
        double rightAscensionHours;
        double declinationDegrees;
    } rows[] = {
        {"M42", "Orion nebula", 5.5878780, -5.3902220},
        {"M31", "Andromeda galaxy", 0.7123050, 41.268903},
        {"M2", "NGC7089", 21.557544, -0.8231940},  // no common name: the alias
        {"M40", "Winnecke 4", 12.370139, 58.083056},
        {"Vega", "alf Lyr", 18.615639, 38.783611},
        {"Polaris", "alf UMi", 2.529774, 89.264136},
        {"Deneb", "alf Cyg", 20.690528, 45.280278},     // not eta Cet, mag 3.46
        {"Acrux", "alf01 Cru", 12.443306, -63.099167},  // not alf02 Cru, mag 1.73
        {"Terebellum", "c Sgr", 20.0443, -27.709847},   // the brightest of four
        {"Al Tarf", "bet Cnc", 8.275256, 9.185553},     // " Al Tarf" in the file
    };
    for (const auto& row : rows) {
        const CatalogueEntry* entry = findInCatalogue(row.name);
        ASSERT_NE(entry, nullptr) << row.name;
        EXPECT_STREQ(entry->name, row.name);
        EXPECT_STREQ(entry->description, row.description) << row.name;
        EXPECT_DOUBLE_EQ(entry->rightAscensionHours, row.rightAscensionHours) << row.name;
        EXPECT_DOUBLE_EQ(entry->declinationDegrees, row.declinationDegrees) << row.name;
    }
}

TEST(Catalogue, LookupIgnoresCaseAndSpaces)
{
    const struct {
        std::string asked;
        const char* found;  // null: none
    } cases[] = {
        {"M42", "M42"},       {"m42", "M42"},        {"M 42", "M42"},         {" m 4 2 ", "M42"},
        {"\tM31", "M31"},     {"vega", "Vega"},      {"VEGA", "Vega"},        {"deneb el okab", "Deneb el Okab"},
        {"DenebElOkab", "Deneb el Okab"},            {"Deneb Kaitos Shemali", "Deneb Kaitos Shemali"},
        {"al'farg", "Al'farg"},                      {"M110", "M110"},        {"M1", "M1"},
        {"M111", nullptr},    {"M0", nullptr},       {"M042", nullptr},       {"", nullptr},
        {"   ", nullptr},     {"Vegas", nullptr},    {"Veg", nullptr},        {"M", nullptr},
        {"Deneb Kaitos", nullptr},                   {"M42\0"s, nullptr},     {std::string(100, ' ') + "M42", nullptr},
    };
    for (const auto& row : cases) {
        const CatalogueEntry* entry = findInCatalogue(row.asked);
        if (!row.found) {
            EXPECT_EQ(entry, nullptr) << '"' << row.asked << '"';
            continue;
        }
        ASSERT_NE(entry, nullptr) << row.asked;
        EXPECT_STREQ(entry->name, row.found) << row.asked;
    }
}

// ---------------------------------------------------------------- targets

// 2026-12-09 22:15:30 UTC.
const double kEvening = julianDate(1796854530000);

TEST(SkyTargets, ResolvedOrRefused)
{
    const struct Case {
        std::string name;
        std::string rightAscension;
        std::string declination;
        std::string refusal;  // empty: resolved
    } cases[] = {
        {"M42", "", "", ""},
        {" vega ", "", "", ""},
        {"", "5:35:17", "-5:23:28", ""},
        {"", "5h35m17s", "-5\xC2\xB0" "23'28\"", ""},
        {"M111", "", "", "No object named \"M111\" is in the catalogue"},
        {"  M111  ", "", "", "No object named \"M111\" is in the catalogue"},
        {"", "25:00:00", "10", "\"25:00:00\" cannot be read as a right ascension"},
        {"", "5", "-95", "\"-95\" cannot be read as a declination"},
        {"", "x", "-95", "\"x\" cannot be read as a right ascension"},
        {"", "", "", "Give a name, or a right ascension and a declination"},
        {" ", "\t", " ", "Give a name, or a right ascension and a declination"},
        {"M42", "5:35", "", "Give a name, or a right ascension and a declination, not both"},
        {"M42", "", "-5", "Give a name, or a right ascension and a declination, not both"},
        {"", "5:35", "", "Give a declination with the right ascension"},
        {"", "", "-5", "Give a right ascension with the declination"},
        {std::string(50, 'x'), "", "", "No object named \"" + std::string(40, 'x') + "\xE2\x80\xA6\" is in the catalogue"},
        {"Vega\"} {", "", "", "No object named \"Vega\"} {\" is in the catalogue"},
        {"M\xFF" "1", "", "", "No object named \"M\xEF\xBF\xBD" "1\" is in the catalogue"},
        {"M\n1", "", "", "No object named \"M\xEF\xBF\xBD" "1\" is in the catalogue"},
        {"\xC3\xA9toile", "", "", "No object named \"\xC3\xA9toile\" is in the catalogue"},
        {"\xE2\x80", "", "", "No object named \"\xEF\xBF\xBD\xEF\xBF\xBD\" is in the catalogue"},
    };
    for (const Case& row : cases) {
        const ResolvedTarget resolved = resolveTarget(row.name, row.rightAscension, row.declination, kEvening);
        EXPECT_NE(resolved.target.has_value(), !resolved.refusal.empty()) << row.name << row.rightAscension;
        EXPECT_EQ(resolved.refusal, row.refusal) << row.name << row.rightAscension;
        // Whatever was typed, the sentence is text JSON can carry.
        EXPECT_NO_THROW((void)nlohmann::json(resolved.refusal).dump()) << resolved.refusal;
    }
}

TEST(SkyTargets, ACatalogueNameIsBroughtToTheDate)
{
    const ResolvedTarget resolved = resolveTarget("m 42", "", "", kEvening);
    ASSERT_TRUE(resolved.target) << resolved.refusal;
    EXPECT_EQ(resolved.target->name, "M42 Orion nebula");
    const Equatorial ofDate = precessFromJ2000({5.5878780, -5.3902220}, kEvening);
    EXPECT_DOUBLE_EQ(resolved.target->ofDate.rightAscensionHours, ofDate.rightAscensionHours);
    EXPECT_DOUBLE_EQ(resolved.target->ofDate.declinationDegrees, ofDate.declinationDegrees);
    // Twenty-seven years of precession move M42 by about 0.02 h of right
    // ascension: the J2000 figures themselves would be wrong.
    EXPECT_GT(resolved.target->ofDate.rightAscensionHours - 5.5878780, 0.015);

    const ResolvedTarget star = resolveTarget("Vega", "", "", kEvening);
    ASSERT_TRUE(star.target);
    EXPECT_EQ(star.target->name, "Vega (alf Lyr)");
    const ResolvedTarget alias = resolveTarget("M2", "", "", kEvening);
    ASSERT_TRUE(alias.target);
    EXPECT_EQ(alias.target->name, "M2 NGC7089");
}

TEST(SkyTargets, TypedCoordinatesAreTakenAsOfDate)
{
    const ResolvedTarget resolved = resolveTarget("", "5:35:17", "-0:30:00", kEvening);
    ASSERT_TRUE(resolved.target) << resolved.refusal;
    EXPECT_DOUBLE_EQ(resolved.target->ofDate.rightAscensionHours, hms(5, 35, 17));
    EXPECT_DOUBLE_EQ(resolved.target->ofDate.declinationDegrees, -0.5);
    EXPECT_EQ(resolved.target->name, "5:35:17 -0:30:00");
    const ResolvedTarget padded = resolveTarget("", " 5h35m ", "\t-5\xC2\xB0" "23' ", kEvening);
    ASSERT_TRUE(padded.target) << padded.refusal;
    EXPECT_EQ(padded.target->name, "5h35m -5\xC2\xB0" "23'");
    const ResolvedTarget tabbed = resolveTarget("", "5\t35", "-5\t23", kEvening);
    ASSERT_TRUE(tabbed.target) << tabbed.refusal;
    EXPECT_EQ(tabbed.target->name, "5 35 -5 23");
}

TEST(SkyTargets, NoValidDateRefusesANameButNotCoordinates)
{
    const ResolvedTarget named = resolveTarget("M42", "", "", kNaN);
    EXPECT_FALSE(named.target);
    EXPECT_EQ(named.refusal, "No valid date to bring the catalogue position of M42 Orion nebula to");
    EXPECT_TRUE(resolveTarget("", "5", "5", kNaN).target);
}

TEST(SkyTargets, BelowTheHorizon)
{
    EXPECT_EQ(belowHorizonRefusal("M42 Orion nebula", -12.34),
              "M42 Orion nebula is below the horizon (altitude -12.3\xC2\xB0)");
    EXPECT_EQ(belowHorizonRefusal("Vega (alf Lyr)", -45), "Vega (alf Lyr) is below the horizon (altitude -45.0\xC2\xB0)");
    EXPECT_EQ(belowHorizonRefusal("M42", kNaN), "M42 is below the horizon");
    const std::string sentence = belowHorizonRefusal("M\xFF" + std::string(200, 'x'), -1);
    EXPECT_NO_THROW((void)nlohmann::json(sentence).dump());
    EXPECT_LT(sentence.size(), 140u);
}

} // namespace
