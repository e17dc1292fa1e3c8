// The config's files on a POSIX system.
#include "ConfigFiles.h"
#include "ServerConfig.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kFileName = "velmaro/alpaca.conf";

std::string systemReason(int code)
{
    return std::error_code(code, std::generic_category()).message();
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

// O_NONBLOCK so that a FIFO put at the path cannot hang the server before
// fstat refuses it.
bool readSmallFile(const std::string& path, std::size_t largest, std::string& text, bool& missing,
                   std::string& error)
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
    else if (std::uintmax_t(status.st_size) > largest)
        error = "it is over 64 KiB";
    else
        ok = true;
    // Read one byte past the limit, in case the file grew since fstat.
    char buffer[4096];
    while (ok && text.size() <= largest) {
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
    if (ok && text.size() > largest) {
        error = "it is over 64 KiB";
        ok = false;
    }
    ::close(descriptor);
    return ok;
}

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

bool replaceFile(const std::string& path, const std::string& text, std::string& error)
{
    const std::string target = fileToReplace(path);
    std::string temporary;
    if (!writeTemporary(target, text, temporary)) {
        error = "cannot make a file in " + folderOf(target) + ": " + systemReason(errno);
        return false;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        error = "cannot replace " + target + ": " + systemReason(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return syncFolder(folderOf(target), error);
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

bool systemRandom(unsigned char* bytes, std::size_t count)
{
    std::size_t got = 0;
    while (got < count) {
        const ssize_t read = ::getrandom(bytes + got, count - got, 0);
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0)
            return false;
        got += std::size_t(read);
    }
    return true;
}
