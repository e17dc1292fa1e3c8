// Parking, unparking and the home search, and the settle time that the
// driver does not keep.
#include "Telescope.h"

#include "DriverCall.h"
#include "ErrorReport.h"
#include "Messages.h"
#include "MountModels.h"
#include "Utilities.h"
#include "Waits.h"

namespace {

constexpr DWORD kHomePollMs = 200;

// An acknowledged command needs the mount's "1"; another is done once sent.
bool sendModelCommand(CommandChannel& link, const ModelCommand& command)
{
    link.command = command.text;
    if (!command.acknowledged) {
        link.sendCommand();
        return true;
    }
    link.exchangeAck();
    return link.acknowledged();
}

} // namespace

HRESULT CTelescope::get_AtHome(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    bool atHome = false;
    // Only a model that can be asked is ever reported at home.
    if (const char* query = detectedModel().homeQuery) {
        link.command = query;
        link.exchangeAck();
        atHome = link.acknowledged();
    }
    return call.result(returnValue<VARIANT_BOOL>(value, atHome ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT CTelescope::get_AtPark(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    // A mount that can be asked knows better than we do; no answer counts
    // as not parked.
    if (const char* query = detectedModel().parkQuery) {
        parked = false;
        link.command = query;
        link.exchangeAck();
        if (link.acknowledged())
            parked = true;
    }
    return call.result(returnValue<VARIANT_BOOL>(value, parked ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT CTelescope::Park()
{
    DriverCall call;
    // The model's steps in order (home, then park, on a model with two),
    // each sent at once after the one before was accepted. An unanswered
    // park command is done once sent.
    for (const ModelCommand& step : detectedModel().park) {
        if (!step.text)
            break;
        if (!sendModelCommand(link, step))
            return call.result(driverFailure(kParkTransmissionError));
    }
    parked = true;
    return call.result(S_OK);
}

HRESULT CTelescope::Unpark()
{
    DriverCall call;
    // The client asked to move on: whatever the mount says, we no longer
    // hold it back.
    parked = false;
    // Without an unpark command, forgetting the park is all there is.
    const ModelCommand& unpark = detectedModel().unpark;
    if (unpark.text && !sendModelCommand(link, unpark))
        return call.result(driverFailure(kUnparkTransmissionError));
    return call.result(S_OK);
}

HRESULT CTelescope::SetPark()
{
    DriverCall call;
    return call.result(driverFailure(kNoSetPark));
}

HRESULT CTelescope::FindHome()
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedFindHome));
    const MountModelRow& model = detectedModel();
    if (!model.canFindHome)
        return call.result(driverFailure(kNoFindHome));
    link.command = model.homeSearch;
    link.exchangeAck();
    if (!link.acknowledged()) {
        // The client could do nothing about it; the log keeps the trace.
        logMessage(kLogFindHomeFailure);
        return call.result(S_OK);
    }
    // Wait for the mount to report home, but not forever: a lost link or a
    // failed search would otherwise hang the client.
    const DWORD limitMs = waitLimitMs(kHomeWaitLimitMs);
    WaitClock clock;
    link.command = model.homeQuery;
    for (;;) {
        link.exchangeAck();
        Sleep(kHomePollMs);
        if (link.acknowledged())
            return call.result(S_OK);
        if (clock.elapsedMs() >= limitMs)
            return call.result(failWaitedTooLong(kWaitHome, limitMs));
    }
}

HRESULT CTelescope::get_SlewSettleTime(int* value)
{
    DriverCall call;
    // The driver keeps no settle time and adds no pause after a slew.
    return call.result(returnValue(value, 0));
}

HRESULT CTelescope::put_SlewSettleTime(int value)
{
    DriverCall call;
    if (value < 0)
        return call.result(driverError(kErrorInvalidValue));
    return call.result(S_OK);
}
