// Tracking, guide rates and pulse guiding, per model: the exact commands,
// the replies each model believes, a model 2 pulse's pieces and their lead
// times on the virtual clock, model 3's backlog, IsPulseGuiding over the
// pulse's length on the virtual wall clock, and the refusals.
#include "CoreTest.h"

#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const kAltAzGuiding = "Do not support PulseGuide in Alt-Azi mounts!";
const char* const kGetRateFailure = "Cannot get the guide rate of the telescope";
const char* const kSetRateFailure = "Cannot set the guide rate of the telescope";

// Guide rates come from the mount as a fraction of the sidereal rate.
double degreesPerSecond(double fraction)
{
    return fraction / 240.0;
}

class Tracking : public ModelTest {
protected:
    void SetUp() override
    {
        // Model 3 acknowledges tracking changes.
        script.answer(":ST1#", "1");
        script.answer(":ST0#", "1");
        connectAsModel();
    }

    // Switches tracking on first, so that a pulse sends only its own commands.
    void startTracking()
    {
        ASSERT_EQ(mount->setTracking(true), succeeded());
        forgetTraffic();
    }

    bool isPulseGuiding()
    {
        bool value = false;
        EXPECT_EQ(mount->isPulseGuiding(value), succeeded());
        return value;
    }

    double guideRate()
    {
        double value = kNaN;
        EXPECT_EQ(mount->guideRateDeclination(value), succeeded());
        return value;
    }

    DriveRate trackingRate()
    {
        DriveRate value = DriveRate(-1);
        EXPECT_EQ(mount->trackingRate(value), succeeded());
        return value;
    }

    bool tracking()
    {
        bool value = false;
        EXPECT_EQ(mount->tracking(value), succeeded());
        return value;
    }
};

using TrackingAnyModel = Tracking;

TEST_P(TrackingAnyModel, FixedAnswersAndRefusals)
{
    double rate = kNaN;
    EXPECT_EQ(mount->declinationRate(rate), succeeded());
    EXPECT_EQ(rate, 0.0);
    rate = kNaN;
    EXPECT_EQ(mount->rightAscensionRate(rate), succeeded());
    EXPECT_EQ(rate, 0.0);
    for (double value : {0.0, 1.0, kNaN}) {
        EXPECT_EQ(mount->setDeclinationRate(value),
                  failed(OutcomeKind::NotImplemented, "Cannot set the declination offset rate"));
        EXPECT_EQ(mount->setRightAscensionRate(value),
                  failed(OutcomeKind::NotImplemented, "Cannot set the Right Ascension offset rate"));
    }
    DriveRate rates = DriveRate::Custom;
    EXPECT_EQ(mount->trackingRates(rates), succeeded());
    EXPECT_EQ(rates, DriveRate::Sidereal);

    for (int axis : {0, 1, 2, -1, 3}) {
        EXPECT_EQ(mount->axisRates(axis), succeeded()) << axis;
        bool canMove = true;
        EXPECT_EQ(mount->canMoveAxis(axis, canMove), succeeded());
        EXPECT_FALSE(canMove) << axis;
        EXPECT_EQ(mount->moveAxis(axis, 1.0), numbered(kErrorNotSupported)) << axis;
        EXPECT_EQ(mount->moveAxis(axis, 0.0), numbered(kErrorNotSupported)) << axis;
    }
    EXPECT_EQ(script.received(), "");
    EXPECT_EQ(clock.pausedMs(), 0u);
}

using TrackingPulseModels = Tracking;

TEST_P(TrackingPulseModels, EmptyPulsesAndUnknownDirectionsSendNothingEvenUnconnected)
{
    ASSERT_EQ(mount->setConnected(false), succeeded());
    forgetTraffic();
    for (std::int32_t duration : {0, -5, INT32_MIN}) {
        EXPECT_EQ(mount->pulseGuide(GuideDirection::North, duration), succeeded()) << duration;
        EXPECT_EQ(mount->pulseGuide(GuideDirection::West, duration), succeeded()) << duration;
    }
    // No letter and no backlog for these: refused before connecting.
    for (int direction : {4, 5, -1, INT_MAX, INT_MIN}) {
        EXPECT_EQ(mount->pulseGuide(GuideDirection(direction), 100), numbered(kErrorInvalidValue)) << direction;
        EXPECT_EQ(mount->pulseGuide(GuideDirection(direction), 0), numbered(kErrorInvalidValue)) << direction;
    }
    EXPECT_FALSE(state->connected);
    EXPECT_FALSE(isPulseGuiding()) << "no pulse was started";
    EXPECT_EQ(script.received(), "");
    EXPECT_TRUE(script.openAttempts().empty());
}

