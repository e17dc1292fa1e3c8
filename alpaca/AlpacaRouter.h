// Every request the server answers, from its method, path and parameters
// to its answer: the device API, the management API and the setup pages.
// No sockets here: the HTTP server hands each request in, and the tests
// and the fuzzer call it directly.
#pragma once

#include "AlpacaResponse.h"
#include "ManagementApi.h"
#include "SetupPage.h"
#include "TelescopeApi.h"

#include <string>
#include <string_view>

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
};

class AlpacaRouter {
public:
    AlpacaRouter(TelescopeDevice& device, ServerSettings& settings, ServerIdentity identity, bool allowRemoteSetup);

    HttpAnswer answer(const IncomingRequest& request);

private:
    HttpAnswer deviceRequest(RequestMethod method, std::string_view rest, const RequestParameters& parameters);

    ServerTransactions transactions;
    ServerIdentity identity;
    TelescopeApi telescope;
    SetupPage setup;
};

// Answers for paths that lead nowhere.
HttpAnswer notFound(std::string_view path);
