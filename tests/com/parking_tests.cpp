// Parking, unparking and the home search through the registered driver,
// for each model: the bytes on the line, the statuses, the park state and
// the debug log.
#include "ComTest.h"

#include <windows.h>

#include <climits>
#include <ostream>
#include <cstdio>
#include <regex>
#include <string>

namespace {

// What one model does; the commands as they reach the mount.
struct ParkingCase {
    int model;
    const char* park;            // Park, every command acknowledged
    const char* parkSilent;      // Park, the mount silent
    HRESULT parkSilentStatus;
    const char* unpark;          // Unpark, acknowledged
    const char* unparkSilent;    // Unpark, the mount silent
    HRESULT unparkSilentStatus;
    bool homes;                  // has a home search and reports being home
};

const ParkingCase kModels[] = {
    {1, ":PK#", ":PK#:PK#", DISP_E_EXCEPTION, "", "", S_OK, false},
    {2, ":KA", ":KA", S_OK, ":PO#", ":PO#", S_OK, false},
    {3, ":MH#:MP1#", ":MH#:MH#", DISP_E_EXCEPTION, ":MP0#", ":MP0#:MP0#", DISP_E_EXCEPTION, true},
};

void PrintTo(const ParkingCase& parking, std::ostream* out)
{
    *out << "model " << parking.model;
}

std::string modelName(const ::testing::TestParamInfo<ParkingCase>& info)
{
    return "Model" + std::to_string(info.param.model);
}

// The bytes the mount has received once the driver's last write is in:
// waits for `expected` to arrive, then a little longer for anything more.
std::string sentBytes(ScriptedMount& mount, const std::string& expected)
{
    for (int waited = 0; waited < 2000 && mount.received().size() < expected.size(); waited += 10)
        Sleep(10);
    Sleep(100);
    return mount.received();
}

VARIANT_BOOL atPark(ITelescopeV3* telescope)
{
    VARIANT_BOOL value = 7;
    EXPECT_EQ(telescope->get_AtPark(&value), S_OK);
    return value;
}

VARIANT_BOOL atHome(ITelescopeV3* telescope)
{
    VARIANT_BOOL value = 7;
    EXPECT_EQ(telescope->get_AtHome(&value), S_OK);
    return value;
}

std::string today()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[16];
    std::snprintf(text, sizeof text, "%02u/%02u/%02u", now.wMonth, now.wDay, now.wYear % 100u);
    return text;
}

// Every line of the log is "MM/DD/YY HH:MM:SS message" in text mode (CRLF).
void expectLogLines(const std::string& log, const char* message, int count)
{
    const std::regex line(std::string("(\\d\\d/\\d\\d/\\d\\d) \\d\\d:\\d\\d:\\d\\d ") + message + "\r\n");
    int found = 0;
    std::string rest = log;
    std::smatch match;
    while (std::regex_search(rest, match, line, std::regex_constants::match_continuous)) {
        EXPECT_EQ(match[1].str(), today());
        ++found;
        rest = match.suffix().str();
    }
    EXPECT_EQ(found, count) << log;
    EXPECT_EQ(rest, "") << log;
}

class ParkingByModel : public DriverTest, public ::testing::WithParamInterface<ParkingCase> {
protected:
    ParkingByModel() : expected(GetParam()) { model = expected.model; }

    ITelescopeV3* connectedTelescope()
    {
        ITelescopeV3* telescope = createTelescopeWithoutProbe();
        if (telescope) {
            EXPECT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
        }
        mount.forget();
        return telescope;
    }

    void acknowledgeEverything()
    {
        for (const char* command : {":PK#", ":MH#", ":MP1#", ":MP0#", ":AH#", ":AP#"})
            mount.answer(command, "1");
    }

    void silenceEverything()
    {
        for (const char* command : {":PK#", ":KA", ":PO#", ":MH#", ":MP1#", ":MP0#", ":AH#", ":AP#"})
            mount.silence(command);
    }

    // A park that the mount acknowledges, its bytes all in before the
    // next step counts what is sent.
    void parkAcknowledged(ITelescopeV3* telescope)
    {
        acknowledgeEverything();
        mount.forget();
        EXPECT_EQ(telescope->Park(), S_OK);
        EXPECT_EQ(sentBytes(mount, expected.park), expected.park);
        mount.forget();
    }

