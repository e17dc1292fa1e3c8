#include "TelescopeDevice.h"

#include "MountModels.h"
#include "Trace.h"
#include "Waits.h"

#include <chrono>
#include <string>
#include <utility>

namespace {

// How often the housekeeping looks at silent clients and the link.
constexpr std::uint32_t kHousekeepingStepMs = 250;

constexpr const char* kNegativePulse = "A guide pulse cannot last less than no time: ";

// Milliseconds as seconds for the log: "300", "1.5".
std::string secondsText(std::uint32_t ms)
{
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        while (fraction.back() == '0')
            fraction.pop_back();
        text += "." + fraction;
    }
    return text;
}

} // namespace

TelescopeDevice::TelescopeDevice(ServerSettings& settings, Log log, Clock& clock, SerialPortMaker makePort)
    : settings(settings), log(std::move(log)), clock(clock), makePort(makePort),
      mount(std::make_shared<MountState>(), settings, clock, makePort), linkWatch(settings.portLabel(1))
{
    housekeeper = std::thread([this] { keepHouse(); });
}

TelescopeDevice::~TelescopeDevice()
{
    shutdown();
}

// A connection's trace ends with it, as the DLL's does: the next one (with
// the switch as it is then) writes a file of its own.
static void endConnectionTrace()
{
    if (traceIsOn())
        closeTrace();
}

Outcome TelescopeDevice::notConnected()
{
    return Outcome::failure(OutcomeKind::NotConnected, kNotConnected);
}

void TelescopeDevice::logLink(const std::string& line)
{
    log(line);
    if (traceIsOn())
        traceLine("-- " + line);
}

Outcome TelescopeDevice::judged(const ExchangeTally& before, const Outcome& outcome, CallKind kind)
{
    std::string silence;
    const ExchangeTally& after = mount.exchangeTally();
    Outcome given = linkWatch.judge(before, after, outcome, clock.steadyMs(), clock.wallMs(), silence);
    if (!silence.empty())
        logLink(silence);
    if (after.unanswered != before.unanswered || after.unusable != before.unusable) {
        const Outcome& told = !given.succeeded() ? given : outcome;
        activity.noteError(told.succeeded() ? std::string(kMountNotAnswering) : told.text(), clock.wallMs());
    }
    return kind == CallKind::Read ? given : outcome;
}

bool TelescopeDevice::noteDeviceGone()
{
    if (!mount.portHungUp())
        return false;
    mount.dropPort();
    logLink(linkWatch.deviceGone(clock.steadyMs(), clock.wallMs()));
    activity.noteError(linkWatch.refusal()->text(), clock.wallMs());
    endInterruptedWork();
    return true;
}

void TelescopeDevice::endInterruptedWork()
{
    // A park cut short is over: what the mount says afterwards is the
    // answer. A model that can be asked whether it is parked is asked; the
    // others are not called parked, as nothing shows they got there (a
    // mount switched off and on again has nothing to tell the park's end
    // by). Parked again, it says so.
    if (parkSinceMs != 0 || parkUnconfirmed) {
        endPark();
        mount.forgetInterruptedPark();
    }
    // A home search: AtHome and Slewing ask the mount. A pulse's pieces
    // stop at the next one (sendPulsePieces looks at the link), and its
    // planned length no longer makes it run.
    homeSearchSinceMs = 0;
    mount.forgetInterruptedPulse();
}

void TelescopeDevice::watchLink()
{
    if (!linkWatch.handshakeDue(clock.steadyMs()))
        return;
    MountQueue::Turn turn(queue, Urgency::Normal, kServerTurn);
    handshakeAgain();
}

