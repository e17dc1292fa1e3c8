// Parking, unparking and the home search, per model (model 0 included):
// the bytes on the line, the outcomes, the park record, the home search's
// polls and bound on the virtual clock, and the debug log.
#include "CoreTest.h"

#include <climits>
#include <ostream>
#include <string>
#include <vector>

namespace {

const char* const kParkTransmission = "Transmission error at Park!";
const char* const kUnparkTransmission = "Transmission error at Unpark!";
const char* const kParkedFindHome = "Cannot FindHome when parking";
const char* const kNoFindHome = "Do not support FindHome";

// What one model does; the commands as they reach the mount.
struct ParkingCase {
    int model;
    const char* park;        // Park, every command acknowledged
    const char* parkSilent;  // Park, the mount silent
    bool parkSilentFails;
    const char* unpark;        // Unpark, acknowledged
    const char* unparkSilent;  // Unpark, the mount silent
    bool unparkSilentFails;
    bool homes;  // has a home search and reports being home
};

const ParkingCase kModels[] = {
    {1, ":PK#", ":PK#:PK#", true, "", "", false, false},
    {2, ":KA", ":KA", false, ":PO#", ":PO#", false, false},
    {3, ":MH#:MP1#", ":MH#:MH#", true, ":MP0#", ":MP0#:MP0#", true, true},
};

void PrintTo(const ParkingCase& parking, std::ostream* out)
{
    *out << "model " << parking.model;
}

std::string caseName(const ::testing::TestParamInfo<ParkingCase>& info)
{
    return "Model" + std::to_string(info.param.model);
}

class Parking : public CoreTest, public ::testing::WithParamInterface<ParkingCase> {
protected:
    Parking() : expected(GetParam()) {}

    void acknowledgeEverything()
    {
        for (const char* command : {":PK#", ":MH#", ":MP1#", ":MP0#", ":AH#", ":AP#"})
            script.answer(command, "1");
    }

    void silenceEverything()
    {
        for (const char* command : {":PK#", ":KA", ":PO#", ":MH#", ":MP1#", ":MP0#", ":AH#", ":AP#"})
            script.silence(command);
    }

    void parkAcknowledged()
    {
        acknowledgeEverything();
        forgetTraffic();
        EXPECT_EQ(mount->park(), succeeded());
        EXPECT_EQ(script.received(), expected.park);
        forgetTraffic();
    }

    // FindHome is what the park record holds back: refused for parking or
    // not tells whether the object counts the mount as parked. On model 3
    // an unparked FindHome runs, so the mount is made to home at once.
    bool heldParked()
    {
        script.answer(":MH#", "1");
        script.answer(":AH#", "1");
        Outcome outcome = mount->findHome();
        if (outcome == failed(OutcomeKind::InvalidWhileParked, kParkedFindHome))
            return true;
        if (expected.homes) {
            EXPECT_EQ(outcome, succeeded());
        } else {
            EXPECT_EQ(outcome, failed(OutcomeKind::NotImplemented, kNoFindHome));
        }
        return false;
    }

    bool atPark()
    {
        bool value = false;
        EXPECT_EQ(mount->atPark(value), succeeded());
        return value;
    }

    bool atHome()
    {
        bool value = true;
        EXPECT_EQ(mount->atHome(value), succeeded());
        return value;
    }

