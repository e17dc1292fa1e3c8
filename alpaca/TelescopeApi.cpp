#include "TelescopeApi.h"

#include "AlpacaWire.h"
#include "Messages.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cctype>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace {

constexpr const char* kParkedTracking = "Cannot start tracking when parked";
constexpr const char* kNoSuchAxis = "There is no such axis";
constexpr const char* kNoSuchAction = "The action is not supported: ";
constexpr const char* kNoSuchTrackingRate = "The mount has no such tracking rate: ";
constexpr const char* kNoClockSetting =
    "The mount's clock cannot be set from the server: the mount has no command for it";

// Whether a member is refused as not connected while the mount is not.
enum class Needs { Mount, Nothing };

// One request in the making: its parameters and what it will answer.
struct Call {
    TelescopeDevice& device;
    DeviceStateReadings& deviceState;
    const RequestParameters& parameters;
    // Whose turn the call takes on the mount.
    std::uint32_t client;
    // The member: what overlapping reads share.
    Member member;
    // Its place on the mount, from the member's row.
    Urgency urgency;
    // A read (a GET) or an action (a PUT): what its exchanges mean.
    TelescopeDevice::CallKind kind;
    std::optional<Json> value;
    AlpacaError error;
    // Set when the request is malformed: the answer is a 400 with it.
    std::string badRequest;

    void take(const Outcome& outcome) { error = alpacaError(outcome); }
    template <class T>
    void take(const Outcome& outcome, const T& result)
    {
        take(outcome);
        // A GET has a value even when refused: the type's empty one.
        value = outcome.succeeded() ? Json(result) : Json(T{});
    }
    Outcome run(Needs needs, const std::function<Outcome(Mount&)>& member)
    {
        return needs == Needs::Mount ? device.callConnected(member, urgency, client, kind)
                                     : device.call(member, urgency, client);
    }

    // Parameter readers: false, with the 400's reason set, when the
    // parameter is missing or is not a value of its kind.
    const std::string* text(const char* name)
    {
        const std::string* found = parameters.find(name);
        if (!found)
            badRequest = std::string("Missing parameter ") + name;
        return found;
    }
    template <class T, class Reader>
    bool read(const char* name, T& into, Reader reader, const char* kind)
    {
        const std::string* found = text(name);
        if (!found)
            return false;
        if (reader(*found, into))
            return true;
        badRequest = std::string("Parameter ") + name + " is not " + kind + ": \"" + found->substr(0, 64) + "\"";
        return false;
    }
    bool number(const char* name, double& into) { return read(name, into, readNumber, "a number"); }
    bool integer(const char* name, std::int32_t& into) { return read(name, into, readInteger, "a whole number"); }
    bool boolean(const char* name, bool& into) { return read(name, into, readBoolean, "true or false"); }
};

using Handler = std::function<void(Call&)>;

template <class Reader>
Handler reads(Reader reader, Needs needs = Needs::Mount);

template <class Reader>
Handler reads(Reader reader, Needs needs)
{
    using Value = typename ReaderOf<Reader>::Value;
    if (needs == Needs::Nothing)
        return [reader](Call& call) {
            Value result{};
            Outcome outcome = call.run(Needs::Nothing, [&](Mount& core) { return (core.*reader)(result); });
            call.take(outcome, wire(result));
        };
    return [reader](Call& call) {
        if (!ReaderOf<Reader>::asksMount)
            call.kind = TelescopeDevice::CallKind::Known;
        SharedReads::Result shared = clientRead<Value>(call.device, call.client, call.member, [&](Value& result) {
            return call.run(Needs::Mount, [&](Mount& core) { return (core.*reader)(result); });
        });
        call.error = alpacaError(shared.outcome);
        call.value = std::move(shared.value);
    };
}

Handler writesNumber(const char* name, Outcome (Mount::*writer)(double), Needs needs = Needs::Mount)
{
    return [=](Call& call) {
        double value = 0;
        if (call.number(name, value))
            call.take(call.run(needs, [&](Mount& core) { return (core.*writer)(value); }));
    };
}

Handler writesBoolean(const char* name, Outcome (Mount::*writer)(bool), Needs needs = Needs::Mount)
{
    return [=](Call& call) {
        bool value = false;
        if (call.boolean(name, value))
            call.take(call.run(needs, [&](Mount& core) { return (core.*writer)(value); }));
    };
}

