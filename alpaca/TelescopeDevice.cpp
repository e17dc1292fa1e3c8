#include "TelescopeDevice.h"

#include "MountModels.h"
#include "Waits.h"

#include <chrono>
#include <utility>

TelescopeDevice::TelescopeDevice(ServerSettings& settings, Log log, Clock& clock, SerialPortMaker makePort)
    : settings(settings), log(std::move(log)), clock(clock), makePort(makePort),
      mount(std::make_shared<MountState>(), settings, clock, makePort)
{
}

TelescopeDevice::~TelescopeDevice()
{
    shutdown();
}

Outcome TelescopeDevice::notConnected()
{
    return Outcome::failure(OutcomeKind::NotConnected, kNotConnected);
}

bool TelescopeDevice::letGoOfVanishedPort()
{
    if (!mount.portHungUp())
        return false;
    mount.release();
    homeSearchSinceMs = 0;
    log("lost the mount on " + settings.portLabel(1) + ": the device went away; connect again once it is back");
    return true;
}

bool TelescopeDevice::isConnected()
{
    if (connectingNow.load())
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    return mount.sharedState().connected;
}

std::string TelescopeDevice::modelName()
{
    std::lock_guard<std::mutex> lock(mutex);
    return modelRow(mount.sharedState().model).name;
}

void TelescopeDevice::logConnection(const Outcome& outcome)
{
    if (outcome.succeeded())
        log("connected to " + settings.portLabel(1) + ", model " + modelRow(mount.sharedState().model).name);
    else
        log("cannot connect: " + outcome.text());
}

Outcome TelescopeDevice::connect()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (mount.sharedState().connected)
        return Outcome::success();
    Outcome outcome = mount.setConnected(true);
    logConnection(outcome);
    return outcome;
}

Outcome TelescopeDevice::disconnect()
{
    setPiecesCancelled(true);
    joinWorker();
    setPiecesCancelled(false);
    std::lock_guard<std::mutex> lock(mutex);
    if (!mount.sharedState().connected)
        return Outcome::success();
    homeSearchSinceMs = 0;
    Outcome outcome = mount.setConnected(false);
    log("disconnected from " + settings.portLabel(1));
    return outcome;
}

void TelescopeDevice::startConnecting()
{
    std::lock_guard<std::mutex> work(workerMutex);
    // A connection already being made is the one this client asks for.
    if (connectingNow.load())
        return;
    if (worker.joinable())
        worker.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (mount.sharedState().connected)
            return;
    }
    connectingNow = true;
    worker = std::thread([this] {
        connect();
        connectingNow = false;
    });
}

void TelescopeDevice::joinWorker()
{
    std::lock_guard<std::mutex> lock(workerMutex);
    if (worker.joinable())
        worker.join();
}

bool TelescopeDevice::waitOrStop(std::uint32_t ms)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopSignal.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping || cancelPieces; });
}

void TelescopeDevice::setPiecesCancelled(bool cancelled)
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        cancelPieces = cancelled;
    }
    stopSignal.notify_all();
}

void TelescopeDevice::sendPulsePieces(PulsePlan pieces)
{
    for (const PulsePiece& piece : pieces) {
        if (piece.waitMs > 0 && !waitOrStop(piece.waitMs))
            break;
        std::lock_guard<std::mutex> lock(mutex);
        if (!mount.sharedState().connected)
            break;
        mount.sendPulsePiece(piece);
        letGoOfVanishedPort();
    }
    pulsingNow = false;
}

Outcome TelescopeDevice::startPulseGuide(GuideDirection direction, std::int32_t durationMs)
{
    // A pulse still sending its pieces finishes first, as the mount would
    // take them one after the other anyway.
    joinWorker();
    PulsePlan pieces;
    Outcome outcome = callConnected(
        [&](Mount& core) { return core.beginPulseGuide(direction, durationMs, pieces); });
    if (pieces.empty())
        return outcome;
    std::lock_guard<std::mutex> lock(workerMutex);
    pulsingNow = true;
    worker = std::thread([this, pieces = std::move(pieces)]() mutable { sendPulsePieces(std::move(pieces)); });
    return outcome;
}

Outcome TelescopeDevice::isPulseGuiding(bool& value)
{
    return callConnected([&](Mount& core) {
        Outcome outcome = core.isPulseGuiding(value);
        if (outcome.succeeded() && pulsingNow.load())
            value = true;
        return outcome;
    });
}

Outcome TelescopeDevice::startFindHome()
{
    return callConnected([&](Mount& core) {
        bool searchStarted = false;
        Outcome outcome = core.beginFindHome(searchStarted);
        if (searchStarted)
            homeSearchSinceMs = std::max<std::int64_t>(1, std::int64_t(clock.steadyMs()));
        return outcome;
    });
}

Outcome TelescopeDevice::slewing(bool& value)
{
    return callConnected([&](Mount& core) {
        if (homeSearchSinceMs != 0) {
            bool home = false;
            core.atHome(home);
            const std::int64_t elapsed = std::int64_t(clock.steadyMs()) - homeSearchSinceMs;
            if (home) {
                homeSearchSinceMs = 0;
            } else if (elapsed >= std::int64_t(waitLimitMs(kHomeWaitLimitMs))) {
                homeSearchSinceMs = 0;
                log("the mount did not report reaching home; the home search no longer counts as slewing");
            } else {
                value = true;
                return Outcome::success();
            }
        }
        return core.slewing(value);
    });
}

Outcome TelescopeDevice::abortSlew()
{
    return callConnected([&](Mount& core) {
        Outcome outcome = core.abortSlew();
        if (outcome.succeeded())
            homeSearchSinceMs = 0;
        return outcome;
    });
}

std::unique_ptr<MountProbe> TelescopeDevice::describe()
{
    // Under the lock, so that no client's connect finds the port held by
    // the probe's own open.
    std::lock_guard<std::mutex> lock(mutex);
    if (mount.sharedState().connected) {
        // The probe's open would be refused: it asks over the connection.
        auto probe = std::make_unique<MountProbe>(settings, clock, [] { return std::unique_ptr<SerialPort>(); });
        mount.probeOverConnection(*probe);
        letGoOfVanishedPort();
        return probe;
    }
    return std::make_unique<MountProbe>(settings, clock, makePort);
}

void TelescopeDevice::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopping = true;
    }
    stopSignal.notify_all();
    joinWorker();
    std::lock_guard<std::mutex> lock(mutex);
    if (mount.sharedState().connected) {
        mount.setConnected(false);
        log("disconnected from " + settings.portLabel(1));
    }
    mount.release();
}
