// How the simulated mount moves over time.
#include <gtest/gtest.h>

#include <cmath>

#include "sim_bench.h"

using namespace velmaro::sim;
using namespace velmaro::sim::testing;

namespace {

double raDiffHours(double a, double b) { return std::remainder(a - b, 24.0); }

// Syncs the mount to hour angle 0, Dec +40 (high in the south at 48.5 N) and
// returns the right ascension used, in whole seconds of time.
long long syncOnMeridian(Bench& b) {
    const long long ra = std::llround(b.state().lstHours * 3600);
    b.ask(":Sr " + hms(ra) + "#");
    b.ask(":Sd +40*00:00#");
    b.ask(b.sim.config().model == 3 ? ":CM#" : ":CMR#");
    return ra;
}

}  // namespace

class PowerUp : public ::testing::TestWithParam<double> {};

TEST_P(PowerUp, StartsTrackingUnparkedAndAboveTheHorizon) {
    for (int model : {1, 2, 3}) {
        Bench b(modelConfig(model, GetParam()));
        const MountSnapshot s = b.state();
        EXPECT_TRUE(s.tracking);
        EXPECT_FALSE(s.parked);
        EXPECT_FALSE(s.slewing);
        EXPECT_GT(s.altDeg, 5.0) << "latitude " << GetParam();
    }
}

INSTANTIATE_TEST_SUITE_P(Latitudes, PowerUp, ::testing::Values(-89.0, -45.0, 0.0, 48.5, 89.0));

TEST(Tracking, OnHoldsTheStarsOffHoldsTheGround) {
    Bench b(modelConfig(3));
    const MountSnapshot before = b.state();
    b.wait(600);
    EXPECT_NEAR(raDiffHours(b.state().raHours, before.raHours), 0, 1e-9);
    EXPECT_NEAR(raDiffHours(b.state().haHours, before.haHours), 600 * 1.0027379 / 3600, 1e-6);

    b.ask(":ST0#");
    const MountSnapshot off = b.state();
    b.wait(600);
    EXPECT_NEAR(raDiffHours(b.state().haHours, off.haHours), 0, 1e-9);
    EXPECT_NEAR(b.state().altDeg, off.altDeg, 1e-7);
    EXPECT_NEAR(raDiffHours(b.state().raHours, off.raHours), 600 * 1.0027379 / 3600, 1e-6);
}

TEST(Slewing, MovesAtTheSlewRateAndStopsExactlyOnTarget) {
    for (double rate : {4.0, 1.5}) {
        SimConfig c = modelConfig(3);
        c.slewRateDegPerSec = rate;
        Bench b(c);
        const long long ra = syncOnMeridian(b);
        // 2 h east in RA (30 deg) and 10 deg north: the RA axis sets the time.
        const std::string target = hms(ra + 7200);
        b.ask(":Sr " + target + "#");
        b.ask(":Sd +50*00:00#");
        EXPECT_EQ(b.ask(":MS#"), "1");
        EXPECT_EQ(b.ask(":SE?#"), "1");
        const double duration = 30.0 / rate;

        b.wait(duration / 2);
        const MountSnapshot half = b.state();
        EXPECT_TRUE(half.slewing);
        EXPECT_NEAR(raDiffHours(half.raHours, ra / 3600.0), 1.0, 1e-6);
        EXPECT_NEAR(half.decDeg, 40 + std::min(10.0, rate * duration / 2), 1e-6);

        b.wait(duration / 2 - 0.05);
        EXPECT_EQ(b.ask(":SE?#"), "1");
        b.wait(0.1);
        EXPECT_EQ(b.ask(":SE?#"), "0");
        EXPECT_EQ(b.ask(":GR#"), target + "#");
        EXPECT_EQ(b.ask(":GD#"), "+50*00:00#");
    }
}

TEST(Slewing, TakesTheShortWayRoundThroughZeroHours) {
    Bench b(modelConfig(1));
    // Dec +60 never sets at 48.5 N, so both ends are always reachable.
    b.ask(":Sr 00:30:00#");
    b.ask(":Sd +60*00:00#");
    b.ask(":CMR#");
    b.ask(":Sr 23:30:00#");
    EXPECT_EQ(b.ask(":MS#"), "0");
    EXPECT_NEAR(b.waitForSlewEnd(0.01), 15.0 / 4.0, 0.02);
    EXPECT_EQ(b.ask(":GR#"), "23:30:00.0#");
}

