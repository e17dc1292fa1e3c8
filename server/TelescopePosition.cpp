// Where the mount points, where and when it stands: the COM side.
#include "Telescope.h"

#include "ComResults.h"

namespace {

// The automation date's day 0 is 1899-12-30, 25569 days before 1970.
constexpr double kAutomationDaysBefore1970 = 25569.0;

} // namespace

HRESULT CTelescope::get_AlignmentMode(AlignmentModes* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    Alignment mode = Alignment::GermanPolar;
    Outcome outcome = core.alignmentMode(mode);
    return call.result(comAnswer(outcome, value, static_cast<AlignmentModes>(mode)));
}

HRESULT CTelescope::get_Altitude(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double altitude = 0.0;
    Outcome outcome = core.altitude(altitude);
    return call.result(comAnswer(outcome, value, altitude));
}

HRESULT CTelescope::get_Azimuth(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double azimuth = 0.0;
    Outcome outcome = core.azimuth(azimuth);
    return call.result(comAnswer(outcome, value, azimuth));
}

HRESULT CTelescope::get_Declination(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double declination = 0.0;
    Outcome outcome = core.declination(declination);
    return call.result(comAnswer(outcome, value, declination));
}

HRESULT CTelescope::get_RightAscension(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double hours = 0.0;
    Outcome outcome = core.rightAscension(hours);
    return call.result(comAnswer(outcome, value, hours));
}

HRESULT CTelescope::get_SiderealTime(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double hours = 0.0;
    Outcome outcome = core.siderealTime(hours);
    return call.result(comAnswer(outcome, value, hours));
}

HRESULT CTelescope::get_SideOfPier(int* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    PierSide side = PierSide::Unknown;
    Outcome outcome = core.sideOfPier(side);
    return call.result(comAnswer(outcome, value, static_cast<int>(side)));
}

HRESULT CTelescope::put_SideOfPier(int* value)
{
    DriverCall call;
    PierSide side = value ? static_cast<PierSide>(*value) : PierSide::Unknown;
    return call.result(comStatus(core.setSideOfPier(side)));
}

HRESULT CTelescope::get_SiteElevation(double* value)
{
    DriverCall call;
    double metres = 0.0;
    Outcome outcome = core.siteElevation(metres);
    return call.result(comAnswer(outcome, value, metres));
}

HRESULT CTelescope::put_SiteElevation(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setSiteElevation(value)));
}

HRESULT CTelescope::get_SiteLatitude(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double latitude = 0.0;
    Outcome outcome = core.siteLatitude(latitude);
    return call.result(comAnswer(outcome, value, latitude));
}

HRESULT CTelescope::put_SiteLatitude(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setSiteLatitude(value)));
}

HRESULT CTelescope::get_SiteLongitude(double* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    double longitude = 0.0;
    Outcome outcome = core.siteLongitude(longitude);
    return call.result(comAnswer(outcome, value, longitude));
}

HRESULT CTelescope::put_SiteLongitude(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setSiteLongitude(value)));
}

HRESULT CTelescope::get_UTCDate(DATE* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    UtcTime time{};
    Outcome outcome = core.utcDate(time);
    return call.result(comAnswer(outcome, value, time.time_since_epoch().count() + kAutomationDaysBefore1970));
}

HRESULT CTelescope::put_UTCDate(DATE value)
{
    DriverCall call;
    return call.result(comStatus(core.setUtcDate(UtcTime(MountDays(value - kAutomationDaysBefore1970)))));
}

HRESULT CTelescope::DestinationSideOfPier(double rightAscension, double declination)
{
    DriverCall call;
    PierSide side = PierSide::Unknown;
    return call.result(comStatus(core.destinationSideOfPier(rightAscension, declination, side)));
}
