// Slewing and syncing through the registered driver, for each model: the
// target properties, the commands on the line, the answers that start or
// refuse a slew, the end of a slew and the bound on waiting for it, the
// abort, the syncs, the parked mount and values that must never reach the
// mount.
#include "ComTest.h"

#include <windows.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

const wchar_t* const kHorizonBelow = L"The target is horizon below!";
const wchar_t* const kSlewTransmission = L"Transmission error at SlewToTarget(/Async)/Coordinates(/Async) !";
const wchar_t* const kAltAzTransmission = L"Transmission error at SlewAltAz(/Async) !";
const wchar_t* const kSyncTransmission = L"Transmission error at SyncToTarget/Coordinates !";
const wchar_t* const kAltAzSyncTransmission = L"Transmission error at SyncToAltAz !";

// A target that every test slews to, as the mount receives it.
const double kRightAscension = 5.5;
const double kDeclination = -10.25;
const char* const kSendRightAscension = ":Sr 05:30:00#";
const char* const kSendDeclination = ":Sd -10*15:00#";

// The commands once the driver's last write is in: commands sent without a
// reply read may still be on their way.
Commands settledCommands(ScriptedMount& mount, std::size_t atLeast = 0)
{
    mount.waitForCommands(atLeast, 2000);
    Sleep(100);
    return mount.commands();
}

std::size_t countOf(const Commands& commands, const std::string& command)
{
    return std::count(commands.begin(), commands.end(), command);
}

class Slewing : public ConnectedTest {
protected:
    // The ":MS#" answers of this model: model 3 says "1" for started.
    const char* started() const { return model == 3 ? "1" : "0"; }
    const char* refused() const { return model == 3 ? "0" : "1"; }

    // The mount takes the standard target and starts the slew.
    void acceptTarget()
    {
        mount.answer(kSendRightAscension, "1");
        mount.answer(kSendDeclination, "1");
        mount.answer(":MS#", started());
    }
    // The mount reports the slew still running: models 1 and 3 say so, and a
    // model 2 stays where the connect found it, minutes from the target.
    void keepSlewing()
    {
        if (model != 2)
            mount.answer(":SE?#", "1");
    }
    // The question that Slewing asks while a slew runs.
    const char* slewingQuery() const { return model == 2 ? ":GR#" : ":SE?#"; }

    bool slewing()
    {
        VARIANT_BOOL value = 7;
        EXPECT_EQ(telescope->get_Slewing(&value), S_OK);
        EXPECT_TRUE(value == VARIANT_TRUE || value == VARIANT_FALSE) << value;
        return value == VARIANT_TRUE;
    }

    // A driver that waits where it should not fails in seconds, not minutes.
    WaitLimit quickFailure{"10000"};
};

std::string modelName(const ::testing::TestParamInfo<int>& info)
{
    return "Model" + std::to_string(info.param);
}

using SlewingByModel = Slewing;
using SlewingModel1 = Slewing;
using SlewingModel2 = Slewing;
using SlewingTargets = Slewing;

// ---- The target properties -------------------------------------------------

TEST_P(SlewingTargets, AcceptTheirRangesAndRefuseEverythingElseWithoutTraffic)
{
    double value = -1;
    EXPECT_TRUE(reports([&] { return telescope->get_TargetRightAscension(&value); }, kValueNotSet,
                        L"Unknown Error"));
    EXPECT_TRUE(reports([&] { return telescope->get_TargetDeclination(&value); }, kValueNotSet, L"Unknown Error"));
    EXPECT_EQ(value, -1);
    EXPECT_FALSE(slewing());

    for (double hours : {0.0, 23.999, 12.25}) {
        ASSERT_EQ(telescope->put_TargetRightAscension(hours), S_OK) << hours;
        ASSERT_EQ(telescope->get_TargetRightAscension(&value), S_OK);
        EXPECT_EQ(value, hours);
    }
    for (double degrees : {-90.0, 90.0, -33.5}) {
        ASSERT_EQ(telescope->put_TargetDeclination(degrees), S_OK) << degrees;
        ASSERT_EQ(telescope->get_TargetDeclination(&value), S_OK);
        EXPECT_EQ(value, degrees);
    }

    // Refused values leave the old target in place.
    for (double hours : {24.0, -0.001, 1e300, kNaN, kInfinity, -kInfinity}) {
        EXPECT_TRUE(reports([&] { return telescope->put_TargetRightAscension(hours); }, kInvalidValue,
                            L"Unknown Error"))
            << hours;
        ASSERT_EQ(telescope->get_TargetRightAscension(&value), S_OK);
        EXPECT_EQ(value, 12.25);
    }
    for (double degrees : {90.001, -90.001, 1e300, kNaN, kInfinity, -kInfinity}) {
        EXPECT_TRUE(reports([&] { return telescope->put_TargetDeclination(degrees); }, kInvalidValue,
                            L"Unknown Error"))
            << degrees;
        ASSERT_EQ(telescope->get_TargetDeclination(&value), S_OK);
        EXPECT_EQ(value, -33.5);
    }

    EXPECT_EQ(telescope->get_TargetRightAscension(nullptr), E_POINTER);
    EXPECT_EQ(telescope->get_TargetDeclination(nullptr), E_POINTER);
    EXPECT_EQ(telescope->get_Slewing(nullptr), E_POINTER);
    EXPECT_TRUE(settledCommands(mount).empty());
}