template <class Value>
Handler writesWhole(const char* name, Outcome (Mount::*writer)(Value), Needs needs = Needs::Mount)
{
    return [=](Call& call) {
        std::int32_t value = 0;
        if (call.integer(name, value))
            call.take(call.run(needs, [&](Mount& core) { return (core.*writer)(static_cast<Value>(value)); }));
    };
}

Handler runs(Outcome (Mount::*action)())
{
    return [=](Call& call) { call.take(call.run(Needs::Mount, [&](Mount& core) { return (core.*action)(); })); };
}

// A member taking two coordinates by their names.
Handler takesTwo(const char* first, const char* second, Outcome (Mount::*action)(double, double))
{
    return [=](Call& call) {
        double a = 0, b = 0;
        if (call.number(first, a) && call.number(second, b))
            call.take(call.run(Needs::Mount, [&](Mount& core) { return (core.*action)(a, b); }));
    };
}

template <class T>
Handler constant(T value)
{
    return [value](Call& call) { call.take(Outcome::success(), value); };
}

// The axes a client may name: primary, secondary, tertiary.
bool isAxis(std::int32_t axis)
{
    return axis >= 0 && axis <= 2;
}

void readConnected(Call& call)
{
    call.take(Outcome::success(), call.device.isConnected(call.client));
}

void writeConnected(Call& call)
{
    bool on = false;
    if (call.boolean("Connected", on))
        call.take(on ? call.device.connect(call.client) : call.device.disconnect(call.client));
}

void startConnecting(Call& call)
{
    call.device.startConnecting(call.client);
    call.take(Outcome::success());
}

void readAxisRates(Call& call)
{
    std::int32_t axis = 0;
    if (!call.integer("Axis", axis))
        return;
    if (!isAxis(axis)) {
        call.error = {kAlpacaInvalidValue, kNoSuchAxis};
        call.value = Json::array();
        return;
    }
    // The driver names no rates: an empty list, as the DLL's collection.
    Outcome outcome = call.run(Needs::Nothing, [&](Mount& core) { return core.axisRates(axis); });
    call.take(outcome);
    call.value = Json::array();
}

void readCanMoveAxis(Call& call)
{
    std::int32_t axis = 0;
    if (!call.integer("Axis", axis))
        return;
    if (!isAxis(axis)) {
        call.error = {kAlpacaInvalidValue, kNoSuchAxis};
        call.value = false;
        return;
    }
    bool can = false;
    call.take(call.run(Needs::Nothing, [&](Mount& core) { return core.canMoveAxis(axis, can); }), can);
}

void moveAxis(Call& call)
{
    std::int32_t axis = 0;
    double rate = 0;
    if (!call.integer("Axis", axis) || !call.number("Rate", rate))
        return;
    if (!isAxis(axis)) {
        call.error = {kAlpacaInvalidValue, kNoSuchAxis};
        return;
    }
    call.take(call.run(Needs::Mount, [&](Mount& core) { return core.moveAxis(axis, rate); }));
}

void readTrackingRates(Call& call)
{
    std::vector<DriveRate> rates;
    Outcome outcome = call.run(Needs::Nothing, [&](Mount& core) { return core.listedTrackingRates(rates); });
    call.take(outcome);
    call.value = Json::array();
    if (outcome.succeeded())
        for (DriveRate rate : rates)
            call.value->push_back(wire(rate));
}

void writeTrackingRate(Call& call)
{
    std::int32_t rate = 0;
    if (!call.integer("TrackingRate", rate))
        return;
    call.take(call.run(Needs::Mount, [&](Mount& core) {
        // Only what the mount can set and read back as set reaches it.
        if (!core.hasTrackingRate(rate))
            return Outcome::failure(OutcomeKind::InvalidValue, kNoSuchTrackingRate + std::to_string(rate));
        return core.setTrackingRate(static_cast<DriveRate>(rate));
    }));
}

