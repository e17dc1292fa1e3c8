#include "DeviceStateReadings.h"

#include "RequestValues.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

std::string timeStampOf(std::int64_t wallMs)
{
    using namespace std::chrono;
    return formatUtcDate(time_point_cast<MountDays>(system_clock::time_point(milliseconds(wallMs))));
}

namespace {

// Whether a field is read now rather than given from the kept values.
bool readAfresh(const StateField& field, bool moving, bool parkOrHomeSearch)
{
    switch (field.tells) {
    case StateField::Tells::AnyMotion:
        return moving;
    case StateField::Tells::ParkOrHomeSearch:
        return parkOrHomeSearch;
    case StateField::Tells::Nothing:
        break;
    }
    return false;
}

} // namespace

std::optional<DeviceStateReadings::MotionNow> DeviceStateReadings::readMotionTogether(std::uint32_t client)
{
    // Shared as any read is: the DeviceStates that overlap take one turn.
    // Its value: Slewing, AtPark, Tracking and when they were asked.
    SharedReads::Result result = device.sharedReads().read(Member::DeviceState, [&] {
        TelescopeDevice::MotionReading reading;
        const std::int64_t asked = clock.wallMs();
        Outcome outcome = device.callConnected([&](Mount& core) { return device.motionOn(core, reading); },
                                               Urgency::Normal, client);
        return SharedReads::Result{outcome, Json::array({reading.slewing, reading.atPark, reading.tracking, asked})};
    });
    if (!result.outcome.isSuccess())
        return std::nullopt;
    const Json& read = result.value;
    return MotionNow{{read[0].get<bool>(), read[1].get<bool>(), read[2].get<bool>()}, read[3].get<std::int64_t>()};
}

DeviceStateReadings::DeviceStateReadings(TelescopeDevice& device, Clock& clock, std::vector<MemberStateField> fields)
    : device(device), clock(clock), fields(std::move(fields))
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
        // While the link is down nothing can be read afresh: the values
        // kept from before, with the time they were read.
        const bool linkUp = device.linkUp();
        const bool moving = linkUp && device.motionUnderWay();
        const bool parkOrHomeSearch = linkUp && device.parkOrHomeSearchUnderWay();
        const std::optional<MotionNow> motionNow = parkOrHomeSearch ? readMotionTogether(client) : std::nullopt;
        for (const auto& [member, field] : fields) {
            std::optional<SharedReads::Fresh> fresh;
            if (field->together && parkOrHomeSearch) {
                // Read together just now, or left out when that failed.
                if (!motionNow)
                    continue;
                fresh = SharedReads::Fresh{Json(motionNow->reading.*field->together), 0, motionNow->wallMs};
            } else if (!readAfresh(*field, moving, parkOrHomeSearch)) {
                fresh = device.sharedReads().fresh(member);
            }
            if (!fresh) {
                // Nothing fit to give: read now, as the member would be.
                const std::int64_t asked = clock.wallMs();
                SharedReads::Result result = field->read(device, member, Asker{false, client});
                if (result.outcome.isSuccess())
                    fresh = SharedReads::Fresh{std::move(result.value), 0,
                                               result.heldAtWallMs != 0 ? result.heldAtWallMs : asked};
            }
            // Nothing that fails is guessed at.
            if (!fresh)
                continue;
            if (field->ticking) {
                const Json now = movedOn(member, fresh->value, clock.wallMs() - fresh->wallMs);
                state.push_back(Json{{"Name", std::string(memberName(member))}, {"Value", now}});
                continue;
            }
            state.push_back(Json{{"Name", std::string(memberName(member))}, {"Value", fresh->value}});
            oldest = std::min(oldest.value_or(fresh->wallMs), fresh->wallMs);
        }
    }
    state.push_back(Json{{"Name", "TimeStamp"}, {"Value", timeStampOf(oldest.value_or(clock.wallMs()))}});
    return state;
}

bool DeviceStateReadings::tellsMotionUnderWay(const StateField& field)
{
    return readAfresh(field, device.motionUnderWay(), device.parkOrHomeSearchUnderWay());
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
    for (const auto& [member, field] : fields) {
        if (stopRequested() || device.connectedClients() == 0)
            return;
        // What tells a motion's end is kept as fresh as the position while
        // the motion may last: what was last read of it ends with it.
        const bool keptNow = field->always || tellsMotionUnderWay(*field);
        if (!keptNow && !everyField)
            continue;
        // The others only for DeviceState, whose TimeStamp tells their age.
        const std::uint64_t refreshFrom = field->ticking ? kClockRereadMs : keptNow ? refreshFromAgeMs : goal;
        std::optional<SharedReads::Fresh> fresh = device.sharedReads().fresh(member);
        const std::uint64_t age = fresh ? clock.steadyMs() - fresh->steadyMs : UINT64_MAX;
        if (age < refreshFrom)
            continue;
        // Read early only while nobody waits for the mount: when clients
        // keep it busy their own reads keep the values fresh, and one more
        // read of ours would only make every one of theirs later still.
        // Past the goal a value is read whoever waits.
        if (age < goal && !device.mountIdle())
            continue;
        field->read(device, member, Asker{true, TelescopeDevice::kServerTurn});
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
