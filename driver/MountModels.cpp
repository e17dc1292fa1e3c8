#include "MountModels.h"

#include "Protocol.h"

#include "Messages.h"
#include "MountState.h"
#include "VelmaroInterface.h"

#include <cstring>

namespace {

// One row per model, in the order of the model numbers. Every column of
// the protocol's per-model tables is a field here.
const MountModelRow kRows[] = {
    // kModelNotDetected: what the driver does before it has told the models apart.
    {
        kModelNameNotDetected, nullptr,
        11, 0, nullptr, false, 5, "East#", "West#", nullptr, false,
        0, SlewEnd::AskMount, false, ":CMR#", 22, "Coordinates matched. #",
        {{":PK#", true}, {nullptr, false}}, {nullptr, false}, nullptr, nullptr, nullptr,
        nullptr, {":RT2#", ":RT0#", ":RT1#"}, ":RT9#", false, ":GTR#", {0, '2', '1', 0, 0}, ":STR%d#",
        GuideRateReading::Fixed, PulseGuiding::Unknown,
        false, true, false, false, false,
    },
    // kModelBrevan
    {
        kModelNameBrevan, nullptr,
        11, 8, "%c%d:%d#", true, 0, nullptr, nullptr, ":GAM#", false,
        '1', SlewEnd::AskMount, false, ":CMR#", 22, "Coordinates matched. #",
        {{":PK#", true}, {nullptr, false}}, {nullptr, false}, nullptr, nullptr, nullptr,
        nullptr, {":RG#", ":RG#", ":RG#"}, ":Q#", false, ":GTR#", {0, '2', '1', 0, 0}, ":STR%d#",
        GuideRateReading::Step, PulseGuiding::Refused,
        false, false, false, true, true,
    },
    // kModelCorvane
    {
        kModelNameCorvane, ":KV72#",
        11, 10, "%c%d:%d:%d#", false, 5, "East#", "West#", nullptr, true,
        '1', SlewEnd::ArrivalTest, false, ":CMR#", 33, "Coordinates     matched.        #",
        {{":KA", false}, {nullptr, false}}, {":PO#", false}, nullptr, nullptr, nullptr,
        nullptr, {":RT2#", ":RT0#", ":RT1#"}, ":RT9#", false, nullptr, {}, nullptr,
        GuideRateReading::Fixed, PulseGuiding::Pieces,
        false, true, false, false, false,
    },
    // kModelCorvaneRevisionB
    {
        kModelNameCorvaneRevisionB, "6150",
        9, 7, "%c%d:%d#", false, 1, "0", "1", nullptr, false,
        '0', SlewEnd::AskMount, true, ":CM#", 1, "1",
        {{":MH#", true}, {":MP1#", true}}, {":MP0#", true}, ":MH#", ":AH#", ":AP#",
        ":AT#", {":ST1#", ":ST1#", ":ST1#"}, ":ST0#", true, ":QT#", {0, '1', '2', '3', '4'}, ":RT%d#",
        GuideRateReading::Fraction, PulseGuiding::Backlog,
        true, true, true, false, false,
    },
};

constexpr int kRowCount = sizeof kRows / sizeof kRows[0];

} // namespace

const MountModelRow& modelRow(int model)
{
    if (model < 0 || model >= kRowCount)
        return kRows[kModelNotDetected];
    return kRows[model];
}

const MountModelRow& detectedModel()
{
    return modelRow(mount.model);
}

std::uint8_t modelFromMountInfo(const char* reply)
{
    for (int model = 0; model < kRowCount; ++model) {
        const char* answer = kRows[model].mountInfoReply;
        if (answer && std::strlen(reply) == std::strlen(answer) && std::strcmp(reply, answer) == 0)
            return static_cast<std::uint8_t>(model);
    }
    // Every other answer, none included.
    return kModelBrevan;
}

TrackingRateSlot trackingRateSlot(int rate)
{
    switch (rate) {
    case driveSidereal:
        return kRateSlotSidereal;
    case driveLunar:
        return kRateSlotLunar;
    default:
        return kRateSlotOther;
    }
}

std::uint32_t timeReplyLength(int model)
{
    return modelRow(model).timeReplyLength;
}
