// Slewing and syncing, per model: the target members, the commands on the
// line, the answers that start or refuse a slew, the synchronous slews'
// wait on the virtual clock and its bound, the abort, the syncs, the parked
// mount, and values that never reach the mount.
#include "CoreTest.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const kHorizonBelow = "The target is horizon below!";
const char* const kSlewTransmission = "Transmission error at SlewToTarget(/Async)/Coordinates(/Async) !";
const char* const kAltAzTransmission = "Transmission error at SlewAltAz(/Async) !";
const char* const kSyncTransmission = "Transmission error at SyncToTarget/Coordinates !";
const char* const kAltAzSyncTransmission = "Transmission error at SyncToAltAz !";

// The target every test slews to, as the mount receives it.
const double kRightAscension = 5.5;
const double kDeclination = -10.25;
const char* const kSendRightAscension = ":Sr 05:30:00#";
const char* const kSendDeclination = ":Sd -10*15:00#";

std::size_t countOf(const Commands& commands, const std::string& command)
{
    return std::count(commands.begin(), commands.end(), command);
}

class Slewing : public ModelTest {
protected:
    void SetUp() override { connectAsModel(); }

    // The ":MS#" answers of this model: model 3 says "1" for started.
    const char* started() const { return model() == 3 ? "1" : "0"; }
    const char* refused() const { return model() == 3 ? "0" : "1"; }

    void acceptTarget()
    {
        script.answer(kSendRightAscension, "1");
        script.answer(kSendDeclination, "1");
        script.answer(":MS#", started());
    }
    // The mount reports the slew still running: models 1 and 3 say so; a
    // model 2 that was never asked for its position is far from the target.
    void keepSlewing()
    {
        if (model() != 2)
            script.answer(":SE?#", "1");
    }
    // What Slewing asks while a slew runs.
    Commands slewingQuery() const { return model() == 2 ? Commands{":GR#", ":GD#"} : Commands{":SE?#"}; }

    bool slewing()
    {
        bool value = false;
        EXPECT_EQ(mount->slewing(value), succeeded());
        return value;
    }
};

using SlewingTargets = Slewing;
using SlewingByModel = Slewing;
using SlewingModel1 = Slewing;
using SlewingModel2 = Slewing;

// ---- The target members ------------------------------------------------------

TEST_P(SlewingTargets, AcceptTheirRangesAndRefuseEverythingElseWithoutTraffic)
{
    double value = -1;
    EXPECT_EQ(mount->targetRightAscension(value), numbered(kErrorValueNotSet));
    EXPECT_EQ(mount->targetDeclination(value), numbered(kErrorValueNotSet));
    EXPECT_EQ(value, -1) << "a refusal leaves the value alone";
    EXPECT_FALSE(slewing());

    for (double hours : {0.0, 23.999, 12.25}) {
        ASSERT_EQ(mount->setTargetRightAscension(hours), succeeded()) << hours;
        ASSERT_EQ(mount->targetRightAscension(value), succeeded());
        EXPECT_EQ(value, hours);
    }
    for (double degrees : {-90.0, 90.0, -33.5}) {
        ASSERT_EQ(mount->setTargetDeclination(degrees), succeeded()) << degrees;
        ASSERT_EQ(mount->targetDeclination(value), succeeded());
        EXPECT_EQ(value, degrees);
    }
    // Refused values leave the old target in place.
    for (double hours : {24.0, -0.001, 1e300, kNaN, kInfinity, -kInfinity}) {
        EXPECT_EQ(mount->setTargetRightAscension(hours), numbered(kErrorInvalidValue)) << hours;
        ASSERT_EQ(mount->targetRightAscension(value), succeeded());
        EXPECT_EQ(value, 12.25);
    }
    for (double degrees : {90.001, -90.001, 1e300, kNaN, kInfinity, -kInfinity}) {
        EXPECT_EQ(mount->setTargetDeclination(degrees), numbered(kErrorInvalidValue)) << degrees;
        ASSERT_EQ(mount->targetDeclination(value), succeeded());
        EXPECT_EQ(value, -33.5);
    }
    EXPECT_EQ(script.received(), "");
    EXPECT_EQ(clock.pausedMs(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingTargets, ::testing::Values(0, 1, 2, 3), modelName);

// The match step of a sync and the whole text each model answers.
struct Match {
    const char* command;
    const char* accepted;
    const char* otherModels;  // a match text this model must not take
};

Match matchOf(int model)
{
    const char* shortText = "Coordinates matched. #";
    const char* longText = "Coordinates     matched.        #";
    switch (model) {
    case 2:
        return {":CMR#", longText, shortText};
    case 3:
        return {":CM#", "1", "0"};
    default:
        return {":CMR#", shortText, longText};
    }
}

TEST_P(SlewingByModel, ATargetNeverSetIsNeitherReadNorSent)
{
    // A sync stores its coordinates, but the client still never set a target.
    Match match = matchOf(model());
    acceptTarget();
    script.answer(match.command, match.accepted);
    ASSERT_EQ(mount->syncToCoordinates(kRightAscension, kDeclination), succeeded());
    EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, match.command}));
    forgetTraffic();

    double value = -1;
    EXPECT_EQ(mount->targetRightAscension(value), numbered(kErrorValueNotSet));
    EXPECT_EQ(mount->targetDeclination(value), numbered(kErrorValueNotSet));
    EXPECT_EQ(mount->slewToTargetAsync(), numbered(kErrorValueNotSet));
    EXPECT_EQ(mount->slewToTarget(), numbered(kErrorValueNotSet));
    EXPECT_EQ(mount->syncToTarget(), numbered(kErrorValueNotSet));
    // Half a target is no target either.
    ASSERT_EQ(mount->setTargetRightAscension(kRightAscension), succeeded());
    EXPECT_EQ(mount->syncToTarget(), numbered(kErrorValueNotSet));
    EXPECT_EQ(mount->slewToTargetAsync(), numbered(kErrorValueNotSet));
    EXPECT_EQ(mount->slewToTarget(), numbered(kErrorValueNotSet));
    EXPECT_EQ(script.received(), "");
    EXPECT_FALSE(slewing());

    // Both set: the stored values go out.
    ASSERT_EQ(mount->setTargetDeclination(kDeclination), succeeded());
    ASSERT_EQ(mount->syncToTarget(), succeeded());
    EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, match.command}));
}

