// How the mount follows the sky and how a guiding program nudges it: the
// COM side.
#include "Telescope.h"

#include "ComResults.h"

HRESULT CTelescope::get_DeclinationRate(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::declinationRate));
}

HRESULT CTelescope::put_DeclinationRate(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setDeclinationRate(value)));
}

HRESULT CTelescope::get_RightAscensionRate(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::rightAscensionRate));
}

HRESULT CTelescope::put_RightAscensionRate(double value)
{
    DriverCall call;
    return call.result(comStatus(core.setRightAscensionRate(value)));
}

HRESULT CTelescope::get_GuideRateDeclination(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::guideRateDeclination));
}

HRESULT CTelescope::put_GuideRateDeclination(double* value)
{
    DriverCall call;
    // A model that cannot set guide rates refuses before the pointer is
    // looked at; the core's refusal then needs no value.
    bool settable = false;
    core.canSetGuideRates(settable);
    if (settable && !value)
        return call.result(E_POINTER);
    return call.result(comStatus(core.setGuideRateDeclination(value ? *value : 0.0)));
}

HRESULT CTelescope::get_GuideRateRightAscension(double* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::guideRateRightAscension));
}

HRESULT CTelescope::put_GuideRateRightAscension(double* value)
{
    DriverCall call;
    // As the declination's: the model's refusal comes before the pointer.
    bool settable = false;
    core.canSetGuideRates(settable);
    if (settable && !value)
        return call.result(E_POINTER);
    return call.result(comStatus(core.setGuideRateRightAscension(value ? *value : 0.0)));
}

HRESULT CTelescope::get_Tracking(VARIANT_BOOL* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::tracking));
}

HRESULT CTelescope::put_Tracking(VARIANT_BOOL value)
{
    DriverCall call;
    return call.result(comStatus(core.setTracking(isAutomationTrue(value))));
}

HRESULT CTelescope::get_TrackingRate(TrackingModes* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::trackingRate));
}

HRESULT CTelescope::put_TrackingRate(TrackingModes* value)
{
    DriverCall call;
    if (!value)
        return call.result(E_POINTER);
    return call.result(comStatus(core.setTrackingRate(static_cast<DriveRate>(int(*value)))));
}

HRESULT CTelescope::get_TrackingRates(TrackingModes* value)
{
    DriverCall call;
    return call.result(readThrough(value, core, &Mount::trackingRates));
}

HRESULT CTelescope::PulseGuide(GuideDirections direction, LONG duration)
{
    DriverCall call;
    Outcome outcome = core.pulseGuide(static_cast<GuideDirection>(int(direction)), static_cast<std::int32_t>(duration));
    return call.result(comStatus(outcome));
}

HRESULT CTelescope::get_IsPulseGuiding(VARIANT_BOOL* value)
{
    DriverCall call;
    // The core refuses a model that does not guide before the pointer is
    // looked at; reading the clock changes nothing.
    bool guiding = false;
    Outcome outcome = core.isPulseGuiding(guiding);
    return call.result(comAnswer(outcome, value, guiding));
}

HRESULT CTelescope::AxisRates(int axis)
{
    DriverCall call;
    return call.result(comStatus(core.axisRates(axis)));
}

HRESULT CTelescope::CanMoveAxis(int axis, VARIANT_BOOL* value)
{
    DriverCall call;
    bool movable = false;
    Outcome outcome = core.canMoveAxis(axis, movable);
    return call.result(comAnswer(outcome, value, movable));
}

HRESULT CTelescope::MoveAxis(int axis, int rate)
{
    DriverCall call;
    return call.result(comStatus(core.moveAxis(axis, double(rate))));
}
