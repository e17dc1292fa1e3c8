// What the driver can do, and the properties whose answer never changes:
// the COM side.
#include "Telescope.h"

#include "ComResults.h"

HRESULT CTelescope::get_CanFindHome(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canFindHome(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanPark(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canPark(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanPulseGuide(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canPulseGuide(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSetDeclinationRate(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSetDeclinationRate(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSetGuideRates(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSetGuideRates(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSetPark(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSetPark(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSetPierSide(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSetPierSide(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSetRightAscensionRate(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSetRightAscensionRate(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSetTracking(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSetTracking(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSlew(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSlew(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSlewAltAz(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSlewAltAz(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSlewAltAzAsync(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSlewAltAzAsync(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSlewAsync(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSlewAsync(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSync(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSync(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanSyncAltAz(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canSyncAltAz(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_CanUnpark(VARIANT_BOOL* value)
{
    DriverCall call;
    bool able = false;
    Outcome outcome = core.canUnpark(able);
    return call.result(comAnswer(outcome, value, able));
}

HRESULT CTelescope::get_DoesRefraction(VARIANT_BOOL* value)
{
    DriverCall call;
    bool on = false;
    Outcome outcome = core.doesRefraction(on);
    return call.result(comAnswer(outcome, value, on));
}

HRESULT CTelescope::put_DoesRefraction(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    // Any non-zero value asks for what the mount already does.
    return call.result(comStatus(core.setDoesRefraction(*value != VARIANT_FALSE)));
}

HRESULT CTelescope::get_ApertureArea(double* value)
{
    DriverCall call;
    double size = 0.0;
    Outcome outcome = core.apertureArea(size);
    return call.result(comAnswer(outcome, value, size));
}

HRESULT CTelescope::get_ApertureDiameter(double* value)
{
    DriverCall call;
    double size = 0.0;
    Outcome outcome = core.apertureDiameter(size);
    return call.result(comAnswer(outcome, value, size));
}

HRESULT CTelescope::get_FocalLength(double* value)
{
    DriverCall call;
    double size = 0.0;
    Outcome outcome = core.focalLength(size);
    return call.result(comAnswer(outcome, value, size));
}

HRESULT CTelescope::CommandBlind(BSTR)
{
    DriverCall call;
    return call.result(comStatus(core.commandBlind(std::string(), false)));
}

HRESULT CTelescope::CommandBool(BSTR)
{
    DriverCall call;
    bool answer = false;
    return call.result(comStatus(core.commandBool(std::string(), false, answer)));
}

HRESULT CTelescope::CommandString(BSTR)
{
    DriverCall call;
    std::string answer;
    return call.result(comStatus(core.commandString(std::string(), false, answer)));
}
