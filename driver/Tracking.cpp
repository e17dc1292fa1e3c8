// How the mount follows the sky and how a guiding program nudges it:
// tracking and its rate, the guide rates, pulse guiding, and the offset
// rates and manual motion that the mounts do not offer.
#include "Mount.h"

#include "Checks.h"
#include "Messages.h"
#include "MountModels.h"
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

constexpr std::int32_t kLongestPulseMs = 32767;

constexpr char kDirectionLetters[] = {'n', 's', 'e', 'w'};
constexpr int kGuideDirections = 4;

// North and south, east and west are the pairs that cancel.
int opposite(int direction)
{
    return direction ^ 1;
}

} // namespace

Outcome Mount::declinationRate(double& value) const
{
    value = 0.0;
    return Outcome::success();
}

Outcome Mount::setDeclinationRate(double)
{
    return Outcome::failure(OutcomeKind::NotImplemented, kNoDeclinationRate);
}

Outcome Mount::rightAscensionRate(double& value) const
{
    value = 0.0;
    return Outcome::success();
}

Outcome Mount::setRightAscensionRate(double)
{
    return Outcome::failure(OutcomeKind::NotImplemented, kNoRightAscensionRate);
}

Outcome Mount::guideRateDeclination(double& value)
{
    // A model that cannot be asked guides at half the sidereal rate.
    double fraction = kUnknownGuideFraction;
    const MountModelRow& row = model();
    if (row.guideRate == GuideRateReading::Fraction) {
        link.command = row.guideRateQuery;
        for (int tries = 0; tries < kGuideRateTries; ++tries) {
            link.sendCommand();
            link.readReply(row.guideRateReplyLength);
            scanReply(link.reply, "%lf#", &fraction);
            if (fraction > kGuideRateRetryLow && fraction < kGuideRateHigh)
                break;
        }
        if (!(fraction >= kGuideRateUsableLow && fraction <= kGuideRateHigh)) {
            logMessage(kLogGuideRateReadFailure);
            fraction = kUnknownGuideFraction;
        }
    } else if (row.guideRate == GuideRateReading::Step) {
        link.command = row.guideRateQuery;
        bool understood = false;
        for (int tries = 0; tries < kGuideRateTries && !understood; ++tries) {
            link.sendCommand();
            link.readReply(row.guideRateReplyLength);
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
    value = fraction / kSiderealFractionPerDegreePerSecond;
    return Outcome::success();
}

Outcome Mount::setGuideRateDeclination(double value)
{
    if (!model().canSetGuideRates)
        return Outcome::failure(OutcomeKind::NotImplemented, kGuideRateSetFailure);
    // Refused before formatting: a rate whose percent needs a sign or a
    // fourth digit would not be the command the mount knows.
    if (!isUsableNumber(value) || value < 0.0)
        return Outcome::numbered(kErrorInvalidValue);
    double percent = std::trunc(value * kPercentPerDegreePerSecond + 0.5);
    if (percent > kHighestGuidePercent)
        return Outcome::numbered(kErrorInvalidValue);
    link.formatCommand(":RG%03ld#", static_cast<long>(percent));
    link.exchangeAck();
    // The client cannot do better with a rate the mount would not take.
    if (link.replyFirst() != '1')
        logMessage(kGuideRateSetFailure);
    return Outcome::success();
}

// The mount has one guide rate for both axes.
Outcome Mount::guideRateRightAscension(double& value)
{
    return guideRateDeclination(value);
}

Outcome Mount::setGuideRateRightAscension(double value)
{
    return setGuideRateDeclination(value);
}

Outcome Mount::tracking(bool& value)
{
    bool on = trackingOn;
    // A model that can be asked knows whether it tracks; the others only
    // hear what we said.
    if (const char* query = model().trackingQuery) {
        link.command = query;
        link.exchangeAck();
        on = link.acknowledged();
    }
    value = on;
    return Outcome::success();
}

Outcome Mount::setTracking(bool value)
{
    const MountModelRow& row = model();
    // A model that remembers no rate starts at the one setTrackingRate chose.
    link.command = value ? row.trackingStart[trackingRateSlot(trackingRateIndex)] : row.trackingStop;
    if (row.trackingAcknowledged) {
        link.exchangeAck();
        if (link.acknowledged())
            trackingOn = value;
    } else {
        link.sendCommand();
        trackingOn = value;
    }
    return Outcome::success();
}

Outcome Mount::trackingRate(DriveRate& value)
{
    DriveRate rate = DriveRate::Sidereal;
    const MountModelRow& row = model();
    if (row.trackingRateQuery) {
        link.command = row.trackingRateQuery;
        link.sendCommand();
        link.readReply(1);
        // The rate whose code the mount answered; sidereal for any other.
        char code = link.replyFirst();
        for (int known = 0; code != 0 && known < int(sizeof row.trackingRateCodes); ++known)
            if (row.trackingRateCodes[known] == code)
                rate = static_cast<DriveRate>(known);
    } else {
        // A model that cannot be asked: the rate last chosen is the answer.
        if (trackingRateIndex == int(DriveRate::Lunar) || trackingRateIndex == int(DriveRate::Solar))
            rate = static_cast<DriveRate>(trackingRateIndex);
    }
    value = rate;
    return Outcome::success();
}

Outcome Mount::setTrackingRate(DriveRate value)
{
    int rate = int(value);
    // The command has one digit for the rate: anything but a rate the
    // clients name would reach the mount as garbage.
    if (rate < kLowestDriveRate || rate > kHighestDriveRate)
        return Outcome::numbered(kErrorInvalidValue);
    const MountModelRow& row = model();
    if (const char* command = row.trackingRateCommand) {
        // In the mount's own numbering, the one its rate query answers in.
        char code = row.trackingRateCodes[rate];
        link.formatCommand(command, code != 0 ? code : char('0' + rate));
        link.exchangeAck();
    } else {
        // Sent with the next setTracking(true).
        trackingRateIndex = rate;
    }
    return Outcome::success();
}

Outcome Mount::trackingRates(DriveRate& value) const
{
    value = DriveRate::Sidereal;
    return Outcome::success();
}

Outcome Mount::listedTrackingRates(std::vector<DriveRate>& value) const
{
    value.clear();
    for (int rate = kLowestDriveRate; rate <= kHighestDriveRate; ++rate)
        if (model().listedTrackingRates & rateBit(rate))
            value.push_back(static_cast<DriveRate>(rate));
    return Outcome::success();
}

bool Mount::hasTrackingRate(int rate) const
{
    return rate >= kLowestDriveRate && rate <= kHighestDriveRate && (model().listedTrackingRates & rateBit(rate)) != 0;
}

Outcome Mount::pulseGuide(GuideDirection direction, std::int32_t durationMs)
{
    PulsePlan pieces;
    Outcome begun = beginPulseGuide(direction, durationMs, pieces);
    for (const PulsePiece& piece : pieces) {
        if (piece.waitMs > 0)
            clock.sleepMs(piece.waitMs);
        sendPulsePiece(piece);
    }
    return begun;
}

void Mount::sendPulsePiece(const PulsePiece& piece)
{
    link.formatCommand(model().pulseCommandFormat, piece.letter, piece.durationMs);
    link.sendCommand();
}

Outcome Mount::beginPulseGuide(GuideDirection direction, std::int32_t durationMs, PulsePlan& pieces)
{
    pieces.clear();
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedPulseGuide);
    const MountModelRow& row = model();
    if (!row.canPulseGuide)
        return Outcome::failure(OutcomeKind::NotImplemented, kNoPulseGuideAltAz);
    // No letter and no backlog slot for any other direction.
    int way = int(direction);
    if (way < 0 || way >= kGuideDirections)
        return Outcome::numbered(kErrorInvalidValue);
    if (durationMs <= 0)
        return Outcome::success();

    // As a client would connect and start tracking; their outcomes do not
    // stop the pulse.
    if (!state->connected)
        setConnected(true);
    if (!trackingOn)
        setTracking(true);

    std::int32_t duration = durationMs > kLongestPulseMs ? kLongestPulseMs : durationMs;
    char letter = kDirectionLetters[way];
    pulseDuration = duration / 1000.0;
    pulseStartMs = clock.wallMs();

    if (row.pulseGuiding == PulseGuiding::Pieces) {
        // Each piece is sent once the mount has nearly finished the one before.
        std::int32_t remaining = duration;
        while (remaining > row.pulseLongestPieceMs) {
            pieces.push_back({row.pulsePieceLeadMs, letter, static_cast<long>(row.pulseLongestPieceMs)});
            remaining -= row.pulseLongestPieceMs;
        }
        const std::uint32_t lastWait =
            remaining > row.pulseLastPieceLeadMs ? static_cast<std::uint32_t>(remaining - row.pulseLastPieceLeadMs) : 0;
        pieces.push_back({lastWait, letter, static_cast<long>(remaining)});
    } else if (row.pulseGuiding == PulseGuiding::Backlog) {
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
        std::int32_t sent =
            static_cast<std::int32_t>(std::trunc((ahead + row.pulseStepRoundingMs) / row.pulseStepMs)) * row.pulseStepMs;
        ahead -= sent;
        if (ahead < 0) {
            behind = -ahead;
            ahead = 0;
        }
        if (sent > 0) {
            link.formatCommand(row.pulseCommandFormat, letter, static_cast<long>(sent));
            link.sendCommand();
        }
    }
    return Outcome::success();
}

Outcome Mount::isPulseGuiding(bool& value)
{
    if (!model().canPulseGuide)
        return Outcome::failure(OutcomeKind::NotImplemented, kNoPulseGuideAltAz);
    std::int64_t elapsedMs = clock.wallMs() - pulseStartMs;
    // A clock set back since the pulse began cannot prove it still runs;
    // answering false keeps a client from waiting on it for the whole step.
    value = elapsedMs >= 0 && elapsedMs / 1000.0 < pulseDuration;
    return Outcome::success();
}

Outcome Mount::axisRates(int) const
{
    return Outcome::success();
}

Outcome Mount::canMoveAxis(int, bool& value) const
{
    value = false;
    return Outcome::success();
}

Outcome Mount::moveAxis(int, double)
{
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedMoveAxis);
    return Outcome::numbered(kErrorNotSupported);
}