// ---- Every model -------------------------------------------------------------

TEST_P(SlewingByModel, TheAnswerToMoveStartsOrRefusesTheSlewAsTheModelMeansIt)
{
    acceptTarget();
    keepSlewing();
    ASSERT_EQ(mount->setTargetRightAscension(kRightAscension), succeeded());
    ASSERT_EQ(mount->setTargetDeclination(kDeclination), succeeded());

    // Refused: the state stays "not slewing", so Slewing asks nothing.
    script.answerOnce(":MS#", refused());
    EXPECT_EQ(mount->slewToTargetAsync(), failed(OutcomeKind::InvalidOperation, kHorizonBelow));
    EXPECT_FALSE(slewing());
    EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, ":MS#"}));

    // The synchronous form fails the same way without waiting.
    forgetTraffic();
    script.answerOnce(":MS#", refused());
    EXPECT_EQ(mount->slewToTarget(), failed(OutcomeKind::InvalidOperation, kHorizonBelow));
    EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, ":MS#"}));
    EXPECT_EQ(clock.pauses(), (std::vector<std::uint32_t>{50, 50, 50}));

    // An answer that is neither refusal nor start starts the slew too, and
    // so does silence.
    for (const char* other : {"7", ""}) {
        SCOPED_TRACE(other);
        forgetTraffic();
        script.answerOnce(":MS#", other);
        script.answerOnce(":MS#", other);
        EXPECT_EQ(mount->slewToTargetAsync(), succeeded());
        EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, ":MS#", ":MS#"}));
        forgetTraffic();
        EXPECT_TRUE(slewing());
        EXPECT_EQ(script.commands(), slewingQuery());
    }

    // Started, then refused: the refusal does not end the running slew.
    EXPECT_EQ(mount->slewToCoordinatesAsync(kRightAscension, kDeclination), succeeded());
    EXPECT_TRUE(slewing());
    script.answerOnce(":MS#", refused());
    EXPECT_EQ(mount->slewToCoordinatesAsync(kRightAscension, kDeclination),
              failed(OutcomeKind::InvalidOperation, kHorizonBelow));
    EXPECT_TRUE(slewing());
}

TEST_P(SlewingByModel, ATargetStepTheMountDoesNotTakeStopsTheSequenceWithAWarning)
{
    Match match = matchOf(model());
    script.answer(kSendRightAscension, "0");
    script.answer(kSendDeclination, "1");
    script.answer(":MS#", started());
    script.answer(match.command, match.accepted);
    ASSERT_EQ(mount->setTargetRightAscension(kRightAscension), succeeded());
    ASSERT_EQ(mount->setTargetDeclination(kDeclination), succeeded());

    // Right ascension refused: the declination is never sent.
    EXPECT_EQ(mount->slewToTargetAsync(), warned(kSlewTransmission));
    EXPECT_EQ(mount->slewToCoordinates(kRightAscension, kDeclination), warned(kSlewTransmission));
    EXPECT_EQ(mount->syncToTarget(), warned(kSyncTransmission));
    EXPECT_EQ(mount->syncToCoordinates(kRightAscension, kDeclination), warned(kSyncTransmission));
    EXPECT_EQ(script.commands(), Commands(4, kSendRightAscension));

    // Declination refused: no move and no match follow.
    forgetTraffic();
    script.answer(kSendRightAscension, "1");
    script.answer(kSendDeclination, "0");
    EXPECT_EQ(mount->slewToCoordinatesAsync(kRightAscension, kDeclination), warned(kSlewTransmission));
    EXPECT_EQ(mount->syncToCoordinates(kRightAscension, kDeclination), warned(kSyncTransmission));
    EXPECT_EQ(script.commands(),
              (Commands{kSendRightAscension, kSendDeclination, kSendRightAscension, kSendDeclination}));

    // Unanswered: two tries of the right ascension.
    forgetTraffic();
    script.silence(kSendRightAscension);
    EXPECT_EQ(mount->slewToTargetAsync(), warned(kSlewTransmission));
    EXPECT_EQ(script.commands(), Commands(2, kSendRightAscension));

    // None of it started a slew.
    forgetTraffic();
    EXPECT_FALSE(slewing());
    EXPECT_EQ(script.received(), "");
}

