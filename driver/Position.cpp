// Where the mount points, where and when it stands.
#include "Telescope.h"

#include "Checks.h"
#include "DriverCall.h"
#include "ErrorReport.h"
#include "MountState.h"
#include "Messages.h"
#include "MountModels.h"
#include "Replies.h"
#include "Utilities.h"

#include <cstring>

namespace {

constexpr int kPierSidePasses = 2;
constexpr double kJulianDateOfAutomationEpoch = 2415018.5;

constexpr double kLowestElevation = -300.0;
constexpr double kHighestElevation = 10000.0;

enum PierSide { kPierUnknown = -1, kPierEast = 0, kPierWest = 1 };

// One good reading of an angle query into the process-wide fields, as a
// value in degrees; false leaves `value` as it was.
bool readDegrees(CommandChannel& link, Query query, double& value)
{
    if (!readAngle(link, query, detectedModel(), mount.angleSign, mount.angleDegrees, mount.angleMinutes,
                   mount.angleSeconds))
        return false;
    // An unsigned reply leaves the sign field alone: it is not its sign.
    char sign = queryRow(query).form == ReplyForm::UnsignedAngle ? '+' : mount.angleSign;
    value = degreesOf(sign, mount.angleDegrees, mount.angleMinutes, mount.angleSeconds);
    return true;
}

// Sends a site coordinate; a mount that does not take it only reaches the
// log, as the client cannot do anything about it.
void sendSiteAngle(CommandChannel& link, double value, const char* format, bool withSign, const char* failure)
{
    splitAngle(value);
    if (withSign)
        link.formatCommand(format, mount.angleSign, mount.angleDegrees, mount.angleMinutes, mount.angleSeconds);
    else
        link.formatCommand(format, mount.angleDegrees, mount.angleMinutes, mount.angleSeconds);
    link.exchangeAck();
    if (!link.acknowledged())
        logMessage(failure);
}

} // namespace

HRESULT CTelescope::get_AlignmentMode(AlignmentModes* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    AlignmentModes mode = algGermanPolar;
    if (const char* query = detectedModel().alignmentQuery) {
        link.command = query;
        link.exchangeAck();
        if (link.replyFirst() == '0')
            mode = algAltAz;
    }
    return call.result(returnValue(value, mode));
}

HRESULT CTelescope::get_Altitude(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    readDegrees(link, Query::Altitude, lastAltitude);
    return call.result(returnValue(value, lastAltitude));
}

HRESULT CTelescope::get_Azimuth(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    readDegrees(link, Query::Azimuth, lastAzimuth);
    return call.result(returnValue(value, lastAzimuth));
}

HRESULT CTelescope::get_Declination(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    readDegrees(link, Query::Declination, lastDeclination);
    return call.result(returnValue(value, lastDeclination));
}

HRESULT CTelescope::get_RightAscension(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    if (readTime(link, Query::RightAscension, detectedModel(), parsedHours, mount.angleMinutes, parsedSeconds))
        lastRightAscension = hoursOf(parsedHours, mount.angleMinutes, parsedSeconds);
    return call.result(returnValue(value, lastRightAscension));
}

HRESULT CTelescope::get_SiderealTime(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double hours = 0.0;
    if (readTime(link, Query::SiderealTime, detectedModel(), parsedHours, mount.angleMinutes, parsedSeconds))
        hours = hoursOf(parsedHours, mount.angleMinutes, parsedSeconds);
    return call.result(returnValue(value, hours));
}

HRESULT CTelescope::get_SideOfPier(int* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    int side = kPierUnknown;
    const MountModelRow& model = detectedModel();
    if (model.pierSideReplyLength != 0) {
        link.command = ":pS#";
        // Both passes always run: the second answer wins when it is clear.
        for (int pass = 0; pass < kPierSidePasses; ++pass) {
            link.sendCommand();
            link.readReply(model.pierSideReplyLength);
            if (link.replyEquals(model.pierEastReply))
                side = kPierEast;
            else if (link.replyEquals(model.pierWestReply))
                side = kPierWest;
        }
    }
    return call.result(returnValue(value, side));
}