void readDestinationSideOfPier(Call& call)
{
    double rightAscension = 0, declination = 0;
    if (!call.number("RightAscension", rightAscension) || !call.number("Declination", declination))
        return;
    PierSide side = PierSide::Unknown;
    Outcome outcome = call.run(Needs::Mount, [&](Mount& core) {
        return core.destinationSideOfPier(rightAscension, declination, side);
    });
    call.take(outcome, wire(side));
}

void writeTracking(Call& call)
{
    bool on = false;
    if (!call.boolean("Tracking", on))
        return;
    call.take(call.run(Needs::Mount, [&](Mount& core) {
        if (on && core.parkRecorded())
            return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedTracking);
        return core.setTracking(on);
    }));
}

void writeUtcDate(Call& call)
{
    // Read all the same: a value that is no date is a malformed request.
    UtcTime time{};
    if (call.read("UTCDate", time, readUtcDate, "an ISO 8601 date"))
        call.take(call.run(Needs::Mount, [](Mount&) {
            return Outcome::failure(OutcomeKind::NotImplemented, kNoClockSetting);
        }));
}

void pulseGuide(Call& call)
{
    std::int32_t direction = 0, duration = 0;
    if (call.integer("Direction", direction) && call.integer("Duration", duration))
        call.take(call.device.startPulseGuide(static_cast<GuideDirection>(direction), duration, call.client));
}

void answerWith(Call& call, SharedReads::Result shared)
{
    call.error = alpacaError(shared.outcome);
    call.value = std::move(shared.value);
}

void abortSlew(Call& call)
{
    call.take(call.device.abortSlew(call.client, call.urgency));
}

void findHome(Call& call)
{
    call.take(call.device.startFindHome(call.client));
}

// A raw command: refused as the DLL refuses it, once the request is whole.
template <class Result>
Handler command(Outcome (Mount::*member)(const std::string&, bool, Result&))
{
    return [member](Call& call) {
        bool raw = false;
        const std::string* text = call.text("Command");
        if (!text || !call.boolean("Raw", raw))
            return;
        Result result{};
        call.take(call.run(Needs::Nothing, [&](Mount& core) { return (core.*member)(*text, raw, result); }), result);
    };
}

void commandBlind(Call& call)
{
    bool raw = false;
    const std::string* text = call.text("Command");
    if (text && call.boolean("Raw", raw))
        call.take(call.run(Needs::Nothing, [&](Mount& core) { return core.commandBlind(*text, raw); }));
}

void action(Call& call)
{
    // Parameters may be left out when there are none.
    const std::string* name = call.text("Action");
    if (!name)
        return;
    call.error = {kAlpacaActionNotImplemented, kNoSuchAction + name->substr(0, 64)};
    call.value = std::string();
}

void readDeviceState(Call& call)
{
    call.take(Outcome::success());
    call.value = call.deviceState.answer(call.client);
}

// The reads of DeviceState's fields, for a client or the server, shared
// with every read of the member.
template <class Value, class OnMount>
StateRead readingOf(OnMount onMount)
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
StateRead coreReading()
{
    using Value = typename ReaderOf<decltype(Reader)>::Value;
    return readingOf<Value>([](TelescopeDevice&, Mount& core, Value& value) { return (core.*Reader)(value); });
}

// A read the device makes on the mount (what it adds to the core's).
template <Outcome (TelescopeDevice::*Reader)(Mount&, bool&)>
StateRead deviceReading()
{
    return readingOf<bool>(
        [](TelescopeDevice& device, Mount& core, bool& value) { return (device.*Reader)(core, value); });
}

// SideOfPier, asked in passes that a stop may come between: an abort
// never waits for both.
StateRead sideOfPierReading()
{
    return [](TelescopeDevice& device, Member key, Asker asker) {
        auto read = [&](PierSide& side) {
            side = PierSide::Unknown;
            return device.readInParts(
                Mount::kPierSidePasses, [&](Mount& core) { return core.sideOfPierPass(side); }, asker.server,
                asker.client);
        };
        return asker.server ? sharedRead<PierSide>(device.sharedReads(), key, read)
                            : clientRead<PierSide>(device, asker.client, key, read);
    };
}

// The motion readings made together in one turn.
using Together = TelescopeDevice::MotionReading;
using Tells = StateField::Tells;

