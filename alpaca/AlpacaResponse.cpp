#include "AlpacaResponse.h"

ClientIdentity readClientIdentity(const RequestParameters& parameters)
{
    ClientIdentity client;
    if (const std::string* text = parameters.find("ClientID"))
        readUnsigned(*text, client.clientId);
    if (const std::string* text = parameters.find("ClientTransactionID"))
        readUnsigned(*text, client.transactionId);
    return client;
}

HttpAnswer alpacaAnswer(const Json* value, const AlpacaError& error, const ClientIdentity& client,
                        ServerTransactions& transactions)
{
    Json body;
    if (value)
        body["Value"] = *value;
    body["ClientTransactionID"] = client.transactionId;
    body["ServerTransactionID"] = transactions.next();
    body["ErrorNumber"] = error.number;
    body["ErrorMessage"] = error.message;
    HttpAnswer answer;
    // A reply from the mount may hold bytes that are not UTF-8: they are
    // replaced, never a reason for no answer at all.
    answer.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return answer;
}

HttpAnswer badRequest(const std::string& reason)
{
    HttpAnswer answer;
    answer.status = 400;
    answer.contentType = "text/plain; charset=utf-8";
    answer.body = reason;
    return answer;
}

HttpAnswer pageAnswer(int status, std::string html)
{
    HttpAnswer answer;
    answer.status = status;
    answer.contentType = "text/html; charset=utf-8";
    answer.body = std::move(html);
    return answer;
}
