// What each model answers, byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "sim_bench.h"

using namespace velmaro::sim;
using namespace velmaro::sim::testing;

namespace {

struct Shape {
    int model;
    const char* command;
    const char* pattern;  // the whole reply, anchored
};

const char* const kTime11 = R"([0-2]\d:[0-5]\d:[0-5]\d\.\d#)";
const char* const kTime9 = R"([0-2]\d:[0-5]\d:[0-5]\d#)";
const char* const kSignedDeg = R"([+-][0-9]\d\*[0-5]\d:[0-5]\d#)";

const Shape kShapes[] = {
    {1, ":V#", "V1\\.00#"}, {2, ":V#", "V1\\.00#"}, {3, ":V#", "V1\\.00#"},
    {1, ":MountInfo#", "LT1000"}, {2, ":MountInfo#", ":KV72#"}, {3, ":MountInfo#", "6150"},
    {1, ":GR#", kTime11}, {2, ":GR#", kTime11}, {3, ":GR#", kTime9},
    {1, ":GS#", kTime11}, {2, ":GS#", kTime11}, {3, ":GS#", kTime9},
    {1, ":GL#", kTime11}, {2, ":GL#", kTime11}, {3, ":GL#", kTime9},
    {1, ":GD#", kSignedDeg}, {2, ":GA#", kSignedDeg}, {3, ":Gt#", kSignedDeg},
    {1, ":GZ#", R"([0-3]\d\d\*[0-5]\d:[0-5]\d#)"}, {3, ":GZ#", R"([0-3]\d\d\*[0-5]\d:[0-5]\d#)"},
    {1, ":Gg#", R"([+-][01]\d\d\*[0-5]\d:[0-5]\d#)"}, {2, ":Gg#", R"([+-][01]\d\d\*[0-5]\d:[0-5]\d#)"},
    {1, ":GC#", R"([01]\d:[0-3]\d:\d\d#)"}, {3, ":GC#", R"([01]\d:[0-3]\d:\d\d#)"},
    {1, ":GG#", R"([+-]\d\d:[0-5]\d:#)"}, {2, ":GG#", R"([+-]\d\d:[0-5]\d:[0-5]\d#)"},
    {3, ":GG#", R"([+-]\d\d:[0-5]\d#)"},
    {1, ":GAM#", "0"}, {1, ":GGS#", "1"}, {1, ":GTR#", "0"}, {1, ":SE?#", "0"},
    {1, ":CMR#", "Coordinates matched\\. #"},
    {2, ":CMR#", "Coordinates {5}matched\\. {8}#"},
    {2, ":pS#", "(East|West)#"}, {3, ":pS#", "[01]"},
    {3, ":AH#", "0"}, {3, ":AP#", "0"}, {3, ":AT#", "1"}, {3, ":SE?#", "0"}, {3, ":QT#", "0"},
    {3, ":AG#", "0\\.50#"}, {3, ":CM#", "1"},
    // Silent by design, and other models' commands.
    {1, ":pS#", ""}, {1, ":RG#", ""}, {1, ":Q#", ""}, {2, ":Q#", ""}, {2, ":RT2#", ""},
    {2, ":Mn100#", ""}, {3, ":Mn00100#", ""}, {2, ":KA", ""}, {2, ":PO#", ""},
    {2, ":GAM#", ""}, {3, ":GAM#", ""}, {2, ":AT#", ""}, {1, ":AT#", ""}, {2, ":SE?#", ""},
    {1, ":MP1#", ""}, {3, ":PK#", ""}, {1, ":CM#", ""}, {3, ":CMR#", ""}, {2, ":Sz 100:00:00#", ""},
    {1, ":ZZ#", ""}, {2, ":ZZ#", ""}, {3, ":ZZ#", ""},
};

}  // namespace

