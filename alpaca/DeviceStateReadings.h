// DeviceState: the mount's operational readings, answered at once from the
// freshest values every client's reads have left, each field sharing its
// exchange with its member's own reads. While clients are connected, reads
// of the server's own keep the position no older than a couple of seconds
// when no client's reads do, the readings that tell a motion's end as fresh
// while one may be under way, and every field as fresh while DeviceState is
// being asked.
#pragma once

#include "AlpacaResponse.h"
#include "Clock.h"
#include "TelescopeDevice.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// Who a read is for: a client (its connection checked, its turn taken) or
// the server itself.
struct Asker {
    bool server;
    std::uint32_t client;
};

// A field's read: shared with every read of the member (key).
using StateRead = std::function<SharedReads::Result(TelescopeDevice&, Member key, Asker)>;

// How a member appears in DeviceState: its column of the member table
// (TelescopeApi.cpp). The member's GET answers from the same read.
struct StateField {
    // Kept fresh while any client is connected: the position, and tracking,
    // which an abort restores without asking first.
    bool always = false;
    // The mount's clock: answered as last read plus the time since, and
    // read again only now and then (three exchanges on some models).
    bool ticking = false;
    // Tells where a motion stands, and is then read afresh rather than
    // given from the kept values while one may be under way, so that no
    // answer holds a motion that has ended, or misses one that has:
    // Slewing, whatever moves; AtPark, AtHome and Tracking, only while a
    // park or a home search may be under way (a slew changes none of
    // them, and its write makes them stale where it might).
    enum class Tells : std::uint8_t { Nothing, AnyMotion, ParkOrHomeSearch };
    Tells tells = Tells::Nothing;
    // Of those, the ones read together in one turn while a park or a home
    // search may be under way, which then tell of one moment: Slewing and
    // AtPark turn together.
    bool TelescopeDevice::MotionReading::*together = nullptr;
    // None for a member DeviceState does not give.
    StateRead read;
};

// A field of DeviceState: the member it is named by, and its column.
struct MemberStateField {
    Member member;
    const StateField* field;
};

class DeviceStateReadings {
public:
    // fields: the member table's, in name order.
    DeviceStateReadings(TelescopeDevice& device, Clock& clock, std::vector<MemberStateField> fields);
    ~DeviceStateReadings();
    DeviceStateReadings(const DeviceStateReadings&) = delete;
    DeviceStateReadings& operator=(const DeviceStateReadings&) = delete;

    // The readings for client, in name order: each field's freshest value;
    // a field with none (the link just made, or a write since) is read
    // now. TimeStamp: when the oldest value given was read. Only the
    // TimeStamp for a client that has not connected.
    Json answer(std::uint32_t client);

    void shutdown();

private:
    // Slewing, AtPark and Tracking in one turn, as the client's read, and
    // when it was asked; nothing when refused.
    struct MotionNow {
        TelescopeDevice::MotionReading reading;
        std::int64_t wallMs;
    };
    std::optional<MotionNow> readMotionTogether(std::uint32_t client);
    void keepFresh();
    void refreshStale();
    // Whether the field tells where a motion that may be under way stands.
    bool tellsMotionUnderWay(const StateField& field);
    bool stopRequested();

    TelescopeDevice& device;
    Clock& clock;
    const std::vector<MemberStateField> fields;
    // Steady milliseconds of the last DeviceState asked; 0 before any.
    std::atomic<std::uint64_t> lastAskedMs{0};
    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopping = false;
    std::thread keeper;
};

// A wall time as Alpaca writes times.
std::string timeStampOf(std::int64_t wallMs);

// Every field is kept fresh for this long after a DeviceState.
constexpr std::uint64_t kDeviceStateInterestMs = 10000;
// The mount's clock is read again after this long: it runs on meanwhile.
constexpr std::uint64_t kClockRereadMs = 60000;
// How often the keeper looks at the ages.
constexpr std::uint32_t kFreshnessLookMs = 100;
