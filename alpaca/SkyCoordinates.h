// Coordinates as people type them into the hand controller: a right
// ascension in hours and a declination in degrees, either decimal or in
// sexagesimal fields (colons, spaces, or unit marks such as 5h35m17s and
// -5°23'28"), and the same values written back for a person to read.
// Nothing here throws or depends on the process locale.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Longer text than this is refused unread: no coordinate needs it.
constexpr std::size_t kLongestCoordinateText = 64;

// Hours in [0, 24): "5h35m17s", "5h 35m 17.3s", "5h35.3m", "5:35:17.25",
// "5:35.3", "5 35 17", "5.588". Empty when the text is none of these, is
// negative, reaches 24 h, or has minutes or seconds of 60 or more.
std::optional<double> parseRightAscension(std::string_view text);

// Degrees in [-90, 90]: "-5°23'28\"" (also º, and the typographic ’ ” and
// the primes ′ ″), "-5d23m28s", "-5:23:28", "-5 23 28", "-5.39", "5°",
// "-5°23'". The sign applies to the whole angle, so "-0:30:00" is -0.5.
// Empty beyond ±90, with minutes or seconds of 60 or more, or on anything
// else.
std::optional<double> parseDeclination(std::string_view text);

// "05h35m17.3s" (to the tenth of a second, [0, 24) h) and "-05°23'28\""
// (to the second); "?" for a value that is not a number.
std::string formatRightAscension(double hours);
std::string formatDeclination(double degrees);
