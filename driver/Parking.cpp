// Parking, unparking and the home search, and the settle time that the
// driver does not keep.
#include "Mount.h"

#include "Messages.h"
#include "MountModels.h"
#include "Utilities.h"
#include "Waits.h"

namespace {

constexpr std::uint32_t kHomePollMs = 200;

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
