// Pointing the mount: the target, the slews and their end, the abort, and
// the syncs that tell the mount where it points.
#include "Telescope.h"

#include "Checks.h"
#include "DriverCall.h"
#include "ErrorReport.h"
#include "Messages.h"
#include "MountModels.h"
#include "MountState.h"
#include "Utilities.h"
#include "Waits.h"

#include <cmath>

namespace {

constexpr double kHoursPerDay = 24.0;
constexpr double kLowestDeclination = -90.0;
constexpr double kHighestDeclination = 90.0;
constexpr int kFullCircleDegrees = 360;
constexpr double kLowestAltitude = -90.0;
constexpr double kHighestAltitude = 90.0;

// Model 2 cannot say whether it is slewing: it has arrived once its position
// is within 4 s of time and 1' of arc of the target. A difference of exactly
// the tolerance still counts as slewing; the margin keeps that true whatever
// the binary rounding of the hour and degree conversions.
constexpr double kArrivalRightAscension = 1.0 / 900.0;
constexpr double kArrivalDeclination = 1.0 / 60.0;
constexpr double kArrivalMargin = 1e-9;

constexpr DWORD kSlewPollMs = 200;

// A transmission error returns 2: the call looks successful to an
// automation client, while the thread's error information holds the text.
constexpr HRESULT kTransmissionResult = 2;

bool isRightAscension(double hours)
{
    return isUsableNumber(hours) && hours >= 0.0 && hours < kHoursPerDay;
}

bool isDeclination(double degrees)
{
    return isWithin(degrees, kLowestDeclination, kHighestDeclination);
}

// Azimuth runs from north through east, 360 itself being north again.
bool isAzimuth(double degrees)
{
    return isUsableNumber(degrees) && degrees >= 0.0 && degrees < kFullCircleDegrees;
}

bool isAltitude(double degrees)
{
    return isWithin(degrees, kLowestAltitude, kHighestAltitude);
}

// Right ascension is a circle: 23:59:58 and 00:00:01 are 3 s apart.
double rightAscensionApart(double a, double b)
{
    double apart = std::fabs(a - b);
    return apart > kHoursPerDay / 2 ? kHoursPerDay - apart : apart;
}

// Right ascension, then declination; the declination is not sent when the
// mount did not take the right ascension.
bool sendEquatorialTarget(CommandChannel& link, double rightAscension, double declination)
{
    splitAngle(rightAscension);
    link.formatCommand(":Sr %02d:%02d:%02d#", mount.angleDegrees, mount.angleMinutes, mount.angleSeconds);
    link.exchangeAck();
    if (!link.acknowledged())
        return false;
    splitAngle(declination);
    link.formatCommand(":Sd %c%02d*%02d:%02d#", mount.angleSign, mount.angleDegrees, mount.angleMinutes,
                       mount.angleSeconds);
    link.exchangeAck();
    return link.acknowledged();
}

// Azimuth, then altitude, both checked by the caller. An azimuth within
// half a second of 360 rounds to 360:00:00, which the mount's range does
// not hold: it is north, sent as 00:00:00.
bool sendAltAzTarget(CommandChannel& link, double azimuth, double altitude)
{
    splitAngle(azimuth);
    if (mount.angleDegrees >= kFullCircleDegrees)
        mount.angleDegrees -= kFullCircleDegrees;
    link.formatCommand(":Sz %02d:%02d:%02d#", mount.angleDegrees, mount.angleMinutes, mount.angleSeconds);
    link.exchangeAck();
    if (!link.acknowledged())
        return false;
    splitAngle(altitude);
    link.formatCommand(":Sa %c%02d*%02d:%02d#", mount.angleSign, mount.angleDegrees, mount.angleMinutes,
                       mount.angleSeconds);
    link.exchangeAck();
    return link.acknowledged();
}

// Whether the mount's answer to ":MS#" refuses an equatorial slew. Models
// differ in which answer that is; before detection none counts.
bool slewRefused(const MountModelRow& model, char answer)
{
    return model.slewRefusedAnswer != 0 && answer == model.slewRefusedAnswer;
}

// The match step of a sync: the mount's whole answer must be the model's text.
bool matchCoordinates(CommandChannel& link, const MountModelRow& model)
{
    link.command = model.syncCommand;
    link.sendCommand();
    link.readReply(model.syncReplyLength);
    return link.replyEquals(model.syncReply);
}

HRESULT syncEquatorial(CommandChannel& link, double rightAscension, double declination)
{
    if (!sendEquatorialTarget(link, rightAscension, declination) || !matchCoordinates(link, detectedModel()))
        return driverFailure(kSyncTransmissionError, kTransmissionResult);
    return S_OK;
}

// Polls Slewing as a client would, 200 ms apart, until the slew is over or
// the bound has passed. A slew still running at the bound stays in progress:
// Slewing goes on telling the truth about it.
HRESULT waitForSlewEnd(ITelescopeV3& telescope)
{
    DWORD limitMs = waitLimitMs(kSlewWaitLimitMs);
    WaitClock clock;
    VARIANT_BOOL slewing = VARIANT_FALSE;
    telescope.get_Slewing(&slewing);
    while (slewing != VARIANT_FALSE) {
        if (clock.elapsedMs() >= limitMs)
            return failWaitedTooLong(kWaitSlew, limitMs);
        telescope.get_Slewing(&slewing);
        Sleep(kSlewPollMs);
    }
    return S_OK;
}

} // namespace

