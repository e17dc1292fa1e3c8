#include "DeviceRegistry.h"

#include "ManagementApi.h"

DeviceRegistry::DeviceRegistry(const std::vector<ServedTelescope>& telescopes, ServerTransactions& transactions,
                               bool allowRemoteSetup)
{
    const bool several = telescopes.size() > 1;
    for (const ServedTelescope& telescope : telescopes) {
        const std::size_t number = entries.size();
        // With several, each page names its telescope and leads back to the list.
        auto setup = std::make_unique<SetupPage>(
            telescope.device, telescope.settings, allowRemoteSetup, setupPath(number),
            several ? telescopeTitle(number) + " setup" : SetupPage::kSetupTitle, several ? "/setup" : "");
        entries.push_back({telescope.device, telescope.settings, telescope.uniqueId,
                           std::make_unique<TelescopeApi>(telescope.device, transactions), std::move(setup)});
    }
}

std::string DeviceRegistry::telescopeTitle(std::size_t number)
{
    return "Velmaro Telescope " + std::to_string(number);
}

std::string DeviceRegistry::telescopeName(std::size_t number)
{
    return "telescope " + std::to_string(number);
}

namespace {

// The server's own setup paths, besides each telescope's.
bool isServerSetupPath(std::string_view path)
{
    return path == "/setup";
}

} // namespace

bool DeviceRegistry::isSetupList(std::string_view path) const
{
    return isServerSetupPath(path) && entries.size() > 1;
}

HttpAnswer DeviceRegistry::setupListPage()
{
    std::vector<SetupListLine> lines;
    for (std::size_t at = 0; at < entries.size(); ++at) {
        TelescopeDevice& device = entries[at].device;
        const bool connected = device.linkConnected();
        lines.push_back({"Telescope " + std::to_string(at), setupPath(at), entries[at].settings.device(),
                         connected ? "connected, " + device.modelName() + ", link " + device.linkDescription()
                                   : "not connected"});
    }
    return setupList(lines);
}

std::string DeviceRegistry::setupPath(std::size_t number)
{
    return "/setup/v1/telescope/" + std::to_string(number) + "/setup";
}

namespace {

// A device number as a path writes it; nullopt for anything else.
std::optional<std::size_t> pathNumber(std::string_view text)
{
    if (text.empty() || text.size() > 4 || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    std::size_t number = 0;
    for (char digit : text) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        number = number * 10 + std::size_t(digit - '0');
    }
    return number;
}

} // namespace

TelescopeApi* DeviceRegistry::telescopeApi(std::string_view number)
{
    const std::optional<std::size_t> at = pathNumber(number);
    return at && *at < entries.size() ? entries[*at].api.get() : nullptr;
}

std::optional<DeviceRegistry::Telescope> DeviceRegistry::telescope(std::string_view number)
{
    const std::optional<std::size_t> at = pathNumber(number);
    if (!at || *at >= entries.size())
        return std::nullopt;
    return Telescope{*at, entries[*at].device, entries[*at].settings};
}

SetupPage* DeviceRegistry::setupPage(std::string_view path)
{
    if (isServerSetupPath(path) && entries.size() == 1)
        return entries.front().setup.get();
    for (std::size_t at = 0; at < entries.size(); ++at)
        if (path == setupPath(at))
            return entries[at].setup.get();
    return nullptr;
}

Json DeviceRegistry::configuredDevices() const
{
    Json devices = Json::array();
    for (std::size_t at = 0; at < entries.size(); ++at)
        devices.push_back(Json{{"DeviceName", kTelescopeDeviceName},
                               {"DeviceType", "Telescope"},
                               {"DeviceNumber", at},
                               {"UniqueID", entries[at].uniqueId}});
    return devices;
}

std::string DeviceRegistry::servedText() const
{
    return (entries.size() == 1 ? "telescope " : "telescopes ") + numbersText();
}

std::string DeviceRegistry::numbersText() const
{
    std::string text;
    for (std::size_t at = 0; at < entries.size(); ++at) {
        if (at > 0)
            text += at + 1 == entries.size() ? " and " : ", ";
        text += std::to_string(at);
    }
    return text;
}
