#include "TelescopeMembers.h"

#include <array>
#include <cctype>
#include <string>

namespace {

constexpr std::array<std::string_view, kMemberCount> kNames = {
    "Action",
    "CommandBlind",
    "CommandBool",
    "CommandString",
    "Connect",
    "Connected",
    "Connecting",
    "Description",
    "DeviceState",
    "Disconnect",
    "DriverInfo",
    "DriverVersion",
    "InterfaceVersion",
    "Name",
    "SupportedActions",
    "AlignmentMode",
    "Altitude",
    "ApertureArea",
    "ApertureDiameter",
    "AtHome",
    "AtPark",
    "Azimuth",
    "CanFindHome",
    "CanPark",
    "CanPulseGuide",
    "CanSetDeclinationRate",
    "CanSetGuideRates",
    "CanSetPark",
    "CanSetPierSide",
    "CanSetRightAscensionRate",
    "CanSetTracking",
    "CanSlew",
    "CanSlewAltAz",
    "CanSlewAltAzAsync",
    "CanSlewAsync",
    "CanSync",
    "CanSyncAltAz",
    "CanUnpark",
    "Declination",
    "DeclinationRate",
    "DoesRefraction",
    "EquatorialSystem",
    "FocalLength",
    "GuideRateDeclination",
    "GuideRateRightAscension",
    "IsPulseGuiding",
    "RightAscension",
    "RightAscensionRate",
    "SideOfPier",
    "SiderealTime",
    "SiteElevation",
    "SiteLatitude",
    "SiteLongitude",
    "Slewing",
    "SlewSettleTime",
    "TargetDeclination",
    "TargetRightAscension",
    "Tracking",
    "TrackingRate",
    "TrackingRates",
    "UTCDate",
    "AbortSlew",
    "AxisRates",
    "CanMoveAxis",
    "DestinationSideOfPier",
    "FindHome",
    "MoveAxis",
    "Park",
    "PulseGuide",
    "SetPark",
    "SlewToAltAz",
    "SlewToAltAzAsync",
    "SlewToCoordinates",
    "SlewToCoordinatesAsync",
    "SlewToTarget",
    "SlewToTargetAsync",
    "SyncToAltAz",
    "SyncToCoordinates",
    "SyncToTarget",
    "Unpark",
};

constexpr bool everyMemberNamed()
{
    for (std::string_view name : kNames)
        if (name.empty())
            return false;
    return kNames[std::size_t(Member::Action)] == "Action" && kNames[kMemberCount - 1] == "Unpark";
}
static_assert(everyMemberNamed(), "every member has its name, in the enumeration's order");

// The paths, made once from the names.
const std::array<std::string, kMemberCount>& paths()
{
    static const std::array<std::string, kMemberCount> lowered = [] {
        std::array<std::string, kMemberCount> made;
        for (std::size_t at = 0; at < kMemberCount; ++at)
            for (char c : kNames[at])
                made[at] += char(std::tolower(static_cast<unsigned char>(c)));
        return made;
    }();
    return lowered;
}

} // namespace

std::string_view memberName(Member member)
{
    return kNames[std::size_t(member)];
}

std::string_view memberPath(Member member)
{
    return paths()[std::size_t(member)];
}

std::optional<Member> memberAtPath(std::string_view path)
{
    for (std::size_t at = 0; at < kMemberCount; ++at)
        if (paths()[at] == path)
            return Member(at);
    return std::nullopt;
}

RecentAnswer recentAnswerOf(Member member)
{
    switch (member) {
    case Member::IsPulseGuiding:
        return RecentAnswer::Never;
    case Member::SiderealTime:
    case Member::UTCDate:
        return RecentAnswer::MovedOn;
    case Member::Altitude:
    case Member::Azimuth:
    case Member::Declination:
    case Member::DestinationSideOfPier:
    case Member::RightAscension:
    case Member::SideOfPier:
        return RecentAnswer::WhileStill;
    case Member::Slewing:
        return RecentAnswer::SaidMoving;
    case Member::AtHome:
    case Member::AtPark:
    case Member::Tracking:
        return RecentAnswer::BesideSlews;
    default:
        return RecentAnswer::Always;
    }
}