HRESULT CTelescope::get_TargetDeclination(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    if (!targetDeclinationSet)
        return call.result(driverError(kErrorValueNotSet));
    return call.result(returnValue(value, targetDeclination));
}

HRESULT CTelescope::put_TargetDeclination(double value)
{
    DriverCall call;
    if (!isDeclination(value))
        return call.result(driverError(kErrorInvalidValue));
    targetDeclination = value;
    targetDeclinationSet = true;
    return call.result(S_OK);
}

HRESULT CTelescope::get_TargetRightAscension(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    if (!targetRightAscensionSet)
        return call.result(driverError(kErrorValueNotSet));
    return call.result(returnValue(value, targetRightAscension));
}

HRESULT CTelescope::put_TargetRightAscension(double value)
{
    DriverCall call;
    if (!isRightAscension(value))
        return call.result(driverError(kErrorInvalidValue));
    targetRightAscension = value;
    targetRightAscensionSet = true;
    return call.result(S_OK);
}

HRESULT CTelescope::get_Slewing(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    if (!slewInProgress)
        return call.result(returnValue<VARIANT_BOOL>(value, VARIANT_FALSE));
    if (detectedModel().slewEnd == SlewEnd::ArrivalTest) {
        // The getters leave their last good reading in the two fields.
        double reading = 0.0;
        get_RightAscension(&reading);
        get_Declination(&reading);
        // Written so that a difference that is not a number means slewing.
        bool arrived = rightAscensionApart(lastRightAscension, targetRightAscension)
                           < kArrivalRightAscension - kArrivalMargin
            && std::fabs(lastDeclination - targetDeclination) < kArrivalDeclination - kArrivalMargin;
        if (arrived)
            slewInProgress = false;
    } else {
        link.command = ":SE?#";
        link.exchangeAck();
        // Anything but "1", silence included, ends the slew.
        if (!link.acknowledged())
            slewInProgress = false;
    }
    return call.result(returnValue<VARIANT_BOOL>(value, slewInProgress ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT CTelescope::AbortSlew()
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedAbortSlew));
    VARIANT_BOOL wasTracking = VARIANT_FALSE;
    HRESULT known = get_Tracking(&wasTracking);
    link.command = ":Q#";
    if (detectedModel().abortAcknowledged)
        link.exchangeAck();
    else
        link.sendCommand();
    // ":Q#" stops tracking as well on these mounts: restore what it was.
    // Without a known state there is nothing sound to restore.
    if (SUCCEEDED(known))
        put_Tracking(wasTracking);
    return call.result(S_OK);
}

HRESULT CTelescope::SlewToAltAz(double Azi, double Alt)
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedSlewToAltAz));
    if (!detectedModel().canSlewAltAz)
        return call.result(driverError(kErrorNotSupported));
    HRESULT started = SlewToAltAzAsync(Azi, Alt);
    if (started != S_OK)
        return call.result(started);
    return call.result(waitForSlewEnd(*this));
}

