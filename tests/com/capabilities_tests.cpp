// What the driver says it can do, per mount model, and the members whose
// answer never changes.
#include "ComTest.h"

#include <string>
#include <utility>

namespace {

using BoolGetter = HRESULT (STDMETHODCALLTYPE ITelescopeV3::*)(VARIANT_BOOL*);

struct Capability {
    const wchar_t* name;
    BoolGetter get;
    // The answer on models 0 (before detection), 1, 2 and 3.
    bool answer[4];
};

// Written out per member, as a client reads it, not per rule.
const Capability kCapabilities[] = {
    {L"CanFindHome", &ITelescopeV3::get_CanFindHome, {false, false, false, true}},
    {L"CanPark", &ITelescopeV3::get_CanPark, {true, true, true, true}},
    {L"CanPulseGuide", &ITelescopeV3::get_CanPulseGuide, {true, false, true, true}},
    {L"CanSetDeclinationRate", &ITelescopeV3::get_CanSetDeclinationRate, {false, false, false, false}},
    {L"CanSetGuideRates", &ITelescopeV3::get_CanSetGuideRates, {false, false, false, true}},
    {L"CanSetPark", &ITelescopeV3::get_CanSetPark, {false, false, false, false}},
    {L"CanSetPierSide", &ITelescopeV3::get_CanSetPierSide, {false, false, false, false}},
    {L"CanSetRightAscensionRate", &ITelescopeV3::get_CanSetRightAscensionRate, {false, false, false, false}},
    {L"CanSetTracking", &ITelescopeV3::get_CanSetTracking, {true, true, true, true}},
    {L"CanSlew", &ITelescopeV3::get_CanSlew, {true, true, true, true}},
    {L"CanSlewAltAz", &ITelescopeV3::get_CanSlewAltAz, {false, true, false, false}},
    {L"CanSlewAltAzAsync", &ITelescopeV3::get_CanSlewAltAzAsync, {false, true, false, false}},
    {L"CanSlewAsync", &ITelescopeV3::get_CanSlewAsync, {true, true, true, true}},
    {L"CanSync", &ITelescopeV3::get_CanSync, {true, true, true, true}},
    {L"CanSyncAltAz", &ITelescopeV3::get_CanSyncAltAz, {false, true, false, false}},
    {L"CanUnpark", &ITelescopeV3::get_CanUnpark, {true, true, true, true}},
    {L"DoesRefraction", &ITelescopeV3::get_DoesRefraction, {true, true, true, true}},
};

using DoubleGetter = HRESULT (STDMETHODCALLTYPE ITelescopeV3::*)(double*);
const std::pair<const wchar_t*, DoubleGetter> kOptics[] = {
    {L"ApertureArea", &ITelescopeV3::get_ApertureArea},
    {L"ApertureDiameter", &ITelescopeV3::get_ApertureDiameter},
    {L"FocalLength", &ITelescopeV3::get_FocalLength},
};

// Every capability, early and late bound, against the table for `model`;
// and not one byte to the mount.
void expectCapabilities(ITelescopeV3* telescope, IDispatch* late, ScriptedMount& mount, int model)
{
    mount.forget();
    for (const Capability& capability : kCapabilities) {
        SCOPED_TRACE(narrow(capability.name));
        VARIANT_BOOL expected = capability.answer[model] ? VARIANT_TRUE : VARIANT_FALSE;
        VARIANT_BOOL value = 7;
        EXPECT_EQ((telescope->*capability.get)(&value), S_OK);
        EXPECT_EQ(value, expected);
        EXPECT_EQ((telescope->*capability.get)(nullptr), E_POINTER);
        if (late) {
            VARIANT result;
            EXPECT_EQ(getProperty(late, capability.name, &result), S_OK);
            EXPECT_EQ(result.vt, VT_BOOL);
            EXPECT_EQ(result.boolVal, expected);
        }
    }
    for (const auto& optic : kOptics) {
        SCOPED_TRACE(narrow(optic.first));
        double value = -5.0;
        EXPECT_EQ((telescope->*optic.second)(&value), S_OK);
        EXPECT_EQ(value, 1.0);
        EXPECT_EQ((telescope->*optic.second)(nullptr), E_POINTER);
    }
    // Give a stray byte time to arrive before saying there was none.
    Sleep(100);
    EXPECT_EQ(mount.received(), "");
}

class CapabilitiesByModel : public DriverTest, public ::testing::WithParamInterface<int> {
protected:
    CapabilitiesByModel() { model = GetParam(); }
};

TEST_P(CapabilitiesByModel, FollowTheDetectedModelWithoutTalkingToTheMount)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    IDispatch* late = createLateBound();
    ASSERT_NE(late, nullptr);
    // Disconnected after creation: the model learnt then is what counts.
    expectCapabilities(telescope, late, mount, model);
    // Connected, the answers are the same and still nothing is sent.
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    expectCapabilities(telescope, late, mount, model);
}

