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
    return call.result(readThrough(value, core, &Mount::alignmentMode));
}

HRESULT CTelescope::get_Altitude(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::altitude));
}

HRESULT CTelescope::get_Azimuth(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::azimuth));
}

HRESULT CTelescope::get_Declination(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::declination));
}

HRESULT CTelescope::get_RightAscension(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::rightAscension));
}

HRESULT CTelescope::get_SiderealTime(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::siderealTime));
}

HRESULT CTelescope::get_SideOfPier(int* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::sideOfPier));
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
    return call.result(readThrough(value, core, &Mount::siteElevation));
}

HRESULT CTelescope::put_SiteElevation(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setSiteElevation(value)));
}

HRESULT CTelescope::get_SiteLatitude(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::siteLatitude));
}

HRESULT CTelescope::put_SiteLatitude(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setSiteLatitude(value)));
}

HRESULT CTelescope::get_SiteLongitude(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::siteLongitude));
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
