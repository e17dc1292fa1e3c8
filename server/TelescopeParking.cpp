// Parking, unparking and the home search: the COM side.
#include "Telescope.h"

#include "ComResults.h"

HRESULT CTelescope::get_AtHome(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::atHome));
}

HRESULT CTelescope::get_AtPark(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::atPark));
}

HRESULT CTelescope::Park()
{
    DriverCall call;
    return call.result(comStatus(core.park()));
}

HRESULT CTelescope::Unpark()
{
    DriverCall call;
    return call.result(comStatus(core.unpark()));
}

HRESULT CTelescope::SetPark()
{
    DriverCall call;
    return call.result(comStatus(core.setPark()));
}

HRESULT CTelescope::FindHome()
{
    DriverCall call;
    return call.result(comStatus(core.findHome()));
}

HRESULT CTelescope::get_SlewSettleTime(int* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::slewSettleTime));
}

HRESULT CTelescope::put_SlewSettleTime(int value)
{
    DriverCall call;
    return call.result(comStatus(core.setSlewSettleTime(value)));
}