void TelescopeDevice::handshakeAgain()
{
    const LinkWatch::State before = linkWatch.state();
    if (before == LinkWatch::State::Open)
        return;
    if (!mount.sharedState().connected) {
        linkWatch.reset();
        return;
    }
    std::uint8_t modelNow = 0;
    switch (mount.handshakeAgain(modelNow)) {
    case Mount::Handshake::NoDevice:
        if (before == LinkWatch::State::MountSilent) {
            logLink(linkWatch.deviceGone(clock.steadyMs(), clock.wallMs()));
            endInterruptedWork();
        }
        return;
    case Mount::Handshake::NoAnswer:
        if (before == LinkWatch::State::DeviceGone)
            logLink(linkWatch.deviceBackButSilent(clock.steadyMs()));
        return;
    case Mount::Handshake::SameModel:
        logLink(linkWatch.back(clock.steadyMs(), modelRow(modelNow).name));
        return;
    case Mount::Handshake::OtherModel:
        break;
    }
    // The clients connected to another model: what they were told it can
    // do no longer holds, so they connect again and learn this one's.
    logLink("the mount on " + settings.portLabel(1) + " answers as model " + modelRow(modelNow).name
            + " now, not " + modelRow(mount.sharedState().model).name
            + ": every client is disconnected, as what it can do has changed");
    {
        std::lock_guard<std::mutex> lock(clientsMutex);
        clients.clear();
    }
    endPark();
    homeSearchSinceMs = 0;
    mount.setConnected(false);
    reads.forgetAll();
    linkWatch.reset();
    endConnectionTrace();
}

std::string TelescopeDevice::linkDescription()
{
    if (!linkConnected())
        return "closed";
    return linkWatch.describe();
}

bool TelescopeDevice::linkConnected()
{
    if (connectingNow.load())
        return false;
    MountQueue::Turn turn(queue);
    return mount.sharedState().connected;
}

bool TelescopeDevice::clientConnected(std::uint32_t client)
{
    std::lock_guard<std::mutex> lock(clientsMutex);
    return clients.count(client) != 0;
}

bool TelescopeDevice::isConnected(std::uint32_t client)
{
    return clientConnected(client) && linkConnected();
}

std::size_t TelescopeDevice::connectedClients()
{
    std::lock_guard<std::mutex> lock(clientsMutex);
    return clients.size();
}

bool TelescopeDevice::heardFrom(std::uint32_t client)
{
    bool admitted = false;
    {
        std::lock_guard<std::mutex> lock(clientsMutex);
        auto found = clients.find(client);
        if (found != clients.end())
            found->second = std::int64_t(clock.steadyMs());
        ledger.noteRequest(client, clock.steadyMs());
        std::uint32_t& underWay = requestsUnderWay[client];
        admitted = underWay < kMostRequestsInFlightPerClient;
        if (admitted)
            ++underWay;
    }
    forgetSilentClients();
    return admitted;
}

void TelescopeDevice::answered(std::uint32_t client)
{
    std::lock_guard<std::mutex> lock(clientsMutex);
    auto underWay = requestsUnderWay.find(client);
    if (underWay != requestsUnderWay.end() && --underWay->second == 0)
        requestsUnderWay.erase(underWay);
    // Silence counts from the answer.
    auto found = clients.find(client);
    if (found != clients.end())
        found->second = std::int64_t(clock.steadyMs());
}

void TelescopeDevice::forgetSilentClients()
{
    bool lastOneGone = false;
    {
        std::lock_guard<std::mutex> lock(clientsMutex);
        const std::int64_t now = std::int64_t(clock.steadyMs());
        for (auto client = clients.begin(); client != clients.end();) {
            if (now - client->second < clientTimeoutMs || requestsUnderWay.count(client->first) != 0) {
                ++client;
                continue;
            }
            log("client " + std::to_string(client->first) + " sent nothing for "
                + std::to_string(clientTimeoutMs.load() / 1000) + " s: it counts as disconnected");
            client = clients.erase(client);
            lastOneGone = clients.empty() && clientsConnecting.empty();
        }
    }
    if (lastOneGone)
        disconnectLink();
}

void TelescopeDevice::keepHouse()
{
    // A vanished client sends nothing that would forget it: looked at now
    // and then, however quiet the server is. The link's watch needs the
    // finer step: its handshakes are due every 1 or 1.5 s.
    std::unique_lock<std::mutex> lock(stopMutex);
    while (!stopping) {
        stopSignal.wait_for(lock, std::chrono::milliseconds(kHousekeepingStepMs), [this] { return stopping; });
        if (stopping)
            break;
        lock.unlock();
        forgetSilentClients();
        watchLink();
        lock.lock();
    }
}

std::string TelescopeDevice::modelName()
{
    MountQueue::Turn turn(queue);
    return modelRow(mount.sharedState().model).name;
}