TEST_P(SlewingTargets, ATargetNeverSetIsNeitherReadNorSent)
{
    // A sync stores its coordinates, but the client still never set a target.
    mount.answer(kSendRightAscension, "1");
    mount.answer(kSendDeclination, "1");
    mount.answer(":CMR#", "Coordinates     matched.        #");
    ASSERT_EQ(telescope->SyncToCoordinates(kRightAscension, kDeclination), S_OK);
    EXPECT_EQ(mount.commands(), (Commands{kSendRightAscension, kSendDeclination, ":CMR#"}));
    mount.forget();

    double value = -1;
    EXPECT_TRUE(reports([&] { return telescope->get_TargetRightAscension(&value); }, kValueNotSet,
                        L"Unknown Error"));
    EXPECT_TRUE(reports([&] { return telescope->get_TargetDeclination(&value); }, kValueNotSet, L"Unknown Error"));
    for (auto call : std::vector<std::function<HRESULT()>>{[&] { return telescope->SlewToTargetAsync(); },
                                                          [&] { return telescope->SlewToTarget(); },
                                                          [&] { return telescope->SyncToTarget(); }})
        EXPECT_TRUE(reports(call, kValueNotSet, L"Unknown Error"));

    // Half a target is no target either.
    ASSERT_EQ(telescope->put_TargetRightAscension(kRightAscension), S_OK);
    EXPECT_TRUE(reports([&] { return telescope->SyncToTarget(); }, kValueNotSet, L"Unknown Error"));
    EXPECT_TRUE(reports([&] { return telescope->SlewToTargetAsync(); }, kValueNotSet, L"Unknown Error"));
    EXPECT_TRUE(settledCommands(mount).empty());
    EXPECT_FALSE(slewing());

    // Once both are set, the stored values go out.
    ASSERT_EQ(telescope->put_TargetDeclination(kDeclination), S_OK);
    ASSERT_EQ(telescope->SyncToTarget(), S_OK);
    EXPECT_EQ(mount.commands(), (Commands{kSendRightAscension, kSendDeclination, ":CMR#"}));
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingTargets, ::testing::Values(2), modelName);

// ---- Every model -----------------------------------------------------------

TEST_P(SlewingByModel, TheAnswerToMoveStartsOrRefusesTheSlewAsTheModelMeansIt)
{
    acceptTarget();
    keepSlewing();
    ASSERT_EQ(telescope->put_TargetRightAscension(kRightAscension), S_OK);
    ASSERT_EQ(telescope->put_TargetDeclination(kDeclination), S_OK);

    // Refused: the state stays "not slewing", so Slewing asks nothing.
    mount.answerOnce(":MS#", refused());
    EXPECT_TRUE(reports([&] { return telescope->SlewToTargetAsync(); }, DISP_E_EXCEPTION, kHorizonBelow));
    EXPECT_FALSE(slewing());
    EXPECT_EQ(mount.commands(), (Commands{kSendRightAscension, kSendDeclination, ":MS#"}));

    // The synchronous form fails the same way without asking Slewing.
    mount.forget();
    mount.answerOnce(":MS#", refused());
    EXPECT_TRUE(reports([&] { return telescope->SlewToTarget(); }, DISP_E_EXCEPTION, kHorizonBelow));
    EXPECT_EQ(settledCommands(mount), (Commands{kSendRightAscension, kSendDeclination, ":MS#"}));

    // An answer that is neither refusal nor start starts the slew too.
    mount.forget();
    mount.answerOnce(":MS#", "7");
    mount.answerOnce(":MS#", "7");
    EXPECT_EQ(telescope->SlewToTargetAsync(), S_OK);
    EXPECT_TRUE(slewing());
    EXPECT_EQ(countOf(mount.commands(), slewingQuery()), 1u);

    // Started, then refused: the refusal does not end the running slew.
    EXPECT_EQ(telescope->SlewToCoordinatesAsync(kRightAscension, kDeclination), S_OK);
    EXPECT_TRUE(slewing());
    mount.answerOnce(":MS#", refused());
    EXPECT_TRUE(reports([&] { return telescope->SlewToCoordinatesAsync(kRightAscension, kDeclination); },
                        DISP_E_EXCEPTION, kHorizonBelow));
    EXPECT_TRUE(slewing());
}

