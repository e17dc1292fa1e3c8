// The one mount the server serves, shared by every client: the core's
// Mount with its lock (one call on the mount at a time), and the work a
// client starts and does not wait for (connecting, a pulse sent in timed
// pieces, a home search), which the readers report while it lasts.
#pragma once

#include "ClientLedger.h"
#include "LinkActivity.h"
#include "LinkWatch.h"
#include "Mount.h"
#include "MountProbe.h"
#include "MountQueue.h"
#include "SharedReads.h"
#include "ServerSettings.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class TelescopeDevice {
public:
    using Log = std::function<void(const std::string&)>;

    TelescopeDevice(ServerSettings& settings, Log log, Clock& clock = systemClock(),
                    SerialPortMaker makePort = makeSystemSerialPort);
    ~TelescopeDevice();
    TelescopeDevice(const TelescopeDevice&) = delete;
    TelescopeDevice& operator=(const TelescopeDevice&) = delete;

    // One call of the core with the mount to itself, when its turn comes
    // (urgency and the client's round, MountQueue).
    template <class Member>
    Outcome call(Member&& member, Urgency urgency = Urgency::Normal, std::uint32_t client = 0)
    {
        MountQueue::Turn turn(queue, urgency, client);
        return runOnMount(member, false);
    }
    // What a call is, for what its exchanges mean to its client:
    // - Read: its value is what the mount answered, so an exchange left
    //   unanswered, or a reply it could not use, makes it fail;
    // - Action: the core's outcome says how it went;
    // - Stop: as an action, and sent to a silent mount all the same (it
    //   costs nothing to try), refused only without a device;
    // - Known: a read of what is known without an exchange (the model's
    //   capabilities, a value stored): answered while the link is down.
    enum class CallKind { Read, Action, Stop, Known };

    // As call, for a member that needs the mount: refused as not connected
    // when the client has not connected (or the mount is not), and at once
    // while the link is down (LinkWatch), as its kind says. A device that
    // went away under the port is let go, and the clients stay connected
    // while the server looks for it.
    template <class Member>
    Outcome callConnected(Member&& member, Urgency urgency = Urgency::Normal, std::uint32_t client = 0,
                          CallKind kind = CallKind::Read)
    {
        if (std::optional<Outcome> refused = refusalBeforeTurn(false, client, kind))
            return *refused;
        MountQueue::Turn turn(queue, urgency, client);
        return runOnMount(member, true, kind);
    }

    // A read the server makes for itself (keeping values fresh): a turn of
    // its own among the clients', refused when the link is not open.
    template <class Member>
    Outcome callForServer(Member&& member)
    {
        if (std::optional<Outcome> refused = refusalBeforeTurn(true))
            return *refused;
        MountQueue::Turn turn(queue, Urgency::Normal, kServerTurn);
        return runOnMount(member, true);
    }
    // The turns the server's own reads take.
    static constexpr std::uint32_t kServerTurn = 0xFFFFFFFFu;

    // A read made in parts (member, `parts` times, each a call on the
    // mount) within one turn, for a client or (forServer) the server: a stop
    // that comes meanwhile goes between two parts, and so waits for one
    // exchange at most. Refused as callConnected or callForServer is; every
    // part runs, and the first that fails is the outcome.
    template <class Member>
    Outcome readInParts(int parts, Member&& member, bool forServer, std::uint32_t client = 0)
    {
        if (std::optional<Outcome> refused = refusalBeforeTurn(forServer, client))
            return *refused;
        MountQueue::Turn turn(queue, Urgency::Normal, forServer ? kServerTurn : client);
        Outcome outcome = runOnMount(member, true);
        for (int part = 1; part < parts; ++part) {
            turn.letStopsThrough();
            Outcome next = runOnMount(member, true);
            if (outcome.succeeded())
                outcome = std::move(next);
        }
        return outcome;
    }

    // Each client (by its ClientID; those without one are client 0, one
    // client together) connects and disconnects for itself. The serial link
    // opens with the first client's connect and closes after the last
    // one's disconnect, or once every connected client has been silent for
    // the client time-out (vanished).
    //
    // The client's own state; false while its connection is being made.
    bool isConnected(std::uint32_t client);
    // Whether the serial link is open to the mount, whoever asked for it.
    bool linkConnected();
    Outcome connect(std::uint32_t client);
    Outcome disconnect(std::uint32_t client);
    // Connect without waiting; connecting(client) is true until it is over.
    void startConnecting(std::uint32_t client);
    bool connecting(std::uint32_t client);
    // A request came from client: it is not gone, and it is not silent
    // while the request is being answered (answered() when it is). False,
    // and the request not counted, when the client has its fill of
    // requests under way.
    bool heardFrom(std::uint32_t client);
    void answered(std::uint32_t client);
    void setClientTimeoutMs(std::int64_t ms) { clientTimeoutMs = ms; }
    std::size_t connectedClients();

    // A pulse that returns at once: its timed pieces go out from a thread
    // of this object's own while pulseGuidingOn() is true.
    Outcome startPulseGuide(GuideDirection direction, std::int32_t durationMs, std::uint32_t client = 0);
    // The two reads as made on the mount, within a turn already taken.
    Outcome pulseGuidingOn(Mount& core, bool& value);
    Outcome slewingOn(Mount& core, bool& value);
    // A home search that returns at once; slewingOn() is true until the
    // mount reports home (or the search's bound has passed).
    Outcome startFindHome(std::uint32_t client = 0);
    // During a park it stops the park short. Urgency::Motion goes before
    // every waiting read.
    Outcome abortSlew(std::uint32_t client = 0, Urgency urgency = Urgency::Motion);

    // A park that returns at once. Until the mount is at its park position
    // slewing is true and atPark and tracking false; then both turn
    // together. A park the mount never reports ended stops counting as
    // slewing after the bound, and atPark then asks the mount each time.
    Outcome startPark(std::uint32_t client = 0);
    Outcome unpark(std::uint32_t client = 0);
    // The reads as made on the mount, within a turn already taken.
    Outcome atParkOn(Mount& core, bool& value);
    Outcome trackingOn(Mount& core, bool& value);
    // Slewing, AtPark and Tracking as of one moment, within a turn taken.
    struct MotionReading {
        bool slewing = false;
        bool atPark = false;
        bool tracking = false;
    };
    Outcome motionOn(Mount& core, MotionReading& value);
    // A slew, park or home search may be under way: the readings of motion
    // may be old by the time they are given (no turn taken).
    bool motionUnderWay() const;
    // Of those, a park or a home search, which ends in AtPark or AtHome.
    bool parkOrHomeSearchUnderWay() const;
    // Which of them may be under way.
    Motion motionNow() const;

    // What the setup page shows: the probe of the stored device, or, while
    // the server holds the port, the same questions over its connection.
    std::unique_ptr<MountProbe> describe();
    std::string modelName();

    // Ends the background work and closes the port (nothing is sent).
    void shutdown();

    // False while the device is gone or the mount silent.
    bool linkUp() const { return linkWatch.state() == LinkWatch::State::Open; }
    // No call holds the mount or waits for it: a read now delays nobody's.
    bool mountIdle() const { return queue.idle(); }
    // The link as the setup page shows it: "open", "gone since …",
    // "silent since …"; "closed" while the serial link is not open.
    std::string linkDescription();
    // What the status page shows of the device, from what it keeps: no
    // turn is taken and nothing is sent.
    struct Status {
        std::uint8_t model = 0;
        bool linkOpen = false;
        LinkWatch::State linkState = LinkWatch::State::Open;
        // Wall milliseconds; 0 while the link is open or closed.
        std::int64_t downSinceWallMs = 0;
        std::string linkDescription;
        double exchangesPerSecond = 0;
        LinkActivity::Error lastError;
        // The model's, known once it has connected.
        std::map<Member, bool> capabilities;
        std::vector<std::int32_t> trackingRates;
        // A slew under way: its target (hours, degrees).
        std::optional<std::pair<double, double>> slewTarget;
        // Altitude and azimuth where the mount was last seen parked.
        std::optional<std::pair<double, double>> parkPosition;
        struct Client {
            std::uint32_t client = 0;
            bool connected = false;
            std::uint64_t requestsLastMinute = 0;
            std::uint64_t msSinceLastRequest = 0;
        };
        std::vector<Client> clients;
    };
    Status status();

    // The handshake again now, when the link is down and it is due:
    // normally the housekeeping's, every 250 ms.
    void watchLink();

    static Outcome notConnected();

    // Whether the client has connected (no turn on the mount taken).
    bool clientConnected(std::uint32_t client);
    SharedReads& sharedReads() { return reads; }
    Clock& clockInUse() { return clock; }
    // The age the server's own reads keep values within; 0: they are off.
    void setFreshnessGoalMs(std::uint32_t ms) { freshnessGoalMs = ms; }
    std::uint32_t freshnessGoal() const { return freshnessGoalMs; }