TEST_P(SlewingByModel, SyncNeedsTheModelsWholeMatchText)
{
    Match match = matchOf(model());
    acceptTarget();
    script.answer(match.command, match.accepted);
    ASSERT_EQ(mount->syncToCoordinates(kRightAscension, kDeclination), succeeded());
    EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, match.command}));

    script.answer(match.command, match.otherModels);
    EXPECT_EQ(mount->syncToCoordinates(kRightAscension, kDeclination), warned(kSyncTransmission));
    // A cut-off text is not the text either.
    std::string cut(match.accepted);
    cut.pop_back();
    script.answer(match.command, cut);
    EXPECT_EQ(mount->syncToCoordinates(kRightAscension, kDeclination), warned(kSyncTransmission));

    // The match is sent once, with no retry; the slew and park state stay.
    ASSERT_EQ(mount->setTargetRightAscension(kRightAscension), succeeded());
    ASSERT_EQ(mount->setTargetDeclination(kDeclination), succeeded());
    script.silence(match.command);
    forgetTraffic();
    EXPECT_EQ(mount->syncToTarget(), warned(kSyncTransmission));
    EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, match.command}));
    forgetTraffic();
    script.answer(match.command, match.accepted);
    ASSERT_EQ(mount->syncToTarget(), succeeded());
    EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, match.command}));
    double value = 0;
    ASSERT_EQ(mount->targetRightAscension(value), succeeded());
    EXPECT_EQ(value, kRightAscension);
    EXPECT_FALSE(slewing());
    if (model() != 3) {
        bool parked = true;
        ASSERT_EQ(mount->atPark(parked), succeeded());
        EXPECT_FALSE(parked);
    }
}

TEST_P(SlewingByModel, SynchronousSlewsWaitForTheEndAndLeaveSlewingFalse)
{
    acceptTarget();
    if (model() == 2) {
        // The mount closes in on the target, poll by poll; exactly 4 s of
        // time away is still slewing.
        script.answerOnce(":GR#", "05:00:00.0#");
        script.answerOnce(":GD#", "-02*00:00#");
        script.answerOnce(":GR#", "05:29:00.0#");
        script.answerOnce(":GD#", "-10*14:00#");
        script.answerOnce(":GR#", "05:29:56.0#");
        script.answerOnce(":GD#", "-10*15:00#");
        script.answer(":GR#", "05:29:57.0#");
        script.answer(":GD#", "-10*14:01#");
    } else {
        for (int poll = 0; poll < 3; ++poll)
            script.answerOnce(":SE?#", "1");
        script.answer(":SE?#", "0");
    }
    EXPECT_EQ(mount->slewToCoordinates(kRightAscension, kDeclination), succeeded());
    Commands expected = {kSendRightAscension, kSendDeclination, ":MS#"};
    for (int poll = 0; poll < 4; ++poll)
        for (const std::string& query : slewingQuery())
            expected.push_back(query);
    EXPECT_EQ(script.commands(), expected);
    // Each reply's 50 ms; three answers of "still slewing", each followed
    // by a 200 ms pause.
    std::vector<std::uint32_t> pollPause(slewingQuery().size(), 50u);
    std::vector<std::uint32_t> pauses = {50, 50, 50};
    pauses.insert(pauses.end(), pollPause.begin(), pollPause.end());
    for (int poll = 1; poll < 4; ++poll) {
        pauses.insert(pauses.end(), pollPause.begin(), pollPause.end());
        pauses.push_back(200);
    }
    EXPECT_EQ(clock.pauses(), pauses);

    // The slew is over: Slewing says so without asking.
    forgetTraffic();
    EXPECT_FALSE(slewing());
    EXPECT_EQ(script.received(), "");

    // The same wait behind SlewToTarget.
    if (model() == 2)
        script.answerOnce(":GR#", "05:00:00.0#");
    else
        script.answerOnce(":SE?#", "1");
    EXPECT_EQ(mount->slewToTarget(), succeeded());
    EXPECT_EQ(countOf(script.commands(), slewingQuery().front()), 2u);
    EXPECT_FALSE(slewing());
}

TEST_P(SlewingByModel, SynchronousSlewsGiveUpAtTheBoundWithAClearMessage)
{
    WaitLimit limit("1500");
    acceptTarget();
    if (model() == 2) {
        // One reading close to the target, then the mount falls silent: the
        // readers keep that position, which is not close enough.
        script.answerOnce(":GR#", "05:29:00.0#");
        script.answerOnce(":GD#", "-10*15:00#");
    } else {
        script.answer(":SE?#", "1");
    }
    Stopwatch watch(clock);
    EXPECT_EQ(mount->slewToCoordinates(kRightAscension, kDeclination),
              failed(OutcomeKind::Failure, "The mount did not finish the slew within 1.5 s!"));
    // Models 1 and 3: a poll every 250 ms, the seventh is past the bound.
    // Model 2: a silent poll costs both reads' time-outs, so the third is.
    const std::size_t polls = model() == 2 ? 3 : 7;
    EXPECT_EQ(countOf(script.commands(), slewingQuery().front()), polls);
    EXPECT_EQ(watch.elapsedMs(), model() == 2 ? 150u + 100u + 2 * (1121u + 200u) : 150u + 50u + 6 * 250u);

    // The mount may still be on its way: Slewing goes on asking.
    if (model() == 2) {
        script.answer(":GR#", "05:20:00.0#");
        script.answer(":GD#", "-10*15:00#");
    }
    forgetTraffic();
    EXPECT_TRUE(slewing());
    EXPECT_EQ(script.commands(), slewingQuery());
}