INSTANTIATE_TEST_SUITE_P(Models, TrackingAnyModel, ::testing::Values(0, 1, 2, 3), modelName);
// Model 1 refuses every pulse (TrackingModel1).
INSTANTIATE_TEST_SUITE_P(Models, TrackingPulseModels, ::testing::Values(0, 2, 3), modelName);

using TrackingParked = Tracking;

TEST_P(TrackingParked, ParkingIsJudgedFirstWhateverThePulse)
{
    for (const char* command : {":PK#", ":MH#", ":MP1#"})
        script.answer(command, "1");
    ASSERT_EQ(mount->park(), succeeded());
    forgetTraffic();
    for (std::int32_t duration : {100, 0, -1}) {
        for (int direction : {0, 3, 9}) {
            EXPECT_EQ(mount->pulseGuide(GuideDirection(direction), duration),
                      failed(OutcomeKind::InvalidWhileParked, "Cannot PulseGuide when parking"));
        }
    }
    EXPECT_EQ(mount->moveAxis(0, 1.0), failed(OutcomeKind::InvalidWhileParked, "Cannot move axis when parking"));
    EXPECT_EQ(mount->moveAxis(7, 0.0), failed(OutcomeKind::InvalidWhileParked, "Cannot move axis when parking"));
    EXPECT_EQ(script.received(), "");
}

INSTANTIATE_TEST_SUITE_P(Models, TrackingParked, ::testing::Values(1, 2, 3), modelName);

// ---- Tracking on and off -------------------------------------------------------

struct Switching {
    int model;
    const char* on;   // what the mount receives for tracking on
    const char* off;
    const char* query;  // nullptr: the object's own record answers
};

class TrackingSwitch : public CoreTest, public ::testing::WithParamInterface<Switching> {};

TEST_P(TrackingSwitch, SendsTheModelsCommandAndAnswersFromTheMountOrTheRecord)
{
    const Switching& c = GetParam();
    script.answer(":ST1#", "1");
    script.answer(":ST0#", "1");
    if (c.model != 0)
        connectAs(c.model);
    for (bool on : {true, false, true}) {
        SCOPED_TRACE(on);
        ASSERT_EQ(mount->setTracking(on), succeeded());
        EXPECT_EQ(script.received(), c.model == 0 ? "" : on ? c.on : c.off);
        forgetTraffic();
        if (c.query)
            script.answer(c.query, on ? "1" : "0");
        bool value = !on;
        ASSERT_EQ(mount->tracking(value), succeeded());
        EXPECT_EQ(value, on);
        EXPECT_EQ(script.received(), c.query ? c.query : "");
        forgetTraffic();
    }
}

const Switching kSwitching[] = {
    {0, "", "", nullptr},
    {1, ":RG#", ":Q#", nullptr},
    {2, ":RT2#", ":RT9#", nullptr},
    {3, ":ST1#", ":ST0#", ":AT#"},
};

INSTANTIATE_TEST_SUITE_P(Models, TrackingSwitch, ::testing::ValuesIn(kSwitching),
                         [](const ::testing::TestParamInfo<Switching>& info) {
                             return "Model" + std::to_string(info.param.model);
                         });

using TrackingModel3 = Tracking;

TEST_P(TrackingModel3, ARefusedStartLeavesTrackingOffSoThePulseAsksAgain)
{
    // The mount's answer is what Tracking reads; silence is "off".
    script.silence(":AT#");
    EXPECT_FALSE(tracking());
    EXPECT_EQ(script.commands(), Commands(2, ":AT#"));

    forgetTraffic();
    script.answerOnce(":ST1#", "0");
    EXPECT_EQ(mount->setTracking(true), succeeded());
    EXPECT_EQ(mount->pulseGuide(GuideDirection::North, 100), succeeded());
    EXPECT_EQ(script.received(), ":ST1#:ST1#:Mn00100#");
    // Acknowledged now: no more tracking commands with the next pulse.
    forgetTraffic();
    EXPECT_EQ(mount->pulseGuide(GuideDirection::South, 100), succeeded());
    EXPECT_EQ(script.received(), ":Ms00100#");
    // Stopped: the next pulse starts tracking again, whatever the mount
    // itself says, as the object goes by what it last set.
    forgetTraffic();
    script.answer(":AT#", "1");
    EXPECT_EQ(mount->setTracking(false), succeeded());
    EXPECT_EQ(mount->pulseGuide(GuideDirection::North, 100), succeeded());
    EXPECT_EQ(script.received(), ":ST0#:ST1#:Mn00100#");
}

// ---- Tracking rates ------------------------------------------------------------

struct RateReading {
    int model;
    const char* reply;  // nullptr: silence
    DriveRate rate;
};

class TrackingRateReading : public CoreTest, public ::testing::WithParamInterface<RateReading> {};

