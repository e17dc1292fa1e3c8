// Capabilities: not yet served; each member answers E_NOTIMPL until it is built.
#include "Telescope.h"
#include "DriverCall.h"

HRESULT CTelescope::get_ApertureArea(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_ApertureDiameter(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanFindHome(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanPark(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanPulseGuide(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSetDeclinationRate(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSetGuideRates(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSetPark(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSetPierSide(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSetRightAscensionRate(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSetTracking(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSlew(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSlewAltAz(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSlewAltAzAsync(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSlewAsync(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSync(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanSyncAltAz(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_CanUnpark(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_DoesRefraction(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_DoesRefraction(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_FocalLength(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::CommandBlind(BSTR)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::CommandBool(BSTR)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::CommandString(BSTR)
{
    DriverCall call;
    return E_NOTIMPL;
}