TEST_P(SlewingByModel, AbortSlewStopsTheMountAndSendsTheTrackingStateAgain)
{
    // What the mount receives for the abort, with tracking on and off.
    Commands whenTracking, whenNotTracking;
    switch (model()) {
    case 1:
        whenTracking = {":Q#", ":RG#"};
        whenNotTracking = {":Q#", ":Q#"};
        break;
    case 2:
        whenTracking = {":Q#", ":RT2#"};
        whenNotTracking = {":Q#", ":RT9#"};
        break;
    default:
        whenTracking = {":AT#", ":Q#", ":ST1#"};
        whenNotTracking = {":AT#", ":Q#", ":ST0#"};
        script.answer(":ST1#", "1");
        script.answer(":ST0#", "1");
        script.answer(":Q#", "1");
        break;
    }
    acceptTarget();
    keepSlewing();
    ASSERT_EQ(mount->slewToCoordinatesAsync(kRightAscension, kDeclination), succeeded());

    ASSERT_EQ(mount->setTracking(true), succeeded());
    script.answer(":AT#", "1");
    forgetTraffic();
    EXPECT_EQ(mount->abortSlew(), succeeded());
    EXPECT_EQ(script.commands(), whenTracking);
    // Models 1 and 2 answer neither: nothing is waited for.
    EXPECT_EQ(clock.pausedMs(), model() == 3 ? 150u : 0u);

    ASSERT_EQ(mount->setTracking(false), succeeded());
    script.answer(":AT#", "0");
    forgetTraffic();
    EXPECT_EQ(mount->abortSlew(), succeeded());
    EXPECT_EQ(script.commands(), whenNotTracking);

    forgetTraffic();
    if (model() == 2) {
        // Stopped short of the target, which its arrival test would wait
        // for forever: the abort ends the slew, and nothing is asked.
        EXPECT_FALSE(slewing());
        EXPECT_EQ(script.commands(), Commands{});
        return;
    }
    // The abort does not decide that the slew is over: the mount does.
    EXPECT_TRUE(slewing());
    EXPECT_EQ(script.commands(), slewingQuery());
    script.answer(":SE?#", "0");
    EXPECT_FALSE(slewing());
    EXPECT_FALSE(slewing());
    EXPECT_EQ(countOf(script.commands(), ":SE?#"), 2u);
}

TEST_P(SlewingByModel, AnAbortWithTrackingKnownSendsTheStopFirstAndRestoresWhatItWasTold)
{
    // The restore as each model sends it, for tracking on and off.
    struct Restore {
        bool wasTracking;
        Commands sent[3];
    };
    const Restore restores[] = {
        {true, {{":Q#", ":RG#"}, {":Q#", ":RT2#"}, {":Q#", ":ST1#"}}},
        {false, {{":Q#", ":Q#"}, {":Q#", ":RT9#"}, {":Q#", ":ST0#"}}},
    };
    if (model() == 3)
        for (const char* command : {":ST1#", ":ST0#", ":Q#"})
            script.answer(command, "1");
    acceptTarget();
    keepSlewing();
    ASSERT_EQ(mount->slewToCoordinatesAsync(kRightAscension, kDeclination), succeeded());
    for (const Restore& restore : restores) {
        SCOPED_TRACE(restore.wasTracking ? "was tracking" : "was not tracking");
        forgetTraffic();
        EXPECT_EQ(mount->abortSlewRestoringTracking(restore.wasTracking), succeeded());
        EXPECT_EQ(script.commands(), restore.sent[model() - 1]);
    }
    // Model 2's slew ends with the abort; the others' when the mount says so.
    EXPECT_EQ(mount->slewRecorded(), model() != 2);
}

TEST_P(SlewingByModel, AParkedMountRefusesEveryMoveWithItsOwnText)
{
    for (const char* command : {":PK#", ":MH#", ":MP1#", ":MP0#"})
        script.answer(command, "1");
    ASSERT_EQ(mount->setTargetRightAscension(1.0), succeeded());
    ASSERT_EQ(mount->setTargetDeclination(2.0), succeeded());
    ASSERT_EQ(mount->park(), succeeded());
    forgetTraffic();

    struct Refusal {
        const char* member;
        std::function<Outcome()> call;
        const char* text;
    };
    const std::vector<Refusal> refusals = {
        {"AbortSlew", [&] { return mount->abortSlew(); }, "Cannot AbortSlew when parking"},
        {"AbortSlew, tracking known", [&] { return mount->abortSlewRestoringTracking(true); },
         "Cannot AbortSlew when parking"},
        {"SlewToAltAz", [&] { return mount->slewToAltAz(10, 20); }, "Cannot SlewToAltAz when parking"},
        {"SlewToAltAzAsync", [&] { return mount->slewToAltAzAsync(10, 20); }, "Cannot SlewToAltAz when parking"},
        {"SlewToTargetAsync", [&] { return mount->slewToTargetAsync(); }, "Cannot Slew when parking"},
        {"SlewToTarget", [&] { return mount->slewToTarget(); }, "Cannot slew when parking"},
        {"SlewToCoordinates", [&] { return mount->slewToCoordinates(3, 4); }, "Cannot slew when parking"},
        {"SlewToCoordinates, out of range", [&] { return mount->slewToCoordinates(kNaN, 4); },
         "Cannot slew when parking"},
        {"SyncToAltAz", [&] { return mount->syncToAltAz(10, 20); }, "Cannot Sync when parking"},
        // Parked comes before the range, as for the equatorial members.
        {"SlewToAltAz, out of range", [&] { return mount->slewToAltAz(-10, 100); },
         "Cannot SlewToAltAz when parking"},
        {"SlewToAltAzAsync, out of range", [&] { return mount->slewToAltAzAsync(370, 45); },
         "Cannot SlewToAltAz when parking"},
        {"SyncToAltAz, out of range", [&] { return mount->syncToAltAz(kNaN, -100); }, "Cannot Sync when parking"},
        {"SyncToTarget", [&] { return mount->syncToTarget(); }, "Cannot Sync when parking"},
        {"SyncToCoordinates", [&] { return mount->syncToCoordinates(5, 6); }, "Cannot Sync when parking"},
        {"SyncToCoordinates, out of range", [&] { return mount->syncToCoordinates(5, 91); },
         "Cannot Sync when parking"},
    };
    for (const Refusal& refusal : refusals)
        EXPECT_EQ(refusal.call(), failed(OutcomeKind::InvalidWhileParked, refusal.text)) << refusal.member;

    // None of the refused calls changed the target.
    double value = 0;
    ASSERT_EQ(mount->targetRightAscension(value), succeeded());
    EXPECT_EQ(value, 1.0);
    ASSERT_EQ(mount->targetDeclination(value), succeeded());
    EXPECT_EQ(value, 2.0);

    // The asynchronous slew checks its values first, then keeps them as the
    // target though it is refused for the park.
    EXPECT_EQ(mount->slewToCoordinatesAsync(24.0, -8.5), numbered(kErrorInvalidValue));
    EXPECT_EQ(mount->slewToCoordinatesAsync(7.5, -8.5), failed(OutcomeKind::InvalidWhileParked, "Cannot slew when parking"));
    ASSERT_EQ(mount->targetRightAscension(value), succeeded());
    EXPECT_EQ(value, 7.5);
    ASSERT_EQ(mount->targetDeclination(value), succeeded());
    EXPECT_EQ(value, -8.5);
    EXPECT_FALSE(slewing());
    EXPECT_EQ(script.received(), "");

    // Unparked, the members run again.
    ASSERT_EQ(mount->unpark(), succeeded());
    acceptTarget();
    forgetTraffic();
    EXPECT_EQ(mount->slewToCoordinatesAsync(kRightAscension, kDeclination), succeeded());
    EXPECT_EQ(script.commands(), (Commands{kSendRightAscension, kSendDeclination, ":MS#"}));
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingByModel, ::testing::Values(1, 2, 3), modelName);

