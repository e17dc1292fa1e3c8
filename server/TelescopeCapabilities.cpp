// What the driver can do, and the properties whose answer never changes:
// the COM side.
#include "Telescope.h"

#include "ComResults.h"

HRESULT CTelescope::get_CanFindHome(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canFindHome));
}

HRESULT CTelescope::get_CanPark(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canPark));
}

HRESULT CTelescope::get_CanPulseGuide(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canPulseGuide));
}

HRESULT CTelescope::get_CanSetDeclinationRate(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSetDeclinationRate));
}

HRESULT CTelescope::get_CanSetGuideRates(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSetGuideRates));
}

HRESULT CTelescope::get_CanSetPark(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSetPark));
}

HRESULT CTelescope::get_CanSetPierSide(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSetPierSide));
}

HRESULT CTelescope::get_CanSetRightAscensionRate(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSetRightAscensionRate));
}

HRESULT CTelescope::get_CanSetTracking(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSetTracking));
}

HRESULT CTelescope::get_CanSlew(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSlew));
}

HRESULT CTelescope::get_CanSlewAltAz(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSlewAltAz));
}

HRESULT CTelescope::get_CanSlewAltAzAsync(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSlewAltAzAsync));
}

HRESULT CTelescope::get_CanSlewAsync(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSlewAsync));
}

HRESULT CTelescope::get_CanSync(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSync));
}

HRESULT CTelescope::get_CanSyncAltAz(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canSyncAltAz));
}

HRESULT CTelescope::get_CanUnpark(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::canUnpark));
}

HRESULT CTelescope::get_DoesRefraction(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::doesRefraction));
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
    return call.result(readThrough(value, core, &Mount::apertureArea));
}

HRESULT CTelescope::get_ApertureDiameter(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::apertureDiameter));
}

HRESULT CTelescope::get_FocalLength(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::focalLength));
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