TEST_P(TrackingRateReading, TheCodeTheMountAnswersNamesTheRate)
{
    const RateReading& c = GetParam();
    connectAs(c.model);
    const char* query = c.model == 3 ? ":QT#" : ":GTR#";
    if (c.reply)
        script.answer(query, c.reply);
    DriveRate rate = DriveRate(-1);
    ASSERT_EQ(mount->trackingRate(rate), succeeded());
    EXPECT_EQ(rate, c.rate);
    EXPECT_EQ(script.received(), query);
}

const RateReading kRateReadings[] = {
    {1, "1", DriveRate::Solar},    {1, "2", DriveRate::Lunar},     {1, "0", DriveRate::Sidereal},
    {1, "3", DriveRate::Sidereal}, {1, nullptr, DriveRate::Sidereal}, {1, "21", DriveRate::Lunar},
    {3, "1", DriveRate::Lunar},    {3, "2", DriveRate::Solar},     {3, "3", DriveRate::King},
    {3, "4", DriveRate::Custom},   {3, "0", DriveRate::Sidereal},  {3, "5", DriveRate::Sidereal},
    {3, nullptr, DriveRate::Sidereal},
};

INSTANTIATE_TEST_SUITE_P(Models, TrackingRateReading, ::testing::ValuesIn(kRateReadings));

struct RateSetting {
    int model;
    DriveRate rate;
    const char* command;  // "" when the rate waits for tracking on
};

class TrackingRateSetting : public CoreTest, public ::testing::WithParamInterface<RateSetting> {};

TEST_P(TrackingRateSetting, GoesOutInTheModelsCommandWhateverTheAnswer)
{
    const RateSetting& c = GetParam();
    connectAs(c.model);
    for (const char* answer : {"1", "0"}) {
        SCOPED_TRACE(answer);
        if (*c.command)
            script.answer(c.command, answer);
        forgetTraffic();
        EXPECT_EQ(mount->setTrackingRate(c.rate), succeeded());
        EXPECT_EQ(script.received(), c.command);
    }
}

const RateSetting kRateSettings[] = {
    // Model 1 takes its own numbering, the one its rate query answers in.
    {1, DriveRate::Sidereal, ":STR0#"}, {1, DriveRate::Lunar, ":STR2#"}, {1, DriveRate::Solar, ":STR1#"},
    {1, DriveRate::King, ":STR3#"},     {1, DriveRate::Custom, ":STR4#"}, {3, DriveRate::Sidereal, ":RT0#"},
    {3, DriveRate::Lunar, ":RT1#"},     {3, DriveRate::Custom, ":RT4#"},  {2, DriveRate::Lunar, ""},
    {2, DriveRate::Custom, ""},
};

INSTANTIATE_TEST_SUITE_P(Models, TrackingRateSetting, ::testing::ValuesIn(kRateSettings));

TEST_P(TrackingAnyModel, ARateTheInterfaceDoesNotNameNeverReachesTheMount)
{
    for (int unnamed : {5, 6, 7, -1, 12, INT_MIN, INT_MAX})
        EXPECT_EQ(mount->setTrackingRate(DriveRate(unnamed)), numbered(kErrorInvalidValue)) << unnamed;
    EXPECT_EQ(script.received(), "");
}

using TrackingModel2 = Tracking;

TEST_P(TrackingModel2, TheRateIsRememberedAndSentWithTrackingOn)
{
    EXPECT_FALSE(tracking());
    EXPECT_EQ(trackingRate(), DriveRate::Sidereal);
    struct Case {
        DriveRate rate;
        const char* command;
        DriveRate reported;
    };
    const Case cases[] = {{DriveRate::Lunar, ":RT0#", DriveRate::Lunar},
                          {DriveRate::Solar, ":RT1#", DriveRate::Solar},
                          {DriveRate::King, ":RT1#", DriveRate::Sidereal},
                          {DriveRate::Custom, ":RT1#", DriveRate::Sidereal},
                          {DriveRate::Sidereal, ":RT2#", DriveRate::Sidereal}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        forgetTraffic();
        ASSERT_EQ(mount->setTrackingRate(c.rate), succeeded());
        EXPECT_EQ(script.received(), "") << "the rate waits for tracking";
        EXPECT_EQ(trackingRate(), c.reported);
        ASSERT_EQ(mount->setTracking(true), succeeded());
        EXPECT_TRUE(tracking());
        EXPECT_EQ(script.received(), c.command);
        ASSERT_EQ(mount->setTracking(false), succeeded());
        EXPECT_EQ(script.received(), std::string(c.command) + ":RT9#");
    }
    // A refused rate is not kept.
    ASSERT_EQ(mount->setTrackingRate(DriveRate::Lunar), succeeded());
    EXPECT_EQ(mount->setTrackingRate(DriveRate(6)), numbered(kErrorInvalidValue));
    forgetTraffic();
    ASSERT_EQ(mount->setTracking(true), succeeded());
    EXPECT_EQ(script.received(), ":RT0#");
}