TEST_P(CapabilitiesByModel, FollowTheModelThatTheLatestConnectionFound)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    // The mount now answers as the next model up; the answers follow the
    // next connect, on every object of the process.
    int other = model % 3 + 1;
    mount.answer(":MountInfo#", mountInfoReply(other));
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    expectCapabilities(telescope, nullptr, mount, other);
    ASSERT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
    // Disconnecting forgets nothing.
    expectCapabilities(telescope, nullptr, mount, other);
}

INSTANTIATE_TEST_SUITE_P(Models, CapabilitiesByModel, ::testing::Values(1, 2, 3));

// Before any model is known. The model is shared by the process's driver
// objects and goes with the last of them: a new object after the others
// were released starts with none, in whatever order the tests run.
class CapabilitiesBeforeDetection : public DriverTest {};

TEST_F(CapabilitiesBeforeDetection, AnswerForModelZeroWhileTheHandshakeFails)
{
    // No handshake, so no detection: the creation leaves the model at 0.
    mount.silence(":V#");
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    std::vector<std::string> tried = mount.commands();
    ASSERT_FALSE(tried.empty());
    EXPECT_EQ(tried.back(), ":V#");
    for (const std::string& command : tried)
        EXPECT_NE(command, ":MountInfo#");
    IDispatch* late = createLateBound();
    ASSERT_NE(late, nullptr);
    expectCapabilities(telescope, late, mount, 0);
}

class CapabilitiesFixedMembers : public CapabilitiesByModel {};

TEST_P(CapabilitiesFixedMembers, RefractionCannotBeSwitchedOffAndRawCommandsAreRefused)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    mount.forget();

    // True is accepted, and so is any other non-zero value.
    for (VARIANT_BOOL requested : {VARIANT_BOOL(VARIANT_TRUE), VARIANT_BOOL(1), VARIANT_BOOL(2)}) {
        VARIANT_BOOL value = requested;
        EXPECT_EQ(telescope->put_DoesRefraction(&value), S_OK) << requested;
    }
    VARIANT_BOOL off = VARIANT_FALSE;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(telescope->put_DoesRefraction(&off), DISP_E_EXCEPTION);
    ErrorDetails details = takeErrorInfo();
    ASSERT_TRUE(details.present);
    EXPECT_EQ(details.description, L"Cannot set DoesRefraction to FALSE");
    EXPECT_EQ(details.source, L"Velmaro.Telescope.1");
    EXPECT_TRUE(IsEqualGUID(details.guid, IID_ITelescopeV3));
    EXPECT_EQ(telescope->put_DoesRefraction(nullptr), E_POINTER);
    // Refused or not, it is still on.
    VARIANT_BOOL refraction = 0;
    EXPECT_EQ(telescope->get_DoesRefraction(&refraction), S_OK);
    EXPECT_EQ(refraction, VARIANT_TRUE);

    using Command = HRESULT (STDMETHODCALLTYPE ITelescopeV3::*)(BSTR);
    const std::pair<Command, const wchar_t*> commands[] = {
        {&ITelescopeV3::CommandBlind, L"Do not support CommandBlind"},
        {&ITelescopeV3::CommandBool, L"Do not support CommandBool"},
        {&ITelescopeV3::CommandString, L"Do not support CommandString"},
    };
    BSTR text = SysAllocString(L":GR#");
    for (const auto& command : commands) {
        for (BSTR argument : {text, BSTR(nullptr)}) {
            SetErrorInfo(0, nullptr);
            EXPECT_EQ((telescope->*command.first)(argument), DISP_E_EXCEPTION);
            details = takeErrorInfo();
            ASSERT_TRUE(details.present);
            EXPECT_EQ(details.description, command.second);
            EXPECT_TRUE(IsEqualGUID(details.guid, IID_ITelescopeV3));
        }
    }
    SysFreeString(text);

    Sleep(100);
    EXPECT_EQ(mount.received(), "");
}

INSTANTIATE_TEST_SUITE_P(Models, CapabilitiesFixedMembers, ::testing::Values(1, 2, 3));

using CapabilitiesLateBound = DriverTest;

TEST_F(CapabilitiesLateBound, RefusalsReachAScriptClientAsExceptions)
{
    IDispatch* late = createLateBound();
    ASSERT_NE(late, nullptr);

    VARIANT command;
    command.vt = VT_BSTR;
    command.bstrVal = SysAllocString(L":Q#");
    EXCEPINFO exception{};
    EXPECT_EQ(callMethod(late, L"CommandString", {command}, nullptr, &exception), DISP_E_EXCEPTION);
    EXPECT_EQ(std::wstring(exception.bstrDescription ? exception.bstrDescription : L""),
              L"Do not support CommandString");
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
    VariantClear(&command);

    VARIANT area;
    ASSERT_EQ(getProperty(late, L"ApertureArea", &area), S_OK);
    EXPECT_EQ(area.vt, VT_R8);
    EXPECT_EQ(area.dblVal, 1.0);
}

} // namespace