HRESULT CTelescope::SlewToAltAzAsync(double Azi, double Alt)
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedSlewToAltAz));
    if (!detectedModel().canSlewAltAz)
        return call.result(driverError(kErrorNotSupported));
    if (!isAzimuth(Azi) || !isAltitude(Alt))
        return call.result(driverError(kErrorInvalidValue));
    if (!sendAltAzTarget(link, Azi, Alt))
        return call.result(driverFailure(kAltAzSlewTransmissionError, kTransmissionResult));
    link.command = ":MS#";
    link.exchangeAck();
    switch (link.replyFirst()) {
    case '0':
        slewInProgress = true;
        return call.result(S_OK);
    case '1':
        return call.result(driverFailure(kHorizonBelow));
    default:
        return call.result(driverFailure(kAltAzSlewTransmissionError, kTransmissionResult));
    }
}

HRESULT CTelescope::SlewToCoordinates(double RightAscension, double Declination)
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedSlew));
    HRESULT started = SlewToCoordinatesAsync(RightAscension, Declination);
    if (started != S_OK)
        return call.result(started);
    return call.result(waitForSlewEnd(*this));
}

HRESULT CTelescope::SlewToCoordinatesAsync(double RightAscension, double Declination)
{
    DriverCall call;
    // Checked before anything is stored: a refused value never becomes the
    // target of a later SlewToTarget.
    if (!isRightAscension(RightAscension) || !isDeclination(Declination))
        return call.result(driverError(kErrorInvalidValue));
    // Stored even when the mount is parked: the client's target stands.
    targetRightAscension = RightAscension;
    targetDeclination = Declination;
    targetRightAscensionSet = true;
    targetDeclinationSet = true;
    if (parked)
        return call.result(driverFailure(kParkedSlew));
    return call.result(SlewToTargetAsync());
}

HRESULT CTelescope::SlewToTarget()
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedSlew));
    HRESULT started = SlewToTargetAsync();
    if (started != S_OK)
        return call.result(started);
    return call.result(waitForSlewEnd(*this));
}

HRESULT CTelescope::SlewToTargetAsync()
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedSlewAsync));
    // A target never given has no value worth sending.
    if (!targetRightAscensionSet || !targetDeclinationSet)
        return call.result(driverError(kErrorValueNotSet));
    if (!sendEquatorialTarget(link, targetRightAscension, targetDeclination))
        return call.result(driverFailure(kSlewTransmissionError, kTransmissionResult));
    link.command = ":MS#";
    link.exchangeAck();
    if (slewRefused(detectedModel(), link.replyFirst()))
        return call.result(driverFailure(kHorizonBelow));
    slewInProgress = true;
    return call.result(S_OK);
}

HRESULT CTelescope::SyncToAltAz(double Azi, double Alt)
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedSync));
    if (!detectedModel().canSyncAltAz)
        return call.result(driverFailure(kNoSyncAltAz));
    if (!isAzimuth(Azi) || !isAltitude(Alt))
        return call.result(driverError(kErrorInvalidValue));
    if (!sendAltAzTarget(link, Azi, Alt) || !matchCoordinates(link, detectedModel()))
        return call.result(driverFailure(kAltAzSyncTransmissionError, kTransmissionResult));
    return call.result(S_OK);
}

HRESULT CTelescope::SyncToCoordinates(double RightAscension, double Declination)
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedSync));
    if (!isRightAscension(RightAscension) || !isDeclination(Declination))
        return call.result(driverError(kErrorInvalidValue));
    // The values become the target, but the flags keep what they were: the
    // client never set a target by syncing. So the sync goes straight to the
    // mount rather than through SyncToTarget's check for a set target.
    targetRightAscension = RightAscension;
    targetDeclination = Declination;
    return call.result(syncEquatorial(link, targetRightAscension, targetDeclination));
}

HRESULT CTelescope::SyncToTarget()
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedSync));
    if (!targetRightAscensionSet || !targetDeclinationSet)
        return call.result(driverError(kErrorValueNotSet));
    return call.result(syncEquatorial(link, targetRightAscension, targetDeclination));
}
