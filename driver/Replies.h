// The mount's queries as data: for each, the command, the length of its
// reply (fixed, or the model's), the scan format and the bounds a good
// reading keeps. The members and the setup probe both read through the
// typed readers below, so a format or a length is written once.
#pragma once

#include "CommandChannel.h"
#include "MountModels.h"

#include <cstdint>

enum class Query {
    RightAscension,   // ":GR#" HH:MM:SS.S (HH:MM:SS on some models)
    SiderealTime,     // ":GS#" the same form
    LocalTime,        // ":GL#" the same form
    LocalTimeWhole,   // ":GL#" read as HH:MM:SS# only (the probe's display)
    Declination,      // ":GD#" sDD*MM:SS
    Altitude,         // ":GA#" sDD*MM:SS
    Azimuth,          // ":GZ#" DDD*MM:SS
    SiteLatitude,     // ":Gt#" sDD*MM:SS
    SiteLongitude,    // ":Gg#" sDDD*MM:SS
    TimeZone,         // ":GG#" the model's form
    Date,             // ":GC#" MM:DD:YY
};
constexpr int kQueryCount = static_cast<int>(Query::Date) + 1;

enum class ReplyForm {
    Time,           // hours, minutes, seconds with a fraction
    WholeTime,      // three whole numbers: hours, minutes, seconds (or month, day, year)
    SignedAngle,    // sign, degrees, minutes, seconds
    UnsignedAngle,  // degrees, minutes, seconds
    TimeZone,       // sign, hours, minutes (and seconds), by the model
};

struct QueryRow {
    Query query;  // the row's own query: the table is in the order of Query
    const char* command;
    ReplyForm form;
    std::uint32_t replyLength;  // 0: the model's (time, or time zone)
    const char* format;         // nullptr: the model's
    int tries;                  // whole exchanges until a good reading
    int highestUnits;           // hours or degrees
    double highestSeconds;      // for Time readings
    bool highestSecondsIncluded;
};

const QueryRow& queryRow(Query query);
std::uint32_t replyLength(Query query, const MountModelRow& model);

// Sends the query and reads its reply.
void ask(CommandChannel& link, Query query, const MountModelRow& model);

// Scans the reply in the link as the query's form; fields that do not
// convert keep their values. Returns how many converted.
int scanTime(const CommandChannel& link, Query query, int& hours, int& minutes, double& seconds);
int scanWholeTime(const CommandChannel& link, Query query, int& first, int& second, int& third);
int scanAngle(const CommandChannel& link, Query query, char& sign, int& degrees, int& minutes, int& seconds);
int scanTimeZone(const CommandChannel& link, const MountModelRow& model, char& sign, int& hours, int& minutes,
                 int& seconds);

// A good reading: asks (up to the query's tries) until the reply has its
// exact length, every field converts and each lies within its bounds.
// False when no try gave one; the fields then hold the last scan's values.
bool readTime(CommandChannel& link, Query query, const MountModelRow& model, int& hours, int& minutes,
              double& seconds);
bool readAngle(CommandChannel& link, Query query, const MountModelRow& model, char& sign, int& degrees,
               int& minutes, int& seconds);

// The value of a good reading: hours, or degrees with their sign.
double hoursOf(int hours, int minutes, double seconds);
double degreesOf(char sign, int degrees, int minutes, int seconds);
