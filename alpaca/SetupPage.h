// The setup pages: what the setup dialog of the DLL shows and stores, as
// one HTML page that works on a phone at the telescope (no scripts, fonts
// or styles from elsewhere). Changes come from this computer only, unless
// the server was started to accept them from the network.
#pragma once

#include "AlpacaResponse.h"
#include "ServerSettings.h"
#include "TelescopeDevice.h"

#include <string>
#include <vector>

class SetupPage {
public:
    // formPath: where the page's form posts its choices (the device's own
    // setup path). title: the page's heading, which names the telescope
    // when the server has several; listPath, then, the list of them all.
    SetupPage(TelescopeDevice& device, ServerSettings& settings, bool allowRemoteSetup, std::string formPath,
              std::string title = kSetupTitle, std::string listPath = {});

    static constexpr const char* kSetupTitle = "Velmaro Telescope setup";

    HttpAnswer show(bool fromLoopback);
    // The form's fields: device (the list's choice), other (a path typed
    // in, which wins), trace ("on" when ticked) and the page's token.
    HttpAnswer store(const RequestParameters& form, bool fromLoopback);

private:
    bool mayChange(bool fromLoopback) const { return fromLoopback || allowRemoteSetup; }
    HttpAnswer page(bool fromLoopback, const std::string& message, bool messageIsProblem);

    TelescopeDevice& device;
    ServerSettings& settings;
    const bool allowRemoteSetup;
    const std::string formPath;
    const std::string title;
    const std::string listPath;
    // Sent with the form and required back: a page on another site cannot
    // make a browser on this computer store a choice.
    const std::string formToken;
};

// One line of the list of setup pages: a telescope, its device and whether
// the server holds its link, as known without asking the mount.
struct SetupListLine {
    std::string telescope;   // its name, as the registry gives it
    std::string path;        // its setup page
    std::string device;      // empty when none is chosen
    std::string state;       // "connected, model 2" or "not connected"
};

// The page that leads to each telescope's setup page, for a server of
// several.
HttpAnswer setupList(const std::vector<SetupListLine>& lines);

// Escapes the five characters that matter in HTML text and attributes.
std::string htmlEscaped(const std::string& text);