TEST_P(SlewingByModel, ATargetStepTheMountDoesNotTakeStopsTheSequenceAndReturnsTwo)
{
    mount.answer(kSendRightAscension, "0");
    mount.answer(kSendDeclination, "1");
    mount.answer(":MS#", started());
    mount.answer(":CMR#", "Coordinates matched. #");
    mount.answer(":CM#", "1");
    ASSERT_EQ(telescope->put_TargetRightAscension(kRightAscension), S_OK);
    ASSERT_EQ(telescope->put_TargetDeclination(kDeclination), S_OK);

    // Right ascension refused: the declination is never sent.
    EXPECT_TRUE(reports([&] { return telescope->SlewToTargetAsync(); }, kTransmission, kSlewTransmission));
    EXPECT_TRUE(reports([&] { return telescope->SlewToCoordinates(kRightAscension, kDeclination); }, kTransmission,
                        kSlewTransmission));
    EXPECT_TRUE(reports([&] { return telescope->SyncToTarget(); }, kTransmission, kSyncTransmission));
    EXPECT_TRUE(reports([&] { return telescope->SyncToCoordinates(kRightAscension, kDeclination); }, kTransmission,
                        kSyncTransmission));
    EXPECT_EQ(settledCommands(mount), Commands(4, kSendRightAscension));

    // Declination refused: no move and no match follow.
    mount.forget();
    mount.answer(kSendRightAscension, "1");
    mount.answer(kSendDeclination, "0");
    EXPECT_TRUE(reports([&] { return telescope->SlewToCoordinatesAsync(kRightAscension, kDeclination); },
                        kTransmission, kSlewTransmission));
    EXPECT_TRUE(reports([&] { return telescope->SyncToCoordinates(kRightAscension, kDeclination); }, kTransmission,
                        kSyncTransmission));
    EXPECT_EQ(settledCommands(mount),
              (Commands{kSendRightAscension, kSendDeclination, kSendRightAscension, kSendDeclination}));

    // None of it started a slew.
    mount.forget();
    EXPECT_FALSE(slewing());
    EXPECT_TRUE(settledCommands(mount).empty());
}