private:
    // The member on the mount, within a turn taken.
    template <class Member>
    Outcome runOnMount(Member& member, bool needsLink, CallKind kind = CallKind::Read)
    {
        if (needsLink && !mount.sharedState().connected)
            return notConnected();
        if (!needsLink || kind == CallKind::Known)
            return member(mount);
        if (std::optional<Outcome> down = linkRefusal(kind))
            return *down;
        const bool wasSilent = linkWatch.state() == LinkWatch::State::MountSilent;
        const ExchangeTally before = mount.exchangeTally();
        const Motion motionBefore = motionNow();
        reads.exchangeBegins();
        Outcome outcome = member(mount);
        slewUnderWay = mount.slewRecorded();
        // Where the mount stopped: what was read of where it pointed on the
        // way no longer holds.
        if (motionBefore != Motion::None && motionNow() == Motion::None)
            reads.changedByWrite(kPositionMembers);
        noteAfterCall();
        if (noteDeviceGone())
            return *linkWatch.refusal();
        // Sent to a silent mount, which did not answer (or was not asked):
        // nobody said it was done.
        if (wasSilent && !answeredSince(before))
            return *linkWatch.refusal();
        return judged(before, outcome, kind);
    }
    // Whether the mount answered any exchange since the tally before.
    bool answeredSince(const ExchangeTally& before) const
    {
        const ExchangeTally& now = mount.exchangeTally();
        return now.exchanges - before.exchanges > now.unanswered - before.unanswered;
    }
    // What a call is told at once, before it waits for its turn: a
    // client's when it has not connected, and anyone's while the link is
    // down (the server's own reads whatever their kind).
    std::optional<Outcome> refusalBeforeTurn(bool forServer, std::uint32_t client = 0,
                                             CallKind kind = CallKind::Read)
    {
        if (forServer)
            return linkWatch.refusal();
        if (!clientConnected(client))
            return notConnected();
        return linkRefusal(kind);
    }
    // What a call of this kind is told while the link is down, if refused.
    std::optional<Outcome> linkRefusal(CallKind kind) const
    {
        if (kind == CallKind::Known)
            return std::nullopt;
        if (kind == CallKind::Stop && linkWatch.state() == LinkWatch::State::MountSilent)
            return std::nullopt;
        return linkWatch.refusal();
    }
    // The outcome the client gets for a call whose exchanges went from
    // before to the tally now (LinkWatch::judge), logging a silence.
    Outcome judged(const ExchangeTally& before, const Outcome& outcome, CallKind kind);
    // True when the device had gone away under the port, which is then
    // let go, and the work it interrupted ended.
    bool noteDeviceGone();
    // A park, home search or pulse the lost link interrupted: what is
    // reported afterwards is what the mount says.
    void endInterruptedWork();
    // The handshake's result, within a turn taken.
    void handshakeAgain();
    // The log's line, and the trace's when one is being written.
    void logLink(const std::string& line);
    // Where the park under way stands, after one look at the mount when
    // there is one.
    enum class ParkProgress { None, Moving, Arrived, Unconfirmed };
    ParkProgress followPark(Mount& core);
    Outcome slewingGiven(ParkProgress park, Mount& core, bool& value);
    Outcome atParkGiven(ParkProgress park, Mount& core, bool& value);
    void endPark();
    // The model's capabilities and rates for the status page, within a turn
    // taken, once the link is made.
    void noteModelFacts();
    // After a call on the mount, within its turn: its exchanges, and the
    // target of a slew it left under way.
    void noteAfterCall();
    // The position read since the mount was last seen parked.
    void notePark();
    // The link itself, whoever asked.
    Outcome connectLink();
    Outcome disconnectLink();
    // Forgets the clients silent past the time-out; the link closes when
    // none is left.
    void forgetSilentClients();
    void keepHouse();
    void logConnection(const Outcome& outcome);
    // Waits for the work thread to end; the lock must not be held.
    void joinWorker();
    void sendPulsePieces(PulsePlan pieces);
    bool waitOrStop(std::uint32_t ms);
    void setPiecesCancelled(bool cancelled);

    ServerSettings& settings;
    Log log;
    Clock& clock;
    SerialPortMaker makePort;
    // One call on the mount at a time, motion first, clients by turns.
    MountQueue queue;
    Mount mount;
    SharedReads reads{clock, [this] { return linkUp() && !queue.idle(); }, [this] { return motionNow(); }};
    LinkWatch linkWatch;

    std::mutex workerMutex;
    std::thread worker;
    std::atomic<bool> connectingNow{false};
    std::atomic<bool> pulsingNow{false};
    // Steady milliseconds when the home search began; 0 when none runs.
    std::atomic<std::int64_t> homeSearchSinceMs{0};
    // Steady milliseconds when the park under way began; 0 when none is.
    std::atomic<std::int64_t> parkSinceMs{0};
    // A park past its bound that the mount has not reported ended.
    std::atomic<bool> parkUnconfirmed{false};
    // The core's slew record as last seen after a call.
    std::atomic<bool> slewUnderWay{false};

    LinkActivity activity;
    ClientLedger ledger;
    // The status page's facts, kept when known.
    std::atomic<bool> linkOpenNow{false};
    std::mutex statusMutex;
    std::uint8_t statusModel = 0;
    std::map<Member, bool> modelCapabilities;
    std::vector<std::int32_t> modelTrackingRates;
    std::optional<std::pair<double, double>> slewTarget;
    std::optional<std::pair<double, double>> parkPosition;
    // Steady milliseconds of the park's arrival; 0 since an unpark.
    std::atomic<std::uint64_t> parkSeenSteadyMs{0};

    std::mutex clientsMutex;
    // Connected clients, with the steady milliseconds they were last heard.
    std::map<std::uint32_t, std::int64_t> clients;
    // Requests of each client still being answered: a client waiting for
    // its answer is not silent however long the mount keeps it.
    std::map<std::uint32_t, std::uint32_t> requestsUnderWay;
    // Clients whose Connect waits for the link being made.
    std::set<std::uint32_t> clientsConnecting;
    std::atomic<std::int64_t> clientTimeoutMs{300000};
    std::atomic<std::uint32_t> freshnessGoalMs{2000};
    std::thread housekeeper;

    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopping = false;
    // A disconnect ends a pulse still sending its pieces.
    bool cancelPieces = false;
};

// Requests one client may have under way at once: more would only hold the
// server's threads from the other clients (the clients without an ID share
// one allowance).
constexpr std::uint32_t kMostRequestsInFlightPerClient = 8;

// How long a park may take before the server stops reporting it as a slew.
constexpr std::uint32_t kParkWaitLimitMs = 300000;

// How long a read of tracking stands for the abort's restore of it: the
// server's own reads keep it fresher; older, the abort asks again.
constexpr std::uint64_t kTrackingKnownForMs = 5000;

// The text of a member refused because the mount is not connected.
constexpr const char* kNotConnected = "The telescope is not connected";
