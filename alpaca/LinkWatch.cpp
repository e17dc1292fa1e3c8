#include "LinkWatch.h"

#include "RequestValues.h"

#include <chrono>

namespace {

// "12.3" seconds from milliseconds, to the tenth.
std::string tenthsOfSeconds(std::uint64_t ms)
{
    const std::uint64_t tenths = (ms + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

// "1" or "1.5": a period in whole seconds where it is one.
std::string secondsText(std::uint64_t ms)
{
    return ms % 1000 == 0 ? std::to_string(ms / 1000) : tenthsOfSeconds(ms);
}

// "2026-12-09 22:15:30 UTC".
std::string wallText(std::int64_t wallMs)
{
    const UtcTime when{std::chrono::duration_cast<MountDays>(std::chrono::milliseconds(wallMs))};
    std::string text = formatUtcDate(when).substr(0, 19);
    text[10] = ' ';
    return text + " UTC";
}

// A reply shown in a message: printable, and short.
std::string shownReply(const std::string& reply)
{
    std::string shown;
    for (char c : reply.substr(0, 32))
        shown += (c >= ' ' && c <= '~') ? c : '?';
    return shown;
}

} // namespace

void LinkWatch::setDevice(std::string name)
{
    std::lock_guard<std::mutex> lock(mutex);
    device = std::move(name);
}

LinkWatch::State LinkWatch::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}

std::string LinkWatch::outageText(State state) const
{
    if (state == State::DeviceGone)
        return "The device " + device + " has gone away; the server is waiting for it to come back";
    return std::string(kMountNotAnswering) + " on " + device + "; the server tries it again every "
        + secondsText(kSilentHandshakeMs) + " s";
}

std::optional<Outcome> LinkWatch::refusal() const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (current == State::Open)
        return std::nullopt;
    return Outcome::failure(OutcomeKind::LinkDown, outageText(current));
}

Outcome LinkWatch::judge(const ExchangeTally& before, const ExchangeTally& after, const Outcome& outcome,
                         std::uint64_t steadyMs, std::int64_t wallMs, std::string& logLine)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (current == State::Open && after.unansweredInARow >= kSilentExchanges) {
        current = State::MountSilent;
        downSinceSteadyMs = steadyMs;
        downSinceWallMs = wallMs;
        lastHandshakeMs = steadyMs;
        logLine = "the mount on " + device + " is not answering (" + std::to_string(after.unansweredInARow)
            + " exchanges in a row): requests that need it fail at once, and a handshake is tried every "
            + secondsText(kSilentHandshakeMs) + " s";
    }
    if (after.unanswered != before.unanswered)
        return Outcome::failure(OutcomeKind::LinkDown, kMountNotAnswering);
    if (after.unusable != before.unusable)
        return Outcome::failure(OutcomeKind::Failure, "The mount's reply \"" + shownReply(after.unusableReply)
                                                          + "\" to " + after.unusableCommand + " cannot be used");
    return outcome;
}

std::string LinkWatch::deviceGone(std::uint64_t steadyMs, std::int64_t wallMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    // A silent mount whose device then went is down since the silence.
    if (current == State::Open) {
        downSinceSteadyMs = steadyMs;
        downSinceWallMs = wallMs;
    }
    current = State::DeviceGone;
    lastHandshakeMs = steadyMs;
    return "the device " + device + " went away: its clients stay connected, and the server looks for it every "
        + secondsText(kDeviceLookMs) + " s";
}

bool LinkWatch::handshakeDue(std::uint64_t steadyMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (current == State::Open)
        return false;
    const std::uint32_t every = current == State::DeviceGone ? kDeviceLookMs : kSilentHandshakeMs;
    if (steadyMs - lastHandshakeMs < every)
        return false;
    lastHandshakeMs = steadyMs;
    return true;
}

std::string LinkWatch::deviceBackButSilent(std::uint64_t steadyMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    current = State::MountSilent;
    lastHandshakeMs = steadyMs;
    return "the device " + device + " is back after " + tenthsOfSeconds(steadyMs - downSinceSteadyMs)
        + " s, but the mount is not answering yet: a handshake is tried every "
        + secondsText(kSilentHandshakeMs) + " s";
}

std::string LinkWatch::back(std::uint64_t steadyMs, const std::string& model)
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::string what = current == State::DeviceGone ? "the device " + device + " is back"
                                                           : "the mount on " + device + " answers again";
    current = State::Open;
    return what + " after " + tenthsOfSeconds(steadyMs - downSinceSteadyMs) + " s, model " + model
        + " as before: serving again";
}

void LinkWatch::reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    current = State::Open;
}

std::string LinkWatch::describe() const
{
    std::lock_guard<std::mutex> lock(mutex);
    switch (current) {
    case State::Open:
        return "open";
    case State::DeviceGone:
        return "gone since " + wallText(downSinceWallMs);
    case State::MountSilent:
        break;
    }
    return "silent since " + wallText(downSinceWallMs);
}

std::int64_t LinkWatch::downSinceWall() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return current == State::Open ? 0 : downSinceWallMs;
}
