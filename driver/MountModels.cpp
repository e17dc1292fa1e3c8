#include "MountModels.h"

#include "Protocol.h"

#include "Messages.h"
#include "MountTypes.h"

#include <array>
#include <cstring>

namespace {

// Texts that several rows hold.
constexpr ModelCommand kNoCommand{nullptr, false};
constexpr const char* kSignedLongitude = ":Sg %c%03d*%02d:%02d#";
constexpr const char* kEastwardLongitude = ":Sg %03d*%02d:%02d#";
constexpr const char* kCoordinatesMatched = "Coordinates matched. #";
constexpr std::uint8_t kSiderealLunarSolar
    = rateBit(int(DriveRate::Sidereal)) | rateBit(int(DriveRate::Lunar)) | rateBit(int(DriveRate::Solar));

// The base: what the driver does before a connection has told the models
// apart (the "other models" of every choice). Each model's row starts from
// it and writes only where the model differs.
constexpr MountModelRow kNotDetectedRow{
    .name = kModelNameNotDetected,
    .mountInfoReply = nullptr,
    .timeReplyLength = 11,
    .timeZoneReplyLength = 0,
    .timeZoneFormat = nullptr,
    .timeZoneSignIsEastLetter = false,
    .pierSideReplyLength = 5,
    .pierEastReply = "East#",
    .pierWestReply = "West#",
    .alignmentQuery = nullptr,
    .longitudeEastward = false,
    .siteLongitudeFormat = kSignedLongitude,
    .slewRefusedAnswer = 0,
    .altAzSlewStartedAnswer = 0,
    .slewEnd = SlewEnd::AskMount,
    .abortAcknowledged = false,
    .syncCommand = ":CMR#",
    .syncReplyLength = 22,
    .syncReply = kCoordinatesMatched,
    .park = {{":PK#", true}, kNoCommand},
    .unpark = kNoCommand,
    .unparkStartsTracking = false,
    .homeSearch = nullptr,
    .homeQuery = nullptr,
    .parkQuery = nullptr,
    .parkEnd = ParkEnd::AskSlewing,
    .trackingQuery = nullptr,
    .trackingStart = {":RT2#", ":RT0#", ":RT1#"},
    .trackingStop = ":RT9#",
    .trackingAcknowledged = false,
    .trackingRateQuery = ":GTR#",
    .trackingRateCodes = {'0', '2', '1', 0, 0},
    .trackingRateCommand = ":STR%c#",
    .listedTrackingRates = rateBit(int(DriveRate::Sidereal)),
    .guideRate = GuideRateReading::Fixed,
    .guideRateQuery = nullptr,
    .guideRateReplyLength = 0,
    .pulseGuiding = PulseGuiding::Unknown,
    .pulseCommandFormat = nullptr,
    .pulseLongestPieceMs = 0,
    .pulsePieceLeadMs = 0,
    .pulseLastPieceLeadMs = 0,
    .pulseStepMs = 0,
    .pulseStepRoundingMs = 0.0,
    .canFindHome = false,
    .canPulseGuide = true,
    .canSetGuideRates = false,
    .canSlewAltAz = false,
    .canSyncAltAz = false,
};

// The same command for every rate: a model that starts tracking one way.
constexpr void startTrackingWith(MountModelRow& row, const char* command)
{
    for (const char*& start : row.trackingStart)
        start = command;
}

// Brevan, Lintor and Lintor Plus: alt-azimuth capable, stepped guide rate,
// no guide pulses. Parks and asks its slews' end as the base does.
constexpr MountModelRow brevanRow()
{
    MountModelRow row = kNotDetectedRow;
    row.name = kModelNameBrevan;
    row.timeZoneReplyLength = 8;
    row.timeZoneFormat = "%c%d:%d#";
    row.timeZoneSignIsEastLetter = true;
    row.pierSideReplyLength = 0;
    row.pierEastReply = nullptr;
    row.pierWestReply = nullptr;
    row.alignmentQuery = ":GAM#";
    row.slewRefusedAnswer = '1';
    row.altAzSlewStartedAnswer = '0';
    startTrackingWith(row, ":RG#");
    row.trackingStop = ":Q#";
    row.listedTrackingRates = kSiderealLunarSolar;
    row.guideRate = GuideRateReading::Step;
    row.guideRateQuery = ":GGS#";
    row.guideRateReplyLength = 1;
    row.pulseGuiding = PulseGuiding::Refused;
    row.canPulseGuide = false;
    row.canSlewAltAz = true;
    row.canSyncAltAz = true;
    return row;
}

// Corvane A and B: no slewing query (the arrival test), no rate query (the
// rate remembered), longitude eastward, pulses in pieces, park unanswered.
constexpr MountModelRow corvaneRow()
{
    MountModelRow row = kNotDetectedRow;
    row.name = kModelNameCorvane;
    row.mountInfoReply = ":KV72#";
    row.timeZoneReplyLength = 10;
    row.timeZoneFormat = "%c%d:%d:%d#";
    row.longitudeEastward = true;
    row.siteLongitudeFormat = kEastwardLongitude;
    row.slewRefusedAnswer = '1';
    row.slewEnd = SlewEnd::ArrivalTest;
    row.syncReplyLength = 33;
    row.syncReply = "Coordinates     matched.        #";
    row.park[0] = {":KA", false};
    row.unpark = {":PO#", false};
    row.unparkStartsTracking = true;
    row.parkEnd = ParkEnd::PositionSettles;
    row.trackingRateQuery = nullptr;
    for (char& code : row.trackingRateCodes)
        code = 0;
    row.trackingRateCommand = nullptr;
    row.listedTrackingRates = kSiderealLunarSolar;
    row.pulseGuiding = PulseGuiding::Pieces;
    row.pulseCommandFormat = ":M%c%03ld#";
    row.pulseLongestPieceMs = 999;
    row.pulsePieceLeadMs = 800;
    row.pulseLastPieceLeadMs = 200;
    return row;
}

// Corvane A Revision B: asks the mount for everything (park, home,
// tracking, rate, guide rate), answers its commands, 9-byte times, guide
// pulses from a backlog of 100 ms steps.
constexpr MountModelRow corvaneRevisionBRow()
{
    MountModelRow row = kNotDetectedRow;
    row.name = kModelNameCorvaneRevisionB;
    row.mountInfoReply = "6150";
    row.timeReplyLength = 9;
    row.timeZoneReplyLength = 7;
    row.timeZoneFormat = "%c%d:%d#";
    row.pierSideReplyLength = 1;
    row.pierEastReply = "0";
    row.pierWestReply = "1";
    row.slewRefusedAnswer = '0';
    row.abortAcknowledged = true;
    row.syncCommand = ":CM#";
    row.syncReplyLength = 1;
    row.syncReply = "1";
    row.park[0] = {":MH#", true};
    row.park[1] = {":MP1#", true};
    row.unpark = {":MP0#", true};
    row.unparkStartsTracking = true;
    row.homeSearch = ":MH#";
    row.homeQuery = ":AH#";
    row.parkQuery = ":AP#";
    row.parkEnd = ParkEnd::AskParked;
    row.trackingQuery = ":AT#";
    startTrackingWith(row, ":ST1#");
    row.trackingStop = ":ST0#";
    row.trackingAcknowledged = true;
    row.trackingRateQuery = ":QT#";
    row.trackingRateCodes[int(DriveRate::Lunar)] = '1';
    row.trackingRateCodes[int(DriveRate::Solar)] = '2';
    row.trackingRateCodes[int(DriveRate::King)] = '3';
    row.trackingRateCodes[int(DriveRate::Custom)] = '4';
    row.trackingRateCommand = ":RT%c#";
    row.listedTrackingRates = kSiderealLunarSolar | rateBit(int(DriveRate::King));
    row.guideRate = GuideRateReading::Fraction;
    row.guideRateQuery = ":AG#";
    row.guideRateReplyLength = 5;
    row.pulseGuiding = PulseGuiding::Backlog;
    row.pulseCommandFormat = ":M%c%05ld#";
    row.pulseStepMs = 100;
    row.pulseStepRoundingMs = 49.9;
    row.canFindHome = true;
    row.canSetGuideRates = true;
    return row;
}

// One row per model, indexed by the model's number: the base, and each
// model as it differs from it.
constexpr std::array<MountModelRow, kModelCount> makeRows()
{
    std::array<MountModelRow, kModelCount> rows{};
    rows[kModelNotDetected] = kNotDetectedRow;
    rows[kModelBrevan] = brevanRow();
    rows[kModelCorvane] = corvaneRow();
    rows[kModelCorvaneRevisionB] = corvaneRevisionBRow();
    return rows;
}

constexpr std::array<MountModelRow, kModelCount> kRows = makeRows();

// Every row was written: a row left out would have no name, no sync and
// no time-reply length.
constexpr bool everyRowWritten()
{
    for (const MountModelRow& row : kRows)
        if (!row.name || !row.syncCommand || !row.syncReply || row.timeReplyLength == 0 || !row.trackingStop
            || !row.siteLongitudeFormat)
            return false;
    return true;
}
static_assert(everyRowWritten(), "every model has its row");

// A model that guides in pieces or from a backlog has the constants for it;
// one that asks its guide rate has the query and its length.
constexpr bool everyRowConsistent()
{
    for (const MountModelRow& row : kRows) {
        if (row.pulseGuiding == PulseGuiding::Pieces
            && (!row.pulseCommandFormat || row.pulseLongestPieceMs <= 0 || row.pulseLastPieceLeadMs < 0))
            return false;
        if (row.pulseGuiding == PulseGuiding::Backlog && (!row.pulseCommandFormat || row.pulseStepMs <= 0))
            return false;
        if ((row.guideRate != GuideRateReading::Fixed) != (row.guideRateQuery != nullptr))
            return false;
        if (row.guideRateQuery && row.guideRateReplyLength == 0)
            return false;
        if (row.canSlewAltAz != (row.altAzSlewStartedAnswer != 0))
            return false;
        if ((row.parkEnd == ParkEnd::AskParked) != (row.parkQuery != nullptr))
            return false;
        if (!(row.listedTrackingRates & rateBit(int(DriveRate::Sidereal))))
            return false;
        // A listed rate reads back as set: a mount that is asked has a
        // character for it, one that is not remembers only these three.
        for (int rate = kLowestDriveRate; rate <= kHighestDriveRate; ++rate)
            if ((row.listedTrackingRates & rateBit(rate)) && row.trackingRateQuery && row.trackingRateCodes[rate] == 0)
                return false;
        if (!row.trackingRateQuery && (row.listedTrackingRates & ~kSiderealLunarSolar))
            return false;
    }
    return true;
}
static_assert(everyRowConsistent(), "each model's row holds what its forms need");

} // namespace


const MountModelRow& modelRow(int model)
{
    if (model < 0 || model >= kModelCount)
        return kRows[kModelNotDetected];
    return kRows[model];
}

std::uint8_t modelFromMountInfo(const char* reply)
{
    for (int model = 0; model < kModelCount; ++model) {
        const char* answer = kRows[model].mountInfoReply;
        if (answer && std::strlen(reply) == std::strlen(answer) && std::strcmp(reply, answer) == 0)
            return static_cast<std::uint8_t>(model);
    }
    // Every other answer, none included.
    return kFallbackModel;
}

TrackingRateSlot trackingRateSlot(int rate)
{
    switch (static_cast<DriveRate>(rate)) {
    case DriveRate::Sidereal:
        return kRateSlotSidereal;
    case DriveRate::Lunar:
        return kRateSlotLunar;
    default:
        return kRateSlotOther;
    }
}

std::uint32_t timeReplyLength(int model)
{
    return modelRow(model).timeReplyLength;
}
