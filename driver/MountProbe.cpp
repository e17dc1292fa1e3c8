#include "MountProbe.h"

#include "MountModels.h"
#include "Protocol.h"
#include "Replies.h"
#include "ReplyScan.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

int setupModel = 0;

namespace {
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[64];
    va_list fields;
    va_start(fields, pattern);
    std::vsnprintf(text, sizeof text, pattern, fields);
    va_end(fields);
    return text;
}

// Seconds rounded for display; a reply may carry any number at all.
int roundedSeconds(double value)
{
    double rounded = value + 0.5;
    if (!(rounded > -1e9))
        return 0;
    if (rounded > 1e9)
        return 1000000000;
    return static_cast<int>(rounded);
}

// A right ascension rounded to the second, carried into the minutes and the
// hours: 05:34:59.5 shows as 05h35m00s, and 23:59:59.5 as 00h00m00s. A reply
// out of range shows its own numbers.
std::string rightAscensionShown(int hours, int minutes, double exactSeconds)
{
    int seconds = roundedSeconds(exactSeconds);
    if (seconds == 60 && exactSeconds < 60 && hours >= 0 && hours < 24 && minutes >= 0 && minutes < 60) {
        seconds = 0;
        minutes = (minutes + 1) % 60;
        hours = minutes == 0 ? (hours + 1) % 24 : hours;
    }
    return format("%02dh%02dm%02ds", hours, minutes, seconds);
}

} // namespace

bool openMount(CommandChannel& link, const std::string& devicePath)
{
    if (!link.openDevice(devicePath))
        return false;
    link.command = kHandshakeCommand;
    link.sendCommand();
    link.readReply(kHandshakeReplyLength);
    if (link.replyEquals(kHandshakeReply))
        return true;
    link.closePort();
    return false;
}

MountProbe::MountProbe(MountSettings& settings, Clock& clock, SerialPortMaker makePort) : settings(settings)
{
    link.clock = &clock;
    link.makePort = std::move(makePort);
    if (!settings.readPort(portNumber))
        return;
    traceOn = settings.readTraceSwitch();
    if (testPort()) {
        probe(link);
        link.closePort();
    }
}

bool MountProbe::testPort()
{
    return openMount(link, settings.devicePath(portNumber));
}

void MountProbe::savePortNumber()
{
    settings.storePort(portNumber);
}

void MountProbe::saveTraceSwitch()
{
    settings.storeTraceSwitch(traceOn);
}

void MountProbe::probe(CommandChannel& channel)
{
    channel.command = kMountInfoCommand;
    channel.sendCommand();
    channel.readReply(kMountInfoReplyLength);
    setupModel = modelFromMountInfo(channel.reply);
    const MountModelRow& model = modelRow(setupModel);
    modelText = model.name;

    // The queries in the order the mount is asked, each shown as its text.
    static const Query kSteps[] = {Query::RightAscension, Query::Declination,    Query::Altitude,
                                   Query::Azimuth,        Query::LocalTimeWhole, Query::TimeZone,
                                   Query::SiteLatitude,   Query::SiteLongitude};
    for (Query step : kSteps) {
        ask(channel, step, model);
        switch (step) {
        case Query::RightAscension:
            scanTime(channel, step, hours, minutes, exactSeconds);
            rightAscensionText = rightAscensionShown(hours, minutes, exactSeconds);
            break;
        case Query::Declination:
            scanAngle(channel, step, sign, degrees, minutes, seconds);
            declinationText = format("%c%02dd%02dm%02ds", sign, degrees, minutes, seconds);
            break;
        case Query::Altitude:
            scanAngle(channel, step, sign, degrees, minutes, seconds);
            altitudeText = format("%c%02dd%02dm%02ds", sign, degrees, minutes, seconds);
            break;
        case Query::Azimuth:
            scanAngle(channel, step, sign, degrees, minutes, seconds);
            azimuthText = format("%03dd%02dm%02ds", degrees, minutes, seconds);
            break;
        case Query::LocalTimeWhole:
            scanWholeTime(channel, step, hours, minutes, seconds);
            localTimeText = format("%02dh%02dm%02ds", hours, minutes, seconds);
            break;
        case Query::TimeZone:
            scanTimeZone(channel, model, sign, hours, minutes, seconds);
            if (model.timeZoneSignIsEastLetter)
                sign = sign == 'E' ? '-' : '+';
            // Whatever this scan converts wins: the reply's own first
            // character shows.
            scanReply(channel.reply, "%c%02d:%02d#", &sign, &hours, &minutes);
            timeZoneText = format("%c%02dh%02dm", sign, hours, minutes);
            break;
        case Query::SiteLatitude:
            scanAngle(channel, step, sign, degrees, minutes, seconds);
            latitudeText = format("%02dd%02dm%02ds", degrees, minutes, seconds) + (sign == '-' ? " S" : " N");
            break;
        case Query::SiteLongitude:
            scanAngle(channel, step, sign, degrees, minutes, seconds);
            longitudeText = format("%03dd%02dm%02ds", degrees, minutes, seconds) + (sign == '-' ? " W" : " E");
            break;
        default:
            break;
        }
    }
}
