// The one mount the server serves, shared by every client: the core's
// Mount with its lock (one call on the mount at a time), and the work a
// client starts and does not wait for (connecting, a pulse sent in timed
// pieces, a home search), which the readers report while it lasts.
#pragma once

#include "Mount.h"
#include "MountProbe.h"
#include "ServerSettings.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TelescopeDevice {
public:
    using Log = std::function<void(const std::string&)>;

    TelescopeDevice(ServerSettings& settings, Log log, Clock& clock = systemClock(),
                    SerialPortMaker makePort = makeSystemSerialPort);
    ~TelescopeDevice();
    TelescopeDevice(const TelescopeDevice&) = delete;
    TelescopeDevice& operator=(const TelescopeDevice&) = delete;

    // One call of the core with the mount to itself. A device that went
    // away under the port is let go afterwards: the mount then counts as
    // not connected, and the next connect opens it again. The call itself
    // is then refused: what it read did not come from the mount.
    template <class Member>
    Outcome call(Member&& member)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Outcome outcome = member(mount);
        if (letGoOfVanishedPort())
            return notConnected();
        return outcome;
    }
    // As call, for a member that needs the mount: refused as not connected
    // when it is not.
    template <class Member>
    Outcome callConnected(Member&& member)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!mount.sharedState().connected)
            return notConnected();
        Outcome outcome = member(mount);
        if (letGoOfVanishedPort())
            return notConnected();
        return outcome;
    }

    // Connected is false while a connection is being made.
    bool isConnected();
    Outcome connect();
    Outcome disconnect();
    // Connect without waiting; connecting() is true until it is over.
    void startConnecting();
    bool connecting() const { return connectingNow.load(); }

    // A pulse that returns at once: its timed pieces go out from a thread
    // of this object's own while isPulseGuiding() is true.
    Outcome startPulseGuide(GuideDirection direction, std::int32_t durationMs);
    Outcome isPulseGuiding(bool& value);
    // A home search that returns at once; slewing() is true until the mount
    // reports home (or the search's bound has passed).
    Outcome startFindHome();
    Outcome slewing(bool& value);
    Outcome abortSlew();

    // What the setup page shows: the probe of the stored device, or, while
    // the server holds the port, the same questions over its connection.
    std::unique_ptr<MountProbe> describe();
    std::string modelName();

    // Ends the background work and closes the port (nothing is sent).
    void shutdown();

    static Outcome notConnected();

private:
    // True when the device had gone away and was let go.
    bool letGoOfVanishedPort();
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
    std::mutex mutex;
    Mount mount;

    std::mutex workerMutex;
    std::thread worker;
    std::atomic<bool> connectingNow{false};
    std::atomic<bool> pulsingNow{false};
    // Steady milliseconds when the home search began; 0 when none runs.
    std::int64_t homeSearchSinceMs = 0;

    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopping = false;
    // A disconnect ends a pulse still sending its pieces.
    bool cancelPieces = false;
};

// The text of a member refused because the mount is not connected.
constexpr const char* kNotConnected = "The telescope is not connected";
