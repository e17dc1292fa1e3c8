// The table of the models in docs/architecture.md is the model rows: each
// line of it is made here from the rows' fields, and the document must
// hold exactly those lines, in that order. A row changed without the
// document (or the other way round) fails, and the message gives the line
// the document should have.
#include "MountModels.h"
#include "MountTypes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using Cell = std::function<std::string(const MountModelRow&, int model)>;

std::string code(const char* text)
{
    return text ? "`" + std::string(text) + "`" : "";
}

std::string code(char answer)
{
    return answer ? "`" + std::string(1, answer) + "`" : "";
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string yesNo(bool value, const char* yes = "true", const char* no = "false")
{
    return value ? yes : no;
}

// Two flags in one column: one word when they agree.
std::string flags(bool first, bool second)
{
    return first == second ? yesNo(first) : yesNo(first) + " / " + yesNo(second);
}

std::string joined(const std::vector<std::string>& parts, const char* between)
{
    std::string text;
    for (const std::string& part : parts)
        if (!part.empty())
            text += (text.empty() ? "" : between) + part;
    return text;
}

std::string withAcknowledgement(const ModelCommand& command)
{
    return code(command.text) + (command.acknowledged ? " ack" : " sent");
}

const char* const kRateNames[] = {"sidereal", "lunar", "solar", "King", "custom"};

std::string rateCodes(const MountModelRow& row)
{
    std::vector<std::string> parts;
    for (int rate = kLowestDriveRate; rate <= kHighestDriveRate; ++rate)
        if (row.trackingRateCodes[rate])
            parts.push_back(std::string(kRateNames[rate]) + " " + code(row.trackingRateCodes[rate]));
    return joined(parts, ", ");
}

std::string listedRates(const MountModelRow& row)
{
    std::vector<std::string> parts;
    for (int rate = kLowestDriveRate; rate <= kHighestDriveRate; ++rate)
        if (row.listedTrackingRates & rateBit(rate))
            parts.push_back(kRateNames[rate]);
    return joined(parts, ", ");
}

std::string trackingOn(const MountModelRow& row)
{
    const auto& start = row.trackingStart;
    const bool one = std::string(start[0]) == start[1] && std::string(start[1]) == start[2];
    const std::string commands = one ? code(start[0]) : joined({code(start[0]), code(start[1]), code(start[2])}, " ");
    return commands + (row.trackingAcknowledged ? " (acknowledged)" : "");
}

std::string guideRate(const MountModelRow& row)
{
    const std::string bytes = std::to_string(row.guideRateReplyLength) + (row.guideRateReplyLength == 1 ? " byte" : " bytes");
    switch (row.guideRate) {
    case GuideRateReading::Fixed:
        return "fixed";
    case GuideRateReading::Step:
        return "step " + code(row.guideRateQuery) + ", " + bytes;
    case GuideRateReading::Fraction:
        return "fraction " + code(row.guideRateQuery) + ", " + bytes;
    }
    return "?";
}

std::string pulseGuiding(const MountModelRow& row)
{
    switch (row.pulseGuiding) {
    case PulseGuiding::Unknown:
        return "accepted, nothing sent";
    case PulseGuiding::Refused:
        return "refused";
    case PulseGuiding::Pieces:
        return code(row.pulseCommandFormat) + " pieces of at most " + std::to_string(row.pulseLongestPieceMs)
            + " ms, each sent " + std::to_string(row.pulsePieceLeadMs) + " ms after the one before, the last "
            + std::to_string(row.pulseLastPieceLeadMs) + " ms before the end";
    case PulseGuiding::Backlog:
        return code(row.pulseCommandFormat) + " " + std::to_string(row.pulseStepMs) + " ms steps with backlog ("
            + number(row.pulseStepRoundingMs) + " ms rounds up)";
    }
    return "?";
}

std::string parkArrival(const MountModelRow& row)
{
    switch (row.parkEnd) {
    case ParkEnd::AskSlewing:
        return "`:SE?#` \"0\"";
    case ParkEnd::AskParked:
        return code(row.parkQuery) + " \"1\"";
    case ParkEnd::PositionSettles:
        return "declination, altitude and azimuth within 1' over 1 s";
    }
    return "?";
}

struct Line {
    const char* field;
    Cell cell;
};

const std::vector<Line>& lines()
{
    static const std::vector<Line> table = {
        {"`:MountInfo#` answer",
         [](const MountModelRow& row, int model) {
             return model == kFallbackModel ? std::string("any other") : code(row.mountInfoReply);
         }},
        {"time replies (`:GR#`, `:GS#`, `:GL#`)",
         [](const MountModelRow& row, int) { return std::to_string(row.timeReplyLength); }},
        {"time zone `:GG#`",
         [](const MountModelRow& row, int) {
             if (row.timeZoneReplyLength == 0)
                 return std::string("not read");
             return std::to_string(row.timeZoneReplyLength) + ", " + code(row.timeZoneFormat)
                 + (row.timeZoneSignIsEastLetter ? ", sign `E` is east" : "");
         }},
        {"side of pier `:pS#`",
         [](const MountModelRow& row, int) {
             if (row.pierSideReplyLength == 0)
                 return std::string("not asked");
             return std::to_string(row.pierSideReplyLength) + ", " + code(row.pierEastReply) + "/"
                 + code(row.pierWestReply);
         }},
        {"alignment query", [](const MountModelRow& row, int) { return code(row.alignmentQuery); }},
        {"site longitude put",
         [](const MountModelRow& row, int) {
             return (row.longitudeEastward ? "0..360 east " : "signed ") + code(row.siteLongitudeFormat);
         }},
        {"`:MS#` refused answer",
         [](const MountModelRow& row, int) {
             return row.slewRefusedAnswer ? code(row.slewRefusedAnswer) : std::string("none");
         }},
        {"`:MS#` answer that starts an alt-azimuth slew",
         [](const MountModelRow& row, int) { return code(row.altAzSlewStartedAnswer); }},
        {"slew end",
         [](const MountModelRow& row, int) {
             return row.slewEnd == SlewEnd::AskMount ? std::string("`:SE?#`")
                                                     : std::string("arrival test (an abort ends it)");
         }},
        {"abort `:Q#`", [](const MountModelRow& row, int) { return yesNo(row.abortAcknowledged, "acknowledged", "sent"); }},
        {"sync",
         [](const MountModelRow& row, int) {
             return code(row.syncCommand) + ", " + std::to_string(row.syncReplyLength)
                 + (row.syncReplyLength == 1 ? ", " + code(row.syncReply) : "");
         }},
        {"park",
         [](const MountModelRow& row, int) {
             std::vector<std::string> steps;
             for (const ModelCommand& step : row.park)
                 if (step.text)
                     steps.push_back(withAcknowledgement(step));
             return joined(steps, ", ");
         }},
        {"unpark",
         [](const MountModelRow& row, int) {
             return row.unpark.text ? withAcknowledgement(row.unpark) : std::string("none");
         }},
        {"home search, at home, at park",
         [](const MountModelRow& row, int) {
             return joined({code(row.homeSearch), code(row.homeQuery), code(row.parkQuery)}, ", ");
         }},
        {"tracking query", [](const MountModelRow& row, int) { return code(row.trackingQuery); }},
        {"tracking on (sidereal, lunar, other)", [](const MountModelRow& row, int) { return trackingOn(row); }},
        {"tracking off",
         [](const MountModelRow& row, int) {
             return code(row.trackingStop) + (row.trackingAcknowledged ? " (acknowledged)" : "");
         }},
        {"tracking rate query, codes",
         [](const MountModelRow& row, int) {
             return row.trackingRateQuery ? code(row.trackingRateQuery) + ", " + rateCodes(row)
                                          : std::string("remembered");
         }},
        {"tracking rate put (the rate's character above; a rate without one as its own digit)",
         [](const MountModelRow& row, int) {
             return row.trackingRateCommand ? code(row.trackingRateCommand) : std::string("remembered");
         }},
        {"tracking rates listed (the server's `TrackingRates`)",
         [](const MountModelRow& row, int) { return listedRates(row); }},
        {"park's arrival (the server, `parkEnd`)", [](const MountModelRow& row, int) { return parkArrival(row); }},
        {"unpark starts tracking (the server's record)",
         [](const MountModelRow& row, int) {
             if (!row.unparkStartsTracking)
                 return std::string("no");
             return std::string(row.trackingQuery ? "yes (asked anyway)" : "yes");
         }},
        {"guide rate", [](const MountModelRow& row, int) { return guideRate(row); }},
        {"pulse guiding", [](const MountModelRow& row, int) { return pulseGuiding(row); }},
        {"CanFindHome, CanSetGuideRates",
         [](const MountModelRow& row, int) { return flags(row.canFindHome, row.canSetGuideRates); }},
        {"CanPulseGuide", [](const MountModelRow& row, int) { return yesNo(row.canPulseGuide); }},
        {"CanSlewAltAz(Async), CanSyncAltAz",
         [](const MountModelRow& row, int) { return flags(row.canSlewAltAz, row.canSyncAltAz); }},
    };
    return table;
}

// One line of the table as the rows make it.
std::string madeLine(const Line& line)
{
    std::string text = std::string("| ") + line.field + " |";
    for (int model = 0; model < kModelCount; ++model) {
        const std::string cell = line.cell(modelRow(model), model);
        text += cell.empty() ? " |" : " " + cell + " |";
    }
    return text;
}

// The table's body lines in the document: those after its header and rule.
std::vector<std::string> documentedLines()
{
    std::ifstream document(VELMARO_SOURCE_DIR "/docs/architecture.md");
    std::vector<std::string> body;
    std::string text;
    bool inTable = false;
    while (std::getline(document, text)) {
        if (text.rfind("| field | not detected |", 0) == 0) {
            inTable = true;
            std::getline(document, text); // the rule under the header
            continue;
        }
        if (inTable && text.rfind("|", 0) != 0)
            break;
        if (inTable)
            body.push_back(text);
    }
    return body;
}

TEST(ModelTable, TheDocumentsTableIsMadeFromTheRows)
{
    const std::vector<std::string> documented = documentedLines();
    ASSERT_FALSE(documented.empty()) << "no table of the models in docs/architecture.md";
    std::vector<std::string> made;
    for (const Line& line : lines())
        made.push_back(madeLine(line));
    for (std::size_t at = 0; at < std::max(made.size(), documented.size()); ++at) {
        const std::string want = at < made.size() ? made[at] : "(no more lines)";
        const std::string have = at < documented.size() ? documented[at] : "(no more lines)";
        EXPECT_EQ(have, want) << "line " << at + 1 << " of the models' table";
    }
}

} // namespace