    // FindHome is what the park state holds back: refused for parking or
    // not tells whether the driver counts the mount as parked. On model 3
    // an unparked FindHome runs, so the mount is made to home at once.
    bool heldParked(ITelescopeV3* telescope)
    {
        mount.answer(":MH#", "1");
        mount.answer(":AH#", "1");
        SetErrorInfo(0, nullptr);
        HRESULT status = telescope->FindHome();
        std::wstring text = failureText(status);
        if (text == L"Cannot FindHome when parking")
            return true;
        if (expected.homes) {
            EXPECT_EQ(status, S_OK);
        } else {
            EXPECT_EQ(text, L"Do not support FindHome");
        }
        return false;
    }

    ParkingCase expected;
};

TEST_P(ParkingByModel, ParkSendsTheModelsCommandsAndHoldsTheMountParked)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    acknowledgeEverything();
    EXPECT_FALSE(heldParked(telescope));

    mount.forget();
    EXPECT_EQ(telescope->Park(), S_OK);
    EXPECT_EQ(sentBytes(mount, expected.park), expected.park);
    EXPECT_TRUE(heldParked(telescope));

    // AtPark: the driver's belief, or on model 3 the mount's own answer.
    mount.forget();
    EXPECT_EQ(atPark(telescope), VARIANT_TRUE);
    EXPECT_EQ(sentBytes(mount, expected.homes ? ":AP#" : ""), expected.homes ? ":AP#" : "");

    // Parking again is not refused: the commands go out again.
    mount.forget();
    EXPECT_EQ(telescope->Park(), S_OK);
    EXPECT_EQ(sentBytes(mount, expected.park), expected.park);
    EXPECT_TRUE(heldParked(telescope));
}

TEST_P(ParkingByModel, ParkWithoutAnAnswerFailsAndChangesNothing)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);

    // Not parked before: still not parked after a failed park (model 2
    // cannot fail, and is parked).
    silenceEverything();
    SetErrorInfo(0, nullptr);
    HRESULT status = E_FAIL;
    double took = elapsedMs([&] { status = telescope->Park(); });
    EXPECT_EQ(status, expected.parkSilentStatus);
    EXPECT_EQ(failureText(status), expected.parkSilentStatus == S_OK ? L"" : L"Transmission error at Park!");
    EXPECT_EQ(sentBytes(mount, expected.parkSilent), expected.parkSilent);
    EXPECT_EQ(heldParked(telescope), expected.parkSilentStatus == S_OK);
    if (expected.model == 2) {
        EXPECT_LT(took, 300.0) << "no reply is waited for";
    }

    // Parked before: still parked after a failed park.
    parkAcknowledged(telescope);
    silenceEverything();
    mount.forget();
    EXPECT_EQ(telescope->Park(), expected.parkSilentStatus);
    EXPECT_EQ(sentBytes(mount, expected.parkSilent), expected.parkSilent);
    EXPECT_TRUE(heldParked(telescope));

    // A clear refusal fails at once, without a second try.
    if (expected.model != 2) {
        acknowledgeEverything();
        ASSERT_EQ(telescope->Unpark(), S_OK);
        mount.answer(":PK#", "0");
        mount.answer(":MH#", "0");
        mount.forget();
        expectFailure([&] { return telescope->Park(); }, L"Transmission error at Park!");
        std::string once = expected.model == 3 ? ":MH#" : ":PK#";
        EXPECT_EQ(sentBytes(mount, once), once);
        EXPECT_FALSE(heldParked(telescope));
    }
}

TEST_P(ParkingByModel, UnparkLiftsTheParkWhateverTheMountSays)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    parkAcknowledged(telescope);
    mount.forget();
    EXPECT_EQ(telescope->Unpark(), S_OK);
    EXPECT_EQ(sentBytes(mount, expected.unpark), expected.unpark);
    EXPECT_FALSE(heldParked(telescope));

    parkAcknowledged(telescope);
    silenceEverything();
    mount.forget();
    SetErrorInfo(0, nullptr);
    HRESULT status = telescope->Unpark();
    EXPECT_EQ(status, expected.unparkSilentStatus);
    EXPECT_EQ(failureText(status), expected.unparkSilentStatus == S_OK ? L"" : L"Transmission error at Unpark!");
    EXPECT_EQ(sentBytes(mount, expected.unparkSilent), expected.unparkSilent);
    // Failed or not, the driver no longer holds the mount back.
    EXPECT_FALSE(heldParked(telescope));

    // Unparking a mount that is not parked is no refusal either.
    acknowledgeEverything();
    mount.forget();
    EXPECT_EQ(telescope->Unpark(), S_OK);
    EXPECT_EQ(sentBytes(mount, expected.unpark), expected.unpark);
}