void TelescopeDevice::logConnection(const Outcome& outcome)
{
    if (outcome.succeeded())
        log("connected to " + settings.portLabel(1) + ", model " + modelRow(mount.sharedState().model).name);
    else
        log("cannot connect: " + outcome.text());
}

Outcome TelescopeDevice::connect(std::uint32_t client)
{
    Outcome outcome = connectLink();
    if (outcome.succeeded()) {
        std::lock_guard<std::mutex> lock(clientsMutex);
        clients[client] = std::int64_t(clock.steadyMs());
    }
    return outcome;
}

Outcome TelescopeDevice::disconnect(std::uint32_t client)
{
    {
        std::lock_guard<std::mutex> lock(clientsMutex);
        clients.erase(client);
        // Another client still uses the link: it stays.
        if (!clients.empty() || !clientsConnecting.empty())
            return Outcome::success();
    }
    return disconnectLink();
}

Outcome TelescopeDevice::connectLink()
{
    MountQueue::Turn turn(queue);
    if (mount.sharedState().connected)
        return Outcome::success();
    // What was read over an earlier connection is not this one's.
    reads.forgetAll();
    linkWatch.reset();
    linkWatch.setDevice(settings.portLabel(1));
    Outcome outcome = mount.setConnected(true);
    logConnection(outcome);
    if (!outcome.succeeded()) {
        endConnectionTrace();
        activity.noteError(outcome.text(), clock.wallMs());
        return outcome;
    }
    noteModelFacts();
    linkOpenNow = true;
    // An AbortSlew restores tracking as it was: known from the start, the
    // first stop need not ask before it goes out, however busy the link is
    // once every program has connected.
    bool tracking = false;
    const ExchangeTally before = mount.exchangeTally();
    if (trackingOn(mount, tracking).isSuccess() && mount.exchangeTally().unanswered == before.unanswered)
        reads.keep(Member::Tracking, Json(tracking));
    return outcome;
}

Outcome TelescopeDevice::disconnectLink()
{
    setPiecesCancelled(true);
    joinWorker();
    setPiecesCancelled(false);
    MountQueue::Turn turn(queue);
    if (!mount.sharedState().connected)
        return Outcome::success();
    homeSearchSinceMs = 0;
    linkOpenNow = false;
    Outcome outcome = mount.setConnected(false);
    reads.forgetAll();
    linkWatch.reset();
    endConnectionTrace();
    log("disconnected from " + settings.portLabel(1));
    return outcome;
}

void TelescopeDevice::startConnecting(std::uint32_t client)
{
    std::lock_guard<std::mutex> work(workerMutex);
    {
        std::lock_guard<std::mutex> lock(clientsMutex);
        clientsConnecting.insert(client);
    }
    // A connection already being made is the one this client asks for.
    if (connectingNow.load())
        return;
    if (worker.joinable())
        worker.join();
    connectingNow = true;
    worker = std::thread([this] {
        Outcome outcome = connectLink();
        std::lock_guard<std::mutex> lock(clientsMutex);
        if (outcome.succeeded())
            for (std::uint32_t waiting : clientsConnecting)
                clients[waiting] = std::int64_t(clock.steadyMs());
        clientsConnecting.clear();
        connectingNow = false;
    });
}

bool TelescopeDevice::connecting(std::uint32_t client)
{
    std::lock_guard<std::mutex> lock(clientsMutex);
    return clientsConnecting.count(client) != 0;
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
        // Ahead of waiting reads: a piece late is a pulse too long.
        MountQueue::Turn turn(queue, Urgency::Motion);
        if (!mount.sharedState().connected || linkWatch.state() != LinkWatch::State::Open)
            break;
        mount.sendPulsePiece(piece);
        noteDeviceGone();
    }
    pulsingNow = false;
}

