// Every text a client or user sees, in one place. Some differ from each
// other by a letter or a word on purpose: clients compare them as they are,
// so the near twins stand side by side here, and none may be "corrected".
#pragma once

// Names.
constexpr const char* kDriverName = "Velmaro Telescope";  // Name, Description, profile, message boxes
constexpr const char* kDriverInfo = "Velmaro Telescope ASCOM Driver 2.1 "
                                    "Copyright (C) 2026 the Velmaro developers. All rights reserved.";
constexpr const char* kDriverVersion = "2.1";
constexpr const char* kModelNameNotDetected = "";
constexpr const char* kModelNameBrevan = "Brevan/Lintor/Lintor Plus";
constexpr const char* kModelNameCorvane = "Corvane A/Corvane B";
constexpr const char* kModelNameCorvaneRevisionB = "Corvane A Revision B";

// Connecting (printf format: the port as the front end names it, "COM3").
constexpr const char* kCannotOpenPort = "Cannot open port %s!";

// Refused while parked. "slew" and "Slew" are both what clients know.
constexpr const char* kParkedAbortSlew = "Cannot AbortSlew when parking";
constexpr const char* kParkedSlewToAltAz = "Cannot SlewToAltAz when parking";
constexpr const char* kParkedSlew = "Cannot slew when parking";           // SlewToCoordinates(Async), SlewToTarget
constexpr const char* kParkedSlewAsync = "Cannot Slew when parking";      // SlewToTargetAsync
constexpr const char* kParkedSync = "Cannot Sync when parking";
constexpr const char* kParkedFindHome = "Cannot FindHome when parking";
constexpr const char* kParkedPulseGuide = "Cannot PulseGuide when parking";
constexpr const char* kParkedMoveAxis = "Cannot move axis when parking";

// What the driver or the mount cannot do.
constexpr const char* kNoCommandBlind = "Do not support CommandBlind";
constexpr const char* kNoCommandBool = "Do not support CommandBool";
constexpr const char* kNoCommandString = "Do not support CommandString";
constexpr const char* kNoRefractionOff = "Cannot set DoesRefraction to FALSE";
constexpr const char* kNoSetPark = "Do not support SetPark";
constexpr const char* kNoFindHome = "Do not support FindHome";
constexpr const char* kNoSetPierSide = "Do not support to set the side of pier";
constexpr const char* kNoPredictPierSide = "Do not support to predict the side of pier of the telecope";
constexpr const char* kNoSyncAltAz = "Do not support Sync to Alt-Azi coordinates!";
constexpr const char* kNoPulseGuideAltAz = "Do not support PulseGuide in Alt-Azi mounts!";
constexpr const char* kNoDeclinationRate = "Cannot set the declination offset rate";
constexpr const char* kNoRightAscensionRate = "Cannot set the Right Ascension offset rate";
constexpr const char* kGuideRateSetFailure = "Cannot set the guide rate of the telescope";  // also logged

// The mount's answers.
constexpr const char* kHorizonBelow = "The target is horizon below!";
constexpr const char* kSlewTransmissionError = "Transmission error at SlewToTarget(/Async)/Coordinates(/Async) !";
constexpr const char* kAltAzSlewTransmissionError = "Transmission error at SlewAltAz(/Async) !";
constexpr const char* kSyncTransmissionError = "Transmission error at SyncToTarget/Coordinates !";
constexpr const char* kAltAzSyncTransmissionError = "Transmission error at SyncToAltAz !";
constexpr const char* kParkTransmissionError = "Transmission error at Park!";
constexpr const char* kUnparkTransmissionError = "Transmission error at Unpark!";
// printf format: what the mount did not do, and the bound in seconds.
constexpr const char* kWaitedTooLong = "The mount did not %s within %s s!";
constexpr const char* kWaitSlew = "finish the slew";
constexpr const char* kWaitHome = "report reaching home";

// A numbered error without a text of its own in the string table.
constexpr const char* kUnknownError = "Unknown Error";

// Lines of the debug log: failures the client is not told about.
constexpr const char* kLogFindHomeFailure = "Transmission error in FindHome!";
constexpr const char* kLogGuideRateReadFailure = "Cannot get the guide rate of the telescope";
constexpr const char* kLogLatitudeSetFailure = "Cannot set the latitude of the site!";
constexpr const char* kLogLongitudeSetFailure = "Cannot set the longitude of the site!";
constexpr const char* kLogLongitudeReadFailure = "Cannot get the longitude of the site!";