HRESULT CTelescope::put_SideOfPier(int*)
{
    DriverCall call;
    return call.result(driverFailure(kNoSetPierSide));
}

HRESULT CTelescope::get_SiteElevation(double* value)
{
    DriverCall call;
    return call.result(returnValue(value, double(siteElevation)));
}

HRESULT CTelescope::put_SiteElevation(double value)
{
    DriverCall call;
    if (!isWithin(value, kLowestElevation, kHighestElevation))
        return call.result(driverError(kErrorInvalidValue));
    // Whole metres, cut toward zero.
    siteElevation = static_cast<std::int32_t>(value);
    return call.result(S_OK);
}

HRESULT CTelescope::get_SiteLatitude(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    // Neither of two readings good: 0.
    double latitude = 0.0;
    readDegrees(link, Query::SiteLatitude, latitude);
    return call.result(returnValue(value, latitude));
}

HRESULT CTelescope::put_SiteLatitude(double value)
{
    DriverCall call;
    if (!isWithin(value, -90.0, 90.0))
        return call.result(driverError(kErrorInvalidValue));
    sendSiteAngle(link, value, ":St %c%02d*%02d:%02d#", true, kLogLatitudeSetFailure);
    return call.result(S_OK);
}

HRESULT CTelescope::get_SiteLongitude(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double longitude = 0.0;
    readDegrees(link, Query::SiteLongitude, longitude);
    if (longitude == 0.0)
        logMessage(kLogLongitudeReadFailure);
    return call.result(returnValue(value, longitude));
}

HRESULT CTelescope::put_SiteLongitude(double value)
{
    DriverCall call;
    if (!isWithin(value, -180.0, 180.0))
        return call.result(driverError(kErrorInvalidValue));
    if (detectedModel().longitudeEastward) {
        // Counted eastward from 0 to 360, without a sign.
        if (value < 0.0)
            value += 360.0;
        sendSiteAngle(link, value, ":Sg %03d*%02d:%02d#", false, kLogLongitudeSetFailure);
    } else {
        sendSiteAngle(link, value, ":Sg %c%03d*%02d:%02d#", true, kLogLongitudeSetFailure);
    }
    return call.result(S_OK);
}

HRESULT CTelescope::get_UTCDate(DATE* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    // The mount's clock runs on local time = UTC + its time-zone offset.
    const MountModelRow& model = detectedModel();
    link.command = queryRow(Query::TimeZone).command;
    link.sendCommand();
    // Before detection the zone's form is unknown: the reply is not read,
    // and the fields keep what they held.
    if (model.timeZoneReplyLength != 0) {
        link.readReply(model.timeZoneReplyLength);
        int zoneSeconds = 0;
        scanTimeZone(link, model, mount.angleSign, parsedHours, mount.angleMinutes, zoneSeconds);
    }
    double offsetHours = parsedHours + mount.angleMinutes / 60.0;
    if (mount.angleSign == '-' || mount.angleSign == 'W')
        offsetHours = -offsetHours;

    int month = 0, day = 0, year = 0;
    ask(link, Query::Date, model);
    scanWholeTime(link, Query::Date, month, day, year);
    year += 2000;

    ask(link, Query::LocalTime, model);
    scanTime(link, Query::LocalTime, parsedHours, mount.angleMinutes, parsedSeconds);
    double dayWithFraction = day + parsedHours / 24.0 + mount.angleMinutes / 1440.0 + parsedSeconds / 86400.0;
    double julian = julianDate(dayWithFraction, month, year);
    return call.result(returnValue(value, julian - offsetHours / 24.0 - kJulianDateOfAutomationEpoch));
}

HRESULT CTelescope::put_UTCDate(DATE)
{
    DriverCall call;
    // The mount's clock is set by hand on the mount itself.
    return call.result(S_OK);
}

HRESULT CTelescope::DestinationSideOfPier(double, double)
{
    DriverCall call;
    return call.result(driverFailure(kNoPredictPierSide));
}
