// The management API: which API versions the server speaks, what it is and
// which devices it serves, for clients and choosers that find it.
#pragma once

#include "AlpacaResponse.h"

#include <string>
#include <string_view>

struct ServerIdentity {
    std::string uniqueId;
    std::string location;
};

// path: what follows "/management"; devices: the configured devices, as
// listed. False when the path names nothing here.
bool handleManagement(std::string_view path, const RequestParameters& parameters, const ServerIdentity& identity,
                      const Json& devices, ServerTransactions& transactions, HttpAnswer& answer);

constexpr const char* kServerName = "Velmaro Alpaca Server";
constexpr const char* kManufacturer = "The Velmaro developers";
constexpr const char* kTelescopeDeviceName = "Velmaro Telescope";
