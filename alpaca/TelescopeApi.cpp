#include "TelescopeApi.h"

#include "Messages.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace {

constexpr const char* kParkedTracking = "Cannot start tracking when parked";
constexpr const char* kNoSuchAxis = "There is no such axis";
constexpr const char* kNoSuchAction = "The action is not supported: ";

// Whether a member is refused as not connected while the mount is not.
enum class Needs { Mount, Nothing };

// One request in the making: its parameters and what it will answer.
struct Call {
    TelescopeDevice& device;
    const RequestParameters& parameters;
    // Whose turn the call takes on the mount.
    std::uint32_t client;
    // The member, lower case: what overlapping reads share.
    const char* member;
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
    Outcome run(Needs needs, const std::function<Outcome(Mount&)>& member, Urgency urgency = Urgency::Normal)
    {
        return needs == Needs::Mount ? device.callConnected(member, urgency, client)
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

// Values as Alpaca carries them.
int wire(Alignment value) { return int(value); }
int wire(PierSide value) { return int(value); }
int wire(DriveRate value) { return int(value); }
std::string wire(UtcTime value) { return formatUtcDate(value); }
template <class T>
T wire(T value)
{
    return value;
}

template <class> struct ReaderOf;
template <class T> struct ReaderOf<Outcome (Mount::*)(T&)> { using Value = T; };
template <class T> struct ReaderOf<Outcome (Mount::*)(T&) const> { using Value = T; };

using Handler = std::function<void(Call&)>;

template <class Reader>
Handler reads(Reader reader, Needs needs = Needs::Mount);

// A read of the mount for the client, shared with the same read (key) of
// any client that is queued or under way; the value wired, or its type's
// empty one when refused.
template <class Value>
SharedReads::Result sharedRead(Call& call, const std::string& key, const std::function<Outcome(Value&)>& read)
{
    // A client that has not connected gets no other client's answer.
    if (!call.device.clientConnected(call.client))
        return {TelescopeDevice::notConnected(), Json(wire(Value{}))};
    return call.device.sharedReads().read(key, [&] {
        Value result{};
        Outcome outcome = read(result);
        return SharedReads::Result{outcome, outcome.succeeded() ? Json(wire(result)) : Json(wire(Value{}))};
    });
}

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
        SharedReads::Result shared = sharedRead<Value>(call, call.member, [&](Value& result) {
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
    // Stopping an axis goes before every waiting read.
    call.take(call.run(Needs::Mount, [&](Mount& core) { return core.moveAxis(axis, rate); },
                       rate == 0.0 ? Urgency::Motion : Urgency::Normal));
}

void readTrackingRates(Call& call)
{
    DriveRate rate = DriveRate::Sidereal;
    Outcome outcome = call.run(Needs::Nothing, [&](Mount& core) { return core.trackingRates(rate); });
    call.take(outcome);
    call.value = outcome.succeeded() ? Json::array({int(rate)}) : Json::array();
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
    call.take(call.run(
        Needs::Mount,
        [&](Mount& core) {
            if (on && core.parkRecorded())
                return Outcome::failure(OutcomeKind::InvalidWhileParked, kParkedTracking);
            return core.setTracking(on);
        },
        on ? Urgency::Normal : Urgency::Motion));
}

void writeUtcDate(Call& call)
{
    UtcTime time{};
    if (call.read("UTCDate", time, readUtcDate, "an ISO 8601 UTC date"))
        call.take(call.run(Needs::Mount, [&](Mount& core) { return core.setUtcDate(time); }));
}

void pulseGuide(Call& call)
{
    std::int32_t direction = 0, duration = 0;
    if (call.integer("Direction", direction) && call.integer("Duration", duration))
        call.take(call.device.startPulseGuide(static_cast<GuideDirection>(direction), duration, call.client));
}

SharedReads::Result sharedIsPulseGuiding(Call& call)
{
    return sharedRead<bool>(call, "ispulseguiding",
                            [&](bool& value) { return call.device.isPulseGuiding(value, call.client); });
}

SharedReads::Result sharedSlewing(Call& call)
{
    return sharedRead<bool>(call, "slewing", [&](bool& value) { return call.device.slewing(value, call.client); });
}

void answerWith(Call& call, SharedReads::Result shared)
{
    call.error = alpacaError(shared.outcome);
    call.value = std::move(shared.value);
}

void readIsPulseGuiding(Call& call)
{
    answerWith(call, sharedIsPulseGuiding(call));
}

void readSlewing(Call& call)
{
    answerWith(call, sharedSlewing(call));
}

void abortSlew(Call& call)
{
    call.take(call.device.abortSlew(call.client));
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
    const std::string* name = call.text("Action");
    if (!name || !call.text("Parameters"))
        return;
    call.error = {kAlpacaActionNotImplemented, kNoSuchAction + name->substr(0, 64)};
    call.value = std::string();
}

// The operational readings that could be had now, each named; the time
// they were taken last. Nothing that fails is guessed at.
void readDeviceState(Call& call)
{
    Json state = Json::array();
    auto add = [&state](const char* name, Json value) { state.push_back(Json{{"Name", name}, {"Value", value}}); };
    auto addShared = [&](const char* name, const SharedReads::Result& shared) {
        if (shared.outcome.isSuccess())
            add(name, shared.value);
    };
    // Each field shares its exchange with the member's own reads.
    auto reading = [&](const char* name, auto reader) {
        using Value = typename ReaderOf<decltype(reader)>::Value;
        std::string key(name);
        for (char& c : key)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        addShared(name, sharedRead<Value>(call, key, [&](Value& result) {
                      return call.run(Needs::Mount, [&](Mount& core) { return (core.*reader)(result); });
                  }));
    };
    if (call.device.isConnected(call.client)) {
        reading("Altitude", &Mount::altitude);
        reading("AtHome", &Mount::atHome);
        reading("AtPark", &Mount::atPark);
        reading("Azimuth", &Mount::azimuth);
        reading("Declination", &Mount::declination);
        addShared("IsPulseGuiding", sharedIsPulseGuiding(call));
        reading("RightAscension", &Mount::rightAscension);
        reading("SideOfPier", &Mount::sideOfPier);
        reading("SiderealTime", &Mount::siderealTime);
        addShared("Slewing", sharedSlewing(call));
        reading("Tracking", &Mount::tracking);
        reading("UTCDate", &Mount::utcDate);
    }
    const auto now = std::chrono::time_point_cast<MountDays>(std::chrono::system_clock::now());
    add("TimeStamp", formatUtcDate(UtcTime(now)));
    call.take(Outcome::success());
    call.value = std::move(state);
}

struct Route {
    const char* member;
    Handler get;
    Handler put;
};

const std::vector<Route>& routes()
{
    static const std::vector<Route> table = {
        // Common to every device.
        {"action", nullptr, action},
        {"commandblind", nullptr, commandBlind},
        {"commandbool", nullptr, command(&Mount::commandBool)},
        {"commandstring", nullptr, command(&Mount::commandString)},
        {"connect", nullptr, startConnecting},
        {"connected", readConnected, writeConnected},
        {"connecting", [](Call& call) { call.take(Outcome::success(), call.device.connecting(call.client)); }, nullptr},
        {"description", reads(&Mount::description, Needs::Nothing), nullptr},
        {"devicestate", readDeviceState, nullptr},
        {"disconnect", nullptr, [](Call& call) { call.take(call.device.disconnect(call.client)); }},
        {"driverinfo", reads(&Mount::driverInfo, Needs::Nothing), nullptr},
        {"driverversion", reads(&Mount::driverVersion, Needs::Nothing), nullptr},
        {"interfaceversion", constant(kAlpacaInterfaceVersion), nullptr},
        {"name", reads(&Mount::name, Needs::Nothing), nullptr},
        {"supportedactions", [](Call& call) { call.take(Outcome::success()); call.value = Json::array(); }, nullptr},

        // The telescope's own, in the interface's order.
        {"alignmentmode", reads(&Mount::alignmentMode), nullptr},
        {"altitude", reads(&Mount::altitude), nullptr},
        {"aperturearea", reads(&Mount::apertureArea, Needs::Nothing), nullptr},
        {"aperturediameter", reads(&Mount::apertureDiameter, Needs::Nothing), nullptr},
        {"athome", reads(&Mount::atHome), nullptr},
        {"atpark", reads(&Mount::atPark), nullptr},
        {"azimuth", reads(&Mount::azimuth), nullptr},
        {"canfindhome", reads(&Mount::canFindHome), nullptr},
        {"canpark", reads(&Mount::canPark), nullptr},
        {"canpulseguide", reads(&Mount::canPulseGuide), nullptr},
        {"cansetdeclinationrate", reads(&Mount::canSetDeclinationRate), nullptr},
        {"cansetguiderates", reads(&Mount::canSetGuideRates), nullptr},
        {"cansetpark", reads(&Mount::canSetPark), nullptr},
        {"cansetpierside", reads(&Mount::canSetPierSide), nullptr},
        {"cansetrightascensionrate", reads(&Mount::canSetRightAscensionRate), nullptr},
        {"cansettracking", reads(&Mount::canSetTracking), nullptr},
        {"canslew", reads(&Mount::canSlew), nullptr},
        {"canslewaltaz", reads(&Mount::canSlewAltAz), nullptr},
        {"canslewaltazasync", reads(&Mount::canSlewAltAzAsync), nullptr},
        {"canslewasync", reads(&Mount::canSlewAsync), nullptr},
        {"cansync", reads(&Mount::canSync), nullptr},
        {"cansyncaltaz", reads(&Mount::canSyncAltAz), nullptr},
        {"canunpark", reads(&Mount::canUnpark), nullptr},
        {"declination", reads(&Mount::declination), nullptr},
        {"declinationrate", reads(&Mount::declinationRate, Needs::Nothing),
         writesNumber("DeclinationRate", &Mount::setDeclinationRate)},
        {"doesrefraction", reads(&Mount::doesRefraction, Needs::Nothing),
         writesBoolean("DoesRefraction", &Mount::setDoesRefraction, Needs::Nothing)},
        {"equatorialsystem", reads(&Mount::equatorialSystem, Needs::Nothing), nullptr},
        {"focallength", reads(&Mount::focalLength, Needs::Nothing), nullptr},
        {"guideratedeclination", reads(&Mount::guideRateDeclination),
         writesNumber("GuideRateDeclination", &Mount::setGuideRateDeclination)},
        {"guideraterightascension", reads(&Mount::guideRateRightAscension),
         writesNumber("GuideRateRightAscension", &Mount::setGuideRateRightAscension)},
        {"ispulseguiding", readIsPulseGuiding, nullptr},
        {"rightascension", reads(&Mount::rightAscension), nullptr},
        {"rightascensionrate", reads(&Mount::rightAscensionRate, Needs::Nothing),
         writesNumber("RightAscensionRate", &Mount::setRightAscensionRate)},
        {"sideofpier", reads(&Mount::sideOfPier), writesWhole("SideOfPier", &Mount::setSideOfPier)},
        {"siderealtime", reads(&Mount::siderealTime), nullptr},
        {"siteelevation", reads(&Mount::siteElevation, Needs::Nothing),
         writesNumber("SiteElevation", &Mount::setSiteElevation, Needs::Nothing)},
        {"sitelatitude", reads(&Mount::siteLatitude), writesNumber("SiteLatitude", &Mount::setSiteLatitude)},
        {"sitelongitude", reads(&Mount::siteLongitude), writesNumber("SiteLongitude", &Mount::setSiteLongitude)},
        {"slewing", readSlewing, nullptr},
        {"slewsettletime", reads(&Mount::slewSettleTime, Needs::Nothing),
         writesWhole("SlewSettleTime", &Mount::setSlewSettleTime, Needs::Nothing)},
        {"targetdeclination", reads(&Mount::targetDeclination, Needs::Nothing),
         writesNumber("TargetDeclination", &Mount::setTargetDeclination, Needs::Nothing)},
        {"targetrightascension", reads(&Mount::targetRightAscension, Needs::Nothing),
         writesNumber("TargetRightAscension", &Mount::setTargetRightAscension, Needs::Nothing)},
        {"tracking", reads(&Mount::tracking), writeTracking},
        {"trackingrate", reads(&Mount::trackingRate), writesWhole("TrackingRate", &Mount::setTrackingRate)},
        {"trackingrates", readTrackingRates, nullptr},
        {"utcdate", reads(&Mount::utcDate), writeUtcDate},
        {"abortslew", nullptr, abortSlew},
        {"axisrates", readAxisRates, nullptr},
        {"canmoveaxis", readCanMoveAxis, nullptr},
        {"destinationsideofpier", readDestinationSideOfPier, nullptr},
        {"findhome", nullptr, findHome},
        {"moveaxis", nullptr, moveAxis},
        {"park", nullptr, runs(&Mount::park)},
        {"pulseguide", nullptr, pulseGuide},
        {"setpark", nullptr, runs(&Mount::setPark)},
        {"slewtoaltaz", nullptr, takesTwo("Azimuth", "Altitude", &Mount::slewToAltAz)},
        {"slewtoaltazasync", nullptr, takesTwo("Azimuth", "Altitude", &Mount::slewToAltAzAsync)},
        {"slewtocoordinates", nullptr, takesTwo("RightAscension", "Declination", &Mount::slewToCoordinates)},
        {"slewtocoordinatesasync", nullptr,
         takesTwo("RightAscension", "Declination", &Mount::slewToCoordinatesAsync)},
        {"slewtotarget", nullptr, runs(&Mount::slewToTarget)},
        {"slewtotargetasync", nullptr, runs(&Mount::slewToTargetAsync)},
        {"synctoaltaz", nullptr, takesTwo("Azimuth", "Altitude", &Mount::syncToAltAz)},
        {"synctocoordinates", nullptr, takesTwo("RightAscension", "Declination", &Mount::syncToCoordinates)},
        {"synctotarget", nullptr, runs(&Mount::syncToTarget)},
        {"unpark", nullptr, runs(&Mount::unpark)},
    };
    return table;
}

const Route* findRoute(std::string_view member)
{
    for (const Route& route : routes())
        if (member == route.member)
            return &route;
    return nullptr;
}

} // namespace

HttpAnswer TelescopeApi::handle(RequestMethod method, std::string_view member, const RequestParameters& parameters)
{
    const Route* route = findRoute(member);
    if (!route)
        return badRequest("Unknown member of the telescope: \"" + std::string(member.substr(0, 64)) + "\"");
    const Handler& handler = method == RequestMethod::Get ? route->get : route->put;
    if (!handler)
        return badRequest(std::string("The telescope's ") + route->member + " cannot be "
                          + (method == RequestMethod::Get ? "read (GET)" : "written (PUT)"));
    const ClientIdentity client = readClientIdentity(parameters);
    device.heardFrom(client.clientId);
    // However the request ends, it is no longer under way.
    struct Answered {
        TelescopeDevice& device;
        std::uint32_t client;
        ~Answered() { device.answered(client); }
    } underWay{device, client.clientId};
    if (!startRequest(client.clientId)) {
        HttpAnswer busy = badRequest("Too many requests of this client at once (at most "
                                     + std::to_string(kMostRequestsInFlightPerClient) + ")");
        busy.status = 503;
        return busy;
    }
    struct EndsRequest {
        TelescopeApi& api;
        std::uint32_t client;
        ~EndsRequest() { api.endRequest(client); }
    } ends{*this, client.clientId};
    Call call{device, parameters, client.clientId, route->member, std::nullopt, {}, {}};
    handler(call);
    if (!call.badRequest.empty())
        return badRequest(call.badRequest);
    // Every GET carries a value, a PUT none (but for those that return one).
    if (method == RequestMethod::Get && !call.value)
        call.value = Json();
    return alpacaAnswer(call.value ? &*call.value : nullptr, call.error, client, transactions);
}

bool TelescopeApi::startRequest(std::uint32_t client)
{
    std::lock_guard<std::mutex> lock(inFlightMutex);
    int& count = inFlight[client];
    if (count >= kMostRequestsInFlightPerClient)
        return false;
    ++count;
    return true;
}

void TelescopeApi::endRequest(std::uint32_t client)
{
    std::lock_guard<std::mutex> lock(inFlightMutex);
    auto found = inFlight.find(client);
    if (found != inFlight.end() && --found->second <= 0)
        inFlight.erase(found);
}