TEST(Slewing, RefusesTargetsBelowTheHorizonWithEachModelsCode) {
    // Dec -60 never rises at 48.5 N.
    for (int model : {1, 2, 3}) {
        Bench b(modelConfig(model));
        b.ask(":Sd -60*00:00#");
        EXPECT_EQ(b.ask(":MS#"), model == 3 ? "0" : "1") << model;
        EXPECT_FALSE(b.state().slewing);
        b.ask(":Sd +60*00:00#");
        EXPECT_EQ(b.ask(":MS#"), model == 3 ? "1" : "0") << model;
        EXPECT_TRUE(b.state().slewing);
    }
}

TEST(Slewing, AltAzimuthTargetLandsOnThatPlaceInTheSky) {
    Bench b(modelConfig(1));
    EXPECT_EQ(b.ask(":Sz 135:00:00#"), "1");
    EXPECT_EQ(b.ask(":Sa +30*00:00#"), "1");
    EXPECT_EQ(b.ask(":MS#"), "0");
    const double took = b.waitForSlewEnd(0.05);
    EXPECT_GT(took, 1.0);
    // The place is fixed to the stars when the slew starts, so on arrival it
    // is off by no more than the sky turned meanwhile (15.04 arcsec/s).
    const double rad = 3.14159265358979323846 / 180;
    const MountSnapshot s = b.state();
    const double cosSep = std::sin(s.altDeg * rad) * std::sin(30 * rad) +
                          std::cos(s.altDeg * rad) * std::cos(30 * rad) * std::cos((s.azDeg - 135) * rad);
    const double sepDeg = std::acos(std::min(1.0, cosSep)) / rad;
    EXPECT_LE(sepDeg, (took + 0.05) * 15.041 / 3600);
    EXPECT_GT(s.altDeg, 29.9);

    EXPECT_EQ(b.ask(":Sa -05*00:00#"), "1");
    EXPECT_EQ(b.ask(":MS#"), "1");
    for (const char* bad : {":Sz 360:00:00#", ":Sz 100*00:00#", ":Sa +91*00:00#", ":Sa 10*00:00#"}) {
        EXPECT_EQ(b.ask(bad), "0") << bad;
    }
    // Setting RA/Dec afterwards makes the equatorial target the live one again.
    b.ask(":Sd +60*00:00#");
    EXPECT_EQ(b.ask(":MS#"), "0");
}

TEST(Slewing, StopLeavesTheMountWhereItGotTo) {
    for (int model : {1, 2, 3}) {
        Bench b(modelConfig(model));
        const long long ra = syncOnMeridian(b);
        b.ask(":Sr " + hms(ra + 7200) + "#");
        b.ask(":MS#");
        b.wait(3.75);  // half way at 4 deg/s
        EXPECT_EQ(b.ask(":Q#"), model == 3 ? "1" : "");
        const MountSnapshot stopped = b.state();
        EXPECT_FALSE(stopped.slewing);
        EXPECT_NEAR(raDiffHours(stopped.raHours, ra / 3600.0), 1.0, 1e-6);
        // Only model 1's stop also halts tracking.
        EXPECT_EQ(stopped.tracking, model != 1);
        b.wait(5);
        EXPECT_NEAR(b.state().decDeg, 40, 1e-9);
    }
}

TEST(Parking, EachModelParksAtThePoleAndUnparksToTracking) {
    struct Way {
        int model;
        const char* park;
        const char* parkReply;
        const char* unpark;
    };
    for (const Way& w : {Way{1, ":PK#", "1", nullptr}, Way{2, ":KA", "", ":PO#"}, Way{3, ":MP1#", "1", ":MP0#"}}) {
        Bench b(modelConfig(w.model));
        EXPECT_EQ(b.ask(w.park), w.parkReply);
        EXPECT_FALSE(b.state().parked);  // still on its way
        EXPECT_TRUE(b.state().slewing);
        EXPECT_FALSE(b.state().tracking);
        b.waitForSlewEnd(0.5);
        const MountSnapshot parked = b.state();
        EXPECT_TRUE(parked.parked);
        EXPECT_NEAR(parked.decDeg, 90, 1e-9);
        EXPECT_FALSE(parked.tracking);

        // Parked means still: no slews, syncs or guiding move it.
        b.ask(":Sd +45*00:00#");
        EXPECT_EQ(b.ask(":MS#"), w.model == 3 ? "0" : "1");
        b.ask(w.model == 3 ? ":CM#" : ":CMR#");
        b.ask(w.model == 3 ? ":Mn01000#" : ":Mn999#");
        b.wait(30);
        EXPECT_NEAR(b.state().decDeg, 90, 1e-9);
        EXPECT_NEAR(b.state().haHours, parked.haHours, 1e-9);

        if (!w.unpark) continue;
        EXPECT_EQ(b.ask(w.unpark), w.model == 3 ? "1" : "");
        EXPECT_FALSE(b.state().parked);
        EXPECT_TRUE(b.state().tracking);
    }
}