    ParkingCase expected;
};

TEST_P(Parking, ParkSendsTheModelsCommandsAndHoldsTheMountParked)
{
    connectAs(expected.model);
    acknowledgeEverything();
    EXPECT_FALSE(heldParked());

    forgetTraffic();
    EXPECT_EQ(mount->park(), succeeded());
    EXPECT_EQ(script.received(), expected.park);
    EXPECT_TRUE(heldParked());

    // AtPark: the object's record, or on model 3 the mount's own answer.
    forgetTraffic();
    EXPECT_TRUE(atPark());
    EXPECT_EQ(script.received(), expected.homes ? ":AP#" : "");

    // Parking again is not refused: the commands go out again.
    forgetTraffic();
    EXPECT_EQ(mount->park(), succeeded());
    EXPECT_EQ(script.received(), expected.park);
    EXPECT_TRUE(heldParked());
}

TEST_P(Parking, ParkWithoutAnAnswerFailsAndChangesNothing)
{
    connectAs(expected.model);
    // Not parked before: still not parked after a failed park (model 2
    // cannot fail, and is parked).
    silenceEverything();
    Stopwatch watch(clock);
    EXPECT_EQ(mount->park(),
              expected.parkSilentFails ? failed(OutcomeKind::Failure, kParkTransmission) : succeeded());
    EXPECT_EQ(script.received(), expected.parkSilent);
    EXPECT_EQ(heldParked(), !expected.parkSilentFails);
    if (expected.model == 2) {
        EXPECT_EQ(watch.elapsedMs(), 0u) << "no reply is waited for";
    }

    // Parked before: still parked after a failed park.
    parkAcknowledged();
    silenceEverything();
    forgetTraffic();
    EXPECT_EQ(mount->park(),
              expected.parkSilentFails ? failed(OutcomeKind::Failure, kParkTransmission) : succeeded());
    EXPECT_EQ(script.received(), expected.parkSilent);
    EXPECT_TRUE(heldParked());

    // A clear refusal fails at once, without a second try.
    if (expected.model != 2) {
        acknowledgeEverything();
        ASSERT_EQ(mount->unpark(), succeeded());
        script.answer(":PK#", "0");
        script.answer(":MH#", "0");
        forgetTraffic();
        EXPECT_EQ(mount->park(), failed(OutcomeKind::Failure, kParkTransmission));
        EXPECT_EQ(script.received(), expected.model == 3 ? ":MH#" : ":PK#");
        EXPECT_FALSE(heldParked());
    }
}

TEST_P(Parking, UnparkLiftsTheParkWhateverTheMountSays)
{
    connectAs(expected.model);
    parkAcknowledged();
    EXPECT_EQ(mount->unpark(), succeeded());
    EXPECT_EQ(script.received(), expected.unpark);
    EXPECT_FALSE(heldParked());

    parkAcknowledged();
    silenceEverything();
    forgetTraffic();
    EXPECT_EQ(mount->unpark(),
              expected.unparkSilentFails ? failed(OutcomeKind::Failure, kUnparkTransmission) : succeeded());
    EXPECT_EQ(script.received(), expected.unparkSilent);
    // Failed or not, the object no longer holds the mount back.
    EXPECT_FALSE(heldParked());

    // Unparking a mount that is not parked is no refusal either.
    acknowledgeEverything();
    forgetTraffic();
    EXPECT_EQ(mount->unpark(), succeeded());
    EXPECT_EQ(script.received(), expected.unpark);
}

TEST_P(Parking, AtParkReportsTheObjectsRecordExceptOnModel3)
{
    connectAs(expected.model);
    // The mount claims to be parked, which only model 3 is asked.
    script.answer(":AP#", "1");
    EXPECT_EQ(atPark(), expected.homes);
    EXPECT_EQ(heldParked(), expected.homes);

    parkAcknowledged();
    // The mount says it is not parked.
    script.answer(":AP#", "0");
    forgetTraffic();
    EXPECT_EQ(atPark(), !expected.homes);
    EXPECT_EQ(script.received(), expected.homes ? ":AP#" : "");
    EXPECT_EQ(heldParked(), !expected.homes);

    // No answer at all reads as not parked on model 3.
    parkAcknowledged();
    script.silence(":AP#");
    forgetTraffic();
    EXPECT_EQ(atPark(), !expected.homes);
    EXPECT_EQ(script.received(), expected.homes ? ":AP#:AP#" : "");
    EXPECT_EQ(heldParked(), !expected.homes);
}

TEST_P(Parking, AtHomeAsksOnlyModel3)
{
    connectAs(expected.model);
    for (const char* answer : {"1", "0"}) {
        script.answer(":AH#", answer);
        forgetTraffic();
        EXPECT_EQ(atHome(), expected.homes && answer[0] == '1') << answer;
        EXPECT_EQ(script.received(), expected.homes ? ":AH#" : "") << answer;
    }
    script.silence(":AH#");
    forgetTraffic();
    EXPECT_FALSE(atHome());
    EXPECT_EQ(script.received(), expected.homes ? ":AH#:AH#" : "");
}

TEST_P(Parking, FindHomeRunsOnlyOnModel3AndNeverWhileParked)
{
    connectAs(expected.model);
    acknowledgeEverything();
    forgetTraffic();
    if (expected.homes) {
        EXPECT_EQ(mount->findHome(), succeeded());
        EXPECT_EQ(script.received(), ":MH#:AH#");
    } else {
        EXPECT_EQ(mount->findHome(), failed(OutcomeKind::NotImplemented, kNoFindHome));
        EXPECT_EQ(script.received(), "");
    }

    // Parked, the refusal comes before the model is looked at.
    parkAcknowledged();
    EXPECT_EQ(mount->findHome(), failed(OutcomeKind::InvalidWhileParked, kParkedFindHome));
    EXPECT_EQ(script.received(), "");
}

// In two steps, as a front end that returns at once runs it: the search
// command alone, and whether there is a search to wait for.
TEST_P(Parking, FindHomeInTwoStepsStartsTheSearchAndWaitsNotAtAll)
{
    connectAs(expected.model);
    acknowledgeEverything();
    forgetTraffic();
    bool started = true;
    if (expected.homes) {
        EXPECT_EQ(mount->beginFindHome(started), succeeded());
        EXPECT_TRUE(started);
        EXPECT_EQ(script.received(), ":MH#");
        EXPECT_EQ(clock.pausedMs(), 50u) << "the search command's reply pause, no poll";
    } else {
        EXPECT_EQ(mount->beginFindHome(started), failed(OutcomeKind::NotImplemented, kNoFindHome));
        EXPECT_FALSE(started);
        EXPECT_EQ(script.received(), "");
    }
    parkAcknowledged();
    started = true;
    EXPECT_EQ(mount->beginFindHome(started), failed(OutcomeKind::InvalidWhileParked, kParkedFindHome));
    EXPECT_FALSE(started);
}

TEST_P(Parking, SetParkAndSettleTimeNeverTalkToTheMount)
{
    connectAs(expected.model);
    acknowledgeEverything();
    for (bool parkFirst : {false, true}) {
        SCOPED_TRACE(parkFirst);
        if (parkFirst)
            parkAcknowledged();
        forgetTraffic();
        EXPECT_EQ(mount->setPark(), failed(OutcomeKind::NotImplemented, "Do not support SetPark"));
        for (int accepted : {0, 30, INT_MAX}) {
            EXPECT_EQ(mount->setSlewSettleTime(accepted), succeeded()) << accepted;
            int settle = -7;
            EXPECT_EQ(mount->slewSettleTime(settle), succeeded());
            EXPECT_EQ(settle, 0);
        }
        for (int refused : {-1, INT_MIN}) {
            EXPECT_EQ(mount->setSlewSettleTime(refused), numbered(kErrorInvalidValue)) << refused;
            int settle = -7;
            EXPECT_EQ(mount->slewSettleTime(settle), succeeded());
            EXPECT_EQ(settle, 0);
        }
        EXPECT_EQ(script.received(), "");
        // Neither changes the park record.
        EXPECT_EQ(heldParked(), parkFirst);
    }
}

TEST_P(Parking, WithoutAConnectionNothingIsSentAndNoReplyIsAssumed)
{
    DebugLog log;
    ASSERT_TRUE(log.ready());
    // The model is known, but the connection is gone: no port.
    connectAs(expected.model);
    ASSERT_EQ(mount->setConnected(false), succeeded());
    acknowledgeEverything();
    forgetTraffic();

    // Model 2 reads no reply and so parks; the others miss their "1".
    EXPECT_EQ(mount->park(),
              expected.model == 2 ? succeeded() : failed(OutcomeKind::Failure, kParkTransmission));
    EXPECT_EQ(atPark(), expected.model == 2);
    EXPECT_EQ(mount->unpark(),
              expected.homes ? failed(OutcomeKind::Failure, kUnparkTransmission) : succeeded());
    EXPECT_FALSE(atPark());
    EXPECT_FALSE(atHome());
    // Model 3's unanswered home command is only logged.
    EXPECT_EQ(mount->findHome(),
              expected.homes ? succeeded() : failed(OutcomeKind::NotImplemented, kNoFindHome));
    EXPECT_EQ(script.received(), "");
    EXPECT_EQ(clock.pausedMs(), 0u);
    EXPECT_EQ(log.messages(), expected.homes ? Commands{"Transmission error in FindHome!"} : Commands{});
}

TEST_P(Parking, EachObjectKeepsItsOwnParkRecord)
{
    connectAs(expected.model);
    parkAcknowledged();
    std::unique_ptr<Mount> other = newMount();
    bool parked = true;
    ASSERT_EQ(other->atPark(parked), succeeded());
    // Model 3's other object asks, but holds no port: nobody answers.
    EXPECT_FALSE(parked);
    EXPECT_NE(other->findHome(), failed(OutcomeKind::InvalidWhileParked, kParkedFindHome));
    EXPECT_TRUE(heldParked());
}

// ---- A park whose progress the front end reports ---------------------------

// beginPark sends what park sends (model 3 asks first), and nothing to a
// mount that is parked already; parkArrived takes the model's own word.
TEST_P(Parking, BeginParkSendsNothingToAParkedMountAndArrivalIsTheMountsWord)
{
    connectAs(expected.model);
    acknowledgeEverything();
    script.answer(":AP#", "0");
    forgetTraffic();
    bool moving = false;
    EXPECT_EQ(mount->beginPark(moving), succeeded());
    EXPECT_TRUE(moving);
    EXPECT_EQ(script.received(), std::string(expected.homes ? ":AP#" : "") + expected.park);
    EXPECT_TRUE(heldParked()) << "refused from the moment the park is accepted";

    // Parked: the mount answers ":MH#" with "0" then, which must not be sent.
    script.answer(":AP#", "1");
    script.answer(":MH#", "0");
    forgetTraffic();
    EXPECT_EQ(mount->beginPark(moving), succeeded());
    EXPECT_FALSE(moving);
    EXPECT_EQ(script.received(), expected.homes ? ":AP#" : "");
    EXPECT_TRUE(heldParked());

    if (expected.model == 2)
        return; // its arrival is the position's: a table of its own below
    // Each answer of the model's question, silence included.
    const char* question = expected.homes ? ":AP#" : ":SE?#";
    struct Look {
        const char* reply;  // nullptr: silence
        bool arrived;
    };
    const Look looks[] = {
        {expected.homes ? "0" : "1", false}, {nullptr, false}, {"x", false}, {expected.homes ? "1" : "0", true}};
    for (const Look& look : looks) {
        SCOPED_TRACE(look.reply ? look.reply : "silence");
        if (look.reply)
            script.answer(question, look.reply);
        else
            script.silence(question);
        forgetTraffic();
        bool arrived = !look.arrived;
        EXPECT_EQ(mount->parkArrived(arrived), succeeded());
        EXPECT_EQ(arrived, look.arrived);
        // The question alone, asked again only when unanswered.
        EXPECT_FALSE(script.commands().empty());
        for (const std::string& sent : script.commands())
            EXPECT_EQ(sent, question);
    }
}

// An abort during the park stops it short: not parked, and, on a model
// that cannot be asked, not slewing either.
TEST_P(Parking, AbortParkStopsTheMountShortAndLiftsThePark)
{
    connectAs(expected.model);
    acknowledgeEverything();
    script.answer(":Q#", "1");
    bool moving = false;
    ASSERT_EQ(mount->beginPark(moving), succeeded());
    forgetTraffic();
    EXPECT_EQ(mount->abortPark(), succeeded());
    EXPECT_EQ(script.commands(), Commands{":Q#"});
    EXPECT_FALSE(heldParked());
    script.answer(":AP#", "0");
    EXPECT_FALSE(atPark());
    EXPECT_FALSE(mount->slewRecorded());
}
INSTANTIATE_TEST_SUITE_P(Models, Parking, ::testing::ValuesIn(kModels), caseName);

// ---- Model 3 alone homes, and parks in two steps ----------------------------

using HomeModel3 = Parking;

TEST_P(HomeModel3, ParkFailsWhenTheSecondCommandIsNotAcknowledged)
{
    connectAs(3);
    script.answer(":MH#", "1");
    script.answer(":MP1#", "0");
    EXPECT_EQ(mount->park(), failed(OutcomeKind::Failure, kParkTransmission));
    EXPECT_EQ(script.received(), ":MH#:MP1#");
    EXPECT_FALSE(heldParked());

    script.silence(":MP1#");
    forgetTraffic();
    EXPECT_EQ(mount->park(), failed(OutcomeKind::Failure, kParkTransmission));
    EXPECT_EQ(script.received(), ":MH#:MP1#:MP1#");
    EXPECT_FALSE(heldParked());
}

TEST_P(HomeModel3, FindHomePollsEvery200MsUntilTheMountIsHome)
{
    connectAs(3);
    script.answer(":MH#", "1");
    for (int i = 0; i < 3; ++i)
        script.answerOnce(":AH#", "0");
    script.answer(":AH#", "1");
    Stopwatch watch(clock);
    EXPECT_EQ(mount->findHome(), succeeded());
    EXPECT_EQ(script.received(), ":MH#:AH#:AH#:AH#:AH#");
    // The home command's reply pause, then four polls of a reply pause and
    // the 200 ms pause each.
    EXPECT_EQ(clock.pauses(), (std::vector<std::uint32_t>{50, 50, 200, 50, 200, 50, 200, 50, 200}));
    EXPECT_EQ(watch.elapsedMs(), 1050u);

    // Homing does not park: it can run again at once.
    forgetTraffic();
    EXPECT_EQ(mount->findHome(), succeeded());
    EXPECT_EQ(script.received(), ":MH#:AH#");
}

TEST_P(HomeModel3, FindHomeWithoutAcknowledgementIsOnlyLogged)
{
    DebugLog log;
    ASSERT_TRUE(log.ready());
    connectAs(3);
    script.answer(":AH#", "1");
    // Refused outright: one try, no poll.
    script.answer(":MH#", "0");
    EXPECT_EQ(mount->findHome(), succeeded());
    EXPECT_EQ(script.received(), ":MH#");
    EXPECT_EQ(log.messages(), Commands{"Transmission error in FindHome!"});
    // No answer: two tries, no poll, one more line.
    script.silence(":MH#");
    forgetTraffic();
    EXPECT_EQ(mount->findHome(), succeeded());
    EXPECT_EQ(script.received(), ":MH#:MH#");
    EXPECT_EQ(log.messages(), Commands(2, "Transmission error in FindHome!"));
}

struct HomeBound {
    const char* setting;  // nullptr: unset
    bool silent;          // the mount stops answering the home query
    const char* text;
    std::size_t polls;
    std::uint64_t elapsedMs;
};

class HomeWaitBound : public CoreTest, public ::testing::WithParamInterface<HomeBound> {};

TEST_P(HomeWaitBound, GivesUpAtTheFirstPollPastTheBound)
{
    const HomeBound& bound = GetParam();
    WaitLimit limit(bound.setting);
    connectAs(3);
    script.answer(":MH#", "1");
    if (!bound.silent)
        script.answer(":AH#", "0");
    Stopwatch watch(clock);
    EXPECT_EQ(mount->findHome(), failed(OutcomeKind::Failure, bound.text));
    Commands commands = script.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), ":MH#");
    EXPECT_EQ(Commands(commands.begin() + 1, commands.end()), Commands(bound.polls, ":AH#"));
    EXPECT_EQ(watch.elapsedMs(), bound.elapsedMs);
}

