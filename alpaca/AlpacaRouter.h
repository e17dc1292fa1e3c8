// Every request the server answers, from its method, path and parameters
// to its answer: the device API, the management API and the setup pages.
// No sockets here: the HTTP server hands each request in, and the tests
// and the fuzzer call it directly.
#pragma once

#include "AlpacaResponse.h"
#include "DeviceRegistry.h"
#include "ManagementApi.h"
#include "StatusApi.h"

#include <string>
#include <string_view>
#include <vector>

struct IncomingRequest {
    // "GET", "PUT", "POST", ... as it came.
    std::string_view method;
    std::string_view path;
    // A GET's query string parameters, already decoded.
    ParameterList query;
    // A PUT's or POST's body, application/x-www-form-urlencoded.
    std::string_view body;
    // The client is on this machine (loopback): only it may change the setup.
    bool fromLoopback = false;
    // A browser sent it from a page of another web site (its Origin is not
    // this server's address): nothing it asks may change anything.
    bool fromOtherSite = false;
};

class AlpacaRouter {
public:
    AlpacaRouter(const std::vector<ServedTelescope>& telescopes, ServerIdentity identity, bool allowRemoteSetup);
    // One telescope, whose UniqueID is the identity's.
    AlpacaRouter(TelescopeDevice& device, ServerSettings& settings, ServerIdentity identity, bool allowRemoteSetup);

    HttpAnswer answer(const IncomingRequest& request);
    // The devices served, for the log, as the registry words them.
    std::string served() const { return devices.servedText(); }

private:
    HttpAnswer deviceRequest(RequestMethod method, std::string_view rest, const RequestParameters& parameters);

    ServerTransactions transactions;
    ServerIdentity identity;
    DeviceRegistry devices;
    StatusApi status{devices};
};

// Answers for paths that lead nowhere.
HttpAnswer notFound(std::string_view path);
