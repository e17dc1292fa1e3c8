#include "DeviceStateReadings.h"

#include "AlpacaWire.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace {

// Who a read is for: a client (its connection checked, its turn taken) or
// the server itself.
struct Asker {
    bool server;
    std::uint32_t client;
};

using FieldRead = std::function<SharedReads::Result(TelescopeDevice&, Member key, Asker)>;

struct StateField {
    // The member whose reads it shares; DeviceState names it as the member.
    Member member;
    // Kept fresh while any client is connected: the position, and tracking,
    // which an abort restores without asking first.
    bool always;
    // The mount's clock: answered as last read plus the time since, and
    // read again only now and then (three exchanges on some models).
    bool ticking;
    // Tells where a motion stands: read afresh while one may be under way,
    // so that no answer holds a slew or a park that has ended, or misses
    // one that has.
    bool motion;
    // Of those, the ones read together in one turn while a motion may be
    // under way, which then tell of one moment.
    bool TelescopeDevice::MotionReading::*together;
    FieldRead read;
};

template <class Value, class OnMount>
FieldRead readingOf(OnMount onMount)
{
    return [onMount](TelescopeDevice& device, Member key, Asker asker) {
        auto read = [&](Value& result) {
            auto member = [&](Mount& core) { return onMount(device, core, result); };
            return asker.server ? device.callForServer(member)
                                : device.callConnected(member, Urgency::Normal, asker.client);
        };
        return asker.server ? sharedRead<Value>(device.sharedReads(), key, read)
                            : clientRead<Value>(device, asker.client, key, read);
    };
}

template <auto Reader>
FieldRead coreReading()
{
    using Value = typename ReaderOf<decltype(Reader)>::Value;
    return readingOf<Value>([](TelescopeDevice&, Mount& core, Value& value) { return (core.*Reader)(value); });
}

// A read the device makes on the mount (what it adds to the core's).
template <Outcome (TelescopeDevice::*Reader)(Mount&, bool&)>
FieldRead deviceReading()
{
    return readingOf<bool>([](TelescopeDevice& device, Mount& core, bool& value) { return (device.*Reader)(core, value); });
}

const std::vector<StateField>& stateFields()
{
    static const std::vector<StateField> fields = [] {
        std::vector<StateField> table = {
            {Member::Altitude, true, false, false, nullptr, coreReading<&Mount::altitude>()},
            {Member::AtHome, false, false, true, nullptr, coreReading<&Mount::atHome>()},
            {Member::AtPark, false, false, true, &TelescopeDevice::MotionReading::atPark, deviceReading<&TelescopeDevice::atParkOn>()},
            {Member::Azimuth, true, false, false, nullptr, coreReading<&Mount::azimuth>()},
            {Member::Declination, true, false, false, nullptr, coreReading<&Mount::declination>()},
            {Member::IsPulseGuiding, false, false, false, nullptr, deviceReading<&TelescopeDevice::pulseGuidingOn>()},
            {Member::RightAscension, true, false, false, nullptr, coreReading<&Mount::rightAscension>()},
            {Member::SideOfPier, false, false, false, nullptr, coreReading<&Mount::sideOfPier>()},
            {Member::SiderealTime, false, false, false, nullptr, coreReading<&Mount::siderealTime>()},
            {Member::Slewing, false, false, true, &TelescopeDevice::MotionReading::slewing, deviceReading<&TelescopeDevice::slewingOn>()},
            {Member::Tracking, true, false, true, &TelescopeDevice::MotionReading::tracking, deviceReading<&TelescopeDevice::trackingOn>()},
            {Member::UTCDate, false, true, false, nullptr, coreReading<&Mount::utcDate>()},
        };
        return table;
    }();
    return fields;
}

// The mount's date as read, moved on by the time since it was read.
Json dateMovedOn(const SharedReads::Fresh& fresh, std::int64_t nowMs)
{
    UtcTime read{};
    if (!fresh.value.is_string() || !readUtcDate(fresh.value.get<std::string>(), read))
        return fresh.value;
    return formatUtcDate(read + std::chrono::duration_cast<MountDays>(std::chrono::milliseconds(nowMs - fresh.wallMs)));
}

std::string timeStampOf(std::int64_t wallMs)
{
    using namespace std::chrono;
    return formatUtcDate(time_point_cast<MountDays>(system_clock::time_point(milliseconds(wallMs))));
}

} // namespace

