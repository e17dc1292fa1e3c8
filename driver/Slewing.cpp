// Pointing the mount: the target, the slews and their end, the abort, and
// the syncs that tell the mount where it points.
#include "Mount.h"

#include "Checks.h"
#include "Messages.h"
#include "MountModels.h"
#include "Utilities.h"
#include "Waits.h"

#include <cmath>
#include <cstdint>

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

constexpr std::uint32_t kSlewPollMs = 200;

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

// Whether the mount's answer to ":MS#" refuses an equatorial slew. Models
// differ in which answer that is; before detection none counts.
bool slewRefused(const MountModelRow& model, char answer)
{
    return model.slewRefusedAnswer != 0 && answer == model.slewRefusedAnswer;
}

} // namespace

// Right ascension, then declination; the declination is not sent when the
// mount did not take the right ascension.
bool Mount::sendEquatorialTarget(double rightAscension, double declination)
{
    AngleFields& angle = state->angle;
    splitAngle(rightAscension, angle);
    link.formatCommand(":Sr %02d:%02d:%02d#", angle.degrees, angle.minutes, angle.seconds);
    link.exchangeAck();
    if (!link.acknowledged())
        return false;
    splitAngle(declination, angle);
    link.formatCommand(":Sd %c%02d*%02d:%02d#", angle.sign, angle.degrees, angle.minutes, angle.seconds);
    link.exchangeAck();
    return link.acknowledged();
}

// Azimuth, then altitude, both checked by the caller. An azimuth within
// half a second of 360 rounds to 360:00:00, which the mount's range does
// not hold: it is north, sent as 00:00:00.
bool Mount::sendAltAzTarget(double azimuth, double altitude)
{
    AngleFields& angle = state->angle;
    splitAngle(azimuth, angle);
    if (angle.degrees >= kFullCircleDegrees)
        angle.degrees -= kFullCircleDegrees;
    link.formatCommand(":Sz %02d:%02d:%02d#", angle.degrees, angle.minutes, angle.seconds);
    link.exchangeAck();
    if (!link.acknowledged())
        return false;
    splitAngle(altitude, angle);
    link.formatCommand(":Sa %c%02d*%02d:%02d#", angle.sign, angle.degrees, angle.minutes, angle.seconds);
    link.exchangeAck();
    return link.acknowledged();
}

// The match step of a sync: the mount's whole answer must be the model's text.
bool Mount::matchCoordinates()
{
    const MountModelRow& row = model();
    link.command = row.syncCommand;
    link.sendCommand();
    link.readReply(row.syncReplyLength);
    return link.replyEquals(row.syncReply);
}

Outcome Mount::syncEquatorial(double rightAscension, double declination)
{
    if (!sendEquatorialTarget(rightAscension, declination) || !matchCoordinates())
        return Outcome::transmissionWarning(kSyncTransmissionError);
    return Outcome::success();
}

// Polls slewing() as a client would, 200 ms apart, until the slew is over
// or the bound has passed. A slew still running at the bound stays in
// progress: slewing() goes on telling the truth about it.
Outcome Mount::waitForSlewEnd()
{
    std::uint32_t limitMs = waitLimitMs(kSlewWaitLimitMs);
    WaitClock wait(clock);
    bool moving = false;
    slewing(moving);
    while (moving) {
        if (wait.elapsedMs() >= limitMs)
            return failWaitedTooLong(kWaitSlew, limitMs);
        slewing(moving);
        clock.sleepMs(kSlewPollMs);
    }
    return Outcome::success();
}

Outcome Mount::targetDeclination(double& value) const
{
    if (!targetDeclinationSet)
        return Outcome::numbered(kErrorValueNotSet);
    value = targetDeclinationValue;
    return Outcome::success();
}

Outcome Mount::setTargetDeclination(double value)
{
    if (!isDeclination(value))
        return Outcome::numbered(kErrorInvalidValue);
    targetDeclinationValue = value;
    targetDeclinationSet = true;
    return Outcome::success();
}

Outcome Mount::targetRightAscension(double& value) const
{
    if (!targetRightAscensionSet)
        return Outcome::numbered(kErrorValueNotSet);
    value = targetRightAscensionValue;
    return Outcome::success();
}

Outcome Mount::setTargetRightAscension(double value)
{
    if (!isRightAscension(value))
        return Outcome::numbered(kErrorInvalidValue);
    targetRightAscensionValue = value;
    targetRightAscensionSet = true;
    return Outcome::success();
}

Outcome Mount::slewing(bool& value)
{
    if (!slewInProgress) {
        value = false;
        return Outcome::success();
    }
    if (model().slewEnd == SlewEnd::ArrivalTest) {
        // The readers leave their last good reading in the two fields.
        double reading = 0.0;
        rightAscension(reading);
        declination(reading);
        // Written so that a difference that is not a number means slewing.
        bool arrived = rightAscensionApart(lastRightAscension, targetRightAscensionValue)
                           < kArrivalRightAscension - kArrivalMargin
            && std::fabs(lastDeclination - targetDeclinationValue) < kArrivalDeclination - kArrivalMargin;
        if (arrived)
            slewInProgress = false;
    } else {
        link.command = ":SE?#";
        link.exchangeAck();
        // Anything but "1", silence included, ends the slew.
        if (!link.acknowledged())
            slewInProgress = false;
    }
    value = slewInProgress;
    return Outcome::success();
}

