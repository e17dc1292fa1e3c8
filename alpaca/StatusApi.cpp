#include "StatusApi.h"

#include "DeviceStateReadings.h"
#include "ManagementApi.h"
#include "MountModels.h"
#include "SkyMath.h"
#include "SkyTargets.h"
#include "Catalogue.h"
#include "Messages.h"

#include <array>
#include <cmath>
#include <utility>

namespace {

// The readings the page shows, as DeviceState names them.
constexpr std::array kShownReadings = {
    Member::RightAscension, Member::Declination, Member::Altitude, Member::Azimuth, Member::SideOfPier,
    Member::SiderealTime,   Member::UTCDate,     Member::Tracking, Member::TrackingRate, Member::Slewing,
    Member::AtPark,         Member::AtHome,      Member::IsPulseGuiding,
};

std::string driveRateName(std::int32_t rate)
{
    constexpr std::array<const char*, 5> kNames = {"Sidereal", "Lunar", "Solar", "King", "Custom"};
    return rate >= 0 && std::size_t(rate) < kNames.size() ? kNames[std::size_t(rate)] : std::to_string(rate);
}

std::string linkStateName(const TelescopeDevice::Status& status)
{
    if (!status.linkOpen)
        return "closed";
    switch (status.linkState) {
    case LinkWatch::State::DeviceGone:
        return "gone";
    case LinkWatch::State::MountSilent:
        return "silent";
    case LinkWatch::State::Open:
        break;
    }
    return "open";
}

std::string wallTimeOrNothing(std::int64_t wallMs)
{
    return wallMs == 0 ? std::string() : timeStampOf(wallMs);
}

// A reading as last read, moved on where it runs on by itself.
Json shownValue(Member member, const SharedReads::Fresh& fresh, std::int64_t nowWallMs)
{
    return movedOn(member, fresh.value, nowWallMs - fresh.wallMs);
}

Json pairOrNull(const std::optional<std::pair<double, double>>& pair, const char* first, const char* second)
{
    return pair ? Json{{first, pair->first}, {second, pair->second}} : Json(nullptr);
}

Json readingsOf(TelescopeDevice& device, std::int64_t nowWallMs, Json& ages)
{
    Json mount = Json::object();
    std::int64_t newest = 0;
    mount["TimeStamp"] = "";
    for (Member member : kShownReadings) {
        const std::string name(memberName(member));
        const std::optional<SharedReads::Fresh> fresh = device.sharedReads().fresh(member);
        if (!fresh) {
            mount[name] = nullptr;
            continue;
        }
        mount[name] = shownValue(member, *fresh, nowWallMs);
        ages[name] = double(std::max<std::int64_t>(0, nowWallMs - fresh->wallMs)) / 1000.0;
        newest = std::max(newest, fresh->wallMs);
    }
    mount["TimeStamp"] = wallTimeOrNothing(newest);
    return mount;
}

Json siteOf(TelescopeDevice& device)
{
    const std::optional<SharedReads::Fresh> latitude = device.sharedReads().fresh(Member::SiteLatitude);
    const std::optional<SharedReads::Fresh> longitude = device.sharedReads().fresh(Member::SiteLongitude);
    if (!latitude || !longitude || !latitude->value.is_number() || !longitude->value.is_number())
        return nullptr;
    return Json{{"Latitude", latitude->value}, {"Longitude", longitude->value}};
}

Json linkOf(const TelescopeDevice::Status& status)
{
    return Json{{"State", linkStateName(status)},
                {"Since", wallTimeOrNothing(status.downSinceWallMs)},
                {"Description", status.linkDescription},
                {"ExchangesPerSecond", std::round(status.exchangesPerSecond * 100.0) / 100.0},
                {"CeilingPerSecond", kLinkCeilingPerSecond},
                {"LastError", status.lastError.text},
                {"LastErrorTime", wallTimeOrNothing(status.lastError.wallMs)}};
}

Json capabilitiesOf(const TelescopeDevice::Status& status)
{
    Json capabilities = Json::object();
    for (const auto& [member, value] : status.capabilities)
        capabilities[std::string(memberName(member))] = value;
    return capabilities;
}

Json trackingRatesOf(const TelescopeDevice::Status& status)
{
    Json rates = Json::array();
    for (std::int32_t rate : status.trackingRates)
        rates.push_back(Json{{"Value", rate}, {"Name", driveRateName(rate)}});
    return rates;
}

Json clientsOf(const TelescopeDevice::Status& status)
{
    Json clients = Json::array();
    for (const TelescopeDevice::Status::Client& client : status.clients)
        clients.push_back(Json{{"ClientID", client.client},
                               {"Connected", client.connected},
                               {"RequestsPerMinute", client.requestsLastMinute},
                               {"SecondsSinceLastRequest", double(client.msSinceLastRequest) / 1000.0}});
    return clients;
}

// Where a position of date stands at the mount's site now: by the mount's
// sidereal time as last read, moved on, or else by the server's clock and
// the site's longitude. Nothing while the site is not known.
std::optional<Horizontal> horizontalFor(TelescopeDevice& device, const Equatorial& ofDate, std::int64_t nowWallMs)
{
    const std::optional<SharedReads::Fresh> latitude = device.sharedReads().fresh(Member::SiteLatitude);
    if (!latitude || !latitude->value.is_number())
        return std::nullopt;
    const std::optional<SharedReads::Fresh> sidereal = device.sharedReads().fresh(Member::SiderealTime);
    const std::optional<SharedReads::Fresh> longitude = device.sharedReads().fresh(Member::SiteLongitude);
    double localSidereal = 0;
    if (sidereal && sidereal->value.is_number())
        localSidereal = shownValue(Member::SiderealTime, *sidereal, nowWallMs).get<double>();
    else if (longitude && longitude->value.is_number())
        localSidereal = localSiderealTime(julianDate(nowWallMs), longitude->value.get<double>());
    else
        return std::nullopt;
    return horizontalOf(ofDate, localSidereal, latitude->value.get<double>());
}

Json targetAnswer(const std::optional<SkyTarget>& target, const std::optional<Horizontal>& where,
                  const std::string& refusal)
{
    auto numberOrNull = [](bool known, double value) { return known ? Json(value) : Json(nullptr); };
    return Json{{"Name", target ? target->name : std::string()},
                {"RightAscension", numberOrNull(bool(target), target ? target->ofDate.rightAscensionHours : 0)},
                {"Declination", numberOrNull(bool(target), target ? target->ofDate.declinationDegrees : 0)},
                {"Altitude", numberOrNull(bool(where), where ? where->altitudeDegrees : 0)},
                {"Azimuth", numberOrNull(bool(where), where ? where->azimuthDegrees : 0)},
                {"Refusal", refusal}};
}

HttpAnswer jsonAnswer(const Json& body)
{
    HttpAnswer answer;
    answer.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    return answer;
}

} // namespace