const HomeBound kHomeBounds[] = {
    // A poll every 250 ms: the sixth is past 1.5 s.
    {"1500", false, "The mount did not report reaching home within 1.5 s!", 6, 50 + 6 * 250},
    // A silent poll is two unanswered tries: the first is past 1 s.
    {"1000", true, "The mount did not report reaching home within 1 s!", 2, 50 + 2 * (50 + 501 + 200) + 200},
    {nullptr, false, "The mount did not report reaching home within 300 s!", 1200, 50 + 1200 * 250},
    {"0", false, "The mount did not report reaching home within 300 s!", 1200, 50 + 1200 * 250},
};

INSTANTIATE_TEST_SUITE_P(Settings, HomeWaitBound, ::testing::ValuesIn(kHomeBounds));

TEST_P(HomeModel3, TheBoundLiftedAgainAMountThatTakesAFewPollsIsWaitedFor)
{
    connectAs(3);
    script.answer(":MH#", "1");
    {
        WaitLimit limit("300");
        script.answer(":AH#", "0");
        EXPECT_EQ(mount->findHome(),
                  failed(OutcomeKind::Failure, "The mount did not report reaching home within 0.3 s!"));
    }
    script.answerOnce(":AH#", "0");
    script.answer(":AH#", "1");
    EXPECT_EQ(mount->findHome(), succeeded());
}

