// The mount models as data: one row per model, read by the members. What
// differs between the models in commands, reply lengths and answers is a
// field of the row; what is a real algorithm (model 2's arrival test and
// pulse pieces, model 3's guide backlog) stays code, chosen by a field.
// Adding a model means adding a row, and its detection answer.
#pragma once

#include <cstdint>

// The values of the detected model (MountState::model). Not detected is the "other models" column:
// the driver's behaviour before the first connection.
enum MountModelNumber : std::uint8_t {
    kModelNotDetected = 0,
    kModelBrevan = 1,           // Brevan, Lintor, Lintor Plus: alt-azimuth capable
    kModelCorvane = 2,          // Corvane A, Corvane B
    kModelCorvaneRevisionB = 3, // Corvane A Revision B
};
constexpr int kModelCount = 4;

// The model every ":MountInfo#" answer without a row of its own means, and
// the one taken while the answer is awaited.
constexpr MountModelNumber kFallbackModel = kModelBrevan;

// How a model tells whether a slew has ended.
enum class SlewEnd : std::uint8_t {
    AskMount,     // ":SE?#", "1" while slewing
    ArrivalTest,  // no such command: compare the position with the target
};

// How the server tells that a park has reached its position.
enum class ParkEnd : std::uint8_t {
    AskParked,        // the park query: "1" once parked
    AskSlewing,       // ":SE?#": the mount counts a park as a slew, "0" once over
    PositionSettles,  // neither: declination, altitude and azimuth stop changing
};

// How a model reports its guide rate.
enum class GuideRateReading : std::uint8_t {
    Fixed,     // cannot be asked: half the sidereal rate
    Fraction,  // ":AG#", a fraction of the sidereal rate
    Step,      // ":GGS#", a digit for one of four steps
};

// How a model takes a guide pulse.
enum class PulseGuiding : std::uint8_t {
    Refused,  // alt-azimuth mounts do not guide
    Unknown,  // not detected yet: accepted, nothing sent
    Pieces,   // at most 999 ms per command, sent one after the other
    Backlog,  // 100 ms steps, the remainder kept per direction
};

// One command of a command list: acknowledged ones need the mount's "1",
// the others are sent without reading any reply.
struct ModelCommand {
    const char* text;  // nullptr: no command
    bool acknowledged;
};

// Tracking rates as the model's commands and replies know them, indexed by
// the client's rate: sidereal, lunar, and every other rate.
enum TrackingRateSlot { kRateSlotSidereal, kRateSlotLunar, kRateSlotOther, kRateSlots };

// A set of the clients' tracking rates, one bit per rate by its value.
constexpr std::uint8_t rateBit(int rate)
{
    return static_cast<std::uint8_t>(1u << rate);
}

struct MountModelRow {
    const char* name;  // as the setup dialog shows it
    // The ":MountInfo#" answer that identifies the model (whole reply);
    // nullptr for the model that every other answer means, or none.
    const char* mountInfoReply;

    // Reply lengths and forms.
    std::uint32_t timeReplyLength;      // ":GR#", ":GS#", ":GL#"
    std::uint32_t timeZoneReplyLength;  // ":GG#"; 0: the reply is not read
    const char* timeZoneFormat;         // sign, hours, minutes (and seconds)
    bool timeZoneSignIsEastLetter;      // an "E" sign means east of Greenwich
    std::uint32_t pierSideReplyLength;  // ":pS#"; 0: not asked
    const char* pierEastReply;
    const char* pierWestReply;
    const char* alignmentQuery;   // answers "0" on an alt-azimuth mount; nullptr: not asked
    bool longitudeEastward;       // ":Sg" takes 0..360 east, without sign
    const char* siteLongitudeFormat;  // ":Sg": degrees, minutes, seconds, after the sign if signed

    // Slewing and syncing.
    char slewRefusedAnswer;       // the ":MS#" answer for "below the horizon"; 0: none
    char altAzSlewStartedAnswer;  // the ":MS#" answer that starts an alt-azimuth slew; 0: none
    SlewEnd slewEnd;
    bool abortAcknowledged;       // ":Q#" is answered
    const char* syncCommand;
    std::uint32_t syncReplyLength;
    const char* syncReply;

    // Parking and home.
    ModelCommand park[2];
    ModelCommand unpark;
    bool unparkStartsTracking;    // the unpark command starts the drive again
    const char* homeSearch;       // accepted with "1"; nullptr: no home search
    const char* homeQuery;        // "1" at home; nullptr: never at home
    const char* parkQuery;        // "1" parked; nullptr: the driver's own record
    ParkEnd parkEnd;

    // Tracking and guiding.
    const char* trackingQuery;    // "1" tracking; nullptr: the driver's own record
    const char* trackingStart[kRateSlots];
    const char* trackingStop;
    bool trackingAcknowledged;    // the record follows only an accepted command
    const char* trackingRateQuery;    // one-character reply; nullptr: remembered
    // The mount's character for each rate (by value), in its replies and
    // in the rate command; a rate without one is sent as its own digit.
    char trackingRateCodes[5];
    const char* trackingRateCommand;  // printf format of the rate's character; nullptr: remembered
    // The rates the model can both set and read back as set (rateBit).
    std::uint8_t listedTrackingRates;
    GuideRateReading guideRate;
    const char* guideRateQuery;          // nullptr: cannot be asked
    std::uint32_t guideRateReplyLength;
    PulseGuiding pulseGuiding;
    // printf format of a pulse command: direction letter, milliseconds.
    const char* pulseCommandFormat;
    // Pieces: the longest piece, how long before a piece's end the next is
    // sent, and how long before the pulse's end the last one goes.
    std::int32_t pulseLongestPieceMs;
    std::uint32_t pulsePieceLeadMs;
    std::int32_t pulseLastPieceLeadMs;
    // Backlog: the mount's step, and what rounds a remainder to the nearest
    // step (an exact half going to the lower one).
    std::int32_t pulseStepMs;
    double pulseStepRoundingMs;

    // Capabilities.
    bool canFindHome;
    bool canPulseGuide;
    bool canSetGuideRates;
    bool canSlewAltAz;
    bool canSyncAltAz;
};

// The row of a model number; numbers without a row get the not-detected one.
const MountModelRow& modelRow(int model);

// The model told by the answer to ":MountInfo#": the row whose answer it is
// exactly, else the model that every other answer means.
std::uint8_t modelFromMountInfo(const char* reply);

// The client's tracking rate as a slot of the tables above.
TrackingRateSlot trackingRateSlot(int rate);