// What a write may change besides its own member, for the reads that
// must not answer from before it. A slew changes no position read before
// it: that was where the mount pointed then, as DeviceState's TimeStamp
// says; a sync does.
enum Changes : unsigned {
    kChangesNothingElse = 0,
    kChangesPosition = 1,
    kChangesMotion = 2,
    kChangesParking = 4,
    kChangesGuiding = 8,
    kChangesTime = 16,
    // A slew or a move leaves home.
    kLeavesHome = 32,
    // A slew moves the mount and leaves tracking as it was.
    kStartsSlew = 64,
    // A raw command may do anything.
    kChangesAnything = 127,
};

// Whether a write stops motion, which goes before every waiting read: an
// abort always; stopping an axis (Rate 0) and tracking (Tracking false)
// by their value.
struct StopsMotion {
    enum class When : std::uint8_t { Never, Always, ValueIsZero, ValueIsFalse };
    When when = When::Never;
    const char* parameter = nullptr;
};
constexpr StopsMotion kStops{StopsMotion::When::Always, nullptr};

struct Route {
    Member member;
    Handler get;
    Handler put;
    unsigned changes = kChangesNothingElse;
    StopsMotion stops = {};
    // Its field of DeviceState, if it has one.
    StateField state = {};
};

// The row of a member DeviceState gives: its GET is the field's read for
// the client, so the two share their exchanges and kept values.
Route inDeviceState(Member member, StateField state, Handler put = nullptr, unsigned changes = kChangesNothingElse,
                    StopsMotion stops = {})
{
    Handler get = [read = state.read](Call& call) {
        answerWith(call, read(call.device, call.member, Asker{false, call.client}));
    };
    return {member, std::move(get), std::move(put), changes, stops, std::move(state)};
}

Urgency urgencyOf(const Route& route, RequestMethod method, const RequestParameters& parameters)
{
    if (method == RequestMethod::Get)
        return Urgency::Normal;
    const StopsMotion& stops = route.stops;
    const std::string* value = stops.parameter ? parameters.find(stops.parameter) : nullptr;
    double number = 1;
    bool flag = true;
    switch (stops.when) {
    case StopsMotion::When::Never:
        break;
    case StopsMotion::When::Always:
        return Urgency::Motion;
    case StopsMotion::When::ValueIsZero:
        if (value && readNumber(*value, number) && number == 0.0)
            return Urgency::Motion;
        break;
    case StopsMotion::When::ValueIsFalse:
        if (value && readBoolean(*value, flag) && !flag)
            return Urgency::Motion;
        break;
    }
    return Urgency::Normal;
}

// The reads a write changes: its own member's and those of its kinds.
std::vector<Member> readsChangedBy(const Route& route)
{
    static const std::vector<std::pair<Changes, std::vector<Member>>> kinds = {
        {kChangesPosition, kPositionMembers},
        {kChangesMotion, {Member::Slewing, Member::Tracking}},
        {kStartsSlew, {Member::Slewing}},
        {kLeavesHome, {Member::AtHome}},
        {kChangesParking, {Member::Slewing, Member::Tracking, Member::AtHome, Member::AtPark}},
        {kChangesGuiding, {Member::IsPulseGuiding}},
        {kChangesTime, {Member::UTCDate, Member::SiderealTime}},
    };
    std::vector<Member> keys = {route.member};
    for (const auto& [kind, members] : kinds)
        if (route.changes & kind)
            keys.insert(keys.end(), members.begin(), members.end());
    return keys;
}

