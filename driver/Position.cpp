// Position: not yet served; each member answers E_NOTIMPL until it is built.
#include "Telescope.h"
#include "DriverCall.h"

HRESULT CTelescope::get_AlignmentMode(AlignmentModes*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_Altitude(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_Azimuth(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_Declination(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_RightAscension(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_SideOfPier(int*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_SideOfPier(int*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_SiderealTime(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_SiteElevation(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_SiteElevation(double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_SiteLatitude(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_SiteLatitude(double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_SiteLongitude(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_SiteLongitude(double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_UTCDate(DATE*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_UTCDate(DATE)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::DestinationSideOfPier(double, double)
{
    DriverCall call;
    return E_NOTIMPL;
}
