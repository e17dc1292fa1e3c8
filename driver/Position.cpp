// Where the mount points, where and when it stands.
#include "Mount.h"

#include "Checks.h"
#include "Messages.h"
#include "MountModels.h"
#include "Replies.h"
#include "Utilities.h"

namespace {

// Julian date of 1970-01-01 00:00 UTC, the day count's zero.
constexpr double kJulianDateOf1970 = 2440587.5;

constexpr double kLowestElevation = -300.0;
constexpr double kHighestElevation = 10000.0;

} // namespace

// One good reading of an angle query into the shared fields, as a value in
// degrees; false leaves `value` as it was.
bool Mount::readDegrees(Query query, double& value)
{
    AngleFields& angle = state->angle;
    if (!readAngle(link, query, model(), angle.sign, angle.degrees, angle.minutes, angle.seconds))
        return false;
    // An unsigned reply leaves the sign field alone: it is not its sign.
    char sign = queryRow(query).form == ReplyForm::UnsignedAngle ? '+' : angle.sign;
    value = degreesOf(sign, angle.degrees, angle.minutes, angle.seconds);
    return true;
}

// Sends a site coordinate; a mount that does not take it only reaches the
// log, as the client cannot do anything about it.
void Mount::sendSiteAngle(double value, const char* format, bool withSign, const char* failure)
{
    AngleFields& angle = state->angle;
    splitAngle(value, angle);
    if (withSign)
        link.formatCommand(format, angle.sign, angle.degrees, angle.minutes, angle.seconds);
    else
        link.formatCommand(format, angle.degrees, angle.minutes, angle.seconds);
    link.exchangeAck();
    if (!link.acknowledged())
        logMessage(failure);
}

Outcome Mount::alignmentMode(Alignment& value)
{
    Alignment mode = Alignment::GermanPolar;
    if (const char* query = model().alignmentQuery) {
        link.command = query;
        link.exchangeAck();
        if (link.replyFirst() == '0')
            mode = Alignment::AltAz;
    }
    value = mode;
    return Outcome::success();
}

Outcome Mount::altitude(double& value)
{
    readDegrees(Query::Altitude, lastAltitude);
    value = lastAltitude;
    return Outcome::success();
}

Outcome Mount::azimuth(double& value)
{
    readDegrees(Query::Azimuth, lastAzimuth);
    value = lastAzimuth;
    return Outcome::success();
}

Outcome Mount::declination(double& value)
{
    readDegrees(Query::Declination, lastDeclination);
    value = lastDeclination;
    return Outcome::success();
}

Outcome Mount::rightAscension(double& value)
{
    if (readTime(link, Query::RightAscension, model(), parsedHours, state->angle.minutes, parsedSeconds))
        lastRightAscension = hoursOf(parsedHours, state->angle.minutes, parsedSeconds);
    value = lastRightAscension;
    return Outcome::success();
}

Outcome Mount::siderealTime(double& value)
{
    double hours = 0.0;
    if (readTime(link, Query::SiderealTime, model(), parsedHours, state->angle.minutes, parsedSeconds))
        hours = hoursOf(parsedHours, state->angle.minutes, parsedSeconds);
    value = hours;
    return Outcome::success();
}

Outcome Mount::sideOfPier(PierSide& value)
{
    PierSide side = PierSide::Unknown;
    // Both passes always run: the second answer wins when it is clear.
    for (int pass = 0; pass < kPierSidePasses; ++pass)
        sideOfPierPass(side);
    value = side;
    return Outcome::success();
}

Outcome Mount::sideOfPierPass(PierSide& value)
{
    const MountModelRow& row = model();
    if (row.pierSideReplyLength == 0)
        return Outcome::success();
    link.command = ":pS#";
    link.sendCommand();
    link.readReply(row.pierSideReplyLength);
    if (link.replyEquals(row.pierEastReply))
        value = PierSide::East;
    else if (link.replyEquals(row.pierWestReply))
        value = PierSide::West;
    return Outcome::success();
}