const std::vector<Route>& routes()
{
    static const std::vector<Route> table = {
        // Common to every device.
        {Member::Action, nullptr, action},
        {Member::CommandBlind, nullptr, commandBlind, kChangesAnything},
        {Member::CommandBool, nullptr, command(&Mount::commandBool), kChangesAnything},
        {Member::CommandString, nullptr, command(&Mount::commandString), kChangesAnything},
        {Member::Connect, nullptr, startConnecting},
        {Member::Connected, readConnected, writeConnected},
        {Member::Connecting, [](Call& call) { call.take(Outcome::success(), call.device.connecting(call.client)); }, nullptr},
        {Member::Description, reads(&Mount::description, Needs::Nothing), nullptr},
        {Member::DeviceState, readDeviceState, nullptr},
        {Member::Disconnect, nullptr, [](Call& call) { call.take(call.device.disconnect(call.client)); }},
        {Member::DriverInfo, reads(&Mount::driverInfo, Needs::Nothing), nullptr},
        {Member::DriverVersion, reads(&Mount::driverVersion, Needs::Nothing), nullptr},
        {Member::InterfaceVersion, constant(kAlpacaInterfaceVersion), nullptr},
        {Member::Name, reads(&Mount::name, Needs::Nothing), nullptr},
        {Member::SupportedActions, [](Call& call) { call.take(Outcome::success()); call.value = Json::array(); }, nullptr},

        // The telescope's own, in the interface's order.
        {Member::AlignmentMode, reads(&Mount::alignmentMode), nullptr},
        inDeviceState(Member::Altitude, {.always = true, .read = coreReading<&Mount::altitude>()}),
        {Member::ApertureArea, reads(&Mount::apertureArea, Needs::Nothing), nullptr},
        {Member::ApertureDiameter, reads(&Mount::apertureDiameter, Needs::Nothing), nullptr},
        inDeviceState(Member::AtHome, {.tells = Tells::ParkOrHomeSearch, .read = coreReading<&Mount::atHome>()}),
        inDeviceState(Member::AtPark, {.tells = Tells::ParkOrHomeSearch, .together = &Together::atPark,
                                       .read = deviceReading<&TelescopeDevice::atParkOn>()}),
        inDeviceState(Member::Azimuth, {.always = true, .read = coreReading<&Mount::azimuth>()}),
        {Member::CanFindHome, reads(&Mount::canFindHome), nullptr},
        {Member::CanPark, reads(&Mount::canPark), nullptr},
        {Member::CanPulseGuide, reads(&Mount::canPulseGuide), nullptr},
        {Member::CanSetDeclinationRate, reads(&Mount::canSetDeclinationRate), nullptr},
        {Member::CanSetGuideRates, reads(&Mount::canSetGuideRates), nullptr},
        {Member::CanSetPark, reads(&Mount::canSetPark), nullptr},
        {Member::CanSetPierSide, reads(&Mount::canSetPierSide), nullptr},
        {Member::CanSetRightAscensionRate, reads(&Mount::canSetRightAscensionRate), nullptr},
        {Member::CanSetTracking, reads(&Mount::canSetTracking), nullptr},
        {Member::CanSlew, reads(&Mount::canSlew), nullptr},
        {Member::CanSlewAltAz, reads(&Mount::canSlewAltAz), nullptr},
        {Member::CanSlewAltAzAsync, reads(&Mount::canSlewAltAzAsync), nullptr},
        {Member::CanSlewAsync, reads(&Mount::canSlewAsync), nullptr},
        {Member::CanSync, reads(&Mount::canSync), nullptr},
        {Member::CanSyncAltAz, reads(&Mount::canSyncAltAz), nullptr},
        {Member::CanUnpark, reads(&Mount::canUnpark), nullptr},
        inDeviceState(Member::Declination, {.always = true, .read = coreReading<&Mount::declination>()}),
        {Member::DeclinationRate, reads(&Mount::declinationRate, Needs::Nothing),
         writesNumber("DeclinationRate", &Mount::setDeclinationRate)},
        {Member::DoesRefraction, reads(&Mount::doesRefraction, Needs::Nothing),
         writesBoolean("DoesRefraction", &Mount::setDoesRefraction, Needs::Nothing)},
        {Member::EquatorialSystem, reads(&Mount::equatorialSystem, Needs::Nothing), nullptr},
        {Member::FocalLength, reads(&Mount::focalLength, Needs::Nothing), nullptr},
        {Member::GuideRateDeclination, reads(&Mount::guideRateDeclination),
         writesNumber("GuideRateDeclination", &Mount::setGuideRateDeclination)},
        {Member::GuideRateRightAscension, reads(&Mount::guideRateRightAscension),
         writesNumber("GuideRateRightAscension", &Mount::setGuideRateRightAscension)},
        inDeviceState(Member::IsPulseGuiding, {.read = deviceReading<&TelescopeDevice::pulseGuidingOn>()}),
        inDeviceState(Member::RightAscension, {.always = true, .read = coreReading<&Mount::rightAscension>()}),
        {Member::RightAscensionRate, reads(&Mount::rightAscensionRate, Needs::Nothing),
         writesNumber("RightAscensionRate", &Mount::setRightAscensionRate)},
        inDeviceState(Member::SideOfPier, {.read = sideOfPierReading()},
                      writesWhole("SideOfPier", &Mount::setSideOfPier),
                      kChangesPosition | kChangesMotion | kLeavesHome),
        inDeviceState(Member::SiderealTime, {.read = coreReading<&Mount::siderealTime>()}),
        {Member::SiteElevation, reads(&Mount::siteElevation, Needs::Nothing),
         writesNumber("SiteElevation", &Mount::setSiteElevation, Needs::Nothing)},
        {Member::SiteLatitude, reads(&Mount::siteLatitude), writesNumber("SiteLatitude", &Mount::setSiteLatitude),
         kChangesPosition},
        {Member::SiteLongitude, reads(&Mount::siteLongitude), writesNumber("SiteLongitude", &Mount::setSiteLongitude),
         kChangesPosition | kChangesTime},
        inDeviceState(Member::Slewing, {.tells = Tells::AnyMotion, .together = &Together::slewing,
                                        .read = deviceReading<&TelescopeDevice::slewingOn>()}),
        {Member::SlewSettleTime, reads(&Mount::slewSettleTime, Needs::Nothing),
         writesWhole("SlewSettleTime", &Mount::setSlewSettleTime, Needs::Nothing)},
        {Member::TargetDeclination, reads(&Mount::targetDeclination, Needs::Nothing),
         writesNumber("TargetDeclination", &Mount::setTargetDeclination, Needs::Nothing)},
        {Member::TargetRightAscension, reads(&Mount::targetRightAscension, Needs::Nothing),
         writesNumber("TargetRightAscension", &Mount::setTargetRightAscension, Needs::Nothing)},
        inDeviceState(Member::Tracking, {.always = true, .tells = Tells::ParkOrHomeSearch, .together = &Together::tracking,
                                         .read = deviceReading<&TelescopeDevice::trackingOn>()},
                      writeTracking, kChangesMotion, {StopsMotion::When::ValueIsFalse, "Tracking"}),
        {Member::TrackingRate, reads(&Mount::trackingRate), writeTrackingRate},
        {Member::TrackingRates, readTrackingRates, nullptr},
        inDeviceState(Member::UTCDate, {.ticking = true, .read = coreReading<&Mount::utcDate>()}, writeUtcDate,
                      kChangesTime | kChangesPosition),
        {Member::AbortSlew, nullptr, abortSlew, kChangesMotion, kStops},
        {Member::AxisRates, readAxisRates, nullptr},
        {Member::CanMoveAxis, readCanMoveAxis, nullptr},
        {Member::DestinationSideOfPier, readDestinationSideOfPier, nullptr},
        {Member::FindHome, nullptr, findHome, kChangesParking},
        {Member::MoveAxis, nullptr, moveAxis, kChangesMotion | kLeavesHome,
         {StopsMotion::When::ValueIsZero, "Rate"}},
        {Member::Park, nullptr, [](Call& call) { call.take(call.device.startPark(call.client)); }, kChangesParking},
        {Member::PulseGuide, nullptr, pulseGuide, kChangesGuiding},
        {Member::SetPark, nullptr, runs(&Mount::setPark)},
        {Member::SlewToAltAz, nullptr, takesTwo("Azimuth", "Altitude", &Mount::slewToAltAz),
         kStartsSlew | kLeavesHome},
        {Member::SlewToAltAzAsync, nullptr, takesTwo("Azimuth", "Altitude", &Mount::slewToAltAzAsync),
         kStartsSlew | kLeavesHome},
        {Member::SlewToCoordinates, nullptr, takesTwo("RightAscension", "Declination", &Mount::slewToCoordinates),
         kStartsSlew | kLeavesHome},
        {Member::SlewToCoordinatesAsync, nullptr,
         takesTwo("RightAscension", "Declination", &Mount::slewToCoordinatesAsync), kStartsSlew | kLeavesHome},
        {Member::SlewToTarget, nullptr, runs(&Mount::slewToTarget), kStartsSlew | kLeavesHome},
        {Member::SlewToTargetAsync, nullptr, runs(&Mount::slewToTargetAsync), kStartsSlew | kLeavesHome},
        {Member::SyncToAltAz, nullptr, takesTwo("Azimuth", "Altitude", &Mount::syncToAltAz), kChangesPosition},
        {Member::SyncToCoordinates, nullptr, takesTwo("RightAscension", "Declination", &Mount::syncToCoordinates),
         kChangesPosition},
        {Member::SyncToTarget, nullptr, runs(&Mount::syncToTarget), kChangesPosition},
        {Member::Unpark, nullptr, [](Call& call) { call.take(call.device.unpark(call.client)); }, kChangesParking},
    };
    return table;
}