TEST(Parking, Model3ReportsParkAndRefusesTrackingWhileParked) {
    Bench b(modelConfig(3, -30));
    b.ask(":MP1#");
    EXPECT_EQ(b.ask(":AP#"), "0");
    b.waitForSlewEnd(0.5);
    EXPECT_EQ(b.ask(":AP#"), "1");
    EXPECT_NEAR(b.state().decDeg, -90, 1e-9);  // the southern pole down here
    EXPECT_EQ(b.ask(":ST1#"), "0");
    EXPECT_EQ(b.ask(":AT#"), "0");
    EXPECT_EQ(b.ask(":MH#"), "0");
    b.ask(":MP0#");
    EXPECT_EQ(b.ask(":AP#"), "0");
    EXPECT_EQ(b.ask(":AT#"), "1");
}

TEST(Homing, Model3ReportsHomeOnlyOnceThere) {
    for (double lat : {48.5, -30.0}) {
        Bench b(modelConfig(3, lat));
        EXPECT_EQ(b.ask(":AH#"), "0");
        EXPECT_EQ(b.ask(":MH#"), "1");
        EXPECT_EQ(b.ask(":AH#"), "0");
        b.waitForSlewEnd(0.5);
        EXPECT_EQ(b.ask(":AH#"), "1");
        EXPECT_NEAR(b.state().decDeg, lat > 0 ? 90 : -90, 1e-9);
        // Any other motion takes it away from home.
        b.ask(":Sd " + std::string(lat > 0 ? "+" : "-") + "60*00:00#");
        EXPECT_EQ(b.ask(":MS#"), "1");
        EXPECT_EQ(b.ask(":AH#"), "0");
    }
}

TEST(PulseGuiding, MovesByGuideRateTimesDurationInTheNamedDirection) {
    Bench b(modelConfig(3));
    syncOnMeridian(b);
    b.ask(":RG100#");
    const MountSnapshot start = b.state();
    // At the full sidereal guide rate a one-second pulse is one second of RA.
    b.ask(":Me01000#");
    EXPECT_NEAR(raDiffHours(b.state().raHours, start.raHours) * 3600, 1.0, 1e-6);
    EXPECT_TRUE(b.state().pulseGuiding);
    b.wait(1.01);
    EXPECT_FALSE(b.state().pulseGuiding);
    b.ask(":Mw01000#");
    EXPECT_NEAR(raDiffHours(b.state().raHours, start.raHours), 0, 1e-9);

    // Half rate for two seconds north: 15 arcsec.
    b.ask(":RG050#");
    b.ask(":Mn02000#");
    EXPECT_NEAR((b.state().decDeg - start.decDeg) * 3600, 15.0, 1e-6);
    b.ask(":Ms02000#");
    EXPECT_NEAR(b.state().decDeg, start.decDeg, 1e-9);

    // Model 2 takes three digits; model 1 has no pulse commands.
    Bench m2(modelConfig(2));
    const double dec2 = m2.state().decDeg;
    m2.ask(":Ms999#");
    EXPECT_NEAR((dec2 - m2.state().decDeg) * 3600, 0.5 * 15 * 0.999, 1e-6);
    m2.ask(":Ms00999#");  // model 3's layout means nothing here
    EXPECT_NEAR((dec2 - m2.state().decDeg) * 3600, 0.5 * 15 * 0.999, 1e-6);
    Bench m1(modelConfig(1));
    const double dec1 = m1.state().decDeg;
    m1.ask(":Mn999#");
    EXPECT_EQ(m1.state().decDeg, dec1);
}