// ---- Guide rates ---------------------------------------------------------------

struct GuideRateCase {
    int model;
    std::vector<const char*> replies;  // one per try, "" for silence
    std::size_t tries;
    double fraction;
    bool logged;
};

class GuideRateReadingTest : public CoreTest, public ::testing::WithParamInterface<GuideRateCase> {};

TEST_P(GuideRateReadingTest, TheModelsAnswerOrItsDefault)
{
    DebugLog log;
    ASSERT_TRUE(log.ready());
    const GuideRateCase& c = GetParam();
    connectAs(c.model);
    const char* query = c.model == 1 ? ":GGS#" : ":AG#";
    for (const char* reply : c.replies)
        script.answerOnce(query, reply);
    double value = kNaN;
    Stopwatch watch(clock);
    ASSERT_EQ(mount->guideRateDeclination(value), succeeded());
    EXPECT_DOUBLE_EQ(value, degreesPerSecond(c.fraction));
    EXPECT_EQ(script.commands(), Commands(c.tries, query));
    // One byte is read on model 1, five on model 3: a shorter answer costs
    // the read's time-out after the reply pause.
    const std::size_t length = c.model == 1 ? 1 : 5;
    std::uint64_t expectedMs = 0;
    for (std::size_t i = 0; i < c.tries; ++i)
        expectedMs += 50 + (std::string(c.replies[i]).size() < length ? 500 + length : 0);
    EXPECT_EQ(watch.elapsedMs(), expectedMs);
    EXPECT_EQ(log.messages(), c.logged ? Commands{kGetRateFailure} : Commands{});
}

const GuideRateCase kGuideRateCases[] = {
    // Model 1: a digit n for 1 - 0.2 n; without one, the whole sidereal rate.
    {1, {"2"}, 1, 0.6, false},
    {1, {"0"}, 1, 1.0, false},
    {1, {"3"}, 1, 0.4, false},
    {1, {"1"}, 1, 0.8, false},
    {1, {"x", "1"}, 2, 0.8, false},
    {1, {"4", "4"}, 2, 1.0, true},
    {1, {"", ""}, 2, 1.0, true},
    {1, {"12"}, 1, 0.8, false},
    // Model 3: a fraction; an answer inside the wider window ends the tries,
    // only the narrower one is taken, else half the sidereal rate.
    {3, {"0.80#"}, 1, 0.8, false},
    {3, {"0.15#"}, 1, 0.5, true},
    {3, {"1.50#", "0.60#"}, 2, 0.6, false},
    {3, {"abcd#"}, 1, 0.5, false},
    {3, {"1.50#", "abcd#"}, 2, 0.5, true},
    {3, {"1.50#", "1.50#"}, 2, 0.5, true},
    {3, {"0.05#", "0.05#"}, 2, 0.5, true},
    {3, {"1.005", "1.005"}, 2, 1.005, false},
    {3, {"0.195"}, 1, 0.195, false},
    {3, {""}, 1, 0.5, false},
    {3, {"0.096", "0.096"}, 1, 0.5, true},
    // Models 0 and 2 are never asked.
    {2, {"0.80#"}, 0, 0.5, false},
};

INSTANTIATE_TEST_SUITE_P(Models, GuideRateReadingTest, ::testing::ValuesIn(kGuideRateCases));

TEST_P(TrackingAnyModel, BothAxesReadTheOneGuideRate)
{
    script.answer(":GGS#", "3");
    script.answer(":AG#", "0.80#");
    const double expected = model() == 1 ? degreesPerSecond(0.4)
        : model() == 3                   ? degreesPerSecond(0.8)
                                         : degreesPerSecond(0.5);
    double declination = kNaN, rightAscension = kNaN;
    ASSERT_EQ(mount->guideRateDeclination(declination), succeeded());
    ASSERT_EQ(mount->guideRateRightAscension(rightAscension), succeeded());
    EXPECT_DOUBLE_EQ(declination, expected);
    EXPECT_DOUBLE_EQ(rightAscension, expected);
    const char* asked = model() == 1 ? ":GGS#:GGS#" : model() == 3 ? ":AG#:AG#" : "";
    EXPECT_EQ(script.received(), asked);
}

using TrackingFixedGuideRate = Tracking;

TEST_P(TrackingFixedGuideRate, OnlyModel3SetsTheGuideRate)
{
    DebugLog log;
    for (double rate : {0.0020833, 0.0, kNaN, -1.0}) {
        EXPECT_EQ(mount->setGuideRateDeclination(rate), failed(OutcomeKind::NotImplemented, kSetRateFailure));
        EXPECT_EQ(mount->setGuideRateRightAscension(rate), failed(OutcomeKind::NotImplemented, kSetRateFailure));
    }
    EXPECT_EQ(script.received(), "");
    EXPECT_TRUE(log.messages().empty());
}