StatusApi::StatusApi(DeviceRegistry& devices, Clock& clock)
    : devices(devices), clock(clock), startedMs(clock.steadyMs())
{
}

bool StatusApi::handle(std::string_view path, const RequestParameters& parameters, HttpAnswer& answer)
{
    if (path.substr(0, kPrefix.size()) != kPrefix)
        return false;
    std::string_view rest = path.substr(kPrefix.size());
    if (rest == "catalogue") {
        answer = catalogueList();
        return true;
    }
    constexpr std::string_view kTelescope = "telescope/";
    if (rest.substr(0, kTelescope.size()) != kTelescope)
        return false;
    rest.remove_prefix(kTelescope.size());
    const std::size_t slash = rest.find('/');
    const std::string_view number = rest.substr(0, slash);
    const std::string_view what = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    const std::optional<DeviceRegistry::Telescope> telescope = devices.telescope(number);
    if (!telescope) {
        answer = badRequest("Unknown telescope number \"" + std::string(number.substr(0, 16))
                            + "\": this server has " + devices.servedText());
        return true;
    }
    if (slash == std::string_view::npos)
        answer = deviceStatus(*telescope);
    else if (what == "target")
        answer = target(*telescope, parameters);
    else
        return false;
    return true;
}

HttpAnswer StatusApi::deviceStatus(const DeviceRegistry::Telescope& telescope)
{
    TelescopeDevice& device = telescope.device;
    const TelescopeDevice::Status status = device.status();
    const std::int64_t nowWallMs = clock.wallMs();
    Json ages = Json::object();
    Json mount = readingsOf(device, nowWallMs, ages);
    Json body = {
        {"Server",
         {{"Name", kServerName}, {"Version", kDriverVersion},
          {"UptimeSeconds", double(clock.steadyMs() - startedMs) / 1000.0}}},
        {"Device",
         {{"Number", telescope.number},
          {"Name", kTelescopeDeviceName},
          {"Model", status.model == 0 ? std::string() : std::string(modelRow(status.model).name)},
          {"ModelNumber", status.model},
          {"Simulated", telescope.settings.simulated()},
          {"SerialDevice", telescope.settings.portLabel(1)},
          {"SetupPage", DeviceRegistry::setupPath(telescope.number)}}},
        {"Link", linkOf(status)},
        {"Site", siteOf(device)},
        {"Capabilities", capabilitiesOf(status)},
        {"TrackingRates", trackingRatesOf(status)},
        {"Mount", std::move(mount)},
        {"MountAges", std::move(ages)},
        {"SlewTarget", pairOrNull(status.slewTarget, "RightAscension", "Declination")},
        {"ParkPosition", pairOrNull(status.parkPosition, "Altitude", "Azimuth")},
        {"Clients", clientsOf(status)},
    };
    return jsonAnswer(body);
}

HttpAnswer StatusApi::target(const DeviceRegistry::Telescope& telescope, const RequestParameters& parameters)
{
    auto given = [&](const char* name) {
        const std::string* found = parameters.find(name);
        return found ? std::string_view(*found) : std::string_view();
    };
    const std::int64_t nowWallMs = clock.wallMs();
    const ResolvedTarget resolved = resolveTarget(given("Name"), given("RightAscension"), given("Declination"),
                                                  julianDate(nowWallMs));
    if (!resolved.target)
        return jsonAnswer(targetAnswer(std::nullopt, std::nullopt, resolved.refusal));
    const SkyTarget& target = *resolved.target;
    const std::optional<Horizontal> where = horizontalFor(telescope.device, target.ofDate, nowWallMs);
    std::string refusal;
    if (!where)
        refusal = "The mount's site is not known yet, so whether " + target.name
                  + " is above the horizon cannot be told: connect, and read the site";
    else if (where->altitudeDegrees < 0)
        refusal = belowHorizonRefusal(target.name, where->altitudeDegrees);
    return jsonAnswer(targetAnswer(target, where, refusal));
}

HttpAnswer StatusApi::catalogueList()
{
    Json entries = Json::array();
    for (const CatalogueEntry& entry : catalogue())
        entries.push_back(Json{{"Name", entry.name}, {"Description", entry.description}});
    return jsonAnswer(Json{{"Entries", std::move(entries)}});
}