INSTANTIATE_TEST_SUITE_P(Models, HomeModel3, ::testing::Values(kModels[2]), caseName);

// ---- Model 0 ---------------------------------------------------------------

using ParkingNeverConnected = CoreTest;

// Before any model is known: model 1's park command, which nothing
// acknowledges without a port.
TEST_F(ParkingNeverConnected, ModelZeroParksAsModel1WouldAndNothingIsSent)
{
    script.answer(":PK#", "1");
    script.answer(":MH#", "1");
    EXPECT_EQ(mount->park(), failed(OutcomeKind::Failure, kParkTransmission));
    bool value = true;
    ASSERT_EQ(mount->atPark(value), succeeded());
    EXPECT_FALSE(value);
    EXPECT_EQ(mount->unpark(), succeeded());
    value = true;
    ASSERT_EQ(mount->atHome(value), succeeded());
    EXPECT_FALSE(value);
    EXPECT_EQ(mount->findHome(), failed(OutcomeKind::NotImplemented, kNoFindHome));
    EXPECT_EQ(mount->setPark(), failed(OutcomeKind::NotImplemented, "Do not support SetPark"));
    EXPECT_EQ(script.received(), "");
    EXPECT_TRUE(script.openAttempts().empty());
    EXPECT_EQ(clock.steadyMs(), VirtualClock::kDefaultSteadyStartMs);
}

