// What the driver can do, by mount model, and the properties whose answer
// never changes. Nothing here talks to the mount or changes any state.
#include "Telescope.h"

#include "DriverCall.h"
#include "ErrorReport.h"
#include "MountState.h"

namespace {

// The mount is reported as a unit telescope: it knows no optics.
constexpr double kUnitOptics = 1.0;

VARIANT_BOOL automationBool(bool value)
{
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

// The capability answers come in five kinds.
HRESULT always(VARIANT_BOOL* result)
{
    return returnValue(result, VARIANT_TRUE);
}

HRESULT never(VARIANT_BOOL* result)
{
    return returnValue(result, VARIANT_FALSE);
}

// Only model 3 has a home search and settable guide rates.
HRESULT onModel3Only(VARIANT_BOOL* result)
{
    return returnValue(result, automationBool(mount.model == 3));
}

// Only model 1 takes alt-azimuth coordinates.
HRESULT onModel1Only(VARIANT_BOOL* result)
{
    return returnValue(result, automationBool(mount.model == 1));
}

// Model 1 cannot guide; the others can, and before detection the answer is
// theirs.
HRESULT exceptOnModel1(VARIANT_BOOL* result)
{
    return returnValue(result, automationBool(mount.model != 1));
}

} // namespace

HRESULT CTelescope::get_CanFindHome(VARIANT_BOOL* value)
{
    DriverCall call;
    return onModel3Only(value);
}

HRESULT CTelescope::get_CanPark(VARIANT_BOOL* value)
{
    DriverCall call;
    return always(value);
}

HRESULT CTelescope::get_CanPulseGuide(VARIANT_BOOL* value)
{
    DriverCall call;
    return exceptOnModel1(value);
}

HRESULT CTelescope::get_CanSetDeclinationRate(VARIANT_BOOL* value)
{
    DriverCall call;
    return never(value);
}

HRESULT CTelescope::get_CanSetGuideRates(VARIANT_BOOL* value)
{
    DriverCall call;
    return onModel3Only(value);
}

HRESULT CTelescope::get_CanSetPark(VARIANT_BOOL* value)
{
    DriverCall call;
    return never(value);
}

HRESULT CTelescope::get_CanSetPierSide(VARIANT_BOOL* value)
{
    DriverCall call;
    return never(value);
}

HRESULT CTelescope::get_CanSetRightAscensionRate(VARIANT_BOOL* value)
{
    DriverCall call;
    return never(value);
}

HRESULT CTelescope::get_CanSetTracking(VARIANT_BOOL* value)
{
    DriverCall call;
    return always(value);
}

HRESULT CTelescope::get_CanSlew(VARIANT_BOOL* value)
{
    DriverCall call;
    return always(value);
}

HRESULT CTelescope::get_CanSlewAltAz(VARIANT_BOOL* value)
{
    DriverCall call;
    return onModel1Only(value);
}

HRESULT CTelescope::get_CanSlewAltAzAsync(VARIANT_BOOL* value)
{
    DriverCall call;
    // The asynchronous alt-azimuth slew exists exactly where the synchronous
    // one does.
    return get_CanSlewAltAz(value);
}

HRESULT CTelescope::get_CanSlewAsync(VARIANT_BOOL* value)
{
    DriverCall call;
    return always(value);
}

HRESULT CTelescope::get_CanSync(VARIANT_BOOL* value)
{
    DriverCall call;
    return always(value);
}

HRESULT CTelescope::get_CanSyncAltAz(VARIANT_BOOL* value)
{
    DriverCall call;
    return onModel1Only(value);
}

HRESULT CTelescope::get_CanUnpark(VARIANT_BOOL* value)
{
    DriverCall call;
    return always(value);
}

HRESULT CTelescope::get_DoesRefraction(VARIANT_BOOL* value)
{
    DriverCall call;
    // The mounts correct for refraction themselves, and cannot be told not to.
    return always(value);
}

HRESULT CTelescope::put_DoesRefraction(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    // Any non-zero value asks for what the mount already does.
    if (*value == VARIANT_FALSE)
        return driverFailure("Cannot set DoesRefraction to FALSE");
    return S_OK;
}

HRESULT CTelescope::get_ApertureArea(double* value)
{
    DriverCall call;
    return returnValue(value, kUnitOptics);
}

HRESULT CTelescope::get_ApertureDiameter(double* value)
{
    DriverCall call;
    return returnValue(value, kUnitOptics);
}

HRESULT CTelescope::get_FocalLength(double* value)
{
    DriverCall call;
    return returnValue(value, kUnitOptics);
}

// Raw commands would bypass the driver's state, so none are passed through.
HRESULT CTelescope::CommandBlind(BSTR)
{
    DriverCall call;
    return driverFailure("Do not support CommandBlind");
}

HRESULT CTelescope::CommandBool(BSTR)
{
    DriverCall call;
    return driverFailure("Do not support CommandBool");
}

HRESULT CTelescope::CommandString(BSTR)
{
    DriverCall call;
    return driverFailure("Do not support CommandString");
}
