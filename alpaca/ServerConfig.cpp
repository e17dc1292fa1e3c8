// The config file: read whole into memory (it is small and bounded), parsed
// line by line, and written back through a temporary file and a rename so
// that a crash or a full disk never leaves a half-written file behind.
#include "ServerConfig.h"

#include "ServerOptions.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kLargestFile = 64 * 1024;
constexpr const char* kFileName = "velmaro/alpaca.conf";

std::string systemReason(int code)
{
    return std::error_code(code, std::generic_category()).message();
}

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

// Reads a regular file of at most kLargestFile bytes. O_NONBLOCK so that a
// FIFO put at the path cannot hang the server before fstat refuses it.
// `missing` is set for a path that does not exist.
bool readSmallFile(const std::string& path, std::string& text, bool& missing, std::string& error)
{
    missing = false;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
        missing = errno == ENOENT;
        error = systemReason(errno);
        return false;
    }
    struct stat status{};
    bool ok = false;
    if (::fstat(descriptor, &status) != 0)
        error = systemReason(errno);
    else if (S_ISDIR(status.st_mode))
        error = "it is a folder";
    else if (!S_ISREG(status.st_mode))
        error = "it is not a regular file";
    else if (std::uintmax_t(status.st_size) > kLargestFile)
        error = "it is over 64 KiB";
    else
        ok = true;
    // Read one byte past the limit, in case the file grew since fstat.
    char buffer[4096];
    while (ok && text.size() <= kLargestFile) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            error = systemReason(errno);
            ok = false;
        } else if (count == 0) {
            break;
        } else {
            text.append(buffer, std::size_t(count));
        }
    }
    if (ok && text.size() > kLargestFile) {
        error = "it is over 64 KiB";
        ok = false;
    }
    ::close(descriptor);
    return ok;
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

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a save really replaces: a link's target, so that a config kept
// elsewhere and linked into place stays linked.
std::string fileToReplace(const std::string& path)
{
    struct stat status{};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        return path;
    char* target = ::realpath(path.c_str(), nullptr);
    if (!target)
        return path;
    std::string resolved = target;
    std::free(target);
    return resolved;
}

bool writeAll(int descriptor, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(descriptor, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            if (count == 0)
                errno = EIO;
            return false;
        }
        done += std::size_t(count);
    }
    return true;
}

// Writes text into a new file next to target and fsyncs it; the new file's
// name, or false with errno set (and nothing left behind).
bool writeTemporary(const std::string& target, const std::string& text, std::string& temporary)
{
    temporary = folderOf(target) + "/." + nameOf(target) + ".XXXXXX";
    const int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0)
        return false;
    bool ok = writeAll(descriptor, text) && ::fsync(descriptor) == 0;
    int failure = ok ? 0 : errno;
    if (::close(descriptor) != 0 && ok) {
        ok = false;
        failure = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        errno = failure;
    }
    return ok;
}

// Makes the rename itself durable. A filesystem that cannot sync a folder
// (EINVAL) still has the new file in place, so only a real I/O failure is
// reported.
bool syncFolder(const std::string& folder, std::string& error)
{
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return true;
    const bool ok = ::fsync(descriptor) == 0 || errno == EINVAL || errno == EROFS;
    if (!ok)
        error = "saved, but the folder " + folder + " could not be flushed: " + systemReason(errno);
    ::close(descriptor);
    return ok;
}

bool makeFolder(const std::string& folder, std::string& error)
{
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    error = "cannot make the folder " + folder + ": " + systemReason(errno);
    return false;
}

} // namespace

std::string defaultConfigPath()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        std::string base = xdg;
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
        return (base == "/" ? "" : base) + "/" + kFileName;
    }
    std::string home;
    if (const char* fromEnvironment = std::getenv("HOME"); fromEnvironment && fromEnvironment[0] == '/') {
        home = fromEnvironment;
    } else {
        // A service started without HOME still has an account.
        passwd entry{}, *found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
            found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    if (home.empty())
        return {};
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return (home == "/" ? "" : home) + "/.config/" + kFileName;
}

bool loadConfig(const std::string& path, ServerConfig& config, std::string& error)
{
    std::string text, reason;
    bool missing = false;
    if (!readSmallFile(path, text, missing, reason)) {
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
    const std::string target = fileToReplace(path);
    std::string temporary;
    if (!writeTemporary(target, configText(config), temporary)) {
        error = "cannot make a file in " + folderOf(target) + ": " + systemReason(errno);
        return false;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        error = "cannot replace " + target + ": " + systemReason(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (!syncFolder(folderOf(target), error))
        return false;
    error.clear();
    return true;
}

bool prepareConfigFolder(const std::string& path, bool isDefaultPath, std::string& error)
{
    const std::string folder = folderOf(path);
    struct stat status{};
    if (::stat(folder.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode))
            return true;
        error = "the config folder " + folder + " is not a folder";
        return false;
    }
    if (errno != ENOENT) {
        error = "cannot use the config folder " + folder + ": " + systemReason(errno);
        return false;
    }
    if (!isDefaultPath) {
        error = "the config folder " + folder + " does not exist";
        return false;
    }
    // Another process may make it at the same moment: EEXIST is success.
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    if (errno != ENOENT) {
        error = "cannot make the config folder " + folder + ": " + systemReason(errno);
        return false;
    }
    std::string reason;
    if (makeFolder(folderOf(folder), reason) && makeFolder(folder, reason))
        return true;
    error = reason;
    return false;
}

std::string newUniqueId()
{
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t count = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return {};
        got += std::size_t(count);
    }
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
