// Parking, unparking and the home search, and the settle time that the
// driver does not keep.
#include "Mount.h"

#include "Messages.h"
#include "MountModels.h"
#include "Utilities.h"
#include "Waits.h"

#include <cmath>

namespace {

constexpr std::uint32_t kHomePollMs = 200;

// A model that cannot be asked has reached its park once its position holds
// still: declination, altitude and azimuth within 1' over a second at least.
constexpr double kSettledDegrees = 1.0 / 60.0;
constexpr std::uint64_t kSettledForMs = 1000;

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

Outcome Mount::atHome(bool& value)
{
    bool home = false;
    // Only a model that can be asked is ever reported at home.
    if (const char* query = model().homeQuery) {
        link.command = query;
        link.exchangeAck();
        home = link.acknowledged();
    }
    value = home;
    return Outcome::success();
}

Outcome Mount::atPark(bool& value)
{
    // A mount that can be asked knows better than we do; no answer counts
    // as not parked.
    if (const char* query = model().parkQuery) {
        parked = false;
        link.command = query;
        link.exchangeAck();
        if (link.acknowledged())
            parked = true;
    }
    value = parked;
    return Outcome::success();
}

Outcome Mount::park()
{
    // The model's steps in order (home, then park, on a model with two),
    // each sent at once after the one before was accepted. An unanswered
    // park command is done once sent.
    for (const ModelCommand& step : model().park) {
        if (!step.text)
            break;
        if (!sendModelCommand(link, step))
            return Outcome::failure(OutcomeKind::Failure, kParkTransmissionError);
    }
    parked = true;
    return Outcome::success();
}

Outcome Mount::beginPark(bool& moving)
{
    moving = false;
    // Parked already: nothing to send, and nothing that could fail. A model
    // that can be asked is asked; for the others the record tells, set by
    // the park that got there (or is on its way).
    if (const char* query = model().parkQuery) {
        link.command = query;
        link.exchangeAck();
        if (link.acknowledged()) {
            parked = true;
            trackingOn = false;
            return Outcome::success();
        }
    } else if (parked) {
        return Outcome::success();
    }
    Outcome sent = park();
    if (!sent.succeeded())
        return sent;
    // The park takes the place of any slew under way; its own end is told
    // by parkArrived. The mount stops tracking to park.
    slewInProgress = false;
    trackingOn = false;
    parkSettle = {};
    moving = true;
    return sent;
}

Outcome Mount::parkArrived(bool& arrived)
{
    arrived = false;
    const MountModelRow& row = model();
    switch (row.parkEnd) {
    case ParkEnd::AskParked:
        link.command = row.parkQuery;
        link.exchangeAck();
        arrived = link.acknowledged();
        break;
    case ParkEnd::AskSlewing:
        // Only the mount's own "0" ends it: silence proves nothing.
        link.command = ":SE?#";
        link.exchangeAck();
        arrived = link.replyFirst() == '0';
        break;
    case ParkEnd::PositionSettles:
        arrived = positionSettled();
        break;
    }
    return Outcome::success();
}

bool Mount::positionSettled()
{
    SettleSample now;
    now.steadyMs = clock.steadyMs();
    now.taken = readDegrees(Query::Declination, now.declination) && readDegrees(Query::Altitude, now.altitude)
        && readDegrees(Query::Azimuth, now.azimuth);
    if (!now.taken) {
        // A reading missed: the next one starts the second afresh.
        parkSettle = {};
        return false;
    }
    auto near = [](double a, double b) { return std::fabs(a - b) <= kSettledDegrees; };
    // Azimuth is a circle: 359.99 and 0.01 are near.
    auto nearAzimuth = [](double a, double b) {
        const double apart = std::fabs(a - b);
        return std::fmin(apart, 360.0 - apart) <= kSettledDegrees;
    };
    const bool still = parkSettle.taken && near(now.declination, parkSettle.declination)
        && near(now.altitude, parkSettle.altitude) && nearAzimuth(now.azimuth, parkSettle.azimuth);
    if (!still) {
        parkSettle = now;
        return false;
    }
    return now.steadyMs - parkSettle.steadyMs >= kSettledForMs;
}

Outcome Mount::abortPark()
{
    // The park stops short: the mount is neither parked nor moving, and it
    // stopped tracking when the park began.
    parked = false;
    trackingOn = false;
    parkSettle = {};
    return stopAndRestoreTracking(std::nullopt);
}

void Mount::forgetInterruptedPark()
{
    parked = false;
    parkSettle = {};
}

void Mount::noteUnparked()
{
    if (model().unparkStartsTracking)
        trackingOn = true;
}

void Mount::watchForStop()
{
    if (model().slewEnd == SlewEnd::AskMount)
        slewInProgress = true;
}

Outcome Mount::unpark()
{
    // The client asked to move on: whatever the mount says, we no longer
    // hold it back.
    parked = false;
    // Without an unpark command, forgetting the park is all there is.
    const ModelCommand& command = model().unpark;
    if (command.text && !sendModelCommand(link, command))
        return Outcome::failure(OutcomeKind::Failure, kUnparkTransmissionError);
    return Outcome::success();
}

Outcome Mount::setPark()
{
    return Outcome::failure(OutcomeKind::NotImplemented, kNoSetPark);
}

Outcome Mount::findHome()
{
    bool searchStarted = false;
    Outcome begun = beginFindHome(searchStarted);
    if (!searchStarted)
        return begun;
    return waitForHome();
}

Outcome Mount::beginFindHome(bool& searchStarted)
{
    searchStarted = false;
    if (parked)
        return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedFindHome);
    const MountModelRow& row = model();
    if (!row.canFindHome)
        return Outcome::failure(OutcomeKind::NotImplemented, kNoFindHome);
    link.command = row.homeSearch;
    link.exchangeAck();
    if (!link.acknowledged()) {
        // The client could do nothing about it; the log keeps the trace.
        logMessage(kLogFindHomeFailure);
        return Outcome::success();
    }
    searchStarted = true;
    return Outcome::success();
}

Outcome Mount::waitForHome()
{
    const MountModelRow& row = model();
    // Wait for the mount to report home, but not forever: a lost link or a
    // failed search would otherwise hang the client.
    const std::uint32_t limitMs = waitLimitMs(kHomeWaitLimitMs);
    WaitClock wait(clock);
    link.command = row.homeQuery;
    for (;;) {
        link.exchangeAck();
        clock.sleepMs(kHomePollMs);
        if (link.acknowledged())
            return Outcome::success();
        if (wait.elapsedMs() >= limitMs)
            return failWaitedTooLong(kWaitHome, limitMs);
    }
}

Outcome Mount::slewSettleTime(int& value) const
{
    // The driver keeps no settle time and adds no pause after a slew.
    value = 0;
    return Outcome::success();
}

Outcome Mount::setSlewSettleTime(int value)
{
    if (value < 0)
        return Outcome::numbered(kErrorInvalidValue);
    return Outcome::success();
}