using SlewingAnyModel = Slewing;

TEST_P(SlewingAnyModel, UnsafeCoordinatesAreRefusedBeforeAnythingIsSentOrStored)
{
    acceptTarget();
    const std::pair<double, double> unsafe[] = {
        {kNaN, 0}, {0, kNaN}, {kInfinity, 0}, {0, -kInfinity}, {24.0, 0},
        {-0.001, 0}, {0, 90.001}, {0, -90.001}, {1e300, 0}, {0, -1e300},
    };
    for (auto [ra, dec] : unsafe) {
        SCOPED_TRACE(std::to_string(ra) + " " + std::to_string(dec));
        EXPECT_EQ(mount->slewToCoordinatesAsync(ra, dec), numbered(kErrorInvalidValue));
        EXPECT_EQ(mount->slewToCoordinates(ra, dec), numbered(kErrorInvalidValue));
        EXPECT_EQ(mount->syncToCoordinates(ra, dec), numbered(kErrorInvalidValue));
    }
    double value = 0;
    EXPECT_EQ(mount->targetRightAscension(value), numbered(kErrorValueNotSet));
    EXPECT_EQ(mount->targetDeclination(value), numbered(kErrorValueNotSet));

    // Alt-azimuth values: model 1 refuses them; the others refuse the
    // member itself, before looking at the values.
    const std::pair<double, double> unsafeAltAz[] = {
        {kNaN, 10}, {10, kNaN}, {kInfinity, 10}, {10, -kInfinity}, {3e9, 10}, {-3e9, 10}, {10, 3e9}, {180, 45},
    };
    for (auto [azimuth, altitude] : unsafeAltAz) {
        SCOPED_TRACE(std::to_string(azimuth) + " " + std::to_string(altitude));
        if (model() == 1) {
            if (azimuth == 180)
                continue;
            EXPECT_EQ(mount->slewToAltAzAsync(azimuth, altitude), numbered(kErrorInvalidValue));
            EXPECT_EQ(mount->slewToAltAz(azimuth, altitude), numbered(kErrorInvalidValue));
            EXPECT_EQ(mount->syncToAltAz(azimuth, altitude), numbered(kErrorInvalidValue));
        } else {
            EXPECT_EQ(mount->slewToAltAzAsync(azimuth, altitude), numbered(kErrorNotSupported));
            EXPECT_EQ(mount->slewToAltAz(azimuth, altitude), numbered(kErrorNotSupported));
            EXPECT_EQ(mount->syncToAltAz(azimuth, altitude),
                      failed(OutcomeKind::NotImplemented, "Do not support Sync to Alt-Azi coordinates!"));
        }
    }
    EXPECT_FALSE(slewing());
    EXPECT_EQ(script.received(), "");
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingAnyModel, ::testing::Values(0, 1, 2, 3), modelName);

// ---- The bound on a synchronous slew's wait ----------------------------------

struct Bound {
    const char* setting;  // VELMARO_WAIT_LIMIT_MS; nullptr: unset
    const char* seconds;  // as the failure tells it
    std::uint64_t limitMs;
};

class SlewWaitBound : public CoreTest, public ::testing::WithParamInterface<Bound> {};

TEST_P(SlewWaitBound, EndsTheWaitAtTheFirstPollPastIt)
{
    const Bound& bound = GetParam();
    WaitLimit limit(bound.setting);
    connectAs(1);
    script.answer(kSendRightAscension, "1");
    script.answer(kSendDeclination, "1");
    script.answer(":MS#", "0");
    script.answer(":SE?#", "1");
    Stopwatch watch(clock);
    EXPECT_EQ(mount->slewToCoordinates(kRightAscension, kDeclination),
              failed(OutcomeKind::Failure, std::string("The mount did not finish the slew within ") + bound.seconds
                                               + " s!"));
    // The slew's three commands take 150 ms; then a poll every 250 ms
    // after the first one's 50 ms, until one has passed the bound.
    std::uint64_t waited = watch.elapsedMs() - 150;
    EXPECT_GE(waited, bound.limitMs);
    EXPECT_LT(waited, bound.limitMs + 250);
    EXPECT_EQ((waited - 50) % 250, 0u);
}