TEST_P(ParkingByModel, AtParkReportsTheDriversBeliefExceptOnModel3)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    // The mount claims to be parked, which only model 3 is asked.
    mount.answer(":AP#", "1");
    EXPECT_EQ(atPark(telescope), expected.homes ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(heldParked(telescope), expected.homes);

    parkAcknowledged(telescope);
    // The mount says it is not parked.
    mount.answer(":AP#", "0");
    mount.forget();
    EXPECT_EQ(atPark(telescope), expected.homes ? VARIANT_FALSE : VARIANT_TRUE);
    EXPECT_EQ(sentBytes(mount, expected.homes ? ":AP#" : ""), expected.homes ? ":AP#" : "");
    EXPECT_EQ(heldParked(telescope), !expected.homes);

    // No answer at all reads as not parked on model 3.
    parkAcknowledged(telescope);
    mount.silence(":AP#");
    mount.forget();
    EXPECT_EQ(atPark(telescope), expected.homes ? VARIANT_FALSE : VARIANT_TRUE);
    EXPECT_EQ(sentBytes(mount, expected.homes ? ":AP#:AP#" : ""), expected.homes ? ":AP#:AP#" : "");
    EXPECT_EQ(heldParked(telescope), !expected.homes);

    mount.forget();
    EXPECT_EQ(telescope->get_AtPark(nullptr), E_POINTER);
    EXPECT_EQ(sentBytes(mount, ""), "");
}

TEST_P(ParkingByModel, AtHomeAsksOnlyModel3)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    const char* sentOnce = expected.homes ? ":AH#" : "";
    for (const char* answer : {"1", "0"}) {
        mount.answer(":AH#", answer);
        mount.forget();
        bool home = expected.homes && answer[0] == '1';
        EXPECT_EQ(atHome(telescope), home ? VARIANT_TRUE : VARIANT_FALSE) << answer;
        EXPECT_EQ(sentBytes(mount, sentOnce), sentOnce) << answer;
    }
    mount.silence(":AH#");
    mount.forget();
    EXPECT_EQ(atHome(telescope), VARIANT_FALSE);
    const char* sentTwice = expected.homes ? ":AH#:AH#" : "";
    EXPECT_EQ(sentBytes(mount, sentTwice), sentTwice);

    mount.answer(":AH#", "1");
    mount.forget();
    EXPECT_EQ(telescope->get_AtHome(nullptr), E_POINTER);
    EXPECT_EQ(sentBytes(mount, ""), "");
}

TEST_P(ParkingByModel, FindHomeRunsOnlyOnModel3AndNeverWhileParked)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    acknowledgeEverything();
    mount.forget();
    if (expected.homes) {
        EXPECT_EQ(telescope->FindHome(), S_OK);
        EXPECT_EQ(sentBytes(mount, ":MH#:AH#"), ":MH#:AH#");
    } else {
        expectFailure([&] { return telescope->FindHome(); }, L"Do not support FindHome");
        EXPECT_EQ(sentBytes(mount, ""), "");
    }

    // Parked, the refusal comes before the model is looked at.
    parkAcknowledged(telescope);
    mount.forget();
    expectFailure([&] { return telescope->FindHome(); }, L"Cannot FindHome when parking");
    EXPECT_EQ(sentBytes(mount, ""), "");
}

TEST_P(ParkingByModel, SetParkAndSettleTimeNeverTalkToTheMount)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    acknowledgeEverything();
    for (bool parkFirst : {false, true}) {
        if (parkFirst) {
            parkAcknowledged(telescope);
        }
        mount.forget();
        expectFailure([&] { return telescope->SetPark(); }, L"Do not support SetPark");

        for (int accepted : {0, 30, INT_MAX}) {
            EXPECT_EQ(telescope->put_SlewSettleTime(accepted), S_OK) << accepted;
            int settle = -7;
            EXPECT_EQ(telescope->get_SlewSettleTime(&settle), S_OK);
            EXPECT_EQ(settle, 0);
        }
        for (int refused : {-1, INT_MIN}) {
            SetErrorInfo(0, nullptr);
            EXPECT_EQ(telescope->put_SlewSettleTime(refused), kInvalidValue) << refused;
            ErrorDetails details = takeErrorInfo();
            EXPECT_EQ(details.description, L"Unknown Error");
            EXPECT_TRUE(IsEqualGUID(details.guid, GUID_NULL));
            int settle = -7;
            EXPECT_EQ(telescope->get_SlewSettleTime(&settle), S_OK);
            EXPECT_EQ(settle, 0);
        }
        EXPECT_EQ(telescope->get_SlewSettleTime(nullptr), E_POINTER);
        EXPECT_EQ(sentBytes(mount, ""), "");
        // Neither changes the park state.
        EXPECT_EQ(heldParked(telescope), parkFirst);
    }
}