// The match step and the whole text that each model answers.
struct Match {
    const char* command;
    const char* accepted;
    const char* otherModels;   // a match text that this model must not take
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

TEST_P(SlewingByModel, SyncNeedsTheModelsWholeMatchText)
{
    Match match = matchOf(model);
    acceptTarget();
    mount.answer(match.command, match.accepted);
    ASSERT_EQ(telescope->SyncToCoordinates(kRightAscension, kDeclination), S_OK);
    EXPECT_EQ(mount.commands(), (Commands{kSendRightAscension, kSendDeclination, match.command}));

    mount.answer(match.command, match.otherModels);
    EXPECT_TRUE(reports([&] { return telescope->SyncToCoordinates(kRightAscension, kDeclination); }, kTransmission,
                        kSyncTransmission));
    // A cut-off text is not the text either.
    std::string cut(match.accepted);
    cut.pop_back();
    mount.answer(match.command, cut);
    EXPECT_TRUE(reports([&] { return telescope->SyncToCoordinates(kRightAscension, kDeclination); }, kTransmission,
                        kSyncTransmission));

    // The sync to a set target: the match is sent once, with no retry, and
    // the target, the slew and the park state stay as they were.
    ASSERT_EQ(telescope->put_TargetRightAscension(kRightAscension), S_OK);
    ASSERT_EQ(telescope->put_TargetDeclination(kDeclination), S_OK);
    mount.forget();
    mount.answer(match.command, match.accepted);
    ASSERT_EQ(telescope->SyncToTarget(), S_OK);
    EXPECT_EQ(mount.commands(), (Commands{kSendRightAscension, kSendDeclination, match.command}));
    double value = 0;
    ASSERT_EQ(telescope->get_TargetRightAscension(&value), S_OK);
    EXPECT_EQ(value, kRightAscension);
    EXPECT_FALSE(slewing());
    VARIANT_BOOL parked = VARIANT_TRUE;
    if (model != 3) {
        ASSERT_EQ(telescope->get_AtPark(&parked), S_OK);
        EXPECT_EQ(parked, VARIANT_FALSE);
    }
}

TEST_P(SlewingByModel, SynchronousSlewsWaitForTheEndAndLeaveSlewingFalse)
{
    acceptTarget();
    if (model == 2) {
        // The mount closes in on the target, poll by poll.
        mount.answerOnce(":GR#", "05:00:00.0#");
        mount.answerOnce(":GD#", "-02*00:00#");
        mount.answerOnce(":GR#", "05:29:00.0#");
        mount.answerOnce(":GD#", "-10*14:00#");
        mount.answerOnce(":GR#", "05:29:56.0#");
        mount.answerOnce(":GD#", "-10*15:00#");
        mount.answer(":GR#", "05:29:57.0#");
        mount.answer(":GD#", "-10*14:01#");
    } else {
        for (int poll = 0; poll < 3; ++poll)
            mount.answerOnce(":SE?#", "1");
        mount.answer(":SE?#", "0");
    }
    double ms = elapsedMs([&] { EXPECT_EQ(telescope->SlewToCoordinates(kRightAscension, kDeclination), S_OK); });
    Commands commands = mount.commands();
    // Three answers of "still slewing", each followed by a 200 ms pause.
    EXPECT_EQ(countOf(commands, slewingQuery()), 4u);
    EXPECT_GE(ms, 3 * 200.0 - 20);
    EXPECT_LT(ms, 6000.0);

    // The slew is over: Slewing says so without asking.
    mount.forget();
    EXPECT_FALSE(slewing());
    EXPECT_TRUE(settledCommands(mount).empty());

    // The same wait behind SlewToTarget.
    if (model == 2) {
        mount.answerOnce(":GR#", "05:00:00.0#");
    } else {
        mount.answerOnce(":SE?#", "1");
    }
    EXPECT_EQ(telescope->SlewToTarget(), S_OK);
    EXPECT_EQ(countOf(mount.commands(), slewingQuery()), 2u);
    EXPECT_FALSE(slewing());
}

TEST_P(SlewingByModel, SynchronousSlewsGiveUpAtTheBoundWithAClearMessage)
{
    WaitLimit limit("1500");
    acceptTarget();
    if (model == 2) {
        // One reading close to the target, then the mount falls silent: the
        // getters keep that last good position, which is not close enough.
        mount.silence(":GR#");
        mount.silence(":GD#");
        mount.answerOnce(":GR#", "05:29:00.0#");
        mount.answerOnce(":GD#", "-10*15:00#");
    } else {
        mount.answer(":SE?#", "1");
    }
    double ms = elapsedMs([&] {
        EXPECT_TRUE(reports([&] { return telescope->SlewToCoordinates(kRightAscension, kDeclination); },
                            DISP_E_EXCEPTION, L"The mount did not finish the slew within 1.5 s!"));
    });
    EXPECT_GE(ms, 1500.0);
    // At most one more poll past the bound; a silent model 2 poll costs two
    // read time-outs.
    EXPECT_LT(ms, model == 2 ? 5000.0 : 3500.0);
    EXPECT_GE(countOf(mount.commands(), slewingQuery()), 2u);

    // The mount may still be on its way: Slewing goes on asking.
    if (model == 2) {
        mount.answer(":GR#", "05:20:00.0#");
        mount.answer(":GD#", "-10*15:00#");
    }
    mount.forget();
    EXPECT_TRUE(slewing());
    EXPECT_EQ(countOf(mount.commands(), slewingQuery()), 1u);
}

TEST_P(SlewingByModel, AbortSlewStopsTheMountAndSendsTheTrackingStateAgain)
{
    // What the mount receives for the abort, with tracking on and off.
    Commands whenTracking, whenNotTracking;
    switch (model) {
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
        mount.answer(":ST1#", "1");
        mount.answer(":ST0#", "1");
        mount.answer(":Q#", "1");
        break;
    }
    acceptTarget();
    keepSlewing();
    ASSERT_EQ(telescope->SlewToCoordinatesAsync(kRightAscension, kDeclination), S_OK);

    ASSERT_EQ(telescope->put_Tracking(VARIANT_TRUE), S_OK);
    mount.answer(":AT#", "1");
    settledCommands(mount);
    mount.forget();
    EXPECT_EQ(telescope->AbortSlew(), S_OK);
    EXPECT_EQ(settledCommands(mount, whenTracking.size()), whenTracking);

    ASSERT_EQ(telescope->put_Tracking(VARIANT_FALSE), S_OK);
    mount.answer(":AT#", "0");
    settledCommands(mount);
    mount.forget();
    EXPECT_EQ(telescope->AbortSlew(), S_OK);
    EXPECT_EQ(settledCommands(mount, whenNotTracking.size()), whenNotTracking);

    mount.forget();
    if (model == 2) {
        // Stopped short of the target, which its arrival test would wait
        // for forever: the abort ends the slew, and nothing is asked.
        EXPECT_FALSE(slewing());
        EXPECT_FALSE(slewing());
        EXPECT_EQ(mount.commands(), Commands{});
        return;
    }
    // The abort does not decide that the slew is over: the mount does.
    EXPECT_TRUE(slewing());
    EXPECT_EQ(countOf(mount.commands(), slewingQuery()), 1u);
    mount.answer(":SE?#", "0");
    EXPECT_FALSE(slewing());
    EXPECT_FALSE(slewing());
    EXPECT_EQ(countOf(mount.commands(), ":SE?#"), 2u);
}

TEST_P(SlewingByModel, AParkedMountRefusesEveryMoveWithItsOwnMessage)
{
    mount.answer(":PK#", "1");
    mount.answer(":MH#", "1");
    mount.answer(":MP1#", "1");
    mount.answer(":MP0#", "1");
    ASSERT_EQ(telescope->put_TargetRightAscension(1.0), S_OK);
    ASSERT_EQ(telescope->put_TargetDeclination(2.0), S_OK);
    ASSERT_EQ(telescope->Park(), S_OK);
    // Every park command in before the slate is wiped: model 2's ":KA" has
    // no reply to wait for, and on a busy machine it can take its time.
    settledCommands(mount, model == 3 ? 2 : 1);
    mount.forget();

    struct Refusal {
        const char* member;
        std::function<HRESULT()> call;
        const wchar_t* message;
    };
    const std::vector<Refusal> refusals = {
        {"AbortSlew", [&] { return telescope->AbortSlew(); }, L"Cannot AbortSlew when parking"},
        {"SlewToAltAz", [&] { return telescope->SlewToAltAz(10, 20); }, L"Cannot SlewToAltAz when parking"},
        {"SlewToAltAzAsync", [&] { return telescope->SlewToAltAzAsync(10, 20); }, L"Cannot SlewToAltAz when parking"},
        {"SlewToTargetAsync", [&] { return telescope->SlewToTargetAsync(); }, L"Cannot Slew when parking"},
        {"SlewToTarget", [&] { return telescope->SlewToTarget(); }, L"Cannot slew when parking"},
        {"SlewToCoordinates", [&] { return telescope->SlewToCoordinates(3, 4); }, L"Cannot slew when parking"},
        {"SyncToAltAz", [&] { return telescope->SyncToAltAz(10, 20); }, L"Cannot Sync when parking"},
        // Parked comes before the range, as for the equatorial members.
        {"SlewToAltAz, out of range", [&] { return telescope->SlewToAltAz(-10, 100); },
         L"Cannot SlewToAltAz when parking"},
        {"SlewToAltAzAsync, out of range", [&] { return telescope->SlewToAltAzAsync(370, 45); },
         L"Cannot SlewToAltAz when parking"},
        {"SyncToAltAz, out of range", [&] { return telescope->SyncToAltAz(kNaN, -100); }, L"Cannot Sync when parking"},
        {"SyncToTarget", [&] { return telescope->SyncToTarget(); }, L"Cannot Sync when parking"},
        {"SyncToCoordinates", [&] { return telescope->SyncToCoordinates(5, 6); }, L"Cannot Sync when parking"},
    };
    for (const Refusal& refusal : refusals)
        EXPECT_TRUE(reports(refusal.call, DISP_E_EXCEPTION, refusal.message)) << refusal.member;

    // Neither refused coordinate call changed the target.
    double value = 0;
    ASSERT_EQ(telescope->get_TargetRightAscension(&value), S_OK);
    EXPECT_EQ(value, 1.0);
    ASSERT_EQ(telescope->get_TargetDeclination(&value), S_OK);
    EXPECT_EQ(value, 2.0);

    // The asynchronous slew keeps the coordinates it was given, though refused.
    EXPECT_TRUE(reports([&] { return telescope->SlewToCoordinatesAsync(7.5, -8.5); }, DISP_E_EXCEPTION,
                        L"Cannot slew when parking"));
    ASSERT_EQ(telescope->get_TargetRightAscension(&value), S_OK);
    EXPECT_EQ(value, 7.5);
    ASSERT_EQ(telescope->get_TargetDeclination(&value), S_OK);
    EXPECT_EQ(value, -8.5);
    EXPECT_FALSE(slewing());
    EXPECT_TRUE(settledCommands(mount).empty());

    // Unparked, the members run again.
    ASSERT_EQ(telescope->Unpark(), S_OK);
    acceptTarget();
    settledCommands(mount);
    mount.forget();
    EXPECT_EQ(telescope->SlewToCoordinatesAsync(kRightAscension, kDeclination), S_OK);
    EXPECT_EQ(mount.commands(), (Commands{kSendRightAscension, kSendDeclination, ":MS#"}));
}

TEST_P(SlewingByModel, UnsafeCoordinatesAreRefusedBeforeAnythingIsSentOrStored)
{
    acceptTarget();
    const std::vector<std::pair<double, double>> unsafe = {
        {kNaN, 0},   {0, kNaN},        {kInfinity, 0}, {0, -kInfinity}, {24.0, 0},
        {-0.001, 0}, {0, 90.001},      {0, -90.001},   {1e300, 0},      {0, -1e300},
    };
    for (const auto& coordinates : unsafe) {
        double ra = coordinates.first, dec = coordinates.second;
        EXPECT_TRUE(reports([&] { return telescope->SlewToCoordinatesAsync(ra, dec); }, kInvalidValue,
                            L"Unknown Error"))
            << ra << " " << dec;
        EXPECT_TRUE(reports([&] { return telescope->SlewToCoordinates(ra, dec); }, kInvalidValue, L"Unknown Error"))
            << ra << " " << dec;
        EXPECT_TRUE(reports([&] { return telescope->SyncToCoordinates(ra, dec); }, kInvalidValue, L"Unknown Error"))
            << ra << " " << dec;
    }
    double value = 0;
    EXPECT_EQ(telescope->get_TargetRightAscension(&value), kValueNotSet);
    EXPECT_EQ(telescope->get_TargetDeclination(&value), kValueNotSet);

    // Alt-azimuth values: model 1 refuses what cannot be split; the others
    // refuse the member itself, before looking at the values.
    const std::vector<std::pair<double, double>> unsafeAltAz = {
        {kNaN, 10}, {10, kNaN}, {kInfinity, 10}, {10, -kInfinity}, {3e9, 10}, {-3e9, 10}, {10, 3e9},
    };
    for (const auto& coordinates : unsafeAltAz) {
        double azi = coordinates.first, alt = coordinates.second;
        if (model == 1) {
            EXPECT_TRUE(reports([&] { return telescope->SlewToAltAzAsync(azi, alt); }, kInvalidValue,
                                L"Unknown Error"))
                << azi << " " << alt;
            EXPECT_TRUE(reports([&] { return telescope->SlewToAltAz(azi, alt); }, kInvalidValue, L"Unknown Error"))
                << azi << " " << alt;
            EXPECT_TRUE(reports([&] { return telescope->SyncToAltAz(azi, alt); }, kInvalidValue, L"Unknown Error"))
                << azi << " " << alt;
        }
    }
    if (model != 1) {
        for (const auto& coordinates : {std::make_pair(180.0, 45.0), unsafeAltAz.front()}) {
            double azi = coordinates.first, alt = coordinates.second;
            EXPECT_TRUE(reports([&] { return telescope->SlewToAltAzAsync(azi, alt); }, kNotSupported,
                                L"Unknown Error"));
            EXPECT_TRUE(reports([&] { return telescope->SlewToAltAz(azi, alt); }, kNotSupported, L"Unknown Error"));
            EXPECT_TRUE(reports([&] { return telescope->SyncToAltAz(azi, alt); }, DISP_E_EXCEPTION,
                                L"Do not support Sync to Alt-Azi coordinates!"));
        }
    }
    EXPECT_FALSE(slewing());
    EXPECT_TRUE(settledCommands(mount).empty());
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingByModel, ::testing::Values(1, 2, 3), modelName);

// ---- Model 1: the numbers on the line, and the alt-azimuth members --------

TEST_P(SlewingModel1, CoordinatesGoOutRoundedToTheSecondWithTheirSigns)
{
    const std::vector<std::pair<std::string, std::string>> accepted = {
        {":Sr 05:30:00#", ":Sd -10*15:00#"},
        {":Sr 24:00:00#", ":Sd -00*00:00#"},
        {":Sr 00:00:00#", ":Sd +90*00:00#"},
        {":Sz 180:00:00#", ":Sa +45*30:00#"},
        {":Sz 05:15:00#", ":Sa +00*00:00#"},
        {":Sz 350:00:00#", ":Sa -05*30:00#"},
    };
    for (const auto& pair : accepted) {
        mount.answer(pair.first, "1");
        mount.answer(pair.second, "1");
    }
    mount.answer(":MS#", "0");
    mount.answer(":CMR#", "Coordinates matched. #");

    ASSERT_EQ(telescope->SlewToCoordinatesAsync(5.5, -10.25), S_OK);
    // Half a second short of 24 h carries into the hours and does not wrap.
    ASSERT_EQ(telescope->SlewToCoordinatesAsync(23.99995, -0.0001), S_OK);
    ASSERT_EQ(telescope->SyncToCoordinates(0.0, 90.0), S_OK);
    ASSERT_EQ(telescope->SlewToAltAzAsync(180.0, 45.5), S_OK);
    ASSERT_EQ(telescope->SlewToAltAzAsync(5.25, 0.0), S_OK);
    ASSERT_EQ(telescope->SyncToAltAz(350.0, -5.5), S_OK);
    EXPECT_EQ(mount.commands(),
              (Commands{":Sr 05:30:00#", ":Sd -10*15:00#", ":MS#", ":Sr 24:00:00#", ":Sd -00*00:00#", ":MS#",
                        ":Sr 00:00:00#", ":Sd +90*00:00#", ":CMR#", ":Sz 180:00:00#", ":Sa +45*30:00#", ":MS#",
                        ":Sz 05:15:00#", ":Sa +00*00:00#", ":MS#", ":Sz 350:00:00#", ":Sa -05*30:00#", ":CMR#"}));
}

// An azimuth is taken from 0 up to but not including 360, an altitude from
// -90 to 90: anything else would reach the mount as the wrong place (a
// negative azimuth has no sign on the line) or as a field too wide.
TEST_P(SlewingModel1, AltAzimuthCoordinatesOutsideTheirRangesNeverReachTheMount)
{
    const std::vector<std::pair<double, double>> refused = {
        {-10, 45},   {370, 45},      {360, 45},       {-0.0001, 45},   {10, 100},       {10, -100},
        {10, 90.001}, {10, -90.001}, {kNaN, 45},      {10, kNaN},      {kInfinity, 45}, {-kInfinity, 45},
        {10, kInfinity}, {10, -kInfinity},
    };
    mount.answer(":MS#", "0");
    mount.answer(":CMR#", "Coordinates matched. #");
    for (const auto& coordinates : refused) {
        double azi = coordinates.first, alt = coordinates.second;
        mount.forget();
        EXPECT_TRUE(reports([&] { return telescope->SlewToAltAzAsync(azi, alt); }, kInvalidValue, L"Unknown Error"))
            << azi << " " << alt;
        EXPECT_TRUE(reports([&] { return telescope->SlewToAltAz(azi, alt); }, kInvalidValue, L"Unknown Error"))
            << azi << " " << alt;
        EXPECT_TRUE(reports([&] { return telescope->SyncToAltAz(azi, alt); }, kInvalidValue, L"Unknown Error"))
            << azi << " " << alt;
        EXPECT_TRUE(settledCommands(mount).empty()) << azi << " " << alt;
    }
    EXPECT_FALSE(slewing());

    // The edges go out exactly; half a second short of 360 is north again.
    struct Edge {
        double azi, alt;
        const char* azimuthCommand;
        const char* altitudeCommand;
    };
    const std::vector<Edge> edges = {
        {0, -90, ":Sz 00:00:00#", ":Sa -90*00:00#"},
        {359.99, 90, ":Sz 359:59:24#", ":Sa +90*00:00#"},
        {359.99999, 0, ":Sz 00:00:00#", ":Sa +00*00:00#"},
        {-0.0, -0.0, ":Sz 00:00:00#", ":Sa +00*00:00#"},
    };
    for (const Edge& edge : edges) {
        mount.answer(edge.azimuthCommand, "1");
        mount.answer(edge.altitudeCommand, "1");
        mount.forget();
        EXPECT_EQ(telescope->SlewToAltAzAsync(edge.azi, edge.alt), S_OK) << edge.azi << " " << edge.alt;
        EXPECT_EQ(telescope->SyncToAltAz(edge.azi, edge.alt), S_OK) << edge.azi << " " << edge.alt;
        EXPECT_EQ(mount.commands(), (Commands{edge.azimuthCommand, edge.altitudeCommand, ":MS#",
                                              edge.azimuthCommand, edge.altitudeCommand, ":CMR#"}))
            << edge.azi << " " << edge.alt;
    }
}

TEST_P(SlewingModel1, AltAzimuthSlewAndSyncTakeOnlyTheirExactAnswers)
{
    const char* azimuth = ":Sz 180:00:00#";
    const char* altitude = ":Sa +45*30:00#";
    mount.answer(azimuth, "1");
    mount.answer(altitude, "1");

    // ":MS#": "1" is the horizon, anything but "0" a transmission error.
    mount.answer(":MS#", "1");
    EXPECT_TRUE(reports([&] { return telescope->SlewToAltAzAsync(180, 45.5); }, DISP_E_EXCEPTION, kHorizonBelow));
    EXPECT_TRUE(reports([&] { return telescope->SlewToAltAz(180, 45.5); }, DISP_E_EXCEPTION, kHorizonBelow));
    mount.answer(":MS#", "7");
    EXPECT_TRUE(reports([&] { return telescope->SlewToAltAzAsync(180, 45.5); }, kTransmission, kAltAzTransmission));
    EXPECT_FALSE(slewing());
    EXPECT_EQ(countOf(mount.commands(), ":SE?#"), 0u);

    // A coordinate the mount does not take stops the sequence.
    mount.forget();
    mount.answer(altitude, "0");
    EXPECT_TRUE(reports([&] { return telescope->SlewToAltAz(180, 45.5); }, kTransmission, kAltAzTransmission));
    EXPECT_TRUE(reports([&] { return telescope->SyncToAltAz(180, 45.5); }, kTransmission, kAltAzSyncTransmission));
    mount.answer(azimuth, "0");
    EXPECT_TRUE(reports([&] { return telescope->SlewToAltAzAsync(180, 45.5); }, kTransmission, kAltAzTransmission));
    EXPECT_TRUE(reports([&] { return telescope->SyncToAltAz(180, 45.5); }, kTransmission, kAltAzSyncTransmission));
    EXPECT_EQ(mount.commands(), (Commands{azimuth, altitude, azimuth, altitude, azimuth, azimuth}));

    // The sync's match: the 22-character text, whole.
    mount.forget();
    mount.answer(azimuth, "1");
    mount.answer(altitude, "1");
    mount.answer(":CMR#", "Coordinates     matched.        #");
    EXPECT_TRUE(reports([&] { return telescope->SyncToAltAz(180, 45.5); }, kTransmission, kAltAzSyncTransmission));
    mount.answer(":CMR#", "Coordinates matched. #");
    EXPECT_EQ(telescope->SyncToAltAz(180, 45.5), S_OK);
    EXPECT_EQ(countOf(settledCommands(mount), ":CMR#"), 2u);

    // Started: Slewing is true at once, and the synchronous form waits.
    mount.answer(":MS#", "0");
    mount.answer(":SE?#", "1");
    EXPECT_EQ(telescope->SlewToAltAzAsync(180, 45.5), S_OK);
    EXPECT_TRUE(slewing());
    mount.forget();
    mount.answerOnce(":SE?#", "1");
    mount.answer(":SE?#", "0");
    EXPECT_EQ(telescope->SlewToAltAz(180, 45.5), S_OK);
    EXPECT_EQ(countOf(mount.commands(), ":SE?#"), 2u);
    EXPECT_FALSE(slewing());
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingModel1, ::testing::Values(1), modelName);

// ---- Model 2: the end of a slew is the arrival at the target --------------

TEST_P(SlewingModel2, ArrivalMeansWithinFourSecondsOfTimeAndOneMinuteOfArc)
{
    mount.answer(":Sr 05:30:00#", "1");
    mount.answer(":Sd +22*00:00#", "1");
    mount.answer(":MS#", "0");
    ASSERT_EQ(telescope->SlewToCoordinatesAsync(5.5, 22.0), S_OK);

    auto at = [&](const char* rightAscension, const char* declination) {
        mount.answer(":GR#", rightAscension);
        mount.answer(":GD#", declination);
        return slewing();
    };
    // Exactly on the tolerance, either side, is still slewing.
    EXPECT_TRUE(at("05:29:56.0#", "+22*00:00#"));
    EXPECT_TRUE(at("05:30:04.0#", "+22*00:00#"));
    EXPECT_TRUE(at("05:30:00.0#", "+22*01:00#"));
    EXPECT_TRUE(at("05:30:00.0#", "+21*59:00#"));
    // Far below the target is slewing as much as far above.
    EXPECT_TRUE(at("05:30:00.0#", "+10*00:00#"));
    EXPECT_TRUE(at("04:00:00.0#", "+22*00:00#"));
    // A malformed reading keeps the last good one, which is not there yet.
    EXPECT_TRUE(at("05:30:00.0", "+22*00:00#"));
    // Inside in right ascension, on the tolerance in declination.
    mount.forget();
    EXPECT_TRUE(at("05:29:56.1#", "+21*59:00#"));
    EXPECT_EQ(mount.commands(), (Commands{":GR#", ":GD#"}));

    // Arrived: the state ends and Slewing no longer asks.
    mount.forget();
    EXPECT_FALSE(at("05:29:56.1#", "+21*59:01#"));
    EXPECT_FALSE(at("01:00:00.0#", "+00*00:00#"));
    EXPECT_EQ(mount.commands(), (Commands{":GR#", ":GD#"}));

    // Across 0 h: 23:59:59 and 00:00:01 are two seconds apart.
    mount.answer(":Sr 23:59:59#", "1");
    mount.answer(":Sd +00*00:00#", "1");
    ASSERT_EQ(telescope->SlewToCoordinatesAsync(23.0 + 59 / 60.0 + 59 / 3600.0, 0.0), S_OK);
    EXPECT_TRUE(at("23:50:00.0#", "+00*00:00#"));
    EXPECT_FALSE(at("00:00:01.0#", "+00*00:00#"));
}

INSTANTIATE_TEST_SUITE_P(Models, SlewingModel2, ::testing::Values(2), modelName);

// ---- A script client sees the same ----------------------------------------

using SlewingLateBound = DriverTest;

TEST_F(SlewingLateBound, AsynchronousSlewAndTargetsByName)
{
    IDispatch* telescope = createLateBound();
    ASSERT_NE(telescope, nullptr);
    VARIANT on;
    on.vt = VT_BOOL;
    on.boolVal = VARIANT_TRUE;
    ASSERT_EQ(putProperty(telescope, L"Connected", on), S_OK);
    mount.forget();
    mount.answer(kSendRightAscension, "1");
    mount.answer(kSendDeclination, "1");
    mount.answer(":MS#", "0");

    VARIANT ra, dec;
    ra.vt = VT_R8;
    ra.dblVal = kRightAscension;
    dec.vt = VT_R8;
    dec.dblVal = kDeclination;
    ASSERT_EQ(callMethod(telescope, L"SlewToCoordinatesAsync", {ra, dec}), S_OK);
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(getProperty(telescope, L"Slewing", &result), S_OK);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);
    ASSERT_EQ(getProperty(telescope, L"TargetDeclination", &result), S_OK);
    EXPECT_EQ(result.vt, VT_R8);
    EXPECT_EQ(result.dblVal, kDeclination);

    // A refused value reaches the script as the driver error.
    VARIANT tooFar;
    tooFar.vt = VT_R8;
    tooFar.dblVal = 24.0;
    EXCEPINFO exception{};
    HRESULT status = putProperty(telescope, L"TargetRightAscension", tooFar, &exception);
    EXPECT_TRUE(status == kInvalidValue || (status == DISP_E_EXCEPTION && exception.scode == kInvalidValue))
        << std::hex << status << " " << exception.scode;
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

} // namespace