// Model 3's setting: GuideRateSetting.
INSTANTIATE_TEST_SUITE_P(Models, TrackingFixedGuideRate, ::testing::Values(0, 1, 2), modelName);

struct GuideRateSet {
    double rate;
    const char* command;  // nullptr: refused before anything is sent
};

class GuideRateSetting : public CoreTest, public ::testing::WithParamInterface<GuideRateSet> {};

TEST_P(GuideRateSetting, GoesOutAsPercentWithinThreeDigits)
{
    DebugLog log;
    ASSERT_TRUE(log.ready());
    const GuideRateSet& c = GetParam();
    connectAs(3);
    if (!c.command) {
        EXPECT_EQ(mount->setGuideRateDeclination(c.rate), numbered(kErrorInvalidValue));
        EXPECT_EQ(mount->setGuideRateRightAscension(c.rate), numbered(kErrorInvalidValue));
        EXPECT_EQ(script.received(), "");
        return;
    }
    script.answer(c.command, "1");
    EXPECT_EQ(mount->setGuideRateDeclination(c.rate), succeeded());
    EXPECT_EQ(mount->setGuideRateRightAscension(c.rate), succeeded());
    EXPECT_EQ(script.commands(), Commands(2, c.command));
    EXPECT_TRUE(log.messages().empty());
}

const GuideRateSet kGuideRateSets[] = {
    {0.0020833, ":RG050#"},   {0.0, ":RG000#"},          {-0.0, ":RG000#"},          {0.5 / 24000, ":RG001#"},
    {0.49 / 24000, ":RG000#"}, {0.51 / 24000, ":RG001#"}, {998.51 / 24000, ":RG999#"}, {999.49 / 24000, ":RG999#"},
    {0.0041666, ":RG100#"},   {kNaN, nullptr},           {kInfinity, nullptr},       {-kInfinity, nullptr},
    {-0.0001, nullptr},       {999.5 / 24000, nullptr},  {999.51 / 24000, nullptr},  {1.0, nullptr},
    {1e300, nullptr},         {-1e300, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Rates, GuideRateSetting, ::testing::ValuesIn(kGuideRateSets));

TEST_P(TrackingModel3, AGuideRateTheMountDoesNotTakeIsOnlyLogged)
{
    DebugLog log;
    ASSERT_TRUE(log.ready());
    script.answer(":RG020#", "0");
    EXPECT_EQ(mount->setGuideRateDeclination(20.0 / 24000), succeeded());
    EXPECT_EQ(script.received(), ":RG020#");
    forgetTraffic();
    EXPECT_EQ(mount->setGuideRateRightAscension(30.0 / 24000), succeeded());
    EXPECT_EQ(script.received(), ":RG030#:RG030#");
    EXPECT_EQ(log.messages(), Commands(2, kSetRateFailure));
}

// ---- Pulse guiding -------------------------------------------------------------

using TrackingModel1 = Tracking;

TEST_P(TrackingModel1, NoPulseGuidingOnAltAzimuthMounts)
{
    for (std::int32_t duration : {100, 0, -5}) {
        for (int direction : {2, 9}) {
            EXPECT_EQ(mount->pulseGuide(GuideDirection(direction), duration),
                      failed(OutcomeKind::NotImplemented, kAltAzGuiding));
        }
    }
    bool guiding = true;
    EXPECT_EQ(mount->isPulseGuiding(guiding), failed(OutcomeKind::NotImplemented, kAltAzGuiding));
    EXPECT_TRUE(guiding) << "a refusal leaves the value alone";
    EXPECT_EQ(script.received(), "");
}

// A model 2 pulse: at most 999 ms per command, each sent as the mount
// nearly finishes the one before (800 ms apart), the last one its length
// less 200 ms after.
struct Piece {
    const char* command;
    std::uint64_t atMs;  // after the call began
};

struct PiecesCase {
    GuideDirection direction;
    std::int32_t duration;
    std::vector<Piece> pieces;
};

class PulsePieces : public CoreTest, public ::testing::WithParamInterface<PiecesCase> {};

TEST_P(PulsePieces, GoOutAsTheMountFinishesEach)
{
    const PiecesCase& c = GetParam();
    connectAs(2);
    ASSERT_EQ(mount->setTracking(true), succeeded());
    forgetTraffic();
    Stopwatch watch(clock);
    EXPECT_EQ(mount->pulseGuide(c.direction, c.duration), succeeded());
    std::vector<MountScript::SentCommand> sent = script.timedCommands();
    ASSERT_EQ(sent.size(), c.pieces.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].command, c.pieces[i].command) << i;
        EXPECT_EQ(sent[i].atMs - watch.startMs(), c.pieces[i].atMs) << i;
    }
    // The call returns with the last piece sent, while the mount still moves.
    EXPECT_EQ(watch.elapsedMs(), c.pieces.back().atMs);
    EXPECT_EQ(clock.pausedMs(), c.pieces.back().atMs);
}

