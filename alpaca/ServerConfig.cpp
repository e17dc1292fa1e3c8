// The config file: read whole into memory (it is small and bounded), parsed
// line by line, and written back through a temporary file and a rename so
// that a crash or a full disk never leaves a half-written file behind.
#include "ServerConfig.h"

#include "ConfigFiles.h"
#include "ServerOptions.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <system_error>


namespace {

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string trimmed(const std::string& text)
{
    std::size_t first = 0, last = text.size();
    while (first < last && isBlank(text[first]))
        ++first;
    while (last > first && isBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// Well-formed UTF-8 only: no overlong forms, no surrogates, nothing past
// U+10FFFF. The values end up in JSON answers, which need exactly this.
bool isUtf8(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t code = 0, lowest = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xe0) == 0xc0) {
            length = 2, code = lead & 0x1f, lowest = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3, code = lead & 0x0f, lowest = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4, code = lead & 0x07, lowest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3f);
        }
        if (code < lowest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        i += length;
    }
    return true;
}

bool isKeyCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

bool isKey(const std::string& key)
{
    if (key.empty())
        return false;
    for (char c : key)
        if (!isKeyCharacter(c))
            return false;
    return true;
}

// Why the line's text cannot be a value, or empty when it can. Tabs are
// allowed only because the blanks around '=' may be tabs.
std::string textProblem(const std::string& text)
{
    for (char c : text)
        if (c != '\t' && isControl(static_cast<unsigned char>(c)))
            return "control character";
    return isUtf8(text) ? std::string() : "not UTF-8 text";
}

// Applies one "key = value" to the server's settings or, in a mount's
// section, that mount's; an empty reason when it was accepted.
std::string applySetting(const std::string& key, const std::string& value, ServerConfig& config)
{
    const bool inSection = config.mounts.size() > 1;
    MountConfig& mount = config.mounts.back();
    if (key == "serial") {
        mount.serial = value;
    } else if (key == "trace") {
        if (value != "on" && value != "off")
            return "trace must be on or off";
        mount.traceOn = value == "on";
    } else if (key == "listen") {
        if (inSection)
            return "listen is the server's: write it before the first [mount N]";
        if (!value.empty() && !isNumericAddress(value))
            return "listen must be a numeric IPv4 or IPv6 address";
        config.listen = value;
    } else if (key == "unique_id") {
        mount.uniqueId = value;
    }
    return {};
}

std::string mountSectionName(std::size_t number)
{
    return "[mount " + std::to_string(number) + "]";
}

// A "[...]" line: the next mount's section, or the reason it is not.
std::string startSection(const std::string& content, ServerConfig& config)
{
    const std::size_t next = config.mounts.size();
    if (content != mountSectionName(next)) {
        const bool isMount = content.compare(0, 7, "[mount ") == 0 && content.back() == ']';
        return isMount ? "the next section is " + mountSectionName(next) + ": number the mounts 1, 2, 3 in order"
                       : "a section is [mount N]";
    }
    if (next == kMostMounts)
        return "a config names at most " + std::to_string(kMostMounts) + " mounts";
    config.mounts.emplace_back();
    return {};
}

// What no two mounts may share; empty when none do.
std::string sharingProblem(const ServerConfig& config)
{
    for (std::size_t later = 1; later < config.mounts.size(); ++later) {
        for (std::size_t earlier = 0; earlier < later; ++earlier) {
            const MountConfig& a = config.mounts[earlier];
            const MountConfig& b = config.mounts[later];
            const std::string both = "mounts " + std::to_string(earlier) + " and " + std::to_string(later);
            if (!a.serial.empty() && a.serial == b.serial)
                return both + " have one serial device, " + a.serial;
            if (!a.uniqueId.empty() && a.uniqueId == b.uniqueId)
                return both + " have one unique_id: delete the later one and the server makes it a new one";
        }
    }
    return {};
}

// Parses the whole file; on failure, the reason for the first bad line.
bool parseConfigText(const std::string& text, ServerConfig& config, std::string& error)
{
    const std::size_t bomSize = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::size_t start = bomSize;
    for (int lineNumber = 1; start < text.size(); ++lineNumber) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Comments are not values: a stray byte in one harms nothing.
        const std::string content = trimmed(line);
        if (content.empty() || content[0] == '#')
            continue;
        std::string reason = textProblem(line);
        const std::size_t equals = content.find('=');
        if (reason.empty() && content[0] == '[')
            reason = startSection(content, config);
        else if (reason.empty() && (equals == std::string::npos || !isKey(trimmed(content.substr(0, equals)))))
            reason = "not \"key = value\"";
        else if (reason.empty())
            reason = applySetting(trimmed(content.substr(0, equals)), trimmed(content.substr(equals + 1)), config);
        if (!reason.empty()) {
            error = "line " + std::to_string(lineNumber) + ": " + reason;
            return false;
        }
    }
    const std::string shared = sharingProblem(config);
    if (!shared.empty()) {
        error = shared;
        return false;
    }
    return true;
}

