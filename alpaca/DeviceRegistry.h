// The devices the server serves, by number: each telescope's API, setup
// page and UniqueID. The router, the management API and the setup pages
// find a device here, and only here is a device numbered; a device's
// number is its place in the list.
#pragma once

#include "AlpacaResponse.h"
#include "SetupPage.h"
#include "TelescopeApi.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One telescope to serve: its mount and where its settings are kept.
struct ServedTelescope {
    TelescopeDevice& device;
    ServerSettings& settings;
    std::string uniqueId;
};

class DeviceRegistry {
public:
    DeviceRegistry(const std::vector<ServedTelescope>& telescopes, ServerTransactions& transactions,
                   bool allowRemoteSetup);

    std::size_t telescopeCount() const { return entries.size(); }
    // The telescope a path's number names ("0", "1": decimal, no sign, no
    // leading zeros); null for any other text.
    TelescopeApi* telescopeApi(std::string_view number);
    // The same telescope's mount and settings, for the status API.
    struct Telescope {
        std::size_t number;
        TelescopeDevice& device;
        ServerSettings& settings;
    };
    std::optional<Telescope> telescope(std::string_view number);
    // The setup page a path leads to: a telescope's own
    // ("/setup/v1/telescope/N/setup"), or the server's ("/setup"),
    // which is the one telescope's page while there is one. Null elsewhere.
    SetupPage* setupPage(std::string_view path);
    // With several telescopes the server's setup paths list them instead.
    bool isSetupList(std::string_view path) const;
    HttpAnswer setupListPage();
    // The configured devices, as the management API lists them.
    Json configuredDevices() const;
    // The numbers served, for a refusal's text: "0", "0 and 1", "0, 1 and 2".
    std::string numbersText() const;
    // The same with the devices' kind, for the log: "telescope 0",
    // "telescopes 0 and 1".
    std::string servedText() const;

    static std::string setupPath(std::size_t number);
    static std::string telescopeTitle(std::size_t number);
    // "telescope 1", as the log names a telescope of several.
    static std::string telescopeName(std::size_t number);

private:
    struct Entry {
        TelescopeDevice& device;
        ServerSettings& settings;
        std::string uniqueId;
        std::unique_ptr<TelescopeApi> api;
        std::unique_ptr<SetupPage> setup;
    };
    std::vector<Entry> entries;
};