std::optional<DeviceStateReadings::MotionNow> DeviceStateReadings::readMotionTogether(std::uint32_t client)
{
    MotionNow now{{}, clock.wallMs()};
    Outcome outcome = device.callConnected([&](Mount& core) { return device.motionOn(core, now.reading); },
                                           Urgency::Normal, client);
    if (!outcome.isSuccess())
        return std::nullopt;
    return now;
}

DeviceStateReadings::DeviceStateReadings(TelescopeDevice& device, Clock& clock) : device(device), clock(clock)
{
    keeper = std::thread([this] { keepFresh(); });
}

DeviceStateReadings::~DeviceStateReadings()
{
    shutdown();
}

void DeviceStateReadings::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopping = true;
    }
    stopSignal.notify_all();
    if (keeper.joinable())
        keeper.join();
}

Json DeviceStateReadings::answer(std::uint32_t client)
{
    lastAskedMs = std::max<std::uint64_t>(1, clock.steadyMs());
    Json state = Json::array();
    std::optional<std::int64_t> oldest;
    if (device.isConnected(client)) {
        const bool moving = device.motionUnderWay();
        const std::optional<MotionNow> motionNow = moving ? readMotionTogether(client) : std::nullopt;
        for (const StateField& field : stateFields()) {
            std::optional<SharedReads::Fresh> fresh;
            if (field.together && moving) {
                // Read together just now, or left out when that failed.
                if (!motionNow)
                    continue;
                fresh = SharedReads::Fresh{Json(motionNow->reading.*field.together), 0, motionNow->wallMs};
            } else if (!(field.motion && moving)) {
                fresh = device.sharedReads().fresh(field.member);
            }
            if (!fresh) {
                // Nothing fit to give: read now, as the member would be.
                const std::int64_t asked = clock.wallMs();
                SharedReads::Result result = field.read(device, field.member, Asker{false, client});
                if (result.outcome.isSuccess())
                    fresh = SharedReads::Fresh{std::move(result.value), 0, asked};
            }
            // Nothing that fails is guessed at.
            if (!fresh)
                continue;
            if (field.ticking) {
                state.push_back(Json{{"Name", std::string(memberName(field.member))}, {"Value", dateMovedOn(*fresh, clock.wallMs())}});
                continue;
            }
            state.push_back(Json{{"Name", std::string(memberName(field.member))}, {"Value", fresh->value}});
            oldest = std::min(oldest.value_or(fresh->wallMs), fresh->wallMs);
        }
    }
    state.push_back(Json{{"Name", "TimeStamp"}, {"Value", timeStampOf(oldest.value_or(clock.wallMs()))}});
    return state;
}

bool DeviceStateReadings::stopRequested()
{
    std::lock_guard<std::mutex> lock(stopMutex);
    return stopping;
}

void DeviceStateReadings::refreshStale()
{
    const std::uint32_t goal = device.freshnessGoal();
    if (goal == 0)
        return;
    // Half the goal: a read may wait its turn for as long again.
    const std::uint64_t refreshFromAgeMs = goal / 2;
    const std::uint64_t asked = lastAskedMs.load();
    const bool everyField = asked != 0 && clock.steadyMs() - asked < kDeviceStateInterestMs;
    for (const StateField& field : stateFields()) {
        if (stopRequested() || device.connectedClients() == 0)
            return;
        if (!field.always && !everyField)
            continue;
        // The others only for DeviceState, whose TimeStamp tells their age.
        const std::uint64_t refreshFrom = field.ticking ? kClockRereadMs : field.always ? refreshFromAgeMs : goal;
        std::optional<SharedReads::Fresh> fresh = device.sharedReads().fresh(field.member);
        if (fresh && clock.steadyMs() - fresh->steadyMs < refreshFrom)
            continue;
        field.read(device, field.member, Asker{true, TelescopeDevice::kServerTurn});
    }
}

void DeviceStateReadings::keepFresh()
{
    std::unique_lock<std::mutex> lock(stopMutex);
    while (!stopping) {
        stopSignal.wait_for(lock, std::chrono::milliseconds(kFreshnessLookMs), [this] { return stopping; });
        if (stopping)
            break;
        lock.unlock();
        // No client, no link to keep reading.
        if (device.connectedClients() > 0)
            refreshStale();
        lock.lock();
    }
}
