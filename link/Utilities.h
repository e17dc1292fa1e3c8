// Angle split, Julian date and the debug log.
#pragma once

// Splits value (degrees, or hours) into mount.angleSign and whole degrees,
// minutes and seconds, rounded to the nearest second. Defined for every
// double; callers refuse values that angleFitsSplit rejects before they
// format a command from the result.
void splitAngle(double value);

// True for finite values whose whole units fit the split's integer fields.
bool angleFitsSplit(double value);

// Gregorian Julian date; the century term uses the year as given, before
// January and February count as months 13 and 14 of the year before.
double julianDate(double dayWithFraction, int month, int year);

// Appends "MM/DD/YY HH:MM:SS message" with mount.logLine to the debug log in
// the current directory. Silent when the file cannot be opened.
void writeLog();

// Copies message into mount.logLine (cut to fit) and writes the log.
void logMessage(const char* message);

extern const char* const kDebugLogFile;
