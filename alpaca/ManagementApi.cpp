#include "ManagementApi.h"

#include "Messages.h"

bool handleManagement(std::string_view path, const RequestParameters& parameters, const ServerIdentity& identity,
                      const Json& devices, ServerTransactions& transactions, HttpAnswer& answer)
{
    Json value;
    if (path == "/apiversions") {
        value = Json::array({1});
    } else if (path == "/v1/description") {
        value = Json{{"ServerName", kServerName},
                     {"Manufacturer", kManufacturer},
                     {"ManufacturerVersion", kDriverVersion},
                     {"Location", identity.location}};
    } else if (path == "/v1/configureddevices") {
        value = devices;
    } else {
        return false;
    }
    answer = alpacaAnswer(&value, AlpacaError{}, readClientIdentity(parameters), transactions);
    return true;
}
