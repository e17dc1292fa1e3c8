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

// One row per model, indexed by the model's number; each written in full,
// so a reader sees a model whole.
constexpr std::array<MountModelRow, kModelCount> makeRows()
{
    std::array<MountModelRow, kModelCount> rows{};
    rows[kModelNotDetected] = kNotDetectedRow;

    rows[kModelBrevan] = MountModelRow{
        .name = kModelNameBrevan,
        .mountInfoReply = nullptr,
        .timeReplyLength = 11,
        .timeZoneReplyLength = 8,
        .timeZoneFormat = "%c%d:%d#",
        .timeZoneSignIsEastLetter = true,
        .pierSideReplyLength = 0,
        .pierEastReply = nullptr,
        .pierWestReply = nullptr,
        .alignmentQuery = ":GAM#",
        .longitudeEastward = false,
        .siteLongitudeFormat = kSignedLongitude,
        .slewRefusedAnswer = '1',
        .altAzSlewStartedAnswer = '0',
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
        .trackingStart = {":RG#", ":RG#", ":RG#"},
        .trackingStop = ":Q#",
        .trackingAcknowledged = false,
        .trackingRateQuery = ":GTR#",
        .trackingRateCodes = {'0', '2', '1', 0, 0},
        .trackingRateCommand = ":STR%c#",
        .listedTrackingRates = kSiderealLunarSolar,
        .guideRate = GuideRateReading::Step,
        .guideRateQuery = ":GGS#",
        .guideRateReplyLength = 1,
        .pulseGuiding = PulseGuiding::Refused,
        .pulseCommandFormat = nullptr,
        .pulseLongestPieceMs = 0,
        .pulsePieceLeadMs = 0,
        .pulseLastPieceLeadMs = 0,
        .pulseStepMs = 0,
        .pulseStepRoundingMs = 0.0,
        .canFindHome = false,
        .canPulseGuide = false,
        .canSetGuideRates = false,
        .canSlewAltAz = true,
        .canSyncAltAz = true,
    };

    rows[kModelCorvane] = MountModelRow{
        .name = kModelNameCorvane,
        .mountInfoReply = ":KV72#",
        .timeReplyLength = 11,
        .timeZoneReplyLength = 10,
        .timeZoneFormat = "%c%d:%d:%d#",
        .timeZoneSignIsEastLetter = false,
        .pierSideReplyLength = 5,
        .pierEastReply = "East#",
        .pierWestReply = "West#",
        .alignmentQuery = nullptr,
        .longitudeEastward = true,
        .siteLongitudeFormat = kEastwardLongitude,
        .slewRefusedAnswer = '1',
        .altAzSlewStartedAnswer = 0,
        .slewEnd = SlewEnd::ArrivalTest,
        .abortAcknowledged = false,
        .syncCommand = ":CMR#",
        .syncReplyLength = 33,
        .syncReply = "Coordinates     matched.        #",
        .park = {{":KA", false}, kNoCommand},
        .unpark = {":PO#", false},
        .unparkStartsTracking = true,
        .homeSearch = nullptr,
        .homeQuery = nullptr,
        .parkQuery = nullptr,
        .parkEnd = ParkEnd::PositionSettles,
        .trackingQuery = nullptr,
        .trackingStart = {":RT2#", ":RT0#", ":RT1#"},
        .trackingStop = ":RT9#",
        .trackingAcknowledged = false,
        .trackingRateQuery = nullptr,
        .trackingRateCodes = {},
        .trackingRateCommand = nullptr,
        .listedTrackingRates = kSiderealLunarSolar,
        .guideRate = GuideRateReading::Fixed,
        .guideRateQuery = nullptr,
        .guideRateReplyLength = 0,
        .pulseGuiding = PulseGuiding::Pieces,
        .pulseCommandFormat = ":M%c%03ld#",
        .pulseLongestPieceMs = 999,
        .pulsePieceLeadMs = 800,
        .pulseLastPieceLeadMs = 200,
        .pulseStepMs = 0,
        .pulseStepRoundingMs = 0.0,
        .canFindHome = false,
        .canPulseGuide = true,
        .canSetGuideRates = false,
        .canSlewAltAz = false,
        .canSyncAltAz = false,
    };

    rows[kModelCorvaneRevisionB] = MountModelRow{
        .name = kModelNameCorvaneRevisionB,
        .mountInfoReply = "6150",
        .timeReplyLength = 9,
        .timeZoneReplyLength = 7,
        .timeZoneFormat = "%c%d:%d#",
        .timeZoneSignIsEastLetter = false,
        .pierSideReplyLength = 1,
        .pierEastReply = "0",
        .pierWestReply = "1",
        .alignmentQuery = nullptr,
        .longitudeEastward = false,
        .siteLongitudeFormat = kSignedLongitude,
        .slewRefusedAnswer = '0',
        .altAzSlewStartedAnswer = 0,
        .slewEnd = SlewEnd::AskMount,
        .abortAcknowledged = true,
        .syncCommand = ":CM#",
        .syncReplyLength = 1,
        .syncReply = "1",
        .park = {{":MH#", true}, {":MP1#", true}},
        .unpark = {":MP0#", true},
        .unparkStartsTracking = true,
        .homeSearch = ":MH#",
        .homeQuery = ":AH#",
        .parkQuery = ":AP#",
        .parkEnd = ParkEnd::AskParked,
        .trackingQuery = ":AT#",
        .trackingStart = {":ST1#", ":ST1#", ":ST1#"},
        .trackingStop = ":ST0#",
        .trackingAcknowledged = true,
        .trackingRateQuery = ":QT#",
        .trackingRateCodes = {'0', '1', '2', '3', '4'},
        .trackingRateCommand = ":RT%c#",
        .listedTrackingRates = kSiderealLunarSolar | rateBit(int(DriveRate::King)),
        .guideRate = GuideRateReading::Fraction,
        .guideRateQuery = ":AG#",
        .guideRateReplyLength = 5,
        .pulseGuiding = PulseGuiding::Backlog,
        .pulseCommandFormat = ":M%c%05ld#",
        .pulseLongestPieceMs = 0,
        .pulsePieceLeadMs = 0,
        .pulseLastPieceLeadMs = 0,
        .pulseStepMs = 100,
        .pulseStepRoundingMs = 49.9,
        .canFindHome = true,
        .canPulseGuide = true,
        .canSetGuideRates = true,
        .canSlewAltAz = false,
        .canSyncAltAz = false,
    };
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