// Why a value cannot be saved so that a load gives it back, or empty.
std::string valueProblem(const std::string& value)
{
    for (char c : value)
        if (isControl(static_cast<unsigned char>(c)))
            return "has a control character";
    if (!isUtf8(value))
        return "is not UTF-8 text";
    if (!value.empty() && (isBlank(value.front()) || isBlank(value.back())))
        return "has spaces at its ends";
    return {};
}

bool checkValues(const ServerConfig& config, std::string& error)
{
    if (config.mounts.empty() || config.mounts.size() > kMostMounts) {
        error = "a config names 1 to " + std::to_string(kMostMounts) + " mounts";
        return false;
    }
    std::string problem = valueProblem(config.listen);
    if (!problem.empty()) {
        error = "listen " + problem;
        return false;
    }
    for (std::size_t at = 0; at < config.mounts.size(); ++at) {
        const MountConfig& mount = config.mounts[at];
        const struct {
            const char* key;
            const std::string& value;
        } values[] = {{"serial", mount.serial}, {"unique_id", mount.uniqueId}};
        for (const auto& entry : values) {
            problem = valueProblem(entry.value);
            if (!problem.empty()) {
                error = (at == 0 ? std::string() : "mount " + std::to_string(at) + "'s ") + entry.key + " " + problem;
                return false;
            }
        }
    }
    if (!config.listen.empty() && !isNumericAddress(config.listen)) {
        error = "listen is not a numeric IPv4 or IPv6 address";
        return false;
    }
    error = sharingProblem(config);
    return error.empty();
}

std::string settingLine(const char* key, const std::string& value)
{
    return std::string(key) + (value.empty() ? " =\n" : " = " + value + "\n");
}

std::string mountLines(const MountConfig& mount)
{
    return settingLine("serial", mount.serial) + settingLine("trace", mount.traceOn ? "on" : "off");
}

// The first mount's lines and the listen address come first, as a config of
// one mount always had them; each further mount is a section.
std::string configText(const ServerConfig& config)
{
    const MountConfig& first = config.mounts.front();
    std::string text = "# velmaro-alpaca settings, rewritten whole by the server on every change.\n" +
                       mountLines(first) + settingLine("listen", config.listen) +
                       settingLine("unique_id", first.uniqueId);
    for (std::size_t at = 1; at < config.mounts.size(); ++at) {
        text += '\n';
        text += mountSectionName(at);
        text += '\n';
        text += mountLines(config.mounts[at]);
        text += settingLine("unique_id", config.mounts[at].uniqueId);
    }
    return text;
}

} // namespace

bool loadConfig(const std::string& path, ServerConfig& config, std::string& error)
{
    std::string text, reason;
    bool missing = false;
    if (!readSmallFile(path, kLargestConfigFile, text, missing, reason)) {
        if (missing) {
            config = ServerConfig{};
            error.clear();
            return true;
        }
        error = "not readable: " + reason;
        return false;
    }
    ServerConfig loaded;
    if (!parseConfigText(text, loaded, reason)) {
        error = "malformed at " + reason;
        return false;
    }
    config = loaded;
    error.clear();
    return true;
}

bool saveConfig(const std::string& path, const ServerConfig& config, std::string& error)
{
    if (path.empty()) {
        error = "no file name";
        return false;
    }
    std::string problem;
    if (!checkValues(config, problem)) {
        error = problem;
        return false;
    }
    if (!replaceFile(path, configText(config), error))
        return false;
    error.clear();
    return true;
}

std::string newUniqueId()
{
    unsigned char bytes[16];
    if (!systemRandom(bytes, sizeof bytes))
        return {};
    bytes[6] = (bytes[6] & 0x0f) | 0x40; // version 4: random
    bytes[8] = (bytes[8] & 0x3f) | 0x80; // the RFC 4122 variant
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        id += kHex[bytes[i] >> 4];
        id += kHex[bytes[i] & 0x0f];
    }
    return id;
}
