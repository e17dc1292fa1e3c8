#include "core/astro.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace velmaro::sim;

namespace {
double hours(int h, int m, double s) { return h + m / 60.0 + s / 3600.0; }
}  // namespace

TEST(SiderealTime, MatchesPublishedValues) {
    // Worked examples from the standard almanac literature for 1987-04-10.
    EXPECT_NEAR(gmstHours(545011200), hours(13, 10, 46.3668), 0.2 / 3600);  // 0h UT
    EXPECT_NEAR(gmstHours(545080860), hours(8, 34, 57.0896), 0.2 / 3600);   // 19:21 UT
}

TEST(SiderealTime, LocalTimeIsAheadEastOfGreenwich) {
    const double utc = 545011200;
    EXPECT_NEAR(lstHours(utc, 15.0), std::fmod(gmstHours(utc) + 1.0, 24.0), 1e-9);
    EXPECT_NEAR(lstHours(utc, -75.0), gmstHours(utc) - 5.0, 1e-9);
    // One solar day turns the sky slightly more than once.
    const double gain = std::remainder(gmstHours(utc + 86400) - gmstHours(utc), 24.0) * 3600;
    EXPECT_NEAR(gain, 236.555, 0.01);
}

TEST(HorizonCoordinates, AgreeWithSimpleGeometry) {
    const double lat = 48.5;
    // On the meridian south of the zenith.
    Horizontal h = toHorizontal(0, 20, lat);
    EXPECT_NEAR(h.altDeg, 90 - (lat - 20), 1e-9);
    EXPECT_NEAR(h.azDeg, 180, 1e-9);
    // The celestial pole sits due north at the latitude's height.
    h = toHorizontal(3.3, 90, lat);
    EXPECT_NEAR(h.altDeg, lat, 1e-9);
    EXPECT_NEAR(std::remainder(h.azDeg, 360.0), 0, 1e-6);
    // The equator meets the horizon due east six hours before transit.
    h = toHorizontal(-6, 0, lat);
    EXPECT_NEAR(h.altDeg, 0, 1e-9);
    EXPECT_NEAR(h.azDeg, 90, 1e-9);
    h = toHorizontal(6, 0, lat);
    EXPECT_NEAR(h.azDeg, 270, 1e-9);
    // In the southern hemisphere the meridian transit is to the north.
    h = toHorizontal(0, 0, -30);
    EXPECT_NEAR(h.altDeg, 60, 1e-9);
    EXPECT_NEAR(std::remainder(h.azDeg, 360.0), 0, 1e-6);
}

TEST(HorizonCoordinates, ConvertBackToWhereTheyCameFrom) {
    for (double lat : {-60.0, -10.0, 0.0, 35.0, 48.5, 75.0}) {
        for (double ha = -11.5; ha < 12; ha += 1.7) {
            for (double dec = -80; dec <= 80; dec += 13.3) {
                const Horizontal h = toHorizontal(ha, dec, lat);
                const HourAngleDec e = toEquatorial(h.altDeg, h.azDeg, lat);
                ASSERT_NEAR(e.decDeg, dec, 1e-7) << lat << " " << ha << " " << dec;
                ASSERT_NEAR(std::remainder(e.haHours - ha, 24.0), 0, 1e-7) << lat << " " << ha << " " << dec;
            }
        }
    }
}

TEST(CivilCalendar, CountsDaysAcrossLeapYearsAndTheEpoch) {
    const CivilDate epoch = civilFromDays(0);
    EXPECT_EQ(epoch.year, 1970);
    EXPECT_EQ(epoch.month, 1);
    EXPECT_EQ(epoch.day, 1);
    const CivilDate leap = civilFromDays(11016);
    EXPECT_EQ(leap.year, 2000);
    EXPECT_EQ(leap.month, 2);
    EXPECT_EQ(leap.day, 29);
    const CivilDate before = civilFromDays(-1);
    EXPECT_EQ(before.year, 1969);
    EXPECT_EQ(before.month, 12);
    EXPECT_EQ(before.day, 31);

    // Walking day by day must step the date by exactly one each time.
    const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    CivilDate prev = civilFromDays(-800);
    for (long long d = -799; d < 50000; ++d) {
        const CivilDate cur = civilFromDays(d);
        const bool leapYear = (prev.year % 4 == 0 && prev.year % 100 != 0) || prev.year % 400 == 0;
        const int len = monthDays[prev.month - 1] + (prev.month == 2 && leapYear ? 1 : 0);
        if (prev.day < len) {
            ASSERT_TRUE(cur.year == prev.year && cur.month == prev.month && cur.day == prev.day + 1) << d;
        } else if (prev.month < 12) {
            ASSERT_TRUE(cur.year == prev.year && cur.month == prev.month + 1 && cur.day == 1) << d;
        } else {
            ASSERT_TRUE(cur.year == prev.year + 1 && cur.month == 1 && cur.day == 1) << d;
        }
        prev = cur;
    }
}
