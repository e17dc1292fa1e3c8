#include "AlpacaRouter.h"

#include "StatusPage.h"

namespace {

constexpr std::string_view kDevicePrefix = "/api/v1/";
constexpr std::string_view kManagementPrefix = "/management";

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// The next path segment, taken off the front of rest.
std::string_view takeSegment(std::string_view& rest)
{
    std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    return segment;
}

std::string shown(std::string_view text)
{
    std::string quoted(1, '"');
    quoted.append(text.substr(0, 64));
    quoted.push_back('"');
    return quoted;
}

} // namespace

HttpAnswer notFound(std::string_view path)
{
    HttpAnswer answer = badRequest("Nothing is served at " + shown(path));
    answer.status = 404;
    return answer;
}

AlpacaRouter::AlpacaRouter(const std::vector<ServedTelescope>& telescopes, ServerIdentity identity,
                           bool allowRemoteSetup)
    : identity(std::move(identity)), devices(telescopes, transactions, allowRemoteSetup)
{
}

AlpacaRouter::AlpacaRouter(TelescopeDevice& device, ServerSettings& settings, ServerIdentity identity,
                           bool allowRemoteSetup)
    : AlpacaRouter({ServedTelescope{device, settings, identity.uniqueId}}, identity, allowRemoteSetup)
{
}

HttpAnswer AlpacaRouter::deviceRequest(RequestMethod method, std::string_view rest,
                                       const RequestParameters& parameters)
{
    std::string_view type = takeSegment(rest);
    std::string_view number = takeSegment(rest);
    std::string_view member = takeSegment(rest);
    if (type != "telescope")
        return badRequest("Unknown device type " + shown(type) + ": this server has a telescope");
    TelescopeApi* telescope = devices.telescopeApi(number);
    if (!telescope)
        return badRequest("Unknown telescope number " + shown(number) + ": this server has "
                          + devices.servedText());
    if (member.empty() || !rest.empty())
        return badRequest("The path names no member of the telescope");
    return telescope->handle(method, member, parameters);
}

HttpAnswer AlpacaRouter::answer(const IncomingRequest& request)
{
    const bool isGet = request.method == "GET";
    const bool isPut = request.method == "PUT";
    // A setup page refuses another site's form itself, saying so on the page
    // (its form carries a token no other site has).
    const bool setupForm = request.method == "POST" && devices.setupPage(request.path);
    if (!isGet && request.fromOtherSite && !setupForm) {
        HttpAnswer refused = badRequest("Changes come only from this server's own pages and from programs, "
                                        "not from another web site's page");
        refused.status = 403;
        return refused;
    }
    if (startsWith(request.path, kDevicePrefix) || startsWith(request.path, kManagementPrefix)) {
        if (!isGet && !isPut)
            return badRequest("The device and management APIs take GET and PUT only");
        ParameterList list;
        if (isGet) {
            list = request.query;
        } else if (!decodeForm(request.body, list)) {
            return badRequest("The form body is malformed");
        }
        RequestParameters parameters(isGet ? RequestMethod::Get : RequestMethod::Put, std::move(list));
        if (startsWith(request.path, kDevicePrefix))
            return deviceRequest(isGet ? RequestMethod::Get : RequestMethod::Put,
                                 request.path.substr(kDevicePrefix.size()), parameters);
        HttpAnswer answer;
        if (isGet && handleManagement(request.path.substr(kManagementPrefix.size()), parameters, identity,
                                      devices.configuredDevices(), transactions, answer))
            return answer;
        return badRequest("Unknown management request " + shown(request.path));
    }
    if (isStatusPagePath(request.path))
        return statusPageAnswer(request.method, request.path);
    if (startsWith(request.path, StatusApi::kPrefix)) {
        if (!isGet)
            return badRequest("The status API takes GET only");
        HttpAnswer answer;
        if (status.handle(request.path, RequestParameters(RequestMethod::Get, request.query), answer))
            return answer;
        return notFound(request.path);
    }
    if (devices.isSetupList(request.path))
        return isGet ? devices.setupListPage() : badRequest("The list of setup pages takes GET");
    if (SetupPage* setup = devices.setupPage(request.path)) {
        if (isGet)
            return setup->show(request.fromLoopback);
        if (request.method == "POST") {
            ParameterList form;
            if (!decodeForm(request.body, form))
                return badRequest("The form body is malformed");
            return setup->store(RequestParameters(RequestMethod::Put, std::move(form)), request.fromLoopback);
        }
        return badRequest("The setup page takes GET and POST");
    }
    return notFound(request.path);
}
