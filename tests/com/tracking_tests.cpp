// Tracking, guide rates and pulse guiding through the registered driver:
// the exact commands per model, the replies each one believes, the pauses
// of a model 2 pulse as the mount sees them, and the refusals.
#include "ComTest.h"

#include <climits>
#include <cstring>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <thread>

namespace {

const char kAltAzMessage[] = "Do not support PulseGuide in Alt-Azi mounts!";
const char kGetRateFailure[] = "Cannot get the guide rate of the telescope";
const char kSetRateFailure[] = "Cannot set the guide rate of the telescope";

// Guide rates come from the mount as a fraction of the sidereal rate.
double degreesPerSecond(double fraction)
{
    return fraction / 240.0;
}

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// When each command reached the mount, in ms from the start of the call.
struct Arrival {
    std::string command;
    double atMs;
};

struct WatchedCall {
    Clock::time_point start;
    std::vector<Arrival> arrivals;
    double returnedMs = 0;
    HRESULT status = E_FAIL;
};

// Runs call and notes when every command reached the scripted mount (as its
// reading thread saw it), until `expected` commands came.
template <typename F>
WatchedCall watchArrivals(ScriptedMount& mount, std::size_t expected, F&& call)
{
    mount.forget();
    WatchedCall watched;
    Clock::time_point start = Clock::now();
    watched.start = start;
    watched.status = call();
    watched.returnedMs = msBetween(start, Clock::now());
    mount.waitForCommands(expected, 2000);
    for (const ScriptedMount::TimedCommand& arrival : mount.timedCommands())
        watched.arrivals.push_back({arrival.command, msBetween(start, arrival.at)});
    return watched;
}

// IsPulseGuiding, read from the call's return until it ends, against the
// pulse's own start. That start lies between the call's start and the first
// piece's lead before its arrival, so each answer must agree with both
// ends: true only while the pulse's length has not passed since the latest
// start, false only once it has passed since the earliest. The driver's
// clock counts whole milliseconds on both readings, hence the slack.
void expectGuidingForThePulsesLength(ITelescopeV3* telescope, const WatchedCall& pulse, double lengthMs)
{
    constexpr double kPieceLeadMs = 800, kClockSlackMs = 2;
    ASSERT_FALSE(pulse.arrivals.empty());
    const double latestStart = pulse.arrivals[0].atMs - kPieceLeadMs;
    int answers = 0;
    for (;;) {
        double asked = msBetween(pulse.start, Clock::now());
        VARIANT_BOOL guiding = 7;
        ASSERT_EQ(telescope->get_IsPulseGuiding(&guiding), S_OK);
        double answered = msBetween(pulse.start, Clock::now());
        ++answers;
        if (guiding == VARIANT_TRUE) {
            ASSERT_LT(asked - latestStart, lengthMs + kClockSlackMs) << "still guiding after the pulse, answer " << answers;
        } else {
            ASSERT_EQ(guiding, VARIANT_FALSE);
            EXPECT_GE(answered, lengthMs - kClockSlackMs) << "ended before the pulse did, answer " << answers;
            return;
        }
        Sleep(10);
    }
}

Commands commandsOf(const WatchedCall& watched)
{
    Commands result;
    for (const Arrival& arrival : watched.arrivals)
        result.push_back(arrival.command);
    return result;
}

class TrackingTest : public ConnectedTest {
protected:
    void prepareMount() override
    {
        // Model 3 acknowledges tracking changes.
        mount.answer(":ST1#", "1");
        mount.answer(":ST0#", "1");
    }

    // What the mount received, once as many bytes as expected came:
    // commands that get no reply may still be on the line when a call
    // returns.
    std::string arrived(const std::string& expected)
    {
        Clock::time_point start = Clock::now();
        while (mount.received().size() < expected.size() && msBetween(start, Clock::now()) < 2000)
            Sleep(1);
        return mount.received();
    }

    // Switches tracking on first, so that a pulse sends only its own commands.
    void startTracking()
    {
        ASSERT_EQ(telescope->put_Tracking(VARIANT_TRUE), S_OK);
        arrived(model == 3 ? ":ST1#" : ":RT2#");
        mount.forget();
    }

    VARIANT_BOOL isPulseGuiding()
    {
        VARIANT_BOOL value = 7;
        EXPECT_EQ(telescope->get_IsPulseGuiding(&value), S_OK);
        return value;
    }