// Each member's row, found by the member: every member has one.
const Route& routeOf(Member member)
{
    static const std::array<const Route*, kMemberCount> byMember = [] {
        std::array<const Route*, kMemberCount> rows{};
        for (const Route& route : routes())
            rows[std::size_t(route.member)] = &route;
        for (const Route* row : rows)
            if (!row)
                std::abort(); // a member without a row: the table is not whole
        return rows;
    }();
    return *byMember[std::size_t(member)];
}

// The members DeviceState gives, in name order, with their fields.
std::vector<MemberStateField> deviceStateFields()
{
    std::vector<MemberStateField> fields;
    for (const Route& route : routes())
        if (route.state.read)
            fields.push_back({route.member, &route.state});
    std::sort(fields.begin(), fields.end(), [](const MemberStateField& a, const MemberStateField& b) {
        return memberName(a.member) < memberName(b.member);
    });
    return fields;
}

const Route* findRoute(std::string_view path)
{
    const std::optional<Member> member = memberAtPath(path);
    return member ? &routeOf(*member) : nullptr;
}

} // namespace

TelescopeApi::TelescopeApi(TelescopeDevice& device, ServerTransactions& transactions)
    : device(device), transactions(transactions), deviceState(device, device.clockInUse(), deviceStateFields())
{
}

