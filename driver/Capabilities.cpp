// What the driver can do, by mount model, and the properties whose answer
// never changes. Nothing here talks to the mount or changes any state.
#include "Telescope.h"

#include "DriverCall.h"
#include "ErrorReport.h"
#include "Messages.h"
#include "MountModels.h"

namespace {

// The mount is reported as a unit telescope: it knows no optics.
constexpr double kUnitOptics = 1.0;

VARIANT_BOOL automationBool(bool value)
{
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

// The capability answers: some never change.
HRESULT always(VARIANT_BOOL* result)
{
    return returnValue(result, VARIANT_TRUE);
}

HRESULT never(VARIANT_BOOL* result)
{
    return returnValue(result, VARIANT_FALSE);
}

// The rest is the detected model's flag (before detection, the flags of
// the not-detected row).
HRESULT byModel(bool MountModelRow::*flag, VARIANT_BOOL* result)
{
    return returnValue(result, automationBool(detectedModel().*flag));
}

} // namespace

HRESULT CTelescope::get_CanFindHome(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(byModel(&MountModelRow::canFindHome, value));
}

HRESULT CTelescope::get_CanPark(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(always(value));
}

HRESULT CTelescope::get_CanPulseGuide(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(byModel(&MountModelRow::canPulseGuide, value));
}

HRESULT CTelescope::get_CanSetDeclinationRate(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(never(value));
}

HRESULT CTelescope::get_CanSetGuideRates(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(byModel(&MountModelRow::canSetGuideRates, value));
}

HRESULT CTelescope::get_CanSetPark(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(never(value));
}

HRESULT CTelescope::get_CanSetPierSide(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(never(value));
}

HRESULT CTelescope::get_CanSetRightAscensionRate(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(never(value));
}

HRESULT CTelescope::get_CanSetTracking(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(always(value));
}

HRESULT CTelescope::get_CanSlew(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(always(value));
}

HRESULT CTelescope::get_CanSlewAltAz(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(byModel(&MountModelRow::canSlewAltAz, value));
}

HRESULT CTelescope::get_CanSlewAltAzAsync(VARIANT_BOOL* value)
{
    DriverCall call;
    // The asynchronous alt-azimuth slew exists exactly where the synchronous
    // one does.
    return call.result(get_CanSlewAltAz(value));
}

HRESULT CTelescope::get_CanSlewAsync(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(always(value));
}

HRESULT CTelescope::get_CanSync(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(always(value));
}

HRESULT CTelescope::get_CanSyncAltAz(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(byModel(&MountModelRow::canSyncAltAz, value));
}

HRESULT CTelescope::get_CanUnpark(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(always(value));
}

HRESULT CTelescope::get_DoesRefraction(VARIANT_BOOL* value)
{
    DriverCall call;
    // The mounts correct for refraction themselves, and cannot be told not to.
    return call.result(always(value));
}

HRESULT CTelescope::put_DoesRefraction(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    // Any non-zero value asks for what the mount already does.
    if (*value == VARIANT_FALSE)
        return call.result(driverFailure(kNoRefractionOff));
    return call.result(S_OK);
}

HRESULT CTelescope::get_ApertureArea(double* value)
{
    DriverCall call;
    return call.result(returnValue(value, kUnitOptics));
}

HRESULT CTelescope::get_ApertureDiameter(double* value)
{
    DriverCall call;
    return call.result(returnValue(value, kUnitOptics));
}

HRESULT CTelescope::get_FocalLength(double* value)
{
    DriverCall call;
    return call.result(returnValue(value, kUnitOptics));
}

// Raw commands would bypass the driver's state, so none are passed through.
HRESULT CTelescope::CommandBlind(BSTR)
{
    DriverCall call;
    return call.result(driverFailure(kNoCommandBlind));
}

HRESULT CTelescope::CommandBool(BSTR)
{
    DriverCall call;
    return call.result(driverFailure(kNoCommandBool));
}

HRESULT CTelescope::CommandString(BSTR)
{
    DriverCall call;
    return call.result(driverFailure(kNoCommandString));
}
