// The status API: what the status page shows, answered from the server's
// own kept values. None of its requests sends a byte to the mount, needs a
// ClientID or counts as a client. All GET, JSON.
//
// GET /status/v1/telescope/N
// {
//  "Server": {"Name": "...", "Version": "2.1", "UptimeSeconds": 123.4},
//  "Device": {"Number": 0, "Name": "Velmaro Telescope",
//             "Model": "the model's name, or \"\" before the first connect", "ModelNumber": 0..3,
//             "Simulated": true|false,
//             "SerialDevice": "/dev/ttyUSB0, or the words for the simulated mount",
//             "SetupPage": "/setup/v1/telescope/N/setup"},
//  "Link": {"State": "closed"|"open"|"gone"|"silent", "Since": "2026-12-09T22:15:30Z" or "",
//           "Description": "the setup page's words",
//           "ExchangesPerSecond": 3.2 (over the last minute), "CeilingPerSecond": 20,
//           "LastError": "" or words, "LastErrorTime": "" or an ISO time},
//  "Site": {"Latitude": 48.5, "Longitude": -71.25} or null while not known: the values
//          last read by a client (GET sitelatitude, sitelongitude). The page, once
//          it has connected for its first action, reads the two itself through the
//          device API, so that the server knows them: the one pair of exchanges
//          the page ever costs. The target's altitude needs them.
//  "Capabilities": {"CanPark": b, "CanUnpark": b, "CanSetTracking": b, "CanPulseGuide": b,
//                   "CanSync": b, "CanSlewAsync": b, "CanFindHome": b},
//  "TrackingRates": [{"Value": 0, "Name": "Sidereal"}, ...] (the model's; [] while not known),
//  "Mount": {"TimeStamp": "ISO time of the newest value" or "",
//            "RightAscension": hours|null, "Declination": degrees|null,
//            "Altitude": degrees|null, "Azimuth": degrees|null, "SideOfPier": 0|1|-1|null,
//            "SiderealTime": hours|null, "UTCDate": "ISO"|null, "Tracking": b|null,
//            "TrackingRate": n|null, "Slewing": b|null, "AtPark": b|null, "AtHome": b|null,
//            "IsPulseGuiding": b|null},
//  "MountAges": {"RightAscension": seconds since it was read, ...} (the fields known),
//  "SlewTarget": {"RightAscension": hours, "Declination": degrees} or null (a slew under way),
//  "ParkPosition": {"Altitude": degrees, "Azimuth": degrees} or null (once seen parked),
//  "Clients": [{"ClientID": 1, "Connected": true, "RequestsPerMinute": 12,
//               "SecondsSinceLastRequest": 0.4}, ...]
// }
// An unknown N: HTTP 400 with a plain-text message, as the device API.
//
// GET /status/v1/telescope/N/target?Name=M42   (a catalogue name; case and spaces ignored)
// GET /status/v1/telescope/N/target?RightAscension=5:35:17&Declination=-5:23:28
//     (typed coordinates, taken as of date, as the mount's own)
// -> {"Name": "M42 Orion nebula" or the typed text, "RightAscension": hours of date,
//     "Declination": degrees of date, "Altitude": degrees|null, "Azimuth": degrees|null,
//     "Refusal": ""}
// Refusal is a sentence when nothing may be sent: a name not in the catalogue,
// a coordinate that cannot be read, a target below the horizon, or the site
// and time not known yet.
//
// GET /status/v1/catalogue
// -> {"Entries": [{"Name": "M42", "Description": "Orion nebula"}, ...]}
#pragma once

#include "AlpacaResponse.h"
#include "Clock.h"
#include "DeviceRegistry.h"

#include <cstdint>
#include <string_view>

class StatusApi {
public:
    explicit StatusApi(DeviceRegistry& devices, Clock& clock = systemClock());

    // False when the path is not the status API's.
    bool handle(std::string_view path, const RequestParameters& parameters, HttpAnswer& answer);

    static constexpr std::string_view kPrefix = "/status/v1/";

private:
    HttpAnswer deviceStatus(const DeviceRegistry::Telescope& telescope);
    HttpAnswer target(const DeviceRegistry::Telescope& telescope, const RequestParameters& parameters);
    HttpAnswer catalogueList();

    DeviceRegistry& devices;
    Clock& clock;
    const std::uint64_t startedMs;
};
