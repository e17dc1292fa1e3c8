#include "core/angles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

using namespace velmaro::sim;

TEST(AngleFormatting, CarriesRoundingInsteadOfShowingSixty) {
    const double s = 1.0 / 3600.0;  // one second of time, in hours
    EXPECT_EQ(formatHours(1 + 59.94 * s, true), "01:00:59.9");
    EXPECT_EQ(formatHours(1 + 59.0 / 60 + 59.97 * s, true), "02:00:00.0");
    EXPECT_EQ(formatHours(12 + 34.0 / 60 + 59.6 * s, false), "12:35:00");
    EXPECT_EQ(formatHours(23 + 59.0 / 60 + 59.96 * s, true), "00:00:00.0");
    EXPECT_EQ(formatHours(23 + 59.0 / 60 + 59.6 * s, false), "00:00:00");
    EXPECT_EQ(formatHours(-0.5, false), "23:30:00");
    EXPECT_EQ(formatAzimuth(359.99999), "000*00:00");
    EXPECT_EQ(formatAzimuth(-90), "270*00:00");
    EXPECT_EQ(formatSignedDegrees(44 + 59.0 / 60 + 59.7 / 3600), "+45*00:00");
    EXPECT_EQ(formatSignedDegrees(-10.5), "-10*30:00");
    EXPECT_EQ(formatLongitude(-71.25), "-071*15:00");
    EXPECT_EQ(formatLongitude(179.99999), "+180*00:00");
    // Anything that rounds to zero shows '+'; small negatives keep their '-'.
    EXPECT_EQ(formatSignedDegrees(-0.0001), "+00*00:00");
    EXPECT_EQ(formatSignedDegrees(-0.5), "-00*30:00");
}

TEST(AngleFormatting, NoFieldEverReadsSixtyOverAWideSweep) {
    const std::regex hours(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d)");
    const std::regex degrees(R"([+-]\d\d\*[0-5]\d:[0-5]\d)");
    const std::regex azimuth(R"(([0-2]\d\d|3[0-5]\d)\*[0-5]\d:[0-5]\d)");
    for (int i = -20000; i <= 20000; ++i) {
        // A step that is not a round number hits many near-carry values.
        const double x = i * 0.0123456789;
        ASSERT_TRUE(std::regex_match(formatHours(x, true), hours)) << x;
        ASSERT_TRUE(std::regex_match(formatSignedDegrees(std::fmod(x, 90.0)), degrees)) << x;
        ASSERT_TRUE(std::regex_match(formatAzimuth(x), azimuth)) << x;
    }
}

TEST(AngleParsing, RoundTripsFormattedText) {
    for (int i = 0; i < 5000; ++i) {
        const double h = i * 0.0047;
        const auto back = parseHours(formatHours(h, false));
        ASSERT_TRUE(back) << h;
        const double diff = std::fabs(std::remainder(*back - h, 24.0));
        ASSERT_LE(diff, 0.5 / 3600 + 1e-9) << h;
    }
    for (int i = -900; i <= 900; ++i) {
        const double d = i * 0.0997;
        const auto back = parseDegrees(formatSignedDegrees(d), "sdd*dd:dd", -90, 90);
        ASSERT_TRUE(back) << d;
        ASSERT_NEAR(*back, d, 0.5 / 3600 + 1e-9);
    }
}

TEST(AngleParsing, AcceptsOnlyWellFormedValuesInRange) {
    EXPECT_EQ(parseHours("24:00:00"), 0.0);
    EXPECT_NEAR(*parseHours("23:59:59"), 24 - 1.0 / 3600, 1e-12);
    for (const char* bad : {"24:00:01", "25:00:00", "12:60:00", "12:00:60", "1:00:00", "12:00:00 ", "12-00-00", ""}) {
        EXPECT_FALSE(parseHours(bad)) << bad;
    }
    EXPECT_EQ(parseDegrees("-00*30:00", "sdd*dd:dd", -90, 90), -0.5);
    EXPECT_EQ(parseDegrees("+90*00:00", "sdd*dd:dd", -90, 90), 90.0);
    for (const char* bad : {"+90*00:01", "45*00:00", "+45*60:00", "+45:00:00", "+4a*00:00"}) {
        EXPECT_FALSE(parseDegrees(bad, "sdd*dd:dd", -90, 90)) << bad;
    }
    EXPECT_EQ(parseDegrees("359:59:59", "ddd:dd:dd", 0, 360), 359 + 59 / 60.0 + 59 / 3600.0);
    EXPECT_EQ(parseDegrees("-071*15:00", "sddd*dd:dd", -180, 180), -71.25);
}
