// Pointing the mount: the target, the slews and their end, the abort, and
// the syncs: the COM side.
#include "Telescope.h"

#include "ComResults.h"

HRESULT CTelescope::get_TargetDeclination(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::targetDeclination));
}

HRESULT CTelescope::put_TargetDeclination(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setTargetDeclination(value)));
}

HRESULT CTelescope::get_TargetRightAscension(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::targetRightAscension));
}

HRESULT CTelescope::put_TargetRightAscension(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setTargetRightAscension(value)));
}

HRESULT CTelescope::get_Slewing(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::slewing));
}

HRESULT CTelescope::AbortSlew()
{
    DriverCall call;
    return call.result(comStatus(core.abortSlew()));
}

HRESULT CTelescope::SlewToAltAz(double Azi, double Alt)
{
    DriverCall call;
    return call.result(comStatus(core.slewToAltAz(Azi, Alt)));
}

HRESULT CTelescope::SlewToAltAzAsync(double Azi, double Alt)
{
    DriverCall call;
    return call.result(comStatus(core.slewToAltAzAsync(Azi, Alt)));
}

HRESULT CTelescope::SlewToCoordinates(double RightAscension, double Declination)
{
    DriverCall call;
    return call.result(comStatus(core.slewToCoordinates(RightAscension, Declination)));
}

HRESULT CTelescope::SlewToCoordinatesAsync(double RightAscension, double Declination)
{
    DriverCall call;
    return call.result(comStatus(core.slewToCoordinatesAsync(RightAscension, Declination)));
}

HRESULT CTelescope::SlewToTarget()
{
    DriverCall call;
    return call.result(comStatus(core.slewToTarget()));
}

HRESULT CTelescope::SlewToTargetAsync()
{
    DriverCall call;
    return call.result(comStatus(core.slewToTargetAsync()));
}

HRESULT CTelescope::SyncToAltAz(double Azi, double Alt)
{
    DriverCall call;
    return call.result(comStatus(core.syncToAltAz(Azi, Alt)));
}

HRESULT CTelescope::SyncToCoordinates(double RightAscension, double Declination)
{
    DriverCall call;
    return call.result(comStatus(core.syncToCoordinates(RightAscension, Declination)));
}

HRESULT CTelescope::SyncToTarget()
{
    DriverCall call;
    return call.result(comStatus(core.syncToTarget()));
}