Outcome TelescopeDevice::startPulseGuide(GuideDirection direction, std::int32_t durationMs, std::uint32_t client)
{
    // A pulse still sending its pieces finishes first, as the mount would
    // take them one after the other anyway.
    joinWorker();
    PulsePlan pieces;
    Outcome outcome = callConnected(
        [&](Mount& core) {
            if (durationMs >= 0)
                return core.beginPulseGuide(direction, durationMs, pieces);
            // The pulse's other refusals first (parked, a mount that does not
            // guide, no such direction): a pulse of no length sends nothing.
            Outcome checked = core.beginPulseGuide(direction, 0, pieces);
            if (!checked.succeeded())
                return checked;
            return Outcome::failure(OutcomeKind::InvalidValue,
                                    kNegativePulse + std::to_string(durationMs) + " ms");
        },
        Urgency::Normal, client, CallKind::Action);
    if (pieces.empty())
        return outcome;
    std::lock_guard<std::mutex> lock(workerMutex);
    pulsingNow = true;
    worker = std::thread([this, pieces = std::move(pieces)]() mutable { sendPulsePieces(std::move(pieces)); });
    return outcome;
}

Outcome TelescopeDevice::pulseGuidingOn(Mount& core, bool& value)
{
    Outcome outcome = core.isPulseGuiding(value);
    if (outcome.succeeded() && pulsingNow.load())
        value = true;
    return outcome;
}

Outcome TelescopeDevice::startFindHome(std::uint32_t client)
{
    return callConnected(
        [&](Mount& core) {
        bool searchStarted = false;
        Outcome outcome = core.beginFindHome(searchStarted);
        if (searchStarted)
            homeSearchSinceMs = std::max<std::int64_t>(1, std::int64_t(clock.steadyMs()));
        return outcome;
        },
        Urgency::Normal, client, CallKind::Action);
}

Outcome TelescopeDevice::slewingOn(Mount& core, bool& value)
{
    return slewingGiven(followPark(core), core, value);
}

Outcome TelescopeDevice::slewingGiven(ParkProgress park, Mount& core, bool& value)
{
    switch (park) {
    case ParkProgress::Moving:
        value = true;
        return Outcome::success();
    case ParkProgress::Arrived:
        value = false;
        return Outcome::success();
    case ParkProgress::None:
    case ParkProgress::Unconfirmed:
        break;
    }
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
}

TelescopeDevice::ParkProgress TelescopeDevice::followPark(Mount& core)
{
    const std::int64_t since = parkSinceMs;
    if (since == 0 && !parkUnconfirmed)
        return ParkProgress::None;
    bool arrived = false;
    core.parkArrived(arrived);
    if (arrived) {
        endPark();
        parkSeenSteadyMs = clock.steadyMs();
        // What was read of the motion before the arrival no longer holds;
        // what the mount has just said does.
        reads.changedByWrite({Member::Slewing, Member::AtPark, Member::Tracking});
        reads.keep(Member::AtPark, Json(true));
        reads.keep(Member::Slewing, Json(false));
        return ParkProgress::Arrived;
    }
    if (since != 0 && std::int64_t(clock.steadyMs()) - since >= std::int64_t(waitLimitMs(kParkWaitLimitMs))) {
        parkSinceMs = 0;
        parkUnconfirmed = true;
        log("the mount did not report reaching its park position within " + secondsText(waitLimitMs(kParkWaitLimitMs))
            + " s; the park no longer counts as slewing, and AtPark asks the mount each time");
    }
    return parkSinceMs != 0 ? ParkProgress::Moving : ParkProgress::Unconfirmed;
}

void TelescopeDevice::endPark()
{
    parkSinceMs = 0;
    parkUnconfirmed = false;
    parkSeenSteadyMs = 0;
}

Outcome TelescopeDevice::startPark(std::uint32_t client)
{
    return callConnected(
        [&](Mount& core) {
            // A park on its way, or past its bound and not yet shown to
            // have arrived: asked for again, it is the same park.
            if (parkSinceMs != 0 || parkUnconfirmed)
                return Outcome::success();
            bool moving = false;
            Outcome outcome = core.beginPark(moving);
            if (moving) {
                // The park replaces a home search as it does a slew.
                homeSearchSinceMs = 0;
                parkSinceMs = std::max<std::int64_t>(1, std::int64_t(clock.steadyMs()));
            }
            return outcome;
        },
        Urgency::Normal, client, CallKind::Action);
}

