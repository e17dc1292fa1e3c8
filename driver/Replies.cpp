#include "Replies.h"

#include "ReplyScan.h"

namespace {

constexpr const char* kTimeFormat = "%02d:%02d:%lf#";
constexpr const char* kWholeTimeFormat = "%02d:%02d:%02d#";
constexpr const char* kSignedAngleFormat = "%c%02d*%02d:%02d#";
constexpr const char* kUnsignedAngleFormat = "%03d*%02d:%02d#";
constexpr const char* kLongitudeFormat = "%c%03d*%02d:%02d#";

// A right ascension whose seconds would round up to the next minute on the
// mount's display is a reading caught in the middle of a change.
constexpr double kLastRightAscensionSeconds = 59.95;
constexpr double kMinute = 60.0;

// In the order of Query.
constexpr QueryRow kQueries[] = {
    {Query::RightAscension, ":GR#", ReplyForm::Time, 0, kTimeFormat, 1, 23, kLastRightAscensionSeconds, true},
    {Query::SiderealTime, ":GS#", ReplyForm::Time, 0, kTimeFormat, 2, 23, kMinute, false},
    {Query::LocalTime, ":GL#", ReplyForm::Time, 0, kTimeFormat, 1, 23, kMinute, false},
    {Query::LocalTimeWhole, ":GL#", ReplyForm::WholeTime, 9, kWholeTimeFormat, 1, 23, kMinute, false},
    {Query::Declination, ":GD#", ReplyForm::SignedAngle, 10, kSignedAngleFormat, 1, 90, kMinute, false},
    {Query::Altitude, ":GA#", ReplyForm::SignedAngle, 10, kSignedAngleFormat, 1, 90, kMinute, false},
    {Query::Azimuth, ":GZ#", ReplyForm::UnsignedAngle, 10, kUnsignedAngleFormat, 1, 359, kMinute, false},
    {Query::SiteLatitude, ":Gt#", ReplyForm::SignedAngle, 10, kSignedAngleFormat, 2, 90, kMinute, false},
    {Query::SiteLongitude, ":Gg#", ReplyForm::SignedAngle, 11, kLongitudeFormat, 2, 180, kMinute, false},
    {Query::TimeZone, ":GG#", ReplyForm::TimeZone, 0, nullptr, 1, 0, kMinute, false},
    {Query::Date, ":GC#", ReplyForm::WholeTime, 9, kWholeTimeFormat, 1, 0, kMinute, false},
};

constexpr bool everyQueryInItsPlace()
{
    if (sizeof kQueries / sizeof kQueries[0] != kQueryCount)
        return false;
    for (int index = 0; index < kQueryCount; ++index)
        if (static_cast<int>(kQueries[index].query) != index || !kQueries[index].command)
            return false;
    return true;
}
static_assert(everyQueryInItsPlace(), "every query has its row, in the order of Query");

bool isMinuteOrSecond(int value)
{
    return unsigned(value) <= 59u;
}

bool secondsWithin(const QueryRow& row, double seconds)
{
    if (!(seconds >= 0.0))
        return false;
    return row.highestSecondsIncluded ? seconds <= row.highestSeconds : seconds < row.highestSeconds;
}

// A reply that came but did not read as its query's answer; silence is
// the channel's own count.
void noteIfUnusable(CommandChannel& link)
{
    if (link.replyLength() != 0)
        link.noteUnusableReply();
}

} // namespace

const QueryRow& queryRow(Query query)
{
    return kQueries[static_cast<int>(query)];
}

std::uint32_t replyLength(Query query, const MountModelRow& model)
{
    const QueryRow& row = queryRow(query);
    if (row.replyLength != 0)
        return row.replyLength;
    return row.form == ReplyForm::TimeZone ? model.timeZoneReplyLength : model.timeReplyLength;
}

void ask(CommandChannel& link, Query query, const MountModelRow& model)
{
    link.command = queryRow(query).command;
    link.sendCommand();
    link.readReply(replyLength(query, model));
}

int scanTime(const CommandChannel& link, Query query, int& hours, int& minutes, double& seconds)
{
    return scanReply(link.reply, queryRow(query).format, &hours, &minutes, &seconds);
}

int scanWholeTime(const CommandChannel& link, Query query, int& first, int& second, int& third)
{
    return scanReply(link.reply, queryRow(query).format, &first, &second, &third);
}

int scanAngle(const CommandChannel& link, Query query, char& sign, int& degrees, int& minutes, int& seconds)
{
    const QueryRow& row = queryRow(query);
    if (row.form == ReplyForm::UnsignedAngle)
        return scanReply(link.reply, row.format, &degrees, &minutes, &seconds);
    return scanReply(link.reply, row.format, &sign, &degrees, &minutes, &seconds);
}

int scanTimeZone(const CommandChannel& link, const MountModelRow& model, char& sign, int& hours, int& minutes,
                 int& seconds)
{
    if (!model.timeZoneFormat)
        return 0;
    return scanReply(link.reply, model.timeZoneFormat, &sign, &hours, &minutes, &seconds);
}

bool readTime(CommandChannel& link, Query query, const MountModelRow& model, int& hours, int& minutes,
              double& seconds)
{
    const QueryRow& row = queryRow(query);
    std::uint32_t length = replyLength(query, model);
    for (int tries = 0; tries < row.tries; ++tries) {
        ask(link, query, model);
        if (link.replyLength() == length && scanTime(link, query, hours, minutes, seconds) == 3 && hours >= 0
            && hours <= row.highestUnits && isMinuteOrSecond(minutes) && secondsWithin(row, seconds))
            return true;
    }
    noteIfUnusable(link);
    return false;
}

bool readAngle(CommandChannel& link, Query query, const MountModelRow& model, char& sign, int& degrees,
               int& minutes, int& seconds)
{
    const QueryRow& row = queryRow(query);
    std::uint32_t length = replyLength(query, model);
    int fields = row.form == ReplyForm::UnsignedAngle ? 3 : 4;
    for (int tries = 0; tries < row.tries; ++tries) {
        ask(link, query, model);
        if (link.replyLength() == length && scanAngle(link, query, sign, degrees, minutes, seconds) == fields
            && unsigned(degrees) <= unsigned(row.highestUnits) && isMinuteOrSecond(minutes)
            && isMinuteOrSecond(seconds))
            return true;
    }
    noteIfUnusable(link);
    return false;
}

double hoursOf(int hours, int minutes, double seconds)
{
    return hours + minutes / 60.0 + seconds / 3600.0;
}

double degreesOf(char sign, int degrees, int minutes, int seconds)
{
    double value = degrees + minutes / 60.0 + seconds / 3600.0;
    return sign == '-' ? -value : value;
}
