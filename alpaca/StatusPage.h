// The live status page at "/": its HTML, style sheet and script, served as
// they were built in, with a content security policy that lets the page
// load and ask nothing but this server.
#pragma once

#include "AlpacaResponse.h"

#include <string_view>

// Whether the path is one of the page's: "/", "/index.html",
// "/status/page.css", "/status/page.js".
bool isStatusPagePath(std::string_view path);

// The answer for one of the page's paths; GET only.
HttpAnswer statusPageAnswer(std::string_view method, std::string_view path);
