// Parking: not yet served; each member answers E_NOTIMPL until it is built.
#include "Telescope.h"
#include "DriverCall.h"

HRESULT CTelescope::get_AtHome(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_AtPark(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_SlewSettleTime(int*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_SlewSettleTime(int)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::FindHome()
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::Park()
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::SetPark()
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::Unpark()
{
    DriverCall call;
    return E_NOTIMPL;
}