HttpAnswer TelescopeApi::handle(RequestMethod method, std::string_view member, const RequestParameters& parameters)
{
    const Route* route = findRoute(member);
    if (!route)
        return badRequest("Unknown member of the telescope: \"" + std::string(member.substr(0, 64)) + "\"");
    const Handler& handler = method == RequestMethod::Get ? route->get : route->put;
    if (!handler)
        return badRequest("The telescope's " + std::string(memberPath(route->member)) + " cannot be "
                          + (method == RequestMethod::Get ? "read (GET)" : "written (PUT)"));
    const ClientIdentity client = readClientIdentity(parameters);
    if (!device.heardFrom(client.clientId)) {
        HttpAnswer busy = badRequest("Too many requests of this client at once (at most "
                                     + std::to_string(kMostRequestsInFlightPerClient) + ")");
        busy.status = 503;
        return busy;
    }
    // However the request ends, it is no longer under way.
    struct Answered {
        TelescopeDevice& device;
        std::uint32_t client;
        ~Answered() { device.answered(client); }
    } underWay{device, client.clientId};
    const auto kind = method == RequestMethod::Get ? TelescopeDevice::CallKind::Read : TelescopeDevice::CallKind::Action;
    Call call{device, deviceState, parameters, client.clientId, route->member, urgencyOf(*route, method, parameters),
              kind,   std::nullopt, {},        {}};
    // From the moment a write is asked, no answer from before it is taken
    // for what it may change; once it is over, whatever its outcome (the
    // mount may have taken it), nothing from before it counts.
    struct Write {
        SharedReads* reads;
        std::vector<Member> changes;
        ~Write()
        {
            if (reads)
                reads->writeOver(changes);
        }
    };
    const bool writes = method != RequestMethod::Get;
    const Write write{writes ? &device.sharedReads() : nullptr,
                      writes ? readsChangedBy(*route) : std::vector<Member>()};
    if (write.reads)
        write.reads->writeAsked(write.changes);
    handler(call);
    if (!call.badRequest.empty())
        return badRequest(call.badRequest);
    // Every GET carries a value, a PUT none (but for those that return one).
    if (method == RequestMethod::Get && !call.value)
        call.value = Json();
    return alpacaAnswer(call.value ? &*call.value : nullptr, call.error, client, transactions);
}
