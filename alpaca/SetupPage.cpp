#include "SetupPage.h"

#include "Messages.h"
#include "MountProbe.h"
#include "SerialPortList.h"

#include <algorithm>
#include <utility>
#include <cstdio>

namespace {

constexpr std::size_t kLongestDevicePath = 256;

constexpr const char* kStyle = R"(
body{font-family:sans-serif;margin:0;padding:1em;max-width:40em;background:#f4f4f4;color:#111}
h1{font-size:1.3em;margin:0 0 .6em}
h2{font-size:1.05em;margin:1.2em 0 .4em}
table{border-collapse:collapse;width:100%;background:#fff}
th,td{text-align:left;padding:.35em .5em;border-bottom:1px solid #ddd}
th{width:40%;font-weight:normal;color:#444}
td{font-family:monospace;font-size:1.05em}
label{display:block;margin:.6em 0 .2em}
select,input[type=text]{width:100%;box-sizing:border-box;font-size:1em;padding:.4em}
input[type=checkbox]{transform:scale(1.3);margin-right:.5em}
button{font-size:1.05em;padding:.5em 1.4em;margin-top:1em}
.message{padding:.6em;margin:.6em 0;background:#e4f2e4;border:1px solid #8c8}
.problem{background:#f8e0e0;border-color:#c88}
.note{color:#555;font-size:.9em}
p{overflow-wrap:anywhere}
)";

// The page's head and heading.
std::string pageHead(const std::string& title)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>"
           + htmlEscaped(title) + "</title>\n<style>" + kStyle + "</style></head><body>\n<h1>" + htmlEscaped(title)
           + "</h1>\n";
}

struct Row {
    const char* label;
    const char* id;
    const std::string& text;
};

std::string reportTable(const MountProbe& probe)
{
    const Row rows[] = {
        {"Model", "model", probe.modelText},
        {"Local time", "local-time", probe.localTimeText},
        {"Time zone", "time-zone", probe.timeZoneText},
        {"Right ascension", "right-ascension", probe.rightAscensionText},
        {"Declination", "declination", probe.declinationText},
        {"Altitude", "altitude", probe.altitudeText},
        {"Azimuth", "azimuth", probe.azimuthText},
        {"Site latitude", "site-latitude", probe.latitudeText},
        {"Site longitude", "site-longitude", probe.longitudeText},
    };
    std::string html = "<table>\n";
    for (const Row& row : rows)
        html += std::string("<tr><th>") + row.label + "</th><td id=\"" + row.id + "\">" + htmlEscaped(row.text)
            + "</td></tr>\n";
    return html + "</table>\n";
}

std::string portChoices(const std::string& current)
{
    std::string html;
    bool listed = false;
    for (const SerialPortEntry& entry : listSerialPorts()) {
        bool chosen = entry.path == current;
        listed = listed || chosen;
        html += "<option value=\"" + htmlEscaped(entry.path) + "\"" + (chosen ? " selected" : "") + ">"
            + htmlEscaped(entry.path) + (entry.description.empty() ? "" : " (" + htmlEscaped(entry.description) + ")")
            + "</option>\n";
    }
    // The stored device stays choosable while it is away (unplugged).
    if (!current.empty() && !listed)
        html = "<option value=\"" + htmlEscaped(current) + "\" selected>" + htmlEscaped(current)
            + " (stored)</option>\n" + html;
    if (html.empty())
        html = "<option value=\"\">(no serial ports found)</option>\n";
    return html;
}

// A device the page may store: an absolute path of printable characters.
// The field for a device the list does not show, in the system's terms.
#ifdef _WIN32
constexpr const char* kOtherDeviceLabel = "or another COM port";
constexpr const char* kOtherDeviceExample = "COM5";
#else
constexpr const char* kOtherDeviceLabel = "or another device path";
constexpr const char* kOtherDeviceExample = "/dev/ttyUSB0";
#endif

bool isDevicePath(const std::string& path)
{
#ifdef _WIN32
    // COMn, or a device path of its own (\\.\...).
    const bool named = path.size() > 3 && path.compare(0, 3, "COM") == 0
        && std::all_of(path.begin() + 3, path.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
    if (!named && path.rfind("\\\\.\\", 0) != 0)
        return false;
    if (path.size() > kLongestDevicePath)
        return false;
#else
    if (path.empty() || path.size() > kLongestDevicePath || path[0] != '/')
        return false;
#endif
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

} // namespace

std::string htmlEscaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

SetupPage::SetupPage(TelescopeDevice& device, ServerSettings& settings, bool allowRemoteSetup, std::string formPath,
                     std::string title, std::string listPath)
    : device(device), settings(settings), allowRemoteSetup(allowRemoteSetup), formPath(std::move(formPath)),
      title(std::move(title)), listPath(std::move(listPath)), formToken(newUniqueId())
{
}

HttpAnswer setupList(const std::vector<SetupListLine>& lines)
{
    std::string html = pageHead(SetupPage::kSetupTitle);
    html += "<table id=\"telescopes\">\n";
    for (const SetupListLine& line : lines)
        html += "<tr><th><a href=\"" + htmlEscaped(line.path) + "\">" + htmlEscaped(line.telescope) + "</a></th><td>"
            + htmlEscaped(line.device.empty() ? "no serial device chosen" : line.device) + "<br>"
            + htmlEscaped(line.state) + "</td></tr>\n";
    html += "</table>\n<p class=\"note\">Each telescope's page shows its mount and stores its serial device and "
            "trace switch.</p>\n</body></html>\n";
    return pageAnswer(200, std::move(html));
}

HttpAnswer SetupPage::show(bool fromLoopback)
{
    return page(fromLoopback, std::string(), false);
}

HttpAnswer SetupPage::page(bool fromLoopback, const std::string& message, bool messageIsProblem)
{
    std::unique_ptr<MountProbe> probe = device.describe();
    const std::string current = settings.device();
    const bool changeable = mayChange(fromLoopback);
    const bool connected = device.linkConnected();
    const char* disabled = changeable ? "" : " disabled";

    std::string html = pageHead(title);
    if (!listPath.empty())
        html += "<p class=\"note\"><a id=\"all-telescopes\" href=\"" + htmlEscaped(listPath)
            + "\">All telescopes</a></p>\n";
    if (!message.empty())
        html += std::string("<p id=\"message\" class=\"message") + (messageIsProblem ? " problem" : "") + "\">"
            + htmlEscaped(message) + "</p>\n";
    html += "<h2>The mount</h2>\n<p class=\"note\" id=\"status\">";
    if (connected)
        html += "Connected on " + htmlEscaped(current) + ". The link: <span id=\"link\">"
            + htmlEscaped(device.linkDescription()) + "</span>.";
    else if (probe->modelText.empty())
        html += current.empty() ? std::string("No serial device is chosen yet.")
                                : "No mount answered on " + htmlEscaped(current) + ".";
    else
        html += "Not connected; the mount answers on " + htmlEscaped(current) + ".";
    html += "</p>\n" + reportTable(*probe);

    if (settings.simulated()) {
        html += "<h2>Settings</h2>\n<p class=\"note\" id=\"simulated\">This is a " + htmlEscaped(current)
            + ", inside the server: there is no serial device to choose or store for it. Start the server without "
              "--simulate to serve a mount on a serial device here.</p>\n</body></html>\n";
        return pageAnswer(200, std::move(html));
    }
    html += "<h2>Settings</h2>\n<form method=\"post\" action=\"" + htmlEscaped(formPath) + "\">\n";
    html += "<input type=\"hidden\" name=\"token\" value=\"" + htmlEscaped(formToken) + "\">\n";
    html += std::string("<label for=\"device\">Serial device</label>\n<select id=\"device\" name=\"device\"")
        + disabled + ">\n" + portChoices(current) + "</select>\n";
    html += std::string("<label for=\"other\">") + kOtherDeviceLabel
        + "</label>\n<input type=\"text\" id=\"other\" name=\"other\" placeholder=\"" + kOtherDeviceExample
        + "\" autocomplete=\"off\"" + disabled + ">\n";
    html += std::string("<label><input type=\"checkbox\" id=\"trace\" name=\"trace\" value=\"on\"")
        + (settings.traceSwitch() ? " checked" : "") + disabled + ">Trace every connection</label>\n";
    if (changeable)
        html += "<button type=\"submit\" id=\"store\">Store</button>\n";
    else
        html += "<p class=\"note\" id=\"read-only\">This page is read-only from another computer: "
                "the server takes changes from its own computer only (start it with --allow-remote-setup "
                "to change that).</p>\n";
    html += "</form>\n<p class=\"note\">A new device takes effect at the next connection.</p>\n</body></html>\n";
    return pageAnswer(200, std::move(html));
}

HttpAnswer SetupPage::store(const RequestParameters& form, bool fromLoopback)
{
    if (!mayChange(fromLoopback)) {
        HttpAnswer answer = page(fromLoopback, "Changes are taken from the server's own computer only.", true);
        answer.status = 403;
        return answer;
    }
    if (settings.simulated()) {
        HttpAnswer answer = page(fromLoopback, "Nothing was stored: this is a simulated mount, which has no serial "
                                               "device or trace switch to store.", true);
        answer.status = 409;
        return answer;
    }
    const std::string* token = form.find("token");
    if (!token || *token != formToken) {
        HttpAnswer answer = page(fromLoopback, "The form was out of date: nothing was stored. Try again.", true);
        answer.status = 403;
        return answer;
    }
    std::string chosen;
    if (const std::string* other = form.find("other"); other && !other->empty())
        chosen = *other;
    else if (const std::string* listed = form.find("device"))
        chosen = *listed;
    if (!isDevicePath(chosen)) {
        HttpAnswer answer = page(fromLoopback, "Choose a serial device, or type its full path.", true);
        answer.status = 400;
        return answer;
    }
    std::string error;
    const std::string* trace = form.find("trace");
    if (!settings.storeChoice(chosen, trace && *trace == "on", error))
        return page(fromLoopback, "Nothing was stored: " + error, true);

    // As the dialog does: stored whatever happens, then the user is told
    // when no mount answers there.
    std::unique_ptr<MountProbe> probe = device.describe();
    if (probe->modelText.empty() && !device.linkConnected()) {
        char message[kLongestDevicePath + 64];
        std::snprintf(message, sizeof message, kCannotOpenPort, chosen.c_str());
        return page(fromLoopback, message, true);
    }
    return page(fromLoopback, "Stored.", false);
}
