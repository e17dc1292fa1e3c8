// Parking, unparking and the home search: the COM side.
#include "Telescope.h"

#include "ComResults.h"

HRESULT CTelescope::get_AtHome(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    bool home = false;
    Outcome outcome = core.atHome(home);
    return call.result(comAnswer(outcome, value, home));
}

HRESULT CTelescope::get_AtPark(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    bool parked = false;
    Outcome outcome = core.atPark(parked);
    return call.result(comAnswer(outcome, value, parked));
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
    int seconds = 0;
    Outcome outcome = core.slewSettleTime(seconds);
    return call.result(comAnswer(outcome, value, seconds));
}

HRESULT CTelescope::put_SlewSettleTime(int value)
{
    DriverCall call;
    return call.result(comStatus(core.setSlewSettleTime(value)));
}