    double guideRate()
    {
        double value = kNaN;
        EXPECT_EQ(telescope->get_GuideRateDeclination(&value), S_OK);
        return value;
    }

    TrackingModes trackingRate()
    {
        TrackingModes value = TrackingModes(-1);
        EXPECT_EQ(telescope->get_TrackingRate(&value), S_OK);
        return value;
    }

};

using TrackingAllModels = TrackingTest;
using TrackingModel1 = TrackingTest;
using TrackingModel2 = TrackingTest;
using TrackingModel3 = TrackingTest;
using TrackingGuidingModels = TrackingTest;

TEST_P(TrackingAllModels, FixedAnswersAndRefusalsUnparkedAndParked)
{
    double rate = kNaN;
    EXPECT_EQ(telescope->get_DeclinationRate(&rate), S_OK);
    EXPECT_EQ(rate, 0.0);
    rate = kNaN;
    EXPECT_EQ(telescope->get_RightAscensionRate(&rate), S_OK);
    EXPECT_EQ(rate, 0.0);
    EXPECT_EQ(telescope->get_DeclinationRate(nullptr), E_POINTER);

    EXPECT_EQ(telescope->put_DeclinationRate(0.0), DISP_E_EXCEPTION);
    ErrorDetails details = takeErrorInfo();
    EXPECT_EQ(details.description, L"Cannot set the declination offset rate");
    EXPECT_TRUE(IsEqualGUID(details.guid, IID_ITelescopeV3));
    EXPECT_EQ(telescope->put_RightAscensionRate(0.0), DISP_E_EXCEPTION);
    EXPECT_EQ(failureText(), L"Cannot set the Right Ascension offset rate");

    TrackingModes rates = driveCustom;
    EXPECT_EQ(telescope->get_TrackingRates(&rates), S_OK);
    EXPECT_EQ(rates, driveSidereal);

    for (int axis : {0, 1, 2, -1}) {
        EXPECT_EQ(telescope->AxisRates(axis), S_OK);
        VARIANT_BOOL canMove = VARIANT_TRUE;
        EXPECT_EQ(telescope->CanMoveAxis(axis, &canMove), S_OK);
        EXPECT_EQ(canMove, VARIANT_FALSE) << axis;
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(telescope->MoveAxis(axis, 1), kNotSupported);
        EXPECT_EQ(failureText(), L"Unknown Error");
    }
    EXPECT_EQ(telescope->CanMoveAxis(0, nullptr), E_POINTER);
    EXPECT_EQ(mount.received(), "");

    mount.answer(":PK#", "1");
    mount.answer(":MH#", "1");
    mount.answer(":MP1#", "1");
    ASSERT_EQ(telescope->Park(), S_OK);
    arrived(model == 1 ? ":PK#" : model == 2 ? ":KA" : ":MH#:MP1#");
    mount.forget();

    // Parking is judged first, on every model, whatever the pulse.
    for (LONG duration : {100L, 0L}) {
        for (int direction : {int(guideNorth), 9}) {
            EXPECT_EQ(telescope->PulseGuide(GuideDirections(direction), duration), DISP_E_EXCEPTION);
            EXPECT_EQ(failureText(), L"Cannot PulseGuide when parking");
        }
    }
    EXPECT_EQ(telescope->MoveAxis(0, 1), DISP_E_EXCEPTION);
    EXPECT_EQ(failureText(), L"Cannot move axis when parking");
    EXPECT_EQ(mount.received(), "");
}

INSTANTIATE_TEST_SUITE_P(Models, TrackingAllModels, ::testing::Values(1, 2, 3));

TEST_P(TrackingModel1, NoPulseGuidingOnAltAzimuthMounts)
{
    for (LONG duration : {100L, 0L, -5L}) {
        EXPECT_EQ(telescope->PulseGuide(guideEast, duration), DISP_E_EXCEPTION);
        EXPECT_EQ(failureText(), widened(kAltAzMessage));
    }
    VARIANT_BOOL guiding = 7;
    EXPECT_EQ(telescope->get_IsPulseGuiding(&guiding), DISP_E_EXCEPTION);
    EXPECT_EQ(failureText(), widened(kAltAzMessage));
    EXPECT_EQ(mount.received(), "");
}

TEST_P(TrackingModel1, GuideRateFromTheSpeedDigit)
{
    LogDirectory logs;
    mount.answer(":GGS#", "2");
    EXPECT_DOUBLE_EQ(guideRate(), 0.0025);
    mount.answer(":GGS#", "0");
    EXPECT_DOUBLE_EQ(guideRate(), degreesPerSecond(1.0));
    mount.answer(":GGS#", "3");
    double value = kNaN;
    EXPECT_EQ(telescope->get_GuideRateRightAscension(&value), S_OK);
    EXPECT_DOUBLE_EQ(value, degreesPerSecond(0.4));
    EXPECT_EQ(mount.received(), ":GGS#:GGS#:GGS#");
    EXPECT_TRUE(logs.messages().empty());

    // A digit on the second try still counts.
    mount.forget();
    mount.answerOnce(":GGS#", "x");
    mount.answerOnce(":GGS#", "1");
    EXPECT_DOUBLE_EQ(guideRate(), degreesPerSecond(0.8));
    EXPECT_EQ(mount.received(), ":GGS#:GGS#");
    EXPECT_TRUE(logs.messages().empty());

    // Nothing usable: the full sidereal fraction, and the log says so.
    mount.forget();
    mount.answer(":GGS#", "4");
    EXPECT_DOUBLE_EQ(guideRate(), degreesPerSecond(1.0));
    EXPECT_EQ(mount.received(), ":GGS#:GGS#");
    EXPECT_EQ(logs.messages(), Commands{kGetRateFailure});
    EXPECT_EQ(telescope->get_GuideRateDeclination(nullptr), E_POINTER);
}

TEST_P(TrackingModel1, TrackingByGoAndStopAndTheRateAsked)
{
    VARIANT_BOOL on = 7;
    ASSERT_EQ(telescope->get_Tracking(&on), S_OK);
    EXPECT_EQ(on, VARIANT_FALSE);
    EXPECT_EQ(telescope->put_Tracking(VARIANT_TRUE), S_OK);
    telescope->get_Tracking(&on);
    EXPECT_EQ(on, VARIANT_TRUE);
    // Unanswered, so on the line before the next command purges it.
    arrived(":RG#");
    // Only -1 is true.
    EXPECT_EQ(telescope->put_Tracking(1), S_OK);
    telescope->get_Tracking(&on);
    EXPECT_EQ(on, VARIANT_FALSE);
    EXPECT_EQ(arrived(":RG#:Q#"), ":RG#:Q#");

    mount.forget();
    const std::pair<const char*, TrackingModes> answers[] = {
        {"1", driveSolar}, {"2", driveLunar}, {"0", driveSidereal}, {"3", driveSidereal}};
    for (auto [reply, rate] : answers) {
        mount.answer(":GTR#", reply);
        EXPECT_EQ(trackingRate(), rate) << reply;
    }
    EXPECT_EQ(mount.commands(), Commands(4, ":GTR#"));

    mount.forget();
    // In the mount's own numbering, the one its reply above uses.
    mount.answer(":STR1#", "1");
    mount.answer(":STR2#", "1");
    mount.answer(":STR4#", "0");
    for (TrackingModes rate : {driveSolar, driveLunar, driveCustom})
        EXPECT_EQ(telescope->put_TrackingRate(&rate), S_OK);
    EXPECT_EQ(mount.received(), ":STR1#:STR2#:STR4#");
    // A rate the interface does not name never reaches the mount.
    for (int unnamed : {5, 7, -1, 12, INT_MIN, INT_MAX}) {
        // Copied in, as a client's bytes arrive: no such enumerator exists.
        TrackingModes rate;
        std::memcpy(&rate, &unnamed, sizeof rate);
        EXPECT_EQ(telescope->put_TrackingRate(&rate), kInvalidValue) << unnamed;
        EXPECT_EQ(failureText(), L"Unknown Error");
    }
    EXPECT_EQ(mount.received(), ":STR1#:STR2#:STR4#");
    EXPECT_EQ(telescope->put_TrackingRate(nullptr), E_POINTER);
}

INSTANTIATE_TEST_SUITE_P(Models, TrackingModel1, ::testing::Values(1));

TEST_P(TrackingModel2, TrackingRateIsRememberedAndSentWithTracking)
{
    VARIANT_BOOL on = 7;
    telescope->get_Tracking(&on);
    EXPECT_EQ(on, VARIANT_FALSE);
    EXPECT_EQ(trackingRate(), driveSidereal);

    struct Case {
        TrackingModes rate;
        const char* command;
        TrackingModes reported;
    };
    const Case cases[] = {{driveLunar, ":RT0#", driveLunar},
                          {driveSolar, ":RT1#", driveSolar},
                          {driveKing, ":RT1#", driveSidereal},
                          {driveCustom, ":RT1#", driveSidereal},
                          {driveSidereal, ":RT2#", driveSidereal}};
    for (const Case& c : cases) {
        TrackingModes rate = c.rate;
        ASSERT_EQ(telescope->put_TrackingRate(&rate), S_OK);
        EXPECT_EQ(mount.received(), "") << "the rate waits for tracking";
        EXPECT_EQ(trackingRate(), c.reported);
        ASSERT_EQ(telescope->put_Tracking(VARIANT_TRUE), S_OK);
        telescope->get_Tracking(&on);
        EXPECT_EQ(on, VARIANT_TRUE);
        EXPECT_EQ(arrived(c.command), c.command) << c.rate;
        mount.forget();
    }
    for (VARIANT_BOOL off : {VARIANT_BOOL(0), VARIANT_BOOL(1)}) {
        ASSERT_EQ(telescope->put_Tracking(VARIANT_TRUE), S_OK);
        // Unanswered, so on the line before the next command purges it.
        arrived(":RT2#");
        ASSERT_EQ(telescope->put_Tracking(off), S_OK);
        telescope->get_Tracking(&on);
        EXPECT_EQ(on, VARIANT_FALSE);
        EXPECT_EQ(arrived(":RT2#:RT9#"), ":RT2#:RT9#");
        mount.forget();
    }
}

TEST_P(TrackingModel2, GuideRateIsFixedAndCannotBeSet)
{
    LogDirectory logs;
    EXPECT_DOUBLE_EQ(guideRate(), degreesPerSecond(0.5));
    for (double rate : {0.0020833, kNaN}) {
        EXPECT_EQ(telescope->put_GuideRateDeclination(&rate), DISP_E_EXCEPTION);
        EXPECT_EQ(failureText(), widened(kSetRateFailure));
        EXPECT_EQ(telescope->put_GuideRateRightAscension(&rate), DISP_E_EXCEPTION);
        EXPECT_EQ(failureText(), widened(kSetRateFailure));
    }
    EXPECT_EQ(mount.received(), "");
    EXPECT_TRUE(logs.messages().empty());
}

// Model 2 takes at most 999 ms per command, each sent as the mount nearly
// finishes the one before: 800 ms apart, the last one its length less
// 200 ms after.
TEST_P(TrackingModel2, LongPulsesGoInPiecesAsTheMountFinishesEach)
{
    startTracking();
    // Lower bounds are what the pauses promise; upper bounds leave room for
    // a busy machine.
    const double early = 15, late = 450;

    WatchedCall once = watchArrivals(mount, 1, [&] { return telescope->PulseGuide(guideNorth, 999); });
    EXPECT_EQ(once.status, S_OK);
    ASSERT_EQ(commandsOf(once), Commands{":Mn999#"});
    EXPECT_GE(once.arrivals[0].atMs, 799 - early);
    EXPECT_LE(once.arrivals[0].atMs, 799 + late);

    WatchedCall twice = watchArrivals(mount, 2, [&] { return telescope->PulseGuide(guideNorth, 1000); });
    ASSERT_EQ(commandsOf(twice), (Commands{":Mn999#", ":Mn001#"}));
    EXPECT_GE(twice.arrivals[0].atMs, 800 - early);
    EXPECT_LE(twice.arrivals[0].atMs, 800 + late);
    EXPECT_LE(twice.arrivals[1].atMs - twice.arrivals[0].atMs, 200) << "no pause before a short last piece";

    WatchedCall thrice = watchArrivals(mount, 3, [&] { return telescope->PulseGuide(guideSouth, 2500); });
    ASSERT_EQ(commandsOf(thrice), (Commands{":Ms999#", ":Ms999#", ":Ms502#"}));
    // Lower bounds from the call's start: a piece that reached the mount
    // late (a busy machine) shortens the gap after it, never these.
    EXPECT_GE(thrice.arrivals[0].atMs, 800 - early);
    EXPECT_GE(thrice.arrivals[1].atMs, 1600 - early);
    EXPECT_LE(thrice.arrivals[1].atMs - thrice.arrivals[0].atMs, 800 + late);
    EXPECT_GE(thrice.arrivals[2].atMs, 1902 - early);
    EXPECT_LE(thrice.arrivals[2].atMs - thrice.arrivals[1].atMs, 302 + late);
    // The call returns with the last piece sent, while the mount still moves.
    EXPECT_GE(thrice.returnedMs, 1902 - early);
    EXPECT_LE(thrice.returnedMs - thrice.arrivals[2].atMs, 200);
    expectGuidingForThePulsesLength(telescope, thrice, 2500);
}

TEST_P(TrackingModel2, ShortPulsesAreOneCommandAfterTheirLengthLessTheLead)
{
    startTracking();
    WatchedCall shortest = watchArrivals(mount, 1, [&] { return telescope->PulseGuide(guideEast, 5); });
    EXPECT_EQ(commandsOf(shortest), Commands{":Me005#"});
    EXPECT_LE(shortest.returnedMs, 150);

    WatchedCall lead = watchArrivals(mount, 1, [&] { return telescope->PulseGuide(guideWest, 200); });
    EXPECT_EQ(commandsOf(lead), Commands{":Mw200#"});
    EXPECT_LE(lead.returnedMs, 150);

    WatchedCall paused = watchArrivals(mount, 1, [&] { return telescope->PulseGuide(guideWest, 450); });
    ASSERT_EQ(commandsOf(paused), Commands{":Mw450#"});
    EXPECT_GE(paused.arrivals[0].atMs, 250 - 15);
    EXPECT_LE(paused.arrivals[0].atMs, 250 + 450);
}

INSTANTIATE_TEST_SUITE_P(Models, TrackingModel2, ::testing::Values(2));

TEST_P(TrackingModel3, TrackingAndItsRateAskedAndSet)
{
    mount.answer(":AT#", "1");
    VARIANT_BOOL on = 7;
    ASSERT_EQ(telescope->get_Tracking(&on), S_OK);
    EXPECT_EQ(on, VARIANT_TRUE);
    mount.answer(":AT#", "0");
    telescope->get_Tracking(&on);
    EXPECT_EQ(on, VARIANT_FALSE);
    EXPECT_EQ(mount.received(), ":AT#:AT#");
    EXPECT_EQ(telescope->get_Tracking(nullptr), E_POINTER);

    // Refused: the driver still believes tracking is off, so a pulse asks
    // for it again first.
    mount.forget();
    mount.answerOnce(":ST1#", "0");
    EXPECT_EQ(telescope->put_Tracking(VARIANT_TRUE), S_OK);
    EXPECT_EQ(telescope->PulseGuide(guideNorth, 100), S_OK);
    EXPECT_EQ(arrived(":ST1#:ST1#:Mn00100#"), ":ST1#:ST1#:Mn00100#");
    // Acknowledged now: no more tracking commands with the next pulse.
    mount.forget();
    EXPECT_EQ(telescope->PulseGuide(guideSouth, 100), S_OK);
    EXPECT_EQ(arrived(":Ms00100#"), ":Ms00100#");
    // 1 is not true; once stopped, the next pulse starts tracking again.
    mount.forget();
    EXPECT_EQ(telescope->put_Tracking(1), S_OK);
    EXPECT_EQ(telescope->PulseGuide(guideNorth, 100), S_OK);
    EXPECT_EQ(arrived(":ST0#:ST1#:Mn00100#"), ":ST0#:ST1#:Mn00100#");

    mount.forget();
    const std::pair<const char*, TrackingModes> answers[] = {{"1", driveLunar},   {"2", driveSolar},
                                                             {"3", driveKing},    {"4", driveCustom},
                                                             {"0", driveSidereal}, {"5", driveSidereal}};
    for (auto [reply, rate] : answers) {
        mount.answer(":QT#", reply);
        EXPECT_EQ(trackingRate(), rate) << reply;
    }
    EXPECT_EQ(mount.commands(), Commands(6, ":QT#"));
    TrackingModes unnamed = TrackingModes(6);
    EXPECT_EQ(telescope->put_TrackingRate(&unnamed), kInvalidValue);
    EXPECT_EQ(trackingRate(), driveSidereal) << "a refused rate is not kept";

    mount.forget();
    mount.answer(":RT1#", "1");
    mount.answer(":RT4#", "0");
    for (TrackingModes rate : {driveLunar, driveCustom})
        EXPECT_EQ(telescope->put_TrackingRate(&rate), S_OK);
    EXPECT_EQ(mount.received(), ":RT1#:RT4#");
}

TEST_P(TrackingModel3, GuideRateReadWithItsTwoWindows)
{
    LogDirectory logs;
    mount.answer(":AG#", "0.80#");
    EXPECT_DOUBLE_EQ(guideRate(), degreesPerSecond(0.8));
    double value = kNaN;
    EXPECT_EQ(telescope->get_GuideRateRightAscension(&value), S_OK);
    EXPECT_DOUBLE_EQ(value, degreesPerSecond(0.8));
    EXPECT_EQ(mount.received(), ":AG#:AG#");

    struct Case {
        std::vector<const char*> replies;
        std::size_t tries;
        double fraction;
        bool logged;
    };
    const Case cases[] = {
        {{"0.15#"}, 1, 0.5, true},             // stops the tries, then unusable
        {{"1.50#", "0.60#"}, 2, 0.6, false},   // the second try reads
        {{"abcd#"}, 1, 0.5, false},            // no number: 0.5 stands, and ends the tries
        {{"1.50#", "abcd#"}, 2, 0.5, true},    // the first answer stands, unusable
        {{"1.50#", "1.50#"}, 2, 0.5, true},    // too fast both times
        {{"0.05#", "0.05#"}, 2, 0.5, true},    // too slow both times
        {{"1.005", "1.005"}, 2, 1.005, false}, // tried again, yet usable
        {{"0.195"}, 1, 0.195, false},
    };
    for (const Case& c : cases) {
        mount.forget();
        for (const char* reply : c.replies)
            mount.answerOnce(":AG#", reply);
        std::size_t logged = logs.messages().size();
        EXPECT_DOUBLE_EQ(guideRate(), degreesPerSecond(c.fraction)) << c.replies[0];
        EXPECT_EQ(mount.commands(), Commands(c.tries, ":AG#")) << c.replies[0];
        EXPECT_EQ(logs.messages().size(), logged + (c.logged ? 1 : 0)) << c.replies[0];
    }
    ASSERT_FALSE(logs.messages().empty());
    EXPECT_EQ(logs.messages().back(), kGetRateFailure);
}

TEST_P(TrackingModel3, GuideRateSetAsPercentWithinThreeDigits)
{
    LogDirectory logs;
    struct Case {
        double rate;
        const char* command;
    };
    const Case cases[] = {{0.0020833, ":RG050#"}, {0.0, ":RG000#"}, {0.5 / 24000, ":RG001#"},
                          {999.49 / 24000, ":RG999#"}, {0.0041666, ":RG100#"}};
    for (const Case& c : cases) {
        mount.answer(c.command, "1");
        double rate = c.rate;
        EXPECT_EQ(telescope->put_GuideRateDeclination(&rate), S_OK) << c.rate;
    }
    double rate = 0.0020833;
    EXPECT_EQ(telescope->put_GuideRateRightAscension(&rate), S_OK);
    EXPECT_EQ(mount.received(), ":RG050#:RG000#:RG001#:RG999#:RG100#:RG050#");
    EXPECT_TRUE(logs.messages().empty());

    // Not taken by the mount: the client cannot help it, the log tells.
    mount.forget();
    mount.answer(":RG020#", "0");
    rate = 20.0 / 24000;
    EXPECT_EQ(telescope->put_GuideRateDeclination(&rate), S_OK);
    EXPECT_EQ(mount.received(), ":RG020#");
    EXPECT_EQ(logs.messages(), Commands{kSetRateFailure});

    // No number, a sign or a fourth digit: refused before anything is sent.
    mount.forget();
    for (double refused : {kNaN, kInfinity, -kInfinity, -0.0001, 999.5 / 24000, 1.0, 1e300, -1e300}) {
        SetErrorInfo(0, nullptr);
        rate = refused;
        EXPECT_EQ(telescope->put_GuideRateDeclination(&rate), kInvalidValue) << refused;
        EXPECT_EQ(telescope->put_GuideRateRightAscension(&rate), kInvalidValue) << refused;
        EXPECT_EQ(failureText(), L"Unknown Error");
    }
    EXPECT_EQ(telescope->put_GuideRateDeclination(nullptr), E_POINTER);
    EXPECT_EQ(mount.received(), "");
    EXPECT_EQ(logs.messages().size(), 1u);
}

// Model 3 moves in 100 ms steps; what is not sent, or sent in excess, is
// carried in each direction's backlog and cancels against the opposite one.
TEST_P(TrackingModel3, PulsesAreQuantisedWithABacklogPerDirection)
{
    startTracking();
    struct Step {
        GuideDirections direction;
        LONG duration;
        const char* sent;   // "" when nothing goes out
    };
    const Step steps[] = {
        // 150 east: 100 sent, 50 east kept.
        {guideEast, 150, ":Me00100#"},
        // 120 west cancels it to 70 west; 100 sent leaves 30 east.
        {guideWest, 120, ":Mw00100#"},
        // 30 east kept exactly: 20 more make 50, an exact half, nothing;
        // one more is past the half.
        {guideEast, 20, ""},
        {guideEast, 1, ":Me00100#"},
        // North and south: nothing, 100 (40 south kept), nothing (10 south).
        {guideNorth, 30, ""},
        {guideNorth, 30, ":Mn00100#"},
        {guideNorth, 30, ""},
        {guideSouth, 40, ""},
        {guideSouth, 1, ":Ms00100#"},
        // That left 49 north, which 49 south cancels exactly.
        {guideSouth, 49, ""},
        // Long pulses: whole steps, five digits; past 32767 ms the limit.
        {guideNorth, 1500, ":Mn01500#"},
        {guideSouth, 40000, ":Ms32800#"},
        // 33 north kept from the limit: 17 more is an exact half.
        {guideNorth, 17, ""},
        {guideNorth, 1, ":Mn00100#"},
    };
    for (const Step& step : steps) {
        mount.forget();
        double ms = elapsedMs([&] { EXPECT_EQ(telescope->PulseGuide(step.direction, step.duration), S_OK); });
        if (*step.sent)
            mount.waitForCommands(1, 1000);
        else
            Sleep(30);
        EXPECT_EQ(mount.received(), step.sent) << step.direction << " " << step.duration;
        // No pause on this model, whatever the length.
        EXPECT_LE(ms, 300) << step.duration;
    }
}

TEST_P(TrackingModel3, IsPulseGuidingFollowsTheClockForThePulseLength)
{
    startTracking();
    EXPECT_EQ(isPulseGuiding(), VARIANT_FALSE) << "no pulse yet";

    Clock::time_point start = Clock::now();
    ASSERT_EQ(telescope->PulseGuide(guideNorth, 1500), S_OK);
    Clock::time_point returned = Clock::now();
    EXPECT_EQ(isPulseGuiding(), VARIANT_TRUE);
    // A pulse of nothing changes nothing.
    EXPECT_EQ(telescope->PulseGuide(guideSouth, 0), S_OK);
    EXPECT_EQ(isPulseGuiding(), VARIANT_TRUE);

    // Each answer must fit the pulse whatever the machine's delays: true
    // while 1.5 s cannot have passed since the pulse began, false once
    // they surely have. The polls cross at least one change of second, so
    // the milliseconds wrap in between.
    const double kClockSlackMs = 20;
    bool sawTrue = false, sawFalse = false;
    while (msBetween(returned, Clock::now()) < 1800) {
        double before = msBetween(start, Clock::now());
        VARIANT_BOOL guiding = isPulseGuiding();
        double after = msBetween(start, Clock::now());
        double afterReturn = before - msBetween(start, returned);
        if (after < 1500 - kClockSlackMs) {
            EXPECT_EQ(guiding, VARIANT_TRUE) << after;
        }
        if (afterReturn > 1500 + kClockSlackMs) {
            EXPECT_EQ(guiding, VARIANT_FALSE) << afterReturn;
        }
        (guiding == VARIANT_TRUE ? sawTrue : sawFalse) = true;
        Sleep(10);
    }
    EXPECT_TRUE(sawTrue);
    EXPECT_TRUE(sawFalse);
    EXPECT_EQ(telescope->get_IsPulseGuiding(nullptr), E_POINTER);
    // Only the pulse was sent; asking never talks to the mount.
    EXPECT_EQ(mount.received(), ":Mn01500#");
}

INSTANTIATE_TEST_SUITE_P(Models, TrackingModel3, ::testing::Values(3));

TEST_P(TrackingGuidingModels, EmptyPulsesAndUnknownDirectionsSendNothingEvenUnconnected)
{
    ASSERT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
    mount.forget();
    for (LONG duration : {0L, -5L, LONG(0x80000000)}) {
        EXPECT_EQ(telescope->PulseGuide(guideNorth, duration), S_OK) << duration;
        EXPECT_EQ(telescope->PulseGuide(guideWest, duration), S_OK) << duration;
    }
    // No letter and no backlog for these: refused before connecting.
    for (int direction : {4, 5, -1, 0x7fffffff, int(0x80000000)}) {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(telescope->PulseGuide(GuideDirections(direction), 100), kInvalidValue) << direction;
        EXPECT_EQ(failureText(), L"Unknown Error");
        EXPECT_EQ(telescope->PulseGuide(GuideDirections(direction), 0), kInvalidValue) << direction;
    }
    VARIANT_BOOL connected = 7;
    telescope->get_Connected(&connected);
    EXPECT_EQ(connected, VARIANT_FALSE);
    EXPECT_EQ(isPulseGuiding(), VARIANT_FALSE) << "no pulse was started";
    Sleep(30);
    EXPECT_EQ(mount.received(), "");
}

TEST_P(TrackingGuidingModels, PulseConnectsAndStartsTrackingFirst)
{
    ASSERT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
    mount.forget();
    ASSERT_EQ(telescope->PulseGuide(guideNorth, 100), S_OK);
    VARIANT_BOOL connected = 7;
    telescope->get_Connected(&connected);
    EXPECT_EQ(connected, VARIANT_TRUE);
    const std::string pulse = model == 3 ? ":Mn00100#" : ":Mn100#";
    for (int waited = 0; waited < 2000 && mount.received().find(pulse) == std::string::npos; ++waited)
        Sleep(1);
    Commands commands = mount.commands();
    ASSERT_GE(commands.size(), 3u);
    // The handshake on the driver's own port comes before the pulse's
    // tracking and guiding commands.
    EXPECT_NE(std::find(commands.begin(), commands.end(), ":V#"), commands.end());
    const Commands tail{model == 3 ? ":ST1#" : ":RT2#", pulse};
    EXPECT_EQ(Commands(commands.end() - 2, commands.end()), tail);

    // Connected and tracking now: the next pulse is only itself.
    mount.forget();
    ASSERT_EQ(telescope->PulseGuide(guideEast, 100), S_OK);
    const std::string next = model == 3 ? ":Me00100#" : ":Me100#";
    EXPECT_EQ(arrived(next), next);
}

INSTANTIATE_TEST_SUITE_P(Models, TrackingGuidingModels, ::testing::Values(2, 3));

// By name, as scripting clients call: the puts that the interface passes by
// reference, and the pulse with its direction and length.
class TrackingLateBound : public DriverTest {
protected:
    TrackingLateBound() { model = 3; }
};

TEST_F(TrackingLateBound, RatesAndPulsesByName)
{
    mount.answer(":ST1#", "1");
    mount.answer(":RG050#", "1");
    mount.answer(":RT1#", "1");
    IDispatch* telescope = createLateBound();
    ASSERT_NE(telescope, nullptr);
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BOOL;
    value.boolVal = VARIANT_TRUE;
    ASSERT_EQ(putProperty(telescope, L"Connected", value), S_OK);
    mount.forget();

    value.vt = VT_R8;
    value.dblVal = 0.0020833;
    EXPECT_EQ(putProperty(telescope, L"GuideRateDeclination", value), S_OK);
    value.vt = VT_I4;
    value.lVal = driveLunar;
    EXPECT_EQ(putProperty(telescope, L"TrackingRate", value), S_OK);
    VARIANT direction, duration;
    VariantInit(&direction);
    VariantInit(&duration);
    direction.vt = VT_I4;
    direction.lVal = guideWest;
    duration.vt = VT_I4;
    duration.lVal = 250;
    EXPECT_EQ(callMethod(telescope, L"PulseGuide", {direction, duration}), S_OK);
    mount.waitForCommands(4, 1000);
    EXPECT_EQ(mount.received(), ":RG050#:RT1#:ST1#:Mw00200#");

    VARIANT result;
    EXPECT_EQ(getProperty(telescope, L"IsPulseGuiding", &result), S_OK);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(getProperty(telescope, L"TrackingRates", &result), S_OK);
    EXPECT_EQ(result.lVal, driveSidereal);

    direction.lVal = 9;
    EXCEPINFO exception{};
    EXPECT_EQ(callMethod(telescope, L"PulseGuide", {direction, duration}, nullptr, &exception), DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, kInvalidValue);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

} // namespace