TEST(ReplyShapes, EveryModelAnswersInItsOwnLayout) {
    for (const Shape& s : kShapes) {
        Bench b(modelConfig(s.model));
        const std::string reply = b.ask(s.command);
        EXPECT_TRUE(std::regex_match(reply, std::regex(s.pattern)))
            << "model " << s.model << " " << s.command << " -> '" << reply << "'";
    }
    // The two sync texts are padded to fixed widths the driver counts on.
    EXPECT_EQ(Bench(modelConfig(2)).ask(":CMR#").size(), 33u);
    EXPECT_EQ(Bench(modelConfig(1)).ask(":CMR#").size(), 22u);
}

TEST(MountClock, ShowsLocalDateAndTimeFromUtcAndOffset) {
    // 2026-01-01 03:30:00 UTC is still New Year's Eve five hours west.
    const double utc = 1767238200;
    Bench m1(modelConfig(1), utc);
    EXPECT_EQ(m1.ask(":GL#"), "22:30:00.0#");
    EXPECT_EQ(m1.ask(":GC#"), "12:31:25#");
    EXPECT_EQ(m1.ask(":GG#"), "-05:00:#");
    Bench m3(modelConfig(3), utc + 0.96);
    EXPECT_EQ(m3.ask(":GL#"), "22:30:00#");  // a clock does not round up

    SimConfig east = modelConfig(2);
    east.utcOffsetHours = 5.5;
    Bench m2(east, utc);
    EXPECT_EQ(m2.ask(":GL#"), "09:00:00.0#");
    EXPECT_EQ(m2.ask(":GC#"), "01:01:26#");
    EXPECT_EQ(m2.ask(":GG#"), "+05:30:00#");

    SimConfig greenwich = modelConfig(3);
    greenwich.utcOffsetHours = 0;
    EXPECT_EQ(Bench(greenwich, utc).ask(":GG#"), "+00:00#");
}

TEST(MountClock, SiderealTimeFollowsSiteLongitude) {
    SimConfig c = modelConfig(3);
    c.longitudeDeg = 0;
    Bench b(c, 545011200);  // 1987-04-10 0h UT: GMST 13:10:46.37
    EXPECT_EQ(b.ask(":GS#"), "13:10:46#");
    // Moving the site 75 degrees west puts local sidereal time 5 h behind.
    EXPECT_EQ(b.ask(":Sg -075*00:00#"), "1");
    EXPECT_EQ(b.ask(":GS#"), "08:10:46#");
}

TEST(SiteSettings, StoreWhatWasSentAndRejectMalformedValues) {
    Bench b(modelConfig(1));
    EXPECT_EQ(b.ask(":St -33*52:10#"), "1");
    EXPECT_EQ(b.ask(":Gt#"), "-33*52:10#");
    EXPECT_EQ(b.ask(":St 33*52:10#"), "0");
    EXPECT_EQ(b.ask(":St+45*00:00#"), "0");
    EXPECT_EQ(b.ask(":Gt#"), "-33*52:10#");

    EXPECT_EQ(b.ask(":Sg +151*12:30#"), "1");
    EXPECT_EQ(b.ask(":Gg#"), "+151*12:30#");
    EXPECT_EQ(b.ask(":Sg 151*12:30#"), "0");  // this model wants the sign
    EXPECT_EQ(b.ask(":Sg +181*00:00#"), "0");

    // Model 2 counts east through 360: 288.75 east is 71.25 west.
    Bench m2(modelConfig(2));
    EXPECT_EQ(m2.ask(":Sg 288*45:00#"), "1");
    EXPECT_EQ(m2.ask(":Gg#"), "-071*15:00#");
    EXPECT_EQ(m2.ask(":Sg 010*00:00#"), "1");
    EXPECT_EQ(m2.ask(":Gg#"), "+010*00:00#");
    EXPECT_EQ(m2.ask(":Sg -010*00:00#"), "0");
    EXPECT_EQ(m2.ask(":Sg 361*00:00#"), "0");
}