// The same pulse in two steps, as a front end that returns at once sends
// it: nothing goes out at the start, and the pieces carry the waits the
// synchronous pulse sleeps.
TEST_P(PulsePieces, InTwoStepsTheStartSendsNothingAndThePlanKeepsTheTimes)
{
    const PiecesCase& c = GetParam();
    connectAs(2);
    ASSERT_EQ(mount->setTracking(true), succeeded());
    forgetTraffic();
    PulsePlan plan;
    EXPECT_EQ(mount->beginPulseGuide(c.direction, c.duration, plan), succeeded());
    EXPECT_TRUE(script.timedCommands().empty());
    EXPECT_EQ(clock.pausedMs(), 0u);
    ASSERT_EQ(plan.size(), c.pieces.size());
    std::uint64_t atMs = 0;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        atMs += plan[i].waitMs;
        EXPECT_EQ(atMs, c.pieces[i].atMs) << i;
        mount->sendPulsePiece(plan[i]);
    }
    Commands sent;
    for (const MountScript::SentCommand& command : script.timedCommands())
        sent.push_back(command.command);
    Commands expected;
    for (const Piece& piece : c.pieces)
        expected.push_back(piece.command);
    EXPECT_EQ(sent, expected);
    bool guiding = false;
    EXPECT_EQ(mount->isPulseGuiding(guiding), succeeded());
    EXPECT_TRUE(guiding) << "the pulse counts from its start, not from its last piece";
}

std::vector<PiecesCase> piecesCases()
{
    std::vector<PiecesCase> cases = {
        {GuideDirection::North, 999, {{":Mn999#", 799}}},
        {GuideDirection::North, 1000, {{":Mn999#", 800}, {":Mn001#", 800}}},
        {GuideDirection::North, 1199, {{":Mn999#", 800}, {":Mn200#", 800}}},
        {GuideDirection::North, 1200, {{":Mn999#", 800}, {":Mn201#", 801}}},
        {GuideDirection::South, 2500, {{":Ms999#", 800}, {":Ms999#", 1600}, {":Ms502#", 1902}}},
        {GuideDirection::East, 1, {{":Me001#", 0}}},
        {GuideDirection::East, 5, {{":Me005#", 0}}},
        {GuideDirection::West, 200, {{":Mw200#", 0}}},
        {GuideDirection::West, 201, {{":Mw201#", 1}}},
        {GuideDirection::West, 450, {{":Mw450#", 250}}},
    };
    // Past 32767 ms the pulse is cut to that: 32 whole pieces and 799 ms.
    PiecesCase longest{GuideDirection::North, 40000, {}};
    for (int piece = 1; piece <= 32; ++piece)
        longest.pieces.push_back({":Mn999#", 800u * piece});
    longest.pieces.push_back({":Mn799#", 32 * 800 + 599});
    cases.push_back(longest);
    PiecesCase limit = longest;
    limit.duration = 32767;
    cases.push_back(limit);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Durations, PulsePieces, ::testing::ValuesIn(piecesCases()));

TEST_P(TrackingModel2, IsPulseGuidingCoversTheWholePulseNotJustItsCall)
{
    startTracking();
    Stopwatch watch(clock);
    ASSERT_EQ(mount->pulseGuide(GuideDirection::South, 2500), succeeded());
    ASSERT_EQ(watch.elapsedMs(), 1902u);
    EXPECT_TRUE(isPulseGuiding());
    clock.advance(2499 - 1902);
    EXPECT_TRUE(isPulseGuiding());
    clock.advance(1);
    EXPECT_FALSE(isPulseGuiding());
}

// Model 3 moves in 100 ms steps; what is not sent, or sent in excess, is
// carried in each direction's backlog and cancels against the opposite one.
TEST_P(TrackingModel3, PulsesAreQuantisedWithABacklogPerDirection)
{
    startTracking();
    struct Step {
        GuideDirection direction;
        std::int32_t duration;
        const char* sent;  // "" when nothing goes out
    };
    const Step steps[] = {
        // 150 east: 100 sent, 50 east kept.
        {GuideDirection::East, 150, ":Me00100#"},
        // 120 west cancels it to 70 west; 100 sent leaves 30 east.
        {GuideDirection::West, 120, ":Mw00100#"},
        // 30 east kept exactly: 20 more make 50, an exact half, nothing;
        // one more is past the half.
        {GuideDirection::East, 20, ""},
        {GuideDirection::East, 1, ":Me00100#"},
        // North and south: nothing, 100 (40 south kept), nothing (10 south).
        {GuideDirection::North, 30, ""},
        {GuideDirection::North, 30, ":Mn00100#"},
        {GuideDirection::North, 30, ""},
        {GuideDirection::South, 40, ""},
        {GuideDirection::South, 1, ":Ms00100#"},
        // That left 49 north, which 49 south cancels exactly.
        {GuideDirection::South, 49, ""},
        // Long pulses: whole steps, five digits; past 32767 ms the limit.
        {GuideDirection::North, 1500, ":Mn01500#"},
        {GuideDirection::South, 40000, ":Ms32800#"},
        // 33 north kept from the limit: 17 more is an exact half.
        {GuideDirection::North, 17, ""},
        {GuideDirection::North, 1, ":Mn00100#"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(int(step.direction)) + " " + std::to_string(step.duration));
        forgetTraffic();
        Stopwatch watch(clock);
        EXPECT_EQ(mount->pulseGuide(step.direction, step.duration), succeeded());
        EXPECT_EQ(script.received(), step.sent);
        // No pause on this model, whatever the length.
        EXPECT_EQ(watch.elapsedMs(), 0u);
    }
}