// The state is the front end's, and its model is the row the core follows.
// Model 0 with a port open cannot come from a connect (detection always
// names a model), so the test puts it there: it shows the commands of the
// row that the cases without a port cannot.
using ParkingModelZeroRow = CoreTest;

TEST_F(ParkingModelZeroRow, ParksWithAnAcknowledgedPkAndNeverAsks)
{
    connectAs(2);
    state->model = 0;
    script.answer(":PK#", "1");
    EXPECT_EQ(mount->park(), succeeded());
    EXPECT_EQ(script.received(), ":PK#");
    bool value = false;
    ASSERT_EQ(mount->atPark(value), succeeded());
    EXPECT_TRUE(value);
    EXPECT_EQ(mount->findHome(), failed(OutcomeKind::InvalidWhileParked, kParkedFindHome));
    EXPECT_EQ(mount->unpark(), succeeded());
    ASSERT_EQ(mount->atHome(value), succeeded());
    EXPECT_FALSE(value);
    EXPECT_EQ(mount->findHome(), failed(OutcomeKind::NotImplemented, kNoFindHome));
    EXPECT_EQ(script.received(), ":PK#");

    forgetTraffic();
    script.answer(":PK#", "0");
    EXPECT_EQ(mount->park(), failed(OutcomeKind::Failure, kParkTransmission));
    EXPECT_EQ(script.received(), ":PK#");
}

} // namespace

