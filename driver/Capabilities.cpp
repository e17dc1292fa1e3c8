// What the driver can do, by mount model, and the properties whose answer
// never changes. Nothing here talks to the mount or changes any state.
#include "Mount.h"

#include "Messages.h"
#include "MountModels.h"

namespace {

// The mount is reported as a unit telescope: it knows no optics.
constexpr double kUnitOptics = 1.0;

Outcome answer(bool& value, bool capability)
{
    value = capability;
    return Outcome::success();
}

} // namespace

Outcome Mount::canFindHome(bool& value) const
{
    return answer(value, model().canFindHome);
}

Outcome Mount::canPark(bool& value) const
{
    return answer(value, true);
}

Outcome Mount::canPulseGuide(bool& value) const
{
    return answer(value, model().canPulseGuide);
}

Outcome Mount::canSetDeclinationRate(bool& value) const
{
    return answer(value, false);
}

Outcome Mount::canSetGuideRates(bool& value) const
{
    return answer(value, model().canSetGuideRates);
}

Outcome Mount::canSetPark(bool& value) const
{
    return answer(value, false);
}

Outcome Mount::canSetPierSide(bool& value) const
{
    return answer(value, false);
}

Outcome Mount::canSetRightAscensionRate(bool& value) const
{
    return answer(value, false);
}

Outcome Mount::canSetTracking(bool& value) const
{
    return answer(value, true);
}

Outcome Mount::canSlew(bool& value) const
{
    return answer(value, true);
}

Outcome Mount::canSlewAltAz(bool& value) const
{
    return answer(value, model().canSlewAltAz);
}

// An alt-azimuth slew is started the same way, waited for or not.
Outcome Mount::canSlewAltAzAsync(bool& value) const
{
    return answer(value, model().canSlewAltAz);
}

Outcome Mount::canSlewAsync(bool& value) const
{
    return answer(value, true);
}

Outcome Mount::canSync(bool& value) const
{
    return answer(value, true);
}

Outcome Mount::canSyncAltAz(bool& value) const
{
    return answer(value, model().canSyncAltAz);
}

Outcome Mount::canUnpark(bool& value) const
{
    return answer(value, true);
}

// The mounts correct for refraction themselves, and cannot be told not to.
Outcome Mount::doesRefraction(bool& value) const
{
    return answer(value, true);
}

Outcome Mount::setDoesRefraction(bool value)
{
    if (!value)
        return Outcome::failure(OutcomeKind::NotImplemented, kNoRefractionOff);
    return Outcome::success();
}

Outcome Mount::apertureArea(double& value) const
{
    value = kUnitOptics;
    return Outcome::success();
}

Outcome Mount::apertureDiameter(double& value) const
{
    value = kUnitOptics;
    return Outcome::success();
}

Outcome Mount::focalLength(double& value) const
{
    value = kUnitOptics;
    return Outcome::success();
}

// Raw commands would bypass the driver's state, so none are passed through.
Outcome Mount::commandBlind(const std::string&, bool)
{
    return Outcome::failure(OutcomeKind::NotImplemented, kNoCommandBlind);
}

Outcome Mount::commandBool(const std::string&, bool, bool&)
{
    return Outcome::failure(OutcomeKind::NotImplemented, kNoCommandBool);
}

Outcome Mount::commandString(const std::string&, bool, std::string&)
{
    return Outcome::failure(OutcomeKind::NotImplemented, kNoCommandString);
}
