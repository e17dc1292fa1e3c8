// Angle split, Julian date and the debug log.
#pragma once

#include <cstdint>

// An angle (or a time) as the mount's commands carry it.
struct AngleFields {
    char sign = 0;
    std::int32_t degrees = 0;
    std::int32_t minutes = 0;
    std::int32_t seconds = 0;
};

// Splits value (degrees, or hours) into a sign and whole degrees, minutes
// and seconds, rounded to the nearest second. Defined for every double;
// callers refuse values that angleFitsSplit rejects before they format a
// command from the result.
void splitAngle(double value, AngleFields& into);

// True for finite values whose whole units fit the split's integer fields.
bool angleFitsSplit(double value);

// Gregorian Julian date; the century term uses the year as given, before
// January and February count as months 13 and 14 of the year before.
double julianDate(double dayWithFraction, int month, int year);

// Appends "MM/DD/YY HH:MM:SS message" to the debug log in the current
// directory, the message cut to 98 characters. Silent when the file cannot
// be opened.
void logMessage(const char* message);

extern const char* const kDebugLogFile;
