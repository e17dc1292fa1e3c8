// Where the mount points, where and when it stands.
#include "Telescope.h"

#include "Checks.h"
#include "DriverCall.h"
#include "ErrorReport.h"
#include "MountState.h"
#include "Protocol.h"
#include "ReplyScan.h"
#include "Utilities.h"

#include <cstring>

namespace {

constexpr std::uint32_t kAngleReplyLength = 10;
constexpr std::uint32_t kLongitudeReplyLength = 11;
constexpr std::uint32_t kPierSideReplyLength = 5;
constexpr int kSiteReadTries = 2;
constexpr int kPierSidePasses = 2;
// A right ascension whose seconds would round up to the next minute on the
// mount's display is taken as a reading caught in the middle of a change.
constexpr double kLastRightAscensionSeconds = 59.95;
constexpr double kJulianDateOfAutomationEpoch = 2415018.5;

constexpr double kLowestElevation = -300.0;
constexpr double kHighestElevation = 10000.0;

enum PierSide { kPierUnknown = -1, kPierEast = 0, kPierWest = 1 };

bool isMinuteOrSecond(int value)
{
    return unsigned(value) <= 59u;
}

double degreesOf(int degrees, int minutes, int seconds)
{
    return degrees + minutes / 60.0 + seconds / 3600.0;
}

void exchange(CommandChannel& link, const char* command, std::uint32_t count)
{
    link.command = command;
    link.sendCommand();
    link.readReply(count);
}

// One reading of "sDD*MM:SS#" (signed) or "DDD*MM:SS#"; false when the
// reply is not exactly such a text within the bound.
bool readAngle(CommandChannel& link, const char* query, bool isSigned, int degreeBound, double& value)
{
    exchange(link, query, kAngleReplyLength);
    if (link.replyLength() != kAngleReplyLength)
        return false;
    bool scanned = isSigned ? scanReply(link.reply, "%c%02d*%02d:%02d#", &mount.angleSign, &mount.angleDegrees,
                                        &mount.angleMinutes, &mount.angleSeconds)
                                  == 4
                            : scanReply(link.reply, "%03d*%02d:%02d#", &mount.angleDegrees, &mount.angleMinutes,
                                        &mount.angleSeconds)
                                  == 3;
    if (!scanned || unsigned(mount.angleDegrees) > unsigned(degreeBound) || !isMinuteOrSecond(mount.angleMinutes)
        || !isMinuteOrSecond(mount.angleSeconds))
        return false;
    value = degreesOf(mount.angleDegrees, mount.angleMinutes, mount.angleSeconds);
    if (isSigned && mount.angleSign == '-')
        value = -value;
    return true;
}

// Up to two readings of a site coordinate; 0 when neither is good.
double readSiteAngle(CommandChannel& link, const char* query, std::uint32_t length, const char* format,
                     int degreeBound)
{
    for (int tries = 0; tries < kSiteReadTries; ++tries) {
        exchange(link, query, length);
        if (link.replyLength() != length
            || scanReply(link.reply, format, &mount.angleSign, &mount.angleDegrees, &mount.angleMinutes,
                         &mount.angleSeconds)
                   != 4)
            continue;
        if (unsigned(mount.angleDegrees) > unsigned(degreeBound) || !isMinuteOrSecond(mount.angleMinutes)
            || mount.angleSeconds < 0 || mount.angleSeconds >= 60)
            continue;
        double value = degreesOf(mount.angleDegrees, mount.angleMinutes, mount.angleSeconds);
        return mount.angleSign == '-' ? -value : value;
    }
    return 0.0;
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
        return E_POINTER;
    AlignmentModes mode = algGermanPolar;
    if (mount.model == 1) {
        link.command = ":GAM#";
        exchangeAck();
        if (link.replyFirst() == '0')
            mode = algAltAz;
    }
    return returnValue(value, mode);
}

HRESULT CTelescope::get_Altitude(double* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    readAngle(link, ":GA#", true, 90, lastAltitude);
    return returnValue(value, lastAltitude);
}

HRESULT CTelescope::get_Azimuth(double* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    readAngle(link, ":GZ#", false, 359, lastAzimuth);
    return returnValue(value, lastAzimuth);
}

HRESULT CTelescope::get_Declination(double* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    readAngle(link, ":GD#", true, 90, lastDeclination);
    return returnValue(value, lastDeclination);
}

HRESULT CTelescope::get_RightAscension(double* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    std::uint32_t length = timeReplyLength(mount.model);
    exchange(link, ":GR#", length);
    if (link.replyLength() == length
        && scanReply(link.reply, "%02d:%02d:%lf#", &parsedHours, &mount.angleMinutes, &parsedSeconds) == 3
        && parsedHours >= 0 && parsedHours <= 23 && isMinuteOrSecond(mount.angleMinutes) && parsedSeconds >= 0.0
        && parsedSeconds <= kLastRightAscensionSeconds)
        lastRightAscension = parsedHours + mount.angleMinutes / 60.0 + parsedSeconds / 3600.0;
    return returnValue(value, lastRightAscension);
}

HRESULT CTelescope::get_SiderealTime(double* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    std::uint32_t length = timeReplyLength(mount.model);
    double hours = 0.0;
    for (int tries = 0; tries < kSiteReadTries; ++tries) {
        exchange(link, ":GS#", length);
        if (link.replyLength() == length
            && scanReply(link.reply, "%02d:%02d:%lf#", &parsedHours, &mount.angleMinutes, &parsedSeconds) == 3
            && parsedHours >= 0 && parsedHours <= 23 && isMinuteOrSecond(mount.angleMinutes)
            && parsedSeconds >= 0.0 && parsedSeconds < 60.0) {
            hours = parsedHours + mount.angleMinutes / 60.0 + parsedSeconds / 3600.0;
            break;
        }
    }
    return returnValue(value, hours);
}

HRESULT CTelescope::get_SideOfPier(int* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    int side = kPierUnknown;
    if (mount.model != 1) {
        link.command = ":pS#";
        // Both passes always run: the second answer wins when it is clear.
        for (int pass = 0; pass < kPierSidePasses; ++pass) {
            sendCommand();
            if (mount.model == 3) {
                readReply(1);
                if (link.replyEquals("0"))
                    side = kPierEast;
                else if (link.replyEquals("1"))
                    side = kPierWest;
            } else {
                readReply(kPierSideReplyLength);
                if (link.replyEquals("East#"))
                    side = kPierEast;
                else if (link.replyEquals("West#"))
                    side = kPierWest;
            }
        }
    }
    return returnValue(value, side);
}

HRESULT CTelescope::put_SideOfPier(int*)
{
    DriverCall call;
    return driverFailure("Do not support to set the side of pier");
}

HRESULT CTelescope::get_SiteElevation(double* value)
{
    DriverCall call;
    return returnValue(value, double(siteElevation));
}

HRESULT CTelescope::put_SiteElevation(double value)
{
    DriverCall call;
    if (!isWithin(value, kLowestElevation, kHighestElevation))
        return driverError(kErrorInvalidValue);
    // Whole metres, cut toward zero.
    siteElevation = static_cast<std::int32_t>(value);
    return S_OK;
}

HRESULT CTelescope::get_SiteLatitude(double* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    return returnValue(value, readSiteAngle(link, ":Gt#", kAngleReplyLength, "%c%02d*%02d:%02d#", 90));
}

HRESULT CTelescope::put_SiteLatitude(double value)
{
    DriverCall call;
    if (!isWithin(value, -90.0, 90.0))
        return driverError(kErrorInvalidValue);
    sendSiteAngle(link, value, ":St %c%02d*%02d:%02d#", true, "Cannot set the latitude of the site!");
    return S_OK;
}

HRESULT CTelescope::get_SiteLongitude(double* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    double longitude = readSiteAngle(link, ":Gg#", kLongitudeReplyLength, "%c%03d*%02d:%02d#", 180);
    if (longitude == 0.0)
        logMessage("Cannot get the longitude of the site!");
    return returnValue(value, longitude);
}

HRESULT CTelescope::put_SiteLongitude(double value)
{
    DriverCall call;
    if (!isWithin(value, -180.0, 180.0))
        return driverError(kErrorInvalidValue);
    if (mount.model == 2) {
        // Model 2 counts longitude eastward from 0 to 360 and takes no sign.
        if (value < 0.0)
            value += 360.0;
        sendSiteAngle(link, value, ":Sg %03d*%02d:%02d#", false, "Cannot set the longitude of the site!");
    } else {
        sendSiteAngle(link, value, ":Sg %c%03d*%02d:%02d#", true, "Cannot set the longitude of the site!");
    }
    return S_OK;
}

HRESULT CTelescope::get_UTCDate(DATE* value)
{
    DriverCall call;
    if (!value)
        return E_POINTER;
    // The mount's clock runs on local time = UTC + its time-zone offset.
    link.command = ":GG#";
    sendCommand();
    switch (mount.model) {
    case 1:
        readReply(8);
        scanReply(link.reply, "%c%d:%d#", &mount.angleSign, &parsedHours, &mount.angleMinutes);
        break;
    case 2:
        readReply(10);
        scanReply(link.reply, "%c%d:%d:", &mount.angleSign, &parsedHours, &mount.angleMinutes);
        break;
    case 3:
        readReply(7);
        scanReply(link.reply, "%c%d:%d#", &mount.angleSign, &parsedHours, &mount.angleMinutes);
        break;
    default:
        break;
    }
    double offsetHours = parsedHours + mount.angleMinutes / 60.0;
    if (mount.angleSign == '-' || mount.angleSign == 'W')
        offsetHours = -offsetHours;

    int month = 0, day = 0, year = 0;
    exchange(link, ":GC#", 9);
    scanReply(link.reply, "%02d:%02d:%02d#", &month, &day, &year);
    year += 2000;

    exchange(link, ":GL#", timeReplyLength(mount.model));
    scanReply(link.reply, "%02d:%02d:%lf#", &parsedHours, &mount.angleMinutes, &parsedSeconds);
    double dayWithFraction = day + parsedHours / 24.0 + mount.angleMinutes / 1440.0 + parsedSeconds / 86400.0;
    double julian = julianDate(dayWithFraction, month, year);
    return returnValue(value, julian - offsetHours / 24.0 - kJulianDateOfAutomationEpoch);
}

HRESULT CTelescope::put_UTCDate(DATE)
{
    DriverCall call;
    // The mount's clock is set by hand on the mount itself.
    return S_OK;
}

HRESULT CTelescope::DestinationSideOfPier(double, double)
{
    DriverCall call;
    return driverFailure("Do not support to predict the side of pier of the telecope");
}