Outcome TelescopeDevice::unpark(std::uint32_t client)
{
    return callConnected(
        [&](Mount& core) {
            const bool wasParking = parkSinceMs != 0;
            const bool wasParked = core.parkRecorded();
            endPark();
            Outcome outcome = core.unpark();
            if (outcome.succeeded() && wasParked)
                core.noteUnparked();
            // A mount with no unpark command may still be on its way.
            if (wasParking)
                core.watchForStop();
            return outcome;
        },
        Urgency::Normal, client, CallKind::Action);
}

Outcome TelescopeDevice::atParkOn(Mount& core, bool& value)
{
    return atParkGiven(followPark(core), core, value);
}

Outcome TelescopeDevice::atParkGiven(ParkProgress park, Mount& core, bool& value)
{
    switch (park) {
    case ParkProgress::Moving:
    case ParkProgress::Unconfirmed:
        value = false;
        return Outcome::success();
    case ParkProgress::Arrived:
        value = true;
        return Outcome::success();
    case ParkProgress::None:
        break;
    }
    return core.atPark(value);
}

Outcome TelescopeDevice::trackingOn(Mount& core, bool& value)
{
    // Parking and parked (the park record is set from the park's start),
    // the mount does not track, whatever it was told before the park.
    if (core.parkRecorded()) {
        value = false;
        return Outcome::success();
    }
    return core.tracking(value);
}

Outcome TelescopeDevice::motionOn(Mount& core, MotionReading& value)
{
    // One look at the park for all three: they cannot tell of two moments.
    const ParkProgress park = followPark(core);
    Outcome outcome = slewingGiven(park, core, value.slewing);
    if (outcome.succeeded())
        outcome = atParkGiven(park, core, value.atPark);
    if (outcome.succeeded())
        outcome = trackingOn(core, value.tracking);
    return outcome;
}

bool TelescopeDevice::motionUnderWay() const
{
    return parkOrHomeSearchUnderWay() || slewUnderWay;
}

bool TelescopeDevice::parkOrHomeSearchUnderWay() const
{
    return parkSinceMs != 0 || parkUnconfirmed || homeSearchSinceMs != 0;
}

Motion TelescopeDevice::motionNow() const
{
    if (parkOrHomeSearchUnderWay())
        return Motion::ParkOrHomeSearch;
    return slewUnderWay ? Motion::Slew : Motion::None;
}

Outcome TelescopeDevice::abortSlew(std::uint32_t client, Urgency urgency)
{
    return callConnected(
        [&](Mount& core) {
            if (parkSinceMs != 0 || parkUnconfirmed) {
                // The park stops where the mount is: neither parked nor moving.
                endPark();
                return core.abortPark();
            }
            // Tracking as kept fresh (no write since): the stop need not
            // wait for the question.
            std::optional<SharedReads::Fresh> tracking = reads.fresh(Member::Tracking);
            const bool known = tracking && tracking->value.is_boolean()
                && clock.steadyMs() - tracking->steadyMs <= kTrackingKnownForMs;
            Outcome outcome = known ? core.abortSlewRestoringTracking(tracking->value.get<bool>()) : core.abortSlew();
            if (!outcome.succeeded())
                return outcome;
            homeSearchSinceMs = 0;
            // Whether the mount has stopped, asked at once while it answers:
            // until it says so, every program's reads of where it points are
            // each asked afresh.
            bool slewing = false;
            if (core.slewRecorded() && linkWatch.state() == LinkWatch::State::Open)
                core.slewing(slewing);
            return outcome;
        },
        urgency, client, CallKind::Stop);
}