Outcome Mount::setSideOfPier(PierSide)
{
    return Outcome::failure(OutcomeKind::NotImplemented, kNoSetPierSide);
}

Outcome Mount::destinationSideOfPier(double, double, PierSide&)
{
    return Outcome::failure(OutcomeKind::NotImplemented, kNoPredictPierSide);
}

Outcome Mount::siteElevation(double& value) const
{
    value = double(siteElevationMetres);
    return Outcome::success();
}

Outcome Mount::setSiteElevation(double value)
{
    if (!isWithin(value, kLowestElevation, kHighestElevation))
        return Outcome::numbered(kErrorInvalidValue);
    // Whole metres, cut toward zero.
    siteElevationMetres = static_cast<std::int32_t>(value);
    return Outcome::success();
}

Outcome Mount::siteLatitude(double& value)
{
    // Neither of two readings good: 0.
    double latitude = 0.0;
    readDegrees(Query::SiteLatitude, latitude);
    value = latitude;
    return Outcome::success();
}

Outcome Mount::setSiteLatitude(double value)
{
    if (!isWithin(value, -90.0, 90.0))
        return Outcome::numbered(kErrorInvalidValue);
    sendSiteAngle(value, ":St %c%02d*%02d:%02d#", true, kLogLatitudeSetFailure);
    return Outcome::success();
}

Outcome Mount::siteLongitude(double& value)
{
    double longitude = 0.0;
    readDegrees(Query::SiteLongitude, longitude);
    if (longitude == 0.0)
        logMessage(kLogLongitudeReadFailure);
    value = longitude;
    return Outcome::success();
}

Outcome Mount::setSiteLongitude(double value)
{
    if (!isWithin(value, -180.0, 180.0))
        return Outcome::numbered(kErrorInvalidValue);
    if (model().longitudeEastward) {
        // Counted eastward from 0 to 360, without a sign.
        if (value < 0.0)
            value += 360.0;
        sendSiteAngle(value, model().siteLongitudeFormat, false, kLogLongitudeSetFailure);
    } else {
        sendSiteAngle(value, model().siteLongitudeFormat, true, kLogLongitudeSetFailure);
    }
    return Outcome::success();
}

Outcome Mount::utcDate(UtcTime& value)
{
    // The mount's clock runs on local time = UTC + its time-zone offset.
    const MountModelRow& row = model();
    AngleFields& angle = state->angle;
    link.command = queryRow(Query::TimeZone).command;
    link.sendCommand();
    // Before detection the zone's form is unknown: the reply is not read,
    // and the fields keep what they held.
    if (row.timeZoneReplyLength != 0) {
        link.readReply(row.timeZoneReplyLength);
        int zoneSeconds = 0;
        scanTimeZone(link, row, angle.sign, parsedHours, angle.minutes, zoneSeconds);
    }
    double offsetHours = parsedHours + angle.minutes / 60.0;
    if (angle.sign == '-' || angle.sign == 'W')
        offsetHours = -offsetHours;

    int month = 0, day = 0, year = 0;
    ask(link, Query::Date, row);
    scanWholeTime(link, Query::Date, month, day, year);
    year += 2000;

    ask(link, Query::LocalTime, row);
    scanTime(link, Query::LocalTime, parsedHours, angle.minutes, parsedSeconds);
    double dayWithFraction = day + parsedHours / 24.0 + angle.minutes / 1440.0 + parsedSeconds / 86400.0;
    double julian = julianDate(dayWithFraction, month, year);
    value = UtcTime(MountDays(julian - offsetHours / 24.0 - kJulianDateOf1970));
    return Outcome::success();
}

Outcome Mount::setUtcDate(UtcTime)
{
    // The mount's clock is set by hand on the mount itself.
    return Outcome::success();
}
