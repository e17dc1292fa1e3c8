// The system's part of the trace (TraceFolderWin32.cpp, TraceFolderPosix.cpp):
// the local time, the day's folder, a new file in it, writing and closing.
// Trace.cpp holds the rest, the same on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace trace_system {

// A moment of the local wall clock, as the stamps and names show it.
struct LocalTime {
    unsigned year = 0;
    unsigned month = 0;
    unsigned day = 0;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    unsigned milliseconds = 0;
};

LocalTime localTimeNow();

// A file as the system knows it: a HANDLE on Windows, a descriptor
// elsewhere; both systems' "none" is -1.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// Another trace of the same millisecond gets the process id, then a
// number: the plain name and this many more are tried.
constexpr int kNameAttempts = 9;

// Makes the day's folder for a trace opened at `opened` and a new file in
// it: the plain name, then with the process id (attempt 1), then with the
// attempt's number too, never a file that is there already. kNoFile when no
// folder is known, one cannot be made, or every name is taken.
FileHandle createTraceFile(const LocalTime& opened);
// All of the bytes in one write; false when the system took less.
bool writeAll(FileHandle file, const char* bytes, std::size_t count);
void closeFile(FileHandle file);

// "yyyy-MM-dd", the day in a folder's name.
std::string dayText(const LocalTime& time);
// "ASCOM.Velmaro.Telescope.HHmm.ssfff.txt"; with `process` (not 0)
// ".<process>" before ".txt", with `attempt` (above 1) "-<attempt>" after it.
std::string fileNameText(const LocalTime& time, std::uint32_t process = 0, int attempt = 1);

} // namespace trace_system