std::unique_ptr<MountProbe> TelescopeDevice::describe()
{
    // Under the lock, so that no client's connect finds the port held by
    // the probe's own open.
    MountQueue::Turn turn(queue);
    if (mount.sharedState().connected) {
        // The probe's open would be refused: it asks over the connection,
        // unless the link is down (nothing to ask).
        auto probe = std::make_unique<MountProbe>(settings, clock, [] { return std::unique_ptr<SerialPort>(); });
        if (linkWatch.state() == LinkWatch::State::Open) {
            mount.probeOverConnection(*probe);
            noteDeviceGone();
        }
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
    if (housekeeper.joinable())
        housekeeper.join();
    {
        std::lock_guard<std::mutex> lock(clientsMutex);
        clients.clear();
    }
    MountQueue::Turn turn(queue);
    if (mount.sharedState().connected) {
        mount.setConnected(false);
        log("disconnected from " + settings.portLabel(1));
    }
    mount.release();
    reads.forgetAll();
    endConnectionTrace();
}

void TelescopeDevice::noteModelFacts()
{
    std::map<Member, bool> capabilities;
    const std::pair<Member, Outcome (Mount::*)(bool&) const> asked[] = {
        {Member::CanPark, &Mount::canPark},           {Member::CanUnpark, &Mount::canUnpark},
        {Member::CanSetTracking, &Mount::canSetTracking}, {Member::CanPulseGuide, &Mount::canPulseGuide},
        {Member::CanSync, &Mount::canSync},           {Member::CanSlewAsync, &Mount::canSlewAsync},
        {Member::CanFindHome, &Mount::canFindHome},
    };
    for (const auto& [member, reader] : asked) {
        bool value = false;
        if ((mount.*reader)(value).isSuccess())
            capabilities[member] = value;
    }
    std::vector<DriveRate> rates;
    mount.listedTrackingRates(rates);
    std::lock_guard<std::mutex> lock(statusMutex);
    statusModel = mount.sharedState().model;
    modelCapabilities = std::move(capabilities);
    modelTrackingRates.clear();
    for (DriveRate rate : rates)
        modelTrackingRates.push_back(std::int32_t(rate));
}

void TelescopeDevice::noteAfterCall()
{
    activity.noteExchanges(clock.steadyMs(), mount.exchangeTally().exchanges);
    std::optional<std::pair<double, double>> target;
    double rightAscension = 0;
    double declination = 0;
    if (slewUnderWay && mount.targetRightAscension(rightAscension).isSuccess()
        && mount.targetDeclination(declination).isSuccess())
        target = std::make_pair(rightAscension, declination);
    std::lock_guard<std::mutex> lock(statusMutex);
    slewTarget = target;
}

void TelescopeDevice::notePark()
{
    // Parked since: the arrival this server saw, or a reading of AtPark.
    std::uint64_t parkedSinceMs = parkSeenSteadyMs;
    const std::optional<SharedReads::Fresh> atPark = reads.fresh(Member::AtPark);
    if (atPark && atPark->value == Json(true))
        parkedSinceMs = parkedSinceMs == 0 ? atPark->steadyMs : std::min(parkedSinceMs, atPark->steadyMs);
    if (parkedSinceMs == 0)
        return;
    const std::optional<SharedReads::Fresh> altitude = reads.fresh(Member::Altitude);
    const std::optional<SharedReads::Fresh> azimuth = reads.fresh(Member::Azimuth);
    if (!altitude || !azimuth || altitude->steadyMs < parkedSinceMs || azimuth->steadyMs < parkedSinceMs
        || !altitude->value.is_number() || !azimuth->value.is_number())
        return;
    std::lock_guard<std::mutex> lock(statusMutex);
    parkPosition = std::make_pair(altitude->value.get<double>(), azimuth->value.get<double>());
}

TelescopeDevice::Status TelescopeDevice::status()
{
    notePark();
    Status status;
    const std::uint64_t now = clock.steadyMs();
    status.linkOpen = linkOpenNow && !connectingNow;
    status.linkState = linkWatch.state();
    status.downSinceWallMs = status.linkOpen ? linkWatch.downSinceWall() : 0;
    status.linkDescription = status.linkOpen ? linkWatch.describe() : "closed";
    status.exchangesPerSecond = activity.exchangesPerSecond(now);
    status.lastError = activity.lastError();
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        status.model = statusModel;
        status.capabilities = modelCapabilities;
        status.trackingRates = modelTrackingRates;
        if (status.linkOpen)
            status.slewTarget = slewTarget;
        status.parkPosition = parkPosition;
    }
    std::lock_guard<std::mutex> lock(clientsMutex);
    for (const ClientLedger::Row& row : ledger.rows(now))
        status.clients.push_back(Status::Client{row.client, clients.count(row.client) != 0, row.requestsLastMinute,
                                                now > row.lastHeardMs ? now - row.lastHeardMs : 0});
    return status;
}