const std::string kPadded31 = std::string(27, '0') + "1500";
const std::string kPadded32 = std::string(28, '0') + "1500";

const Bound kBounds[] = {
    {"1500", "1.5", 1500},
    {"1000", "1", 1000},
    {"1", "0.001", 1},
    {"1230", "1.23", 1230},
    {"1234", "1.234", 1234},
    {"10050", "10.05", 10050},
    {" 1500", "1.5", 1500},
    {kPadded31.c_str(), "1.5", 1500},
    // The standard bound for anything that is not a positive whole number
    // of milliseconds up to a day, or too long to be read.
    {nullptr, "180", 180000},
    {"", "180", 180000},
    {"0", "180", 180000},
    {"abc", "180", 180000},
    {"12x", "180", 180000},
    {"1500 ", "180", 180000},
    {"-5", "180", 180000},
    {"86400001", "180", 180000},
    {kPadded32.c_str(), "180", 180000},
};

INSTANTIATE_TEST_SUITE_P(Settings, SlewWaitBound, ::testing::ValuesIn(kBounds));

// ---- Model 1: the numbers on the line, and the alt-azimuth members ----------

TEST_P(SlewingModel1, CoordinatesGoOutRoundedToTheSecondWithTheirSigns)
{
    const std::pair<std::string, std::string> accepted[] = {
        {":Sr 05:30:00#", ":Sd -10*15:00#"},  {":Sr 24:00:00#", ":Sd -00*00:00#"},
        {":Sr 00:00:00#", ":Sd +90*00:00#"},  {":Sz 180:00:00#", ":Sa +45*30:00#"},
        {":Sz 05:15:00#", ":Sa +00*00:00#"},  {":Sz 350:00:00#", ":Sa -05*30:00#"},
    };
    for (const auto& pair : accepted) {
        script.answer(pair.first, "1");
        script.answer(pair.second, "1");
    }
    script.answer(":MS#", "0");
    script.answer(":CMR#", "Coordinates matched. #");

    ASSERT_EQ(mount->slewToCoordinatesAsync(5.5, -10.25), succeeded());
    // Half a second short of 24 h carries into the hours and does not wrap.
    ASSERT_EQ(mount->slewToCoordinatesAsync(23.99995, -0.0001), succeeded());
    ASSERT_EQ(mount->syncToCoordinates(0.0, 90.0), succeeded());
    ASSERT_EQ(mount->slewToAltAzAsync(180.0, 45.5), succeeded());
    ASSERT_EQ(mount->slewToAltAzAsync(5.25, 0.0), succeeded());
    ASSERT_EQ(mount->syncToAltAz(350.0, -5.5), succeeded());
    EXPECT_EQ(script.commands(),
              (Commands{":Sr 05:30:00#", ":Sd -10*15:00#", ":MS#", ":Sr 24:00:00#", ":Sd -00*00:00#", ":MS#",
                        ":Sr 00:00:00#", ":Sd +90*00:00#", ":CMR#", ":Sz 180:00:00#", ":Sa +45*30:00#", ":MS#",
                        ":Sz 05:15:00#", ":Sa +00*00:00#", ":MS#", ":Sz 350:00:00#", ":Sa -05*30:00#", ":CMR#"}));
}

// An azimuth from 0 up to but not including 360, an altitude from -90 to
// 90: anything else would reach the mount as the wrong place.
TEST_P(SlewingModel1, AltAzimuthCoordinatesOutsideTheirRangesNeverReachTheMount)
{
    const std::pair<double, double> refused[] = {
        {-10, 45},       {370, 45},        {360, 45},      {-0.0001, 45},    {10, 100},
        {10, -100},      {10, 90.001},     {10, -90.001},  {kNaN, 45},       {10, kNaN},
        {kInfinity, 45}, {-kInfinity, 45}, {10, kInfinity}, {10, -kInfinity},
    };
    script.answer(":MS#", "0");
    script.answer(":CMR#", "Coordinates matched. #");
    for (auto [azimuth, altitude] : refused) {
        SCOPED_TRACE(std::to_string(azimuth) + " " + std::to_string(altitude));
        EXPECT_EQ(mount->slewToAltAzAsync(azimuth, altitude), numbered(kErrorInvalidValue));
        EXPECT_EQ(mount->slewToAltAz(azimuth, altitude), numbered(kErrorInvalidValue));
        EXPECT_EQ(mount->syncToAltAz(azimuth, altitude), numbered(kErrorInvalidValue));
    }
    EXPECT_EQ(script.received(), "");
    EXPECT_FALSE(slewing());

    // The edges go out exactly; half a second short of 360 is north again.
    struct Edge {
        double azimuth, altitude;
        const char* azimuthCommand;
        const char* altitudeCommand;
    };
    const Edge edges[] = {
        {0, -90, ":Sz 00:00:00#", ":Sa -90*00:00#"},
        {359.99, 90, ":Sz 359:59:24#", ":Sa +90*00:00#"},
        {359.99999, 0, ":Sz 00:00:00#", ":Sa +00*00:00#"},
        {-0.0, -0.0, ":Sz 00:00:00#", ":Sa +00*00:00#"},
    };
    for (const Edge& edge : edges) {
        SCOPED_TRACE(edge.azimuthCommand);
        script.answer(edge.azimuthCommand, "1");
        script.answer(edge.altitudeCommand, "1");
        forgetTraffic();
        EXPECT_EQ(mount->slewToAltAzAsync(edge.azimuth, edge.altitude), succeeded());
        EXPECT_EQ(mount->syncToAltAz(edge.azimuth, edge.altitude), succeeded());
        EXPECT_EQ(script.commands(), (Commands{edge.azimuthCommand, edge.altitudeCommand, ":MS#",
                                               edge.azimuthCommand, edge.altitudeCommand, ":CMR#"}));
    }
}

