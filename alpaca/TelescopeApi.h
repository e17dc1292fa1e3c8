// The Telescope device API: one row per member of the Alpaca Telescope
// interface (version 4), each turning the request's parameters into one
// call of the device and its outcome into the answer; the members'
// DeviceState fields are a column of the same rows.
#pragma once

#include "AlpacaResponse.h"
#include "DeviceStateReadings.h"
#include "RequestValues.h"
#include "TelescopeDevice.h"

#include <string_view>

class TelescopeApi {
public:
    TelescopeApi(TelescopeDevice& device, ServerTransactions& transactions);

    // member: the last part of the path, as it came (members are lower case).
    HttpAnswer handle(RequestMethod method, std::string_view member, const RequestParameters& parameters);

private:
    TelescopeDevice& device;
    ServerTransactions& transactions;
    DeviceStateReadings deviceState;
};

// The interface version the server serves, whatever the DLL reports.
constexpr int kAlpacaInterfaceVersion = 4;
