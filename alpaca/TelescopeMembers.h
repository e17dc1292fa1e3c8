// The members of the Alpaca Telescope interface (version 4) the server
// answers, as one enumeration: what the routes, the shared reads and
// DeviceState name a member by. The order is the member table's: Alpaca's
// common members, then the telescope's own in the interface's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

enum class Member : std::uint8_t {
    // Common to every device.
    Action,
    CommandBlind,
    CommandBool,
    CommandString,
    Connect,
    Connected,
    Connecting,
    Description,
    DeviceState,
    Disconnect,
    DriverInfo,
    DriverVersion,
    InterfaceVersion,
    Name,
    SupportedActions,
    // The telescope's own.
    AlignmentMode,
    Altitude,
    ApertureArea,
    ApertureDiameter,
    AtHome,
    AtPark,
    Azimuth,
    CanFindHome,
    CanPark,
    CanPulseGuide,
    CanSetDeclinationRate,
    CanSetGuideRates,
    CanSetPark,
    CanSetPierSide,
    CanSetRightAscensionRate,
    CanSetTracking,
    CanSlew,
    CanSlewAltAz,
    CanSlewAltAzAsync,
    CanSlewAsync,
    CanSync,
    CanSyncAltAz,
    CanUnpark,
    Declination,
    DeclinationRate,
    DoesRefraction,
    EquatorialSystem,
    FocalLength,
    GuideRateDeclination,
    GuideRateRightAscension,
    IsPulseGuiding,
    RightAscension,
    RightAscensionRate,
    SideOfPier,
    SiderealTime,
    SiteElevation,
    SiteLatitude,
    SiteLongitude,
    Slewing,
    SlewSettleTime,
    TargetDeclination,
    TargetRightAscension,
    Tracking,
    TrackingRate,
    TrackingRates,
    UTCDate,
    AbortSlew,
    AxisRates,
    CanMoveAxis,
    DestinationSideOfPier,
    FindHome,
    MoveAxis,
    Park,
    PulseGuide,
    SetPark,
    SlewToAltAz,
    SlewToAltAzAsync,
    SlewToCoordinates,
    SlewToCoordinatesAsync,
    SlewToTarget,
    SlewToTargetAsync,
    SyncToAltAz,
    SyncToCoordinates,
    SyncToTarget,
    Unpark,
};
constexpr std::size_t kMemberCount = std::size_t(Member::Unpark) + 1;

// The member's name as the interface writes it ("RightAscension"; also the
// DeviceState field's), and its path, lower case ("rightascension").
std::string_view memberName(Member member);
std::string_view memberPath(Member member);
// The member a path names, exactly as the server's paths are (lower case).
std::optional<Member> memberAtPath(std::string_view path);

// The motion that may be under way: none, a slew (a go-to, an axis moved),
// or a park or a home search, which ends parked or at home.
enum class Motion : std::uint8_t { None, Slew, ParkOrHomeSearch };
// Where the mount points: what any motion changes as it goes.
inline const std::vector<Member> kPositionMembers = {Member::RightAscension, Member::Declination, Member::Altitude,
                                                     Member::Azimuth, Member::SideOfPier};

// How a read of the member may take an answer another read finished a
// moment ago, while the mount is busy (SharedReads):
// - Never: whether a pulse is under way, which ends by the clock;
// - MovedOn: the mount's clock (its date, its sidereal time), at any time,
//   moved on by the time since (SharedReads' movedOn);
// - WhileStill: what any motion changes as it goes or ends (where the
//   mount points, whether it moves), only while no motion may be under way
//   and from an answer made while none was;
// - SaidMoving: whether the mount moves, as WhileStill, and besides, while
//   a motion may be under way, an answer made during it that said the
//   mount moves, for at most kSaidMovingMs: it can only be late in telling
//   that the motion has ended, by no more than its age;
// - BesideSlews: what only a park or a home search changes as it ends
//   (parked, at home, tracking; a slew's own write changes them at once),
//   only while neither may be under way and from an answer made while
//   neither was;
// - Always: settings a motion leaves alone (the site, the rates), from up
//   to kSettledAgeFactor times the maximum age ago, as is the clock.
enum class RecentAnswer : std::uint8_t { Never, MovedOn, WhileStill, SaidMoving, BesideSlews, Always };
constexpr std::uint32_t kSaidMovingMs = 250;
// The settings and the mount's clock change only when a program writes them
// (which makes them stale at once) or a hand pad does: they may be taken
// from this many times the maximum age ago.
constexpr std::uint32_t kSettledAgeFactor = 5;
RecentAnswer recentAnswerOf(Member member);
