// Parking, unparking and the home search, and the settle time that the
// driver does not keep.
#include "Telescope.h"

#include "DriverCall.h"
#include "ErrorReport.h"
#include "MountState.h"
#include "Utilities.h"
#include "Waits.h"


namespace {

constexpr DWORD kHomePollMs = 200;

} // namespace

HRESULT CTelescope::get_AtHome(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    bool atHome = false;
    // Only model 3 can tell; the others are never reported at home.
    if (mount.model == 3) {
        link.command = ":AH#";
        exchangeAck();
        atHome = link.acknowledged();
    }
    return returnValue<VARIANT_BOOL>(value, atHome ? VARIANT_TRUE : VARIANT_FALSE);
}

HRESULT CTelescope::get_AtPark(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    // Model 3 knows better than we do; no answer counts as not parked.
    if (mount.model == 3) {
        parked = false;
        link.command = ":AP#";
        exchangeAck();
        if (link.acknowledged())
            parked = true;
    }
    return returnValue<VARIANT_BOOL>(value, parked ? VARIANT_TRUE : VARIANT_FALSE);
}

HRESULT CTelescope::Park()
{
    DriverCall call;
    switch (mount.model) {
    case 2:
        // Model 2 never answers its park command: sent is done.
        link.command = ":KA";
        sendCommand();
        break;
    case 3:
        // Home, then park; the park command follows at once, without
        // waiting for the mount to reach home.
        link.command = ":MH#";
        exchangeAck();
        if (!link.acknowledged())
            return driverFailure("Transmission error at Park!");
        link.command = ":MP1#";
        exchangeAck();
        if (!link.acknowledged())
            return driverFailure("Transmission error at Park!");
        break;
    default:
        link.command = ":PK#";
        exchangeAck();
        if (!link.acknowledged())
            return driverFailure("Transmission error at Park!");
        break;
    }
    parked = true;
    return S_OK;
}

HRESULT CTelescope::Unpark()
{
    DriverCall call;
    // The client asked to move on: whatever the mount says, we no longer
    // hold it back.
    parked = false;
    if (mount.model == 3) {
        link.command = ":MP0#";
        exchangeAck();
        if (!link.acknowledged())
            return driverFailure("Transmission error at Unpark!");
    } else if (mount.model == 2) {
        link.command = ":PO#";
        sendCommand();
    }
    // Model 1 has no unpark command: forgetting the park is all there is.
    return S_OK;
}

HRESULT CTelescope::SetPark()
{
    DriverCall call;
    return driverFailure("Do not support SetPark");
}

HRESULT CTelescope::FindHome()
{
    DriverCall call;
    if (parked)
        return driverFailure("Cannot FindHome when parking");
    if (mount.model != 3)
        return driverFailure("Do not support FindHome");
    link.command = ":MH#";
    exchangeAck();
    if (!link.acknowledged()) {
        // The client could do nothing about it; the log keeps the trace.
        logMessage("Transmission error in FindHome!");
        return S_OK;
    }
    // Wait for the mount to report home, but not forever: a lost link or a
    // failed search would otherwise hang the client.
    const DWORD limitMs = waitLimitMs(kHomeWaitLimitMs);
    WaitClock clock;
    link.command = ":AH#";
    for (;;) {
        exchangeAck();
        Sleep(kHomePollMs);
        if (link.acknowledged())
            return S_OK;
        if (clock.elapsedMs() >= limitMs)
            return failWaitedTooLong("report reaching home", limitMs);
    }
}

HRESULT CTelescope::get_SlewSettleTime(int* value)
{
    DriverCall call;
    // The driver keeps no settle time and adds no pause after a slew.
    return returnValue(value, 0);
}

HRESULT CTelescope::put_SlewSettleTime(int value)
{
    DriverCall call;
    if (value < 0)
        return driverError(kErrorInvalidValue);
    return S_OK;
}