TEST_P(ParkingByModel, WithoutAConnectionNothingIsSentAndNoReplyIsAssumed)
{
    LogDirectory directory;
    ASSERT_TRUE(directory.ready());
    // Created, so the model is known, but disconnected again: no port.
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    acknowledgeEverything();
    mount.forget();

    // Model 2 reads no reply and so parks; the others miss their "1".
    EXPECT_EQ(failureText(telescope->Park()),
              expected.model == 2 ? L"" : L"Transmission error at Park!");
    EXPECT_EQ(atPark(telescope), expected.model == 2 ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(failureText(telescope->Unpark()), expected.homes ? L"Transmission error at Unpark!" : L"");
    EXPECT_EQ(atPark(telescope), VARIANT_FALSE);
    EXPECT_EQ(atHome(telescope), VARIANT_FALSE);
    // Model 3's unanswered home command is only logged.
    EXPECT_EQ(failureText(telescope->FindHome()), expected.homes ? L"" : L"Do not support FindHome");
    EXPECT_EQ(sentBytes(mount, ""), "");
    if (expected.homes) {
        expectLogLines(directory.text(), "Transmission error in FindHome!", 1);
    } else {
        EXPECT_EQ(directory.text(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ParkingByModel, ::testing::ValuesIn(kModels), modelName);

// Model 3 alone homes, and parks in two steps.
class HomeModel3 : public ParkingByModel {};

TEST_P(HomeModel3, ParkFailsWhenTheSecondCommandIsNotAcknowledged)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    mount.answer(":MH#", "1");
    mount.answer(":MP1#", "0");
    expectFailure([&] { return telescope->Park(); }, L"Transmission error at Park!");
    EXPECT_EQ(sentBytes(mount, ":MH#:MP1#"), ":MH#:MP1#");
    EXPECT_FALSE(heldParked(telescope));

    mount.silence(":MP1#");
    mount.forget();
    expectFailure([&] { return telescope->Park(); }, L"Transmission error at Park!");
    EXPECT_EQ(sentBytes(mount, ":MH#:MP1#:MP1#"), ":MH#:MP1#:MP1#");
    EXPECT_FALSE(heldParked(telescope));
}

TEST_P(HomeModel3, FindHomePollsEvery200MsUntilTheMountIsHome)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    mount.answer(":MH#", "1");
    for (int i = 0; i < 3; ++i)
        mount.answerOnce(":AH#", "0");
    mount.answer(":AH#", "1");
    HRESULT status = E_FAIL;
    double took = elapsedMs([&] { status = telescope->FindHome(); });
    EXPECT_EQ(status, S_OK);
    EXPECT_EQ(sentBytes(mount, ":MH#:AH#:AH#:AH#:AH#"), ":MH#:AH#:AH#:AH#:AH#");
    // Four polls, each the 50 ms reply pause and the 200 ms pause; the
    // answered command before them adds its own 50 ms.
    EXPECT_GE(took, 4 * 250.0 + 50.0 - 30.0);
    EXPECT_LT(took, 4 * 250.0 + 50.0 + 1500.0);

    // Homing does not park: it can run again at once.
    mount.forget();
    EXPECT_EQ(telescope->FindHome(), S_OK);
    EXPECT_EQ(sentBytes(mount, ":MH#:AH#"), ":MH#:AH#");
}

TEST_P(HomeModel3, FindHomeWithoutAcknowledgementIsOnlyLogged)
{
    LogDirectory directory;
    ASSERT_TRUE(directory.ready());
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    mount.answer(":AH#", "1");

    // Refused outright: one try, no poll.
    mount.answer(":MH#", "0");
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(telescope->FindHome(), S_OK);
    EXPECT_EQ(sentBytes(mount, ":MH#"), ":MH#");
    expectLogLines(directory.text(), "Transmission error in FindHome!", 1);

    // No answer: two tries, no poll, one more line.
    mount.silence(":MH#");
    mount.forget();
    EXPECT_EQ(telescope->FindHome(), S_OK);
    EXPECT_EQ(sentBytes(mount, ":MH#:MH#"), ":MH#:MH#");
    expectLogLines(directory.text(), "Transmission error in FindHome!", 2);
    // The client is told nothing.
    EXPECT_FALSE(takeErrorInfo().present);
}

TEST_P(HomeModel3, FindHomeGivesUpAfterTheWaitLimit)
{
    ITelescopeV3* telescope = connectedTelescope();
    ASSERT_NE(telescope, nullptr);
    mount.answer(":MH#", "1");
    mount.answer(":AH#", "0");
    {
        WaitLimit limit("1500");
        double took = elapsedMs([&] {
            expectFailure([&] { return telescope->FindHome(); },
                          L"The mount did not report reaching home within 1.5 s!");
        });
        EXPECT_GE(took, 1500.0);
        // It stops at the first poll past the bound.
        EXPECT_LT(took, 1500.0 + 250.0 + 750.0);
        std::vector<std::string> commands = mount.commands();
        ASSERT_GE(commands.size(), 2u);
        EXPECT_EQ(commands.front(), ":MH#");
        std::size_t polls = commands.size() - 1;
        EXPECT_GE(polls, 4u);
        EXPECT_LE(polls, 7u);
        for (std::size_t i = 1; i < commands.size(); ++i)
            EXPECT_EQ(commands[i], ":AH#");
    }

    // A mount that went silent: each poll is two unanswered tries, and the
    // wait still ends after the first poll past the bound.
    mount.silence(":AH#");
    mount.forget();
    {
        WaitLimit limit("1000");
        double took = elapsedMs([&] {
            expectFailure([&] { return telescope->FindHome(); },
                          L"The mount did not report reaching home within 1 s!");
        });
        EXPECT_EQ(sentBytes(mount, ":MH#:AH#:AH#"), ":MH#:AH#:AH#");
        EXPECT_LT(took, 3000.0);
    }

    // The bound is lifted again with the variable: a mount that takes a few
    // polls is waited for as before.
    mount.answerOnce(":AH#", "0");
    mount.answer(":AH#", "1");
    EXPECT_EQ(telescope->FindHome(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Models, HomeModel3, ::testing::Values(kModels[2]), modelName);

// A script client sees the same.
using ParkingLateBound = DriverTest;

TEST_F(ParkingLateBound, ParkAndSettleTimeByName)
{
    IDispatch* late = createLateBound();
    ASSERT_NE(late, nullptr);
    ITelescopeV3* telescope = nullptr;
    ASSERT_EQ(late->QueryInterface(IID_ITelescopeV3, reinterpret_cast<void**>(&telescope)), S_OK);
    created.push_back(telescope);
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    mount.forget();

    EXPECT_EQ(callMethod(late, L"Park", {}), S_OK);
    EXPECT_EQ(sentBytes(mount, ":KA"), ":KA");
    VARIANT value;
    ASSERT_EQ(getProperty(late, L"AtPark", &value), S_OK);
    EXPECT_EQ(value.vt, VT_BOOL);
    EXPECT_EQ(value.boolVal, VARIANT_TRUE);

    EXCEPINFO exception{};
    EXPECT_EQ(callMethod(late, L"FindHome", {}, nullptr, &exception), DISP_E_EXCEPTION);
    EXPECT_EQ(std::wstring(exception.bstrDescription ? exception.bstrDescription : L""),
              L"Cannot FindHome when parking");
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);

    VARIANT settle;
    settle.vt = VT_I4;
    settle.lVal = -1;
    exception = EXCEPINFO{};
    EXPECT_EQ(putProperty(late, L"SlewSettleTime", settle, &exception), DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, kInvalidValue);
    EXPECT_EQ(std::wstring(exception.bstrDescription ? exception.bstrDescription : L""), L"Unknown Error");
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
    settle.lVal = 30;
    EXPECT_EQ(putProperty(late, L"SlewSettleTime", settle), S_OK);
    ASSERT_EQ(getProperty(late, L"SlewSettleTime", &value), S_OK);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 0);
}

// Before any model is known (see CapabilitiesBeforeDetection): the branches
// of the other models, and with no port nothing reaches the mount.
class ParkingBeforeDetection : public DriverTest {};

TEST_F(ParkingBeforeDetection, ModelZeroTakesTheOtherModelsBranch)
{
    mount.silence(":V#");
    mount.answer(":PK#", "1");
    mount.answer(":MH#", "1");
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    mount.forget();

    // ":PK#" as on model 1, and with no link no "1" comes back.
    expectFailure([&] { return telescope->Park(); }, L"Transmission error at Park!");
    EXPECT_EQ(atPark(telescope), VARIANT_FALSE);
    EXPECT_EQ(telescope->Unpark(), S_OK);
    EXPECT_EQ(atHome(telescope), VARIANT_FALSE);
    expectFailure([&] { return telescope->FindHome(); }, L"Do not support FindHome");
    expectFailure([&] { return telescope->SetPark(); }, L"Do not support SetPark");
    EXPECT_EQ(sentBytes(mount, ""), "");
}

} // namespace