TEST_P(SlewingModel1, AltAzimuthSlewAndSyncTakeOnlyTheirExactAnswers)
{
    const char* azimuth = ":Sz 180:00:00#";
    const char* altitude = ":Sa +45*30:00#";
    script.answer(azimuth, "1");
    script.answer(altitude, "1");

    // ":MS#": "1" is the horizon, anything but "0" a transmission error.
    script.answer(":MS#", "1");
    EXPECT_EQ(mount->slewToAltAzAsync(180, 45.5), failed(OutcomeKind::InvalidOperation, kHorizonBelow));
    EXPECT_EQ(mount->slewToAltAz(180, 45.5), failed(OutcomeKind::InvalidOperation, kHorizonBelow));
    script.answer(":MS#", "7");
    EXPECT_EQ(mount->slewToAltAzAsync(180, 45.5), warned(kAltAzTransmission));
    script.silence(":MS#");
    EXPECT_EQ(mount->slewToAltAz(180, 45.5), warned(kAltAzTransmission));
    EXPECT_FALSE(slewing());
    EXPECT_EQ(countOf(script.commands(), ":SE?#"), 0u);

    // A coordinate the mount does not take stops the sequence.
    forgetTraffic();
    script.answer(altitude, "0");
    EXPECT_EQ(mount->slewToAltAz(180, 45.5), warned(kAltAzTransmission));
    EXPECT_EQ(mount->syncToAltAz(180, 45.5), warned(kAltAzSyncTransmission));
    script.answer(azimuth, "0");
    EXPECT_EQ(mount->slewToAltAzAsync(180, 45.5), warned(kAltAzTransmission));
    EXPECT_EQ(mount->syncToAltAz(180, 45.5), warned(kAltAzSyncTransmission));
    EXPECT_EQ(script.commands(), (Commands{azimuth, altitude, azimuth, altitude, azimuth, azimuth}));

    // The sync's match: the 22-character text, whole.
    forgetTraffic();
    script.answer(azimuth, "1");
    script.answer(altitude, "1");
    script.answer(":CMR#", "Coordinates     matched.        #");
    EXPECT_EQ(mount->syncToAltAz(180, 45.5), warned(kAltAzSyncTransmission));
    script.answer(":CMR#", "Coordinates matched. #");
    EXPECT_EQ(mount->syncToAltAz(180, 45.5), succeeded());
    EXPECT_EQ(countOf(script.commands(), ":CMR#"), 2u);

    // Started: Slewing is true at once, and the synchronous form waits.
    script.answer(":MS#", "0");
    script.answer(":SE?#", "1");
    EXPECT_EQ(mount->slewToAltAzAsync(180, 45.5), succeeded());
    EXPECT_TRUE(slewing());
    forgetTraffic();
    script.answerOnce(":SE?#", "1");
    script.answer(":SE?#", "0");
    EXPECT_EQ(mount->slewToAltAz(180, 45.5), succeeded());
    EXPECT_EQ(script.commands(), (Commands{azimuth, altitude, ":MS#", ":SE?#", ":SE?#"}));
    EXPECT_FALSE(slewing());
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingModel1, ::testing::Values(1), modelName);

// ---- Model 2: the end of a slew is the arrival at the target ----------------

TEST_P(SlewingModel2, ArrivalMeansWithinFourSecondsOfTimeAndOneMinuteOfArc)
{
    script.answer(":Sr 05:30:00#", "1");
    script.answer(":Sd +22*00:00#", "1");
    script.answer(":MS#", "0");
    ASSERT_EQ(mount->slewToCoordinatesAsync(5.5, 22.0), succeeded());

    struct Position {
        const char* rightAscension;
        const char* declination;
        bool slewing;
    };
    // In order: each step's reading follows the last good one before it.
    const Position steps[] = {
        // Exactly on the tolerance, either side, is still slewing.
        {"05:29:56.0#", "+22*00:00#", true},
        {"05:30:04.0#", "+22*00:00#", true},
        {"05:30:00.0#", "+22*01:00#", true},
        {"05:30:00.0#", "+21*59:00#", true},
        // Far below the target is slewing as much as far above.
        {"05:30:00.0#", "+10*00:00#", true},
        {"04:00:00.0#", "+22*00:00#", true},
        // A malformed reading keeps the last good one, which is not there.
        {"05:30:00.0", "+22*00:00#", true},
        // Inside in right ascension, on the tolerance in declination.
        {"05:29:56.1#", "+21*59:00#", true},
        // Arrived.
        {"05:29:56.1#", "+21*59:01#", false},
    };
    for (const Position& step : steps) {
        SCOPED_TRACE(std::string(step.rightAscension) + " " + step.declination);
        script.answer(":GR#", step.rightAscension);
        script.answer(":GD#", step.declination);
        forgetTraffic();
        EXPECT_EQ(slewing(), step.slewing);
        EXPECT_EQ(script.commands(), (Commands{":GR#", ":GD#"}));
    }
    // Arrived: the state ends and Slewing no longer asks.
    script.answer(":GR#", "01:00:00.0#");
    forgetTraffic();
    EXPECT_FALSE(slewing());
    EXPECT_EQ(script.received(), "");

    // Across 0 h: 23:59:59 and 00:00:01 are two seconds apart.
    script.answer(":Sr 23:59:59#", "1");
    script.answer(":Sd +00*00:00#", "1");
    ASSERT_EQ(mount->slewToCoordinatesAsync(23.0 + 59 / 60.0 + 59 / 3600.0, 0.0), succeeded());
    script.answer(":GR#", "23:50:00.0#");
    script.answer(":GD#", "+00*00:00#");
    EXPECT_TRUE(slewing());
    script.answer(":GR#", "00:00:01.0#");
    EXPECT_FALSE(slewing());
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingModel2, ::testing::Values(2), modelName);