Outcome Mount::abortSlew()
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedAbortSlew);
    bool wasTracking = false;
    Outcome known = tracking(wasTracking);
    // Without a known state there is nothing sound to restore.
    return stopAndRestoreTracking(known.succeeded() ? std::optional<bool>(wasTracking) : std::nullopt);
}

Outcome Mount::abortSlewRestoringTracking(bool wasTracking)
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedAbortSlew);
    return stopAndRestoreTracking(wasTracking);
}

Outcome Mount::stopAndRestoreTracking(std::optional<bool> wasTracking)
{
    link.command = ":Q#";
    if (model().abortAcknowledged)
        link.exchangeAck();
    else
        link.sendCommand();
    // A model that cannot be asked has stopped short of the target, which
    // its arrival test would wait for forever: the slew is over. The others
    // go on asking until the mount says it has stopped.
    if (model().slewEnd == SlewEnd::ArrivalTest)
        slewInProgress = false;
    // ":Q#" stops tracking as well on these mounts: restore what it was.
    if (wasTracking)
        setTracking(*wasTracking);
    return Outcome::success();
}

Outcome Mount::slewToAltAz(double azimuth, double altitude)
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSlewToAltAz);
    if (!model().canSlewAltAz)
        return Outcome::numbered(kErrorNotSupported);
    Outcome started = slewToAltAzAsync(azimuth, altitude);
    // A warning too ends it here: the slew may not have begun.
    if (!started.isSuccess())
        return started;
    return waitForSlewEnd();
}

Outcome Mount::slewToAltAzAsync(double azimuth, double altitude)
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSlewToAltAz);
    if (!model().canSlewAltAz)
        return Outcome::numbered(kErrorNotSupported);
    if (!isAzimuth(azimuth) || !isAltitude(altitude))
        return Outcome::numbered(kErrorInvalidValue);
    if (!sendAltAzTarget(azimuth, altitude))
        return Outcome::transmissionWarning(kAltAzSlewTransmissionError);
    link.command = ":MS#";
    link.exchangeAck();
    char answer = link.replyFirst();
    if (answer != 0 && answer == model().altAzSlewStartedAnswer) {
        slewInProgress = true;
        return Outcome::success();
    }
    if (slewRefused(model(), answer))
        return Outcome::failure(OutcomeKind::InvalidOperation, kHorizonBelow);
    return Outcome::transmissionWarning(kAltAzSlewTransmissionError);
}

Outcome Mount::slewToCoordinates(double rightAscension, double declination)
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSlew);
    Outcome started = slewToCoordinatesAsync(rightAscension, declination);
    if (!started.isSuccess())
        return started;
    return waitForSlewEnd();
}

Outcome Mount::slewToCoordinatesAsync(double rightAscension, double declination)
{
    // Checked before anything is stored: a refused value never becomes the
    // target of a later slewToTarget.
    if (!isRightAscension(rightAscension) || !isDeclination(declination))
        return Outcome::numbered(kErrorInvalidValue);
    // Stored even when the mount is parked: the client's target stands.
    targetRightAscensionValue = rightAscension;
    targetDeclinationValue = declination;
    targetRightAscensionSet = true;
    targetDeclinationSet = true;
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSlew);
    return slewToTargetAsync();
}

Outcome Mount::slewToTarget()
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSlew);
    Outcome started = slewToTargetAsync();
    if (!started.isSuccess())
        return started;
    return waitForSlewEnd();
}

Outcome Mount::slewToTargetAsync()
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSlewAsync);
    // A target never given has no value worth sending.
    if (!targetRightAscensionSet || !targetDeclinationSet)
        return Outcome::numbered(kErrorValueNotSet);
    if (!sendEquatorialTarget(targetRightAscensionValue, targetDeclinationValue))
        return Outcome::transmissionWarning(kSlewTransmissionError);
    link.command = ":MS#";
    link.exchangeAck();
    if (slewRefused(model(), link.replyFirst()))
        return Outcome::failure(OutcomeKind::InvalidOperation, kHorizonBelow);
    slewInProgress = true;
    return Outcome::success();
}

Outcome Mount::syncToAltAz(double azimuth, double altitude)
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSync);
    if (!model().canSyncAltAz)
        return Outcome::failure(OutcomeKind::NotImplemented, kNoSyncAltAz);
    if (!isAzimuth(azimuth) || !isAltitude(altitude))
        return Outcome::numbered(kErrorInvalidValue);
    if (!sendAltAzTarget(azimuth, altitude) || !matchCoordinates())
        return Outcome::transmissionWarning(kAltAzSyncTransmissionError);
    return Outcome::success();
}

Outcome Mount::syncToCoordinates(double rightAscension, double declination)
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSync);
    if (!isRightAscension(rightAscension) || !isDeclination(declination))
        return Outcome::numbered(kErrorInvalidValue);
    // The values become the target, but the flags keep what they were: the
    // client never set a target by syncing. So the sync goes straight to the
    // mount rather than through syncToTarget's check for a set target.
    targetRightAscensionValue = rightAscension;
    targetDeclinationValue = declination;
    return syncEquatorial(targetRightAscensionValue, targetDeclinationValue);
}

Outcome Mount::syncToTarget()
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedSync);
    if (!targetRightAscensionSet || !targetDeclinationSet)
        return Outcome::numbered(kErrorValueNotSet);
    return syncEquatorial(targetRightAscensionValue, targetDeclinationValue);
}
