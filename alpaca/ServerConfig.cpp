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

// Applies one "key = value"; an empty reason when it was accepted.
std::string applySetting(const std::string& key, const std::string& value, ServerConfig& config)
{
    if (key == "serial") {
        config.serial = value;
    } else if (key == "trace") {
        if (value != "on" && value != "off")
            return "trace must be on or off";
        config.traceOn = value == "on";
    } else if (key == "listen") {
        if (!value.empty() && !isNumericAddress(value))
            return "listen must be a numeric IPv4 or IPv6 address";
        config.listen = value;
    } else if (key == "unique_id") {
        config.uniqueId = value;
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
        if (reason.empty() && (equals == std::string::npos || !isKey(trimmed(content.substr(0, equals)))))
            reason = "not \"key = value\"";
        if (reason.empty())
            reason = applySetting(trimmed(content.substr(0, equals)), trimmed(content.substr(equals + 1)), config);
        if (!reason.empty()) {
            error = "line " + std::to_string(lineNumber) + ": " + reason;
            return false;
        }
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
    const struct {
        const char* key;
        const std::string& value;
    } values[] = {{"serial", config.serial}, {"listen", config.listen}, {"unique_id", config.uniqueId}};
    for (const auto& entry : values) {
        const std::string problem = valueProblem(entry.value);
        if (!problem.empty()) {
            error = std::string(entry.key) + " " + problem;
            return false;
        }
    }
    if (!config.listen.empty() && !isNumericAddress(config.listen)) {
        error = "listen is not a numeric IPv4 or IPv6 address";
        return false;
    }
    return true;
}

std::string settingLine(const char* key, const std::string& value)
{
    return std::string(key) + (value.empty() ? " =\n" : " = " + value + "\n");
}

std::string configText(const ServerConfig& config)
{
    return "# velmaro-alpaca settings, rewritten whole by the server on every change.\n" +
           settingLine("serial", config.serial) + settingLine("trace", config.traceOn ? "on" : "off") +
           settingLine("listen", config.listen) + settingLine("unique_id", config.uniqueId);
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