// ---- Without a connection, and objects sharing one mount --------------------

using SlewingNeverConnected = CoreTest;

TEST_F(SlewingNeverConnected, NothingIsAcknowledgedSoSlewsAndSyncsWarn)
{
    EXPECT_EQ(mount->slewToCoordinatesAsync(kRightAscension, kDeclination), warned(kSlewTransmission));
    // The values are the target now.
    double value = 0;
    ASSERT_EQ(mount->targetRightAscension(value), succeeded());
    EXPECT_EQ(value, kRightAscension);
    EXPECT_EQ(mount->slewToTargetAsync(), warned(kSlewTransmission));
    EXPECT_EQ(mount->slewToTarget(), warned(kSlewTransmission));
    EXPECT_EQ(mount->slewToCoordinates(1.0, 2.0), warned(kSlewTransmission));
    EXPECT_EQ(mount->syncToCoordinates(1.0, 2.0), warned(kSyncTransmission));
    EXPECT_EQ(mount->syncToTarget(), warned(kSyncTransmission));
    EXPECT_EQ(mount->slewToAltAz(180, 45), numbered(kErrorNotSupported));
    EXPECT_EQ(mount->slewToAltAzAsync(180, 45), numbered(kErrorNotSupported));
    EXPECT_EQ(mount->syncToAltAz(180, 45),
              failed(OutcomeKind::NotImplemented, "Do not support Sync to Alt-Azi coordinates!"));
    EXPECT_EQ(mount->abortSlew(), succeeded());
    bool moving = true;
    ASSERT_EQ(mount->slewing(moving), succeeded());
    EXPECT_FALSE(moving);
    EXPECT_EQ(script.received(), "");
    EXPECT_TRUE(script.openAttempts().empty());
    EXPECT_EQ(clock.steadyMs(), VirtualClock::kDefaultSteadyStartMs);
}

using SlewingSharedMount = CoreTest;

TEST_F(SlewingSharedMount, EachObjectKeepsItsOwnTargetAndParkRecord)
{
    std::unique_ptr<Mount> second = newMount();
    connectAs(2);
    ASSERT_EQ(mount->setTargetRightAscension(kRightAscension), succeeded());
    ASSERT_EQ(mount->setTargetDeclination(kDeclination), succeeded());
    double value = 0;
    EXPECT_EQ(second->targetRightAscension(value), numbered(kErrorValueNotSet));

    ASSERT_EQ(mount->park(), succeeded());
    EXPECT_EQ(mount->slewToTargetAsync(), failed(OutcomeKind::InvalidWhileParked, "Cannot Slew when parking"));
    // The other object holds no port and no park: its slew is tried, and
    // nothing acknowledges it.
    EXPECT_EQ(second->slewToCoordinatesAsync(kRightAscension, kDeclination), warned(kSlewTransmission));
    EXPECT_EQ(script.commands(), Commands{":KA"});
}

} // namespace

namespace {

// Model 0 with a port open cannot come from a connect (detection always
// names a model), so the test puts it in the state: it shows the commands
// of the row that the cases without a port cannot.
using SlewingModelZeroRow = CoreTest;

TEST_F(SlewingModelZeroRow, NoAnswerRefusesTheSlewAndTheSyncMatchesLikeModel1)
{
    connectAs(2);
    state->model = 0;
    script.answer(kSendRightAscension, "1");
    script.answer(kSendDeclination, "1");
    for (const char* answer : {"1", "0", ""}) {
        SCOPED_TRACE(answer);
        script.answer(":MS#", answer);
        EXPECT_EQ(mount->slewToCoordinatesAsync(kRightAscension, kDeclination), succeeded());
    }
    // The slew's end is asked for, not worked out.
    forgetTraffic();
    script.answer(":SE?#", "1");
    bool moving = false;
    ASSERT_EQ(mount->slewing(moving), succeeded());
    EXPECT_TRUE(moving);
    EXPECT_EQ(script.commands(), Commands{":SE?#"});

    forgetTraffic();
    script.answer(":CMR#", "Coordinates matched. #");
    EXPECT_EQ(mount->syncToCoordinates(kRightAscension, kDeclination), succeeded());
    script.answer(":CMR#", "Coordinates     matched.        #");
    EXPECT_EQ(mount->syncToCoordinates(kRightAscension, kDeclination), warned(kSyncTransmission));

    // The abort is not answered; tracking goes back on as model 2's would.
    ASSERT_EQ(mount->setTracking(true), succeeded());
    forgetTraffic();
    EXPECT_EQ(mount->abortSlew(), succeeded());
    EXPECT_EQ(script.commands(), (Commands{":Q#", ":RT2#"}));
    EXPECT_EQ(clock.pausedMs(), 0u);
}

} // namespace
