// The setup pages: what the setup dialog of the DLL shows and stores, as
// one HTML page that works on a phone at the telescope (no scripts, fonts
// or styles from elsewhere). Changes come from this computer only, unless
// the server was started to accept them from the network.
#pragma once

#include "AlpacaResponse.h"
#include "ServerSettings.h"
#include "TelescopeDevice.h"

#include <string>

class SetupPage {
public:
    // formPath: where the page's form posts its choices (the device's own
    // setup path).
    SetupPage(TelescopeDevice& device, ServerSettings& settings, bool allowRemoteSetup, std::string formPath);

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
    // Sent with the form and required back: a page on another site cannot
    // make a browser on this computer store a choice.
    const std::string formToken;
};

// Escapes the five characters that matter in HTML text and attributes.
std::string htmlEscaped(const std::string& text);
