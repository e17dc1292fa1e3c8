// The trace's part on systems other than Windows: $VELMARO_TRACE_DIR when
// it is set, else the user's state folder ($XDG_STATE_HOME, or
// ~/.local/state) with velmaro/logs yyyy-MM-dd under it; the file names are
// those of Windows. Windows has its own part (TraceFolderWin32.cpp): there
// this file is empty.
#ifndef _WIN32

#include "Trace.h"
#include "TraceSystem.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

using trace_system::FileHandle;
using trace_system::kNoFile;
using trace_system::LocalTime;

bool isFolder(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Makes the folder and every one missing above it; false when one cannot
// be made or is not a folder. New ones are the user's own: traces show the
// mount's traffic.
bool makeFolders(const std::string& folder)
{
    std::size_t end = 0;
    while (end < folder.size()) {
        end = folder.find('/', end + 1);
        if (end == std::string::npos)
            end = folder.size();
        std::string step = folder.substr(0, end);
        if (step.empty() || step.back() == '/' || isFolder(step))
            continue;
        if (::mkdir(step.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (!isFolder(step))
            return false;
    }
    return isFolder(folder);
}

// An absolute path from the environment, or none: a relative one would
// move with the working folder.
std::string absoluteVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? std::string(value) : std::string();
}

// The folder of a trace opened at `opened`, empty when none is known.
std::string traceFolderFor(const LocalTime& opened)
{
    const char* chosen = std::getenv("VELMARO_TRACE_DIR");
    if (chosen && chosen[0] != '\0')
        return chosen;
    std::string state = absoluteVariable("XDG_STATE_HOME");
    if (state.empty()) {
        std::string home = absoluteVariable("HOME");
        if (home.empty())
            return std::string();
        state = home + "/.local/state";
    }
    return state + "/velmaro/logs " + trace_system::dayText(opened);
}

double millisecondsOf(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

} // namespace

namespace trace_system {

LocalTime localTimeNow()
{
    LocalTime local;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts{};
    const time_t seconds = now.tv_sec;
    if (!localtime_r(&seconds, &parts))
        return local;
    local.year = parts.tm_year + 1900 > 0 ? unsigned(parts.tm_year + 1900) : 0;
    local.month = unsigned(parts.tm_mon + 1);
    local.day = unsigned(parts.tm_mday);
    local.hour = unsigned(parts.tm_hour);
    local.minute = unsigned(parts.tm_min);
    // A leap second shows as 60, as the system gives it.
    local.second = unsigned(parts.tm_sec);
    local.milliseconds = unsigned(now.tv_nsec / 1000000);
    return local;
}

FileHandle createTraceFile(const LocalTime& opened)
{
    std::string folder = traceFolderFor(opened);
    if (folder.empty() || !makeFolders(folder))
        return kNoFile;
    for (int attempt = 0; attempt <= kNameAttempts; ++attempt) {
        std::string path = folder + "/"
                           + (attempt == 0 ? fileNameText(opened)
                                           : fileNameText(opened, static_cast<std::uint32_t>(::getpid()), attempt));
        // A new file only: another process's trace of the same millisecond
        // is never written over.
        int file;
        do
            file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        while (file < 0 && errno == EINTR);
        if (file >= 0)
            return file;
        if (errno != EEXIST)
            return kNoFile;
    }
    return kNoFile;
}

bool writeAll(FileHandle file, const char* bytes, std::size_t count)
{
    for (;;) {
        ssize_t written = ::write(static_cast<int>(file), bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        return written >= 0 && static_cast<std::size_t>(written) == count;
    }
}

void closeFile(FileHandle file)
{
    ::close(static_cast<int>(file));
}

} // namespace trace_system

double traceClockMs()
{
    return millisecondsOf(CLOCK_MONOTONIC);
}

#endif // _WIN32
