// How the mount follows the sky and how a guiding program nudges it:
// tracking and its rate, the guide rates, pulse guiding, and the offset
// rates and manual motion that the mounts do not offer.
#include "Telescope.h"

#include "Checks.h"
#include "DriverCall.h"
#include "ErrorReport.h"
#include "Messages.h"
#include "MountModels.h"
#include "MountState.h"
#include "ReplyScan.h"
#include "Utilities.h"

#include <cmath>

namespace {

// The mount states its guide rate as a fraction of a sidereal rate taken
// as 15 arcseconds per second: degrees per second = fraction / 240.
constexpr double kSiderealFractionPerDegreePerSecond = 240.0;
// The set command carries percent of that rate: degrees per second x 24000.
constexpr double kPercentPerDegreePerSecond = 24000.0;
// ":RG%03ld#" has room for three digits and no sign.
constexpr double kHighestGuidePercent = 999.0;

constexpr int kGuideRateTries = 2;
constexpr std::uint32_t kFractionReplyLength = 5;
// A fraction answer inside this window ends the tries; only the narrower
// window below is then taken as the mount's rate.
constexpr double kGuideRateRetryLow = 0.095;
constexpr double kGuideRateUsableLow = 0.195;
constexpr double kGuideRateHigh = 1.005;
// Without a usable answer: half the sidereal rate, or the whole of it on a
// model that answers in steps.
constexpr double kUnknownGuideFraction = 0.5;
constexpr double kUnknownStepFraction = 1.0;
// A step answer is a digit n for a rate of 1 - 0.2 n.
constexpr double kFractionStep = 0.2;

constexpr LONG kLongestPulseMs = 32767;
// Pulses in pieces: at most 999 ms per command; each piece is sent once the
// mount has nearly finished the one before.
constexpr LONG kLongestPieceMs = 999;
constexpr DWORD kPieceLeadMs = 800;
constexpr LONG kLastPieceLeadMs = 200;
// Pulses from a backlog: the mount moves in steps of 100 ms.
constexpr LONG kBacklogStepMs = 100;
constexpr double kBacklogRoundingMs = 49.9;

constexpr char kDirectionLetters[] = {'n', 's', 'e', 'w'};
constexpr int kGuideDirections = 4;

// North and south, east and west are the pairs that cancel.
int opposite(int direction)
{
    return direction ^ 1;
}

// The system clock as seconds since 1970 and their milliseconds.
ClockSample readClock()
{
    constexpr std::int64_t kTicksPerMillisecond = 10000;
    constexpr std::int64_t kMillisecondsFrom1601To1970 = 11644473600000LL;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    std::int64_t ticks = (std::int64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    std::int64_t milliseconds = ticks / kTicksPerMillisecond - kMillisecondsFrom1601To1970;
    ClockSample sample;
    sample.seconds = milliseconds / 1000;
    sample.milliseconds = static_cast<std::uint16_t>(milliseconds % 1000);
    return sample;
}

} // namespace

HRESULT CTelescope::get_DeclinationRate(double* value)
{
    DriverCall call;
    return call.result(returnValue(value, 0.0));
}

HRESULT CTelescope::put_DeclinationRate(double)
{
    DriverCall call;
    return call.result(driverFailure(kNoDeclinationRate));
}

HRESULT CTelescope::get_RightAscensionRate(double* value)
{
    DriverCall call;
    return call.result(returnValue(value, 0.0));
}

HRESULT CTelescope::put_RightAscensionRate(double)
{
    DriverCall call;
    return call.result(driverFailure(kNoRightAscensionRate));
}

HRESULT CTelescope::get_GuideRateDeclination(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    // A model that cannot be asked guides at half the sidereal rate.
    double fraction = kUnknownGuideFraction;
    GuideRateReading reading = detectedModel().guideRate;
    if (reading == GuideRateReading::Fraction) {
        link.command = ":AG#";
        for (int tries = 0; tries < kGuideRateTries; ++tries) {
            link.sendCommand();
            link.readReply(kFractionReplyLength);
            scanReply(link.reply, "%lf#", &fraction);
            if (fraction > kGuideRateRetryLow && fraction < kGuideRateHigh)
                break;
        }
        if (!(fraction >= kGuideRateUsableLow && fraction <= kGuideRateHigh)) {
            logMessage(kLogGuideRateReadFailure);
            fraction = kUnknownGuideFraction;
        }
    } else if (reading == GuideRateReading::Step) {
        link.command = ":GGS#";
        bool understood = false;
        for (int tries = 0; tries < kGuideRateTries && !understood; ++tries) {
            link.sendCommand();
            link.readReply(1);
            char digit = link.replyFirst();
            if (digit >= '0' && digit <= '3') {
                fraction = 1.0 - (digit - '0') * kFractionStep;
                understood = true;
            }
        }
        if (!understood) {
            logMessage(kLogGuideRateReadFailure);
            fraction = kUnknownStepFraction;
        }
    }
    return call.result(returnValue(value, fraction / kSiderealFractionPerDegreePerSecond));
}

HRESULT CTelescope::put_GuideRateDeclination(double* value)
{
    DriverCall call;
    if (!detectedModel().canSetGuideRates)
        return call.result(driverFailure(kGuideRateSetFailure));
    if (!value)
        return call.result(E_POINTER);
    // Refused before formatting: a rate whose percent needs a sign or a
    // fourth digit would not be the command the mount knows.
    double rate = *value;
    if (!isUsableNumber(rate) || rate < 0.0)
        return call.result(driverError(kErrorInvalidValue));
    double percent = std::trunc(rate * kPercentPerDegreePerSecond + 0.5);
    if (percent > kHighestGuidePercent)
        return call.result(driverError(kErrorInvalidValue));
    link.formatCommand(":RG%03ld#", static_cast<long>(percent));
    link.exchangeAck();
    // The client cannot do better with a rate the mount would not take.
    if (link.replyFirst() != '1')
        logMessage(kGuideRateSetFailure);
    return call.result(S_OK);
}

// The mount has one guide rate for both axes.
HRESULT CTelescope::get_GuideRateRightAscension(double* value)
{
    DriverCall call;
    return call.result(get_GuideRateDeclination(value));
}

HRESULT CTelescope::put_GuideRateRightAscension(double* value)
{
    DriverCall call;
    return call.result(put_GuideRateDeclination(value));
}

HRESULT CTelescope::get_Tracking(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    bool on = tracking;
    // A model that can be asked knows whether it tracks; the others only
    // hear what we said.
    if (const char* query = detectedModel().trackingQuery) {
        link.command = query;
        link.exchangeAck();
        on = link.acknowledged();
    }
    return call.result(returnValue<VARIANT_BOOL>(value, on ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT CTelescope::put_Tracking(VARIANT_BOOL value)
{
    DriverCall call;
    bool on = value == VARIANT_TRUE;
    const MountModelRow& model = detectedModel();
    // A model that remembers no rate starts at the one TrackingRate put chose.
    link.command = on ? model.trackingStart[trackingRateSlot(trackingRateIndex)] : model.trackingStop;
    if (model.trackingAcknowledged) {
        link.exchangeAck();
        if (link.acknowledged())
            tracking = on;
    } else {
        link.sendCommand();
        tracking = on;
    }
    return call.result(S_OK);
}

HRESULT CTelescope::get_TrackingRate(TrackingModes* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    TrackingModes rate = driveSidereal;
    const MountModelRow& model = detectedModel();
    if (model.trackingRateQuery) {
        link.command = model.trackingRateQuery;
        link.sendCommand();
        link.readReply(1);
        // The rate whose code the mount answered; sidereal for any other.
        char code = link.replyFirst();
        for (int known = 0; code != 0 && known < int(sizeof model.trackingRateCodes); ++known)
            if (model.trackingRateCodes[known] == code)
                rate = static_cast<TrackingModes>(known);
    } else {
        // A model that cannot be asked: the rate last chosen is the answer.
        if (trackingRateIndex == driveLunar || trackingRateIndex == driveSolar)
            rate = static_cast<TrackingModes>(trackingRateIndex);
    }
    return call.result(returnValue(value, rate));
}

HRESULT CTelescope::put_TrackingRate(TrackingModes* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    int rate = *value;
    // The command has one digit for the rate: anything but a rate the
    // interface names would reach the mount as garbage.
    if (rate < driveSidereal || rate > driveCustom)
        return call.result(driverError(kErrorInvalidValue));
    if (const char* command = detectedModel().trackingRateCommand) {
        link.formatCommand(command, rate);
        link.exchangeAck();
    } else {
        // Sent with the next Tracking put true.
        trackingRateIndex = rate;
    }
    return call.result(S_OK);
}

HRESULT CTelescope::get_TrackingRates(TrackingModes* value)
{
    DriverCall call;
    return call.result(returnValue(value, driveSidereal));
}

HRESULT CTelescope::PulseGuide(GuideDirections direction, LONG duration)
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedPulseGuide));
    const MountModelRow& model = detectedModel();
    if (!model.canPulseGuide)
        return call.result(driverFailure(kNoPulseGuideAltAz));
    // No letter and no backlog slot for any other direction.
    int way = direction;
    if (way < 0 || way >= kGuideDirections)
        return call.result(driverError(kErrorInvalidValue));
    if (duration <= 0)
        return call.result(S_OK);

    // Through our own interface, as a client would; their results do not
    // stop the pulse.
    ITelescopeV3* self = this;
    if (!mount.connected)
        self->put_Connected(VARIANT_TRUE);
    if (!tracking)
        self->put_Tracking(VARIANT_TRUE);

    if (duration > kLongestPulseMs)
        duration = kLongestPulseMs;
    char letter = kDirectionLetters[way];
    pulseDuration = duration / 1000.0;
    mount.clockSample = readClock();
    pulseStartTime = mount.clockSample.seconds;
    pulseStartMillis = mount.clockSample.milliseconds;

    if (model.pulseGuiding == PulseGuiding::Pieces) {
        LONG remaining = duration;
        while (remaining > kLongestPieceMs) {
            link.formatCommand(":M%c%03ld#", letter, static_cast<long>(kLongestPieceMs));
            Sleep(kPieceLeadMs);
            link.sendCommand();
            remaining -= kLongestPieceMs;
        }
        link.formatCommand(":M%c%03ld#", letter, static_cast<long>(remaining));
        if (remaining > kLastPieceLeadMs)
            Sleep(static_cast<DWORD>(remaining - kLastPieceLeadMs));
        link.sendCommand();
    } else if (model.pulseGuiding == PulseGuiding::Backlog) {
        std::int32_t& ahead = guideBacklog[way];
        std::int32_t& behind = guideBacklog[opposite(way)];
        ahead += duration;
        if (ahead > behind) {
            ahead -= behind;
            behind = 0;
        } else {
            behind -= ahead;
            ahead = 0;
        }
        // The nearest whole step; an exact half goes to the lower one.
        long sent = static_cast<long>(std::trunc((ahead + kBacklogRoundingMs) / kBacklogStepMs)) * kBacklogStepMs;
        ahead -= sent;
        if (ahead < 0) {
            behind = -ahead;
            ahead = 0;
        }
        if (sent > 0) {
            link.formatCommand(":M%c%05ld#", letter, sent);
            link.sendCommand();
        }
    }
    return call.result(S_OK);
}

HRESULT CTelescope::get_IsPulseGuiding(VARIANT_BOOL* value)
{
    DriverCall call;
    if (!detectedModel().canPulseGuide)
        return call.result(driverFailure(kNoPulseGuideAltAz));
    if (!value)
        return call.result(E_POINTER);
    mount.clockSample = readClock();
    pollTime = mount.clockSample.seconds;
    pollMillis = mount.clockSample.milliseconds;
    // Seconds and milliseconds apart, so a wrap of the millisecond part
    // borrows from the seconds.
    std::int64_t elapsedMs = (pollTime - pulseStartTime) * 1000 + (pollMillis - pulseStartMillis);
    // A clock set back since the pulse began cannot prove it still runs;
    // answering false keeps a client from waiting on it for the whole step.
    bool guiding = elapsedMs >= 0 && elapsedMs / 1000.0 < pulseDuration;
    return call.result(returnValue<VARIANT_BOOL>(value, guiding ? VARIANT_TRUE : VARIANT_FALSE));
}

HRESULT CTelescope::AxisRates(int)
{
    DriverCall call;
    return call.result(S_OK);
}

HRESULT CTelescope::CanMoveAxis(int, VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(returnValue(value, VARIANT_FALSE));
}

HRESULT CTelescope::MoveAxis(int, int)
{
    DriverCall call;
    if (parked)
        return call.result(driverFailure(kParkedMoveAxis));
    return call.result(driverError(kErrorNotSupported));
}
