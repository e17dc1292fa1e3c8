// Tracking: not yet served; each member answers E_NOTIMPL until it is built.
#include "Telescope.h"
#include "DriverCall.h"

HRESULT CTelescope::get_DeclinationRate(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_DeclinationRate(double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_GuideRateDeclination(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_GuideRateDeclination(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_GuideRateRightAscension(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_GuideRateRightAscension(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_IsPulseGuiding(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_RightAscensionRate(double*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_RightAscensionRate(double)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_Tracking(VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_Tracking(VARIANT_BOOL)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_TrackingRate(TrackingModes*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::put_TrackingRate(TrackingModes*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::get_TrackingRates(TrackingModes*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::AxisRates(int)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::CanMoveAxis(int, VARIANT_BOOL*)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::MoveAxis(int, int)
{
    DriverCall call;
    return E_NOTIMPL;
}

HRESULT CTelescope::PulseGuide(GuideDirections, LONG)
{
    DriverCall call;
    return E_NOTIMPL;
}
