// Slewing: not yet served; each member answers E_NOTIMPL until it is built.
#include "Telescope.h"
#include "DriverCall.h"

HRESULT CTelescope::get_Slewing(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_TargetDeclination(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_TargetDeclination(double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_TargetRightAscension(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_TargetRightAscension(double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::AbortSlew()
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SlewToAltAz(double, double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SlewToAltAzAsync(double, double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SlewToCoordinates(double, double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SlewToCoordinatesAsync(double, double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SlewToTarget()
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SlewToTargetAsync()
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SyncToAltAz(double, double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SyncToCoordinates(double, double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SyncToTarget()
{
    DriverCall call;
    return E_NOTIMPL;
}
