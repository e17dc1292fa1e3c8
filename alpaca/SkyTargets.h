// What the hand controller asks the mount to go to: a catalogue name, or a
// right ascension and a declination as typed, resolved to one position of
// date, or refused with a sentence for the person who asked.
#pragma once

#include "SkyMath.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct SkyTarget {
    std::string name; // "M42 Orion nebula", "Vega (alf Lyr)", or as typed: "5:35:17 -5:23:28"
    Equatorial ofDate;
};

// Exactly one of target and refusal is set.
struct ResolvedTarget {
    std::optional<SkyTarget> target;
    std::string refusal;
};

// A catalogue name, precessed from J2000 to julianDate; or typed
// coordinates, taken as of date as the mount's own are. A name and
// coordinates together are refused, as is one coordinate without the other.
// Refusals read, for example:
//   No object named "M111" is in the catalogue
//   "25:00:00" cannot be read as a right ascension
//   "-95" cannot be read as a declination
//   Give a name, or a right ascension and a declination
ResolvedTarget resolveTarget(std::string_view name, std::string_view rightAscension, std::string_view declination,
                             double julianDate);

// "M42 Orion nebula is below the horizon (altitude -12.3°)".
std::string belowHorizonRefusal(const std::string& name, double altitudeDegrees);

// How a message echoes what a person typed: blanks around it dropped, in
// double quotes, at most kLongestEcho characters (then "…"), anything that
// is not well-formed UTF-8 or is a control character shown as U+FFFD, so
// that the message is always valid text for JSON.
constexpr std::size_t kLongestEcho = 40;
std::string quotedForMessage(std::string_view typed);
