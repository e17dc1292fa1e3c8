// The trace's Windows part: %USERPROFILE%\Documents\ASCOM\Logs yyyy-MM-dd\,
// wide paths, files through CreateFile.
#include "Trace.h"
#include "TraceFolder.h"
#include "TraceSystem.h"

namespace {

using trace_system::FileHandle;
using trace_system::kNoFile;
using trace_system::LocalTime;

LocalTime fromSystemTime(const SYSTEMTIME& time)
{
    LocalTime local;
    local.year = time.wYear;
    local.month = time.wMonth;
    local.day = time.wDay;
    local.hour = time.wHour;
    local.minute = time.wMinute;
    local.second = time.wSecond;
    local.milliseconds = time.wMilliseconds;
    return local;
}

// The names are ASCII: each character widens as it is.
std::wstring widenedAscii(const std::string& text)
{
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// A folder chosen outright for every trace; none: the profile's day folder.
std::wstring chosenFolder;

bool isFolder(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Makes the chosen folder and any missing above it. A step that cannot be
// made (a drive, a share's root) is passed over: the folder itself decides.
bool makeChosenFolder(const std::wstring& folder)
{
    for (std::size_t end = folder.find_first_of(L"\\/", 1); end != std::wstring::npos;
         end = folder.find_first_of(L"\\/", end + 1))
        CreateDirectoryW(folder.substr(0, end).c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    return isFolder(folder);
}

// Creates folder and the folders above it up to (not including) the
// profile folder; false when one cannot be made or is not a folder.
bool makeFolders(const std::wstring& profileFolder, const std::wstring& folder)
{
    std::size_t from = profileFolder.size();
    while (from < folder.size()) {
        std::size_t end = folder.find(L'\\', from + 1);
        if (end == std::wstring::npos)
            end = folder.size();
        std::wstring step = folder.substr(0, end);
        if (!CreateDirectoryW(step.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        if (!isFolder(step))
            return false;
        from = end;
    }
    return true;
}

std::wstring profileFolder()
{
    DWORD size = GetEnvironmentVariableW(L"USERPROFILE", nullptr, 0);
    if (size == 0)
        return std::wstring();
    std::wstring folder(size, L'\0');
    DWORD length = GetEnvironmentVariableW(L"USERPROFILE", &folder[0], size);
    if (length == 0 || length >= size)
        return std::wstring();
    folder.resize(length);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    return folder;
}

} // namespace

namespace trace_system {

LocalTime localTimeNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return fromSystemTime(now);
}

FileHandle createTraceFile(const LocalTime& opened)
{
    std::wstring profile = profileFolder();
    if (profile.empty() && chosenFolder.empty())
        return kNoFile;
    SYSTEMTIME now{};
    now.wYear = static_cast<WORD>(opened.year);
    now.wMonth = static_cast<WORD>(opened.month);
    now.wDay = static_cast<WORD>(opened.day);
    now.wHour = static_cast<WORD>(opened.hour);
    now.wMinute = static_cast<WORD>(opened.minute);
    now.wSecond = static_cast<WORD>(opened.second);
    now.wMilliseconds = static_cast<WORD>(opened.milliseconds);
    std::wstring folder = chosenFolder.empty() ? traceFolder(profile, now) : chosenFolder;
    if (chosenFolder.empty() ? !makeFolders(profile, folder) : !makeChosenFolder(folder))
        return kNoFile;
    for (int attempt = 0; attempt <= kNameAttempts; ++attempt) {
        std::wstring path = folder + L"\\"
                            + (attempt == 0 ? traceFileName(now) : traceFileName(now, GetCurrentProcessId(), attempt));
        // A new file only: another process's trace of the same millisecond
        // is never written over. Others may read it while it grows.
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return reinterpret_cast<FileHandle>(handle);
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return kNoFile;
    }
    return kNoFile;
}

bool writeAll(FileHandle file, const char* bytes, std::size_t count)
{
    DWORD written = 0;
    return WriteFile(handleOf(file), bytes, static_cast<DWORD>(count), &written, nullptr) && written == count;
}

void closeFile(FileHandle file)
{
    CloseHandle(handleOf(file));
}

} // namespace trace_system

double traceClockMs()
{
    static const double perMs = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return double(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return double(counter.QuadPart) / perMs;
}

void chooseTraceFolder(const std::string& folder)
{
    std::wstring wide;
    const int length = folder.empty() ? 0 : MultiByteToWideChar(CP_ACP, 0, folder.data(), int(folder.size()), nullptr, 0);
    if (length > 0) {
        wide.resize(std::size_t(length));
        MultiByteToWideChar(CP_ACP, 0, folder.data(), int(folder.size()), &wide[0], length);
    }
    while (wide.size() > 1 && (wide.back() == L'\\' || wide.back() == L'/') && wide[wide.size() - 2] != L':')
        wide.pop_back();
    chosenFolder = wide;
}

std::wstring traceFolder(const std::wstring& profileFolder, const SYSTEMTIME& time)
{
    return profileFolder + L"\\Documents\\ASCOM\\Logs " + widenedAscii(trace_system::dayText(fromSystemTime(time)));
}

std::wstring traceFileName(const SYSTEMTIME& time, DWORD process, int attempt)
{
    return widenedAscii(trace_system::fileNameText(fromSystemTime(time), static_cast<std::uint32_t>(process), attempt));
}