TEST_P(TrackingModel3, EachObjectKeepsItsOwnBacklog)
{
    startTracking();
    ASSERT_EQ(mount->pulseGuide(GuideDirection::East, 40), succeeded());
    // The other object holds no port: its pulse is sent to nobody, and its
    // own backlog takes what it could not send.
    std::unique_ptr<Mount> other = newMount();
    ASSERT_EQ(other->setTracking(true), succeeded());
    ASSERT_EQ(other->pulseGuide(GuideDirection::East, 40), succeeded());
    EXPECT_EQ(script.received(), "");
    // 40 + 40 east here, not 40 + 40 + 40.
    ASSERT_EQ(mount->pulseGuide(GuideDirection::East, 40), succeeded());
    EXPECT_EQ(script.received(), ":Me00100#");
    forgetTraffic();
    // That sent 20 more than was asked: 20 west are owed back, so 30 west
    // make 50, an exact half, and nothing goes out; 40 more make a step.
    ASSERT_EQ(mount->pulseGuide(GuideDirection::West, 30), succeeded());
    EXPECT_EQ(script.received(), "");
    ASSERT_EQ(mount->pulseGuide(GuideDirection::West, 40), succeeded());
    EXPECT_EQ(script.received(), ":Mw00100#");
}

TEST_P(TrackingModel3, IsPulseGuidingFollowsTheWallClockForThePulsesLength)
{
    startTracking();
    EXPECT_FALSE(isPulseGuiding()) << "no pulse yet";
    const std::int64_t start = clock.wallMs();
    ASSERT_EQ(mount->pulseGuide(GuideDirection::North, 1500), succeeded());
    struct Moment {
        std::int64_t wallMs;  // from the pulse's start
        bool guiding;
    };
    const Moment moments[] = {
        {0, true}, {1, true}, {999, true}, {1000, true}, {1499, true}, {1500, false}, {1501, false},
        // A clock set back since the pulse began cannot prove it still runs.
        {-1, false}, {-100000, false},
        // Set forward again, it tells the truth again.
        {700, true}, {86400000, false},
    };
    for (const Moment& moment : moments) {
        clock.setWallMs(start + moment.wallMs);
        EXPECT_EQ(isPulseGuiding(), moment.guiding) << moment.wallMs;
    }
    // A pulse of nothing changes nothing.
    clock.setWallMs(start + 1000);
    EXPECT_EQ(mount->pulseGuide(GuideDirection::South, 0), succeeded());
    clock.setWallMs(start + 1499);
    EXPECT_TRUE(isPulseGuiding());
    // The steady clock does not count: only the wall clock does.
    clock.advance(10000);
    clock.setWallMs(start + 1499);
    EXPECT_TRUE(isPulseGuiding());
    // Only the pulse was sent; asking never talks to the mount.
    EXPECT_EQ(script.received(), ":Mn01500#");
}

using TrackingGuidingModels = Tracking;

TEST_P(TrackingGuidingModels, APulseConnectsAndStartsTrackingFirst)
{
    ASSERT_EQ(mount->setConnected(false), succeeded());
    forgetTraffic();
    ASSERT_EQ(mount->pulseGuide(GuideDirection::North, 100), succeeded());
    EXPECT_TRUE(state->connected);
    const std::string pulse = model() == 3 ? ":Mn00100#" : ":Mn100#";
    Commands commands = script.commands();
    ASSERT_GE(commands.size(), 4u);
    // The connection's own handshake and model query come before the
    // pulse's tracking and guiding commands.
    const Commands tail{":V#", ":MountInfo#", model() == 3 ? ":ST1#" : ":RT2#", pulse};
    EXPECT_EQ(Commands(commands.end() - 4, commands.end()), tail);
    EXPECT_EQ(commands.front(), ":V#");

    // Connected and tracking now: the next pulse is only itself.
    forgetTraffic();
    ASSERT_EQ(mount->pulseGuide(GuideDirection::East, 100), succeeded());
    EXPECT_EQ(script.received(), model() == 3 ? ":Me00100#" : ":Me100#");
}