// ---- Model 2: the park has arrived once the position holds still -----------

using ParkArrivalModel2 = CoreTest;

TEST_F(ParkArrivalModel2, ArrivedOnceDeclinationAltitudeAndAzimuthHoldWithinAMinuteForASecond)
{
    connectAs(2);
    // A slew under way is replaced by the park: its arrival test is over.
    for (const char* command : {":Sr 05:30:00#", ":Sd +22*00:00#"})
        script.answer(command, "1");
    script.answer(":MS#", "0");
    ASSERT_EQ(mount->slewToCoordinatesAsync(5.5, 22.0), succeeded());
    bool moving = false;
    ASSERT_EQ(mount->beginPark(moving), succeeded());
    EXPECT_TRUE(moving);
    EXPECT_FALSE(mount->slewRecorded());

    struct Step {
        std::uint32_t afterMs;  // time since the look before
        const char* declination;
        const char* altitude;
        const char* azimuth;
        bool arrived;
    };
    const Step steps[] = {
        // The first look only starts the second.
        {0, "+80*00:00#", "+40*00:00#", "010*00:00#", false},
        {1000, "+85*00:00#", "+41*00:00#", "005*00:00#", false},
        // Within 1', but not yet a second since it stopped moving.
        {500, "+85*00:30#", "+41*00:00#", "005*00:00#", false},
        // A second on, each value within 1' of where it stopped.
        {600, "+85*01:00#", "+40*59:00#", "005*01:00#", true},
        // Azimuth just past 1' moves again; then it holds across north.
        {0, "+85*00:00#", "+41*00:00#", "005*01:01#", false},
        {0, "+85*00:00#", "+41*00:00#", "359*59:30#", false},
        {1000, "+85*00:00#", "+41*00:00#", "000*00:20#", true},
        // A reading missed proves nothing: the second starts afresh.
        {0, "+85*00:00#", "+41*00:00#", "", false},
        {1000, "+85*00:00#", "+41*00:00#", "000*00:20#", false},
        {1000, "+85*00:00#", "+41*00:00#", "000*00:20#", true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.declination) + " " + step.altitude + " " + step.azimuth);
        clock.advance(step.afterMs);
        script.answer(":GD#", step.declination);
        script.answer(":GA#", step.altitude);
        if (*step.azimuth)
            script.answer(":GZ#", step.azimuth);
        else
            script.silence(":GZ#");
        forgetTraffic();
        bool arrived = !step.arrived;
        EXPECT_EQ(mount->parkArrived(arrived), succeeded());
        EXPECT_EQ(arrived, step.arrived);
        EXPECT_EQ(script.commands(), (Commands{":GD#", ":GA#", ":GZ#"}));
    }
}