TEST(Targets, AcceptValidCoordinatesAndSyncShowsThemBack) {
    for (int model : {1, 2, 3}) {
        Bench b(modelConfig(model));
        const char* sync = model == 3 ? ":CM#" : ":CMR#";
        EXPECT_EQ(b.ask(":Sr 05:30:07#"), "1");
        EXPECT_EQ(b.ask(":Sd -12*34:56#"), "1");
        b.ask(sync);
        EXPECT_EQ(b.ask(":GR#"), model == 3 ? "05:30:07#" : "05:30:07.0#");
        EXPECT_EQ(b.ask(":GD#"), "-12*34:56#");

        // 24:00:00 is the same place as 0 h.
        EXPECT_EQ(b.ask(":Sr 24:00:00#"), "1");
        b.ask(sync);
        EXPECT_EQ(b.ask(":GR#").substr(0, 8), "00:00:00");

        for (const char* bad : {":Sr 24:00:01#", ":Sr12:00:00#", ":Sd +90*00:01#", ":Sd -12*34#"}) {
            EXPECT_EQ(b.ask(bad), "0") << "model " << model << " " << bad;
        }
        EXPECT_NEAR(b.state().targetDecDeg, -(12 + 34 / 60.0 + 56 / 3600.0), 1e-9);
    }
}

TEST(Rates, TrackingAndGuideRatesUseEachModelsCodes) {
    Bench m1(modelConfig(1));
    EXPECT_EQ(m1.ask(":STR2#"), "1");
    EXPECT_EQ(m1.ask(":GTR#"), "2");
    EXPECT_EQ(m1.ask(":STR3#"), "0");
    EXPECT_EQ(m1.ask(":GTR#"), "2");

    Bench m2(modelConfig(2));
    m2.ask(":RT9#");
    EXPECT_FALSE(m2.state().tracking);
    m2.ask(":RT0#");
    EXPECT_TRUE(m2.state().tracking);
    EXPECT_EQ(m2.state().trackingRate, 0);

    Bench m3(modelConfig(3));
    EXPECT_EQ(m3.ask(":RT4#"), "1");
    EXPECT_EQ(m3.ask(":QT#"), "4");
    EXPECT_EQ(m3.ask(":RT5#"), "0");
    EXPECT_EQ(m3.ask(":QT#"), "4");
    EXPECT_EQ(m3.ask(":ST0#"), "1");
    EXPECT_EQ(m3.ask(":AT#"), "0");
    EXPECT_EQ(m3.ask(":ST1#"), "1");
    EXPECT_EQ(m3.ask(":AT#"), "1");

    EXPECT_EQ(m3.ask(":RG075#"), "1");
    EXPECT_EQ(m3.ask(":AG#"), "0.75#");
    EXPECT_EQ(m3.ask(":RG100#"), "1");
    EXPECT_EQ(m3.ask(":AG#"), "1.00#");
    for (const char* bad : {":RG009#", ":RG101#", ":RG#", ":RG50#"}) EXPECT_EQ(m3.ask(bad), "0") << bad;
    EXPECT_EQ(m3.ask(":AG#"), "1.00#");
}

TEST(PierSide, FollowsWhichSideOfTheMeridianThePointingIs) {
    for (int model : {2, 3}) {
        Bench b(modelConfig(model));
        const long long lst = std::llround(b.state().lstHours * 3600);
        const char* sync = model == 3 ? ":CM#" : ":CMR#";
        b.ask(":Sd +30*00:00#");
        // Rising in the east: the tube is on the west side of the pier.
        b.ask(":Sr " + hms(lst + 2 * 3600) + "#");
        b.ask(sync);
        EXPECT_EQ(b.ask(":pS#"), model == 3 ? "1" : "West#");
        b.ask(":Sr " + hms(lst - 2 * 3600) + "#");
        b.ask(sync);
        EXPECT_EQ(b.ask(":pS#"), model == 3 ? "0" : "East#");
    }
}