INSTANTIATE_TEST_SUITE_P(Models, TrackingGuidingModels, ::testing::Values(2, 3), modelName);
INSTANTIATE_TEST_SUITE_P(Models, TrackingModel1, ::testing::Values(1), modelName);
INSTANTIATE_TEST_SUITE_P(Models, TrackingModel2, ::testing::Values(2), modelName);
INSTANTIATE_TEST_SUITE_P(Models, TrackingModel3, ::testing::Values(3), modelName);

// ---- Model 0: a pulse before any model is known --------------------------------

// The pulse is judged by the model known when it was asked for: none, so it
// connects and starts tracking as the model found now wants, and then sends
// no pulse of its own. The next one is the found model's.
struct FirstPulse {
    int mountModel;
    const char* trackingOn;
    Expected nextPulse;
    const char* nextSent;
    Expected guiding;
};

class FirstPulseBeforeDetection : public CoreTest, public ::testing::WithParamInterface<FirstPulse> {};

TEST_P(FirstPulseBeforeDetection, ConnectsStartsTrackingAndSendsNoPulse)
{
    const FirstPulse& c = GetParam();
    script.answerAsModel(c.mountModel);
    script.answer(":ST1#", "1");
    ASSERT_EQ(int(state->model), 0);
    EXPECT_EQ(mount->pulseGuide(GuideDirection::North, 100), succeeded());
    EXPECT_TRUE(state->connected);
    EXPECT_EQ(int(state->model), c.mountModel);
    Commands expected = {":V#", ":MountInfo#", ":GR#", ":GD#", ":GA#", ":GZ#", ":GL#", ":GG#", ":Gt#", ":Gg#",
                         ":V#", ":MountInfo#", c.trackingOn};
    EXPECT_EQ(script.commands(), expected);

    bool guiding = false;
    EXPECT_EQ(mount->isPulseGuiding(guiding), c.guiding);
    forgetTraffic();
    EXPECT_EQ(mount->pulseGuide(GuideDirection::East, 100), c.nextPulse);
    EXPECT_EQ(script.received(), c.nextSent);
}

const FirstPulse kFirstPulses[] = {
    {1, ":RG#", failed(OutcomeKind::NotImplemented, kAltAzGuiding), "", failed(OutcomeKind::NotImplemented, kAltAzGuiding)},
    {2, ":RT2#", succeeded(), ":Me100#", succeeded()},
    {3, ":ST1#", succeeded(), ":Me00100#", succeeded()},
};

INSTANTIATE_TEST_SUITE_P(Models, FirstPulseBeforeDetection, ::testing::ValuesIn(kFirstPulses),
                         [](const ::testing::TestParamInfo<FirstPulse>& info) {
                             return "MountModel" + std::to_string(info.param.mountModel);
                         });

} // namespace

namespace {

// The state is the front end's, and its model is the row the core follows.
// Model 0 with a port open cannot come from a connect (detection always
// names a model), so the test puts it there: it shows the commands of the
// row that the cases without a port cannot.
using TrackingModelZeroRow = CoreTest;

TEST_F(TrackingModelZeroRow, TracksLikeModel2AndAsksTheRateLikeModel1)
{
    connectAs(2);
    state->model = 0;
    ASSERT_EQ(mount->setTracking(true), succeeded());
    ASSERT_EQ(mount->setTracking(false), succeeded());
    EXPECT_EQ(script.received(), ":RT2#:RT9#");

    forgetTraffic();
    script.answer(":GTR#", "2");
    DriveRate rate = DriveRate::Custom;
    ASSERT_EQ(mount->trackingRate(rate), succeeded());
    EXPECT_EQ(rate, DriveRate::Lunar);
    script.answer(":STR2#", "1");
    ASSERT_EQ(mount->setTrackingRate(DriveRate::Lunar), succeeded());
    // Sent at once, so not remembered for tracking on.
    ASSERT_EQ(mount->setTracking(true), succeeded());
    EXPECT_EQ(script.received(), ":GTR#:STR2#:RT2#");

    // A pulse is taken and nothing sent; the guide rate is the fixed one.
    forgetTraffic();
    EXPECT_EQ(mount->pulseGuide(GuideDirection::North, 500), succeeded());
    bool guiding = false;
    ASSERT_EQ(mount->isPulseGuiding(guiding), succeeded());
    EXPECT_TRUE(guiding);
    double guideRate = 0;
    ASSERT_EQ(mount->guideRateDeclination(guideRate), succeeded());
    EXPECT_DOUBLE_EQ(guideRate, degreesPerSecond(0.5));
    EXPECT_EQ(script.received(), "");
    EXPECT_EQ(clock.pausedMs(), 0u);
}

} // namespace
