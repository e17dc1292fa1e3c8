// The answer every Alpaca request gets: JSON with the value, the client's
// transaction number echoed, the server's own rising one and the error, all
// under HTTP 200; or, for a request the server cannot make sense of, HTTP
// 400 with the reason as plain text.
#pragma once

#include "AlpacaErrors.h"
#include "RequestValues.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Keys in the order they are written, as the protocol's examples show them.
using Json = nlohmann::ordered_json;

struct HttpAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    // Further header lines, name and value (the status page's policy).
    std::vector<std::pair<std::string, std::string>> headers;
};

// The server's transaction numbers: 1 for the first answer, one more for
// each after it, whichever client it goes to.
class ServerTransactions {
public:
    std::uint32_t next() { return ++last; }

private:
    std::atomic<std::uint32_t> last{0};
};

struct ClientIdentity {
    std::uint32_t clientId = 0;
    std::uint32_t transactionId = 0;
};

// A number that is missing or is not one counts as 0: both are the
// client's own bookkeeping, never a reason to refuse the request.
ClientIdentity readClientIdentity(const RequestParameters& parameters);

// value null: a member that returns nothing (a PUT), so no "Value" key.
HttpAnswer alpacaAnswer(const Json* value, const AlpacaError& error, const ClientIdentity& client,
                        ServerTransactions& transactions);
HttpAnswer badRequest(const std::string& reason);
HttpAnswer pageAnswer(int status, std::string html);
