#include "Trace.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <new>

namespace trace_detail {
std::atomic<bool> open{false};
}

namespace {

// Another file of the same millisecond gets the process id, then a number.
constexpr int kNameAttempts = 9;

struct TraceFile {
    std::mutex lock;
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring path;
    // Until the head is written, lines wait here; the head bears the time
    // the file was opened, so that the stamps run in order.
    bool holding = false;
    SYSTEMTIME opened{};
    std::string held;
    std::string line;
};

TraceFile& traceFile()
{
    // Never destroyed: the DLL's detach may close the file after static
    // objects are gone.
    static TraceFile* file = new TraceFile;
    return *file;
}

void appendNumber(std::string& text, unsigned value, int digits)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*u", digits, value);
    text += buffer;
}

void appendWideNumber(std::wstring& text, unsigned value, int digits)
{
    wchar_t buffer[16];
    std::swprintf(buffer, sizeof buffer / sizeof buffer[0], L"%0*u", digits, value);
    text += buffer;
}

// Milliseconds with one decimal, with a point whatever locale the client
// process has set.
void appendMilliseconds(std::string& text, double milliseconds)
{
    if (!(milliseconds >= 0.0) || milliseconds > 1e9)
        milliseconds = 0.0;
    unsigned long tenths = static_cast<unsigned long>(std::lround(milliseconds * 10.0));
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%lu.%lu", tenths / 10, tenths % 10);
    text += buffer;
}

void closeLocked(TraceFile& file);

// Stamps text into file.line, "HH:mm:ss.fff text" and a line end, with the
// time now or the one given.
void stamp(TraceFile& file, const std::string& text, const SYSTEMTIME* at = nullptr)
{
    SYSTEMTIME now;
    if (at)
        now = *at;
    else
        GetLocalTime(&now);
    std::string& line = file.line;
    line.clear();
    appendNumber(line, now.wHour, 2);
    line += ':';
    appendNumber(line, now.wMinute, 2);
    line += ':';
    appendNumber(line, now.wSecond, 2);
    line += '.';
    appendNumber(line, now.wMilliseconds, 3);
    line += ' ';
    line += text;
    line += "\r\n";
}

// A write that fails (a full disk, a removed drive) ends the trace; the
// calls go on without it.
void writeBytes(TraceFile& file, const std::string& bytes)
{
    if (bytes.empty())
        return;
    DWORD written = 0;
    if (!WriteFile(file.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)
        || written != bytes.size())
        closeLocked(file);
}

void writeLineLocked(TraceFile& file, const std::string& text, const SYSTEMTIME* at = nullptr)
{
    if (file.handle == INVALID_HANDLE_VALUE)
        return;
    try {
        stamp(file, text, at);
        if (file.holding)
            file.held += file.line;
        else
            writeBytes(file, file.line);
    } catch (const std::bad_alloc&) {
        // Out of memory: this line is lost, the call is not.
    }
}

void closeLocked(TraceFile& file)
{
    trace_detail::open = false;
    if (file.handle == INVALID_HANDLE_VALUE)
        return;
    if (file.holding) {
        // The head never came: the lines still tell what happened.
        file.holding = false;
        std::string held;
        held.swap(file.held);
        writeBytes(file, held);
    }
    if (file.handle != INVALID_HANDLE_VALUE)
        CloseHandle(file.handle);
    file.handle = INVALID_HANDLE_VALUE;
    file.held.clear();
    file.path.clear();
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
        DWORD attributes = GetFileAttributesW(step.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
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

bool openLocked(TraceFile& file)
{
    std::wstring profile = profileFolder();
    if (profile.empty())
        return false;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::wstring folder = traceFolder(profile, now);
    if (!makeFolders(profile, folder))
        return false;
    for (int attempt = 0; attempt <= kNameAttempts; ++attempt) {
        std::wstring path = folder + L"\\"
                            + (attempt == 0 ? traceFileName(now) : traceFileName(now, GetCurrentProcessId(), attempt));
        // A new file only: another process's trace of the same millisecond
        // is never written over. Others may read it while it grows.
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file.handle = handle;
            file.path = path;
            file.holding = true;
            file.opened = now;
            file.held.clear();
            trace_detail::open = true;
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

} // namespace

bool openTrace()
{
    TraceFile& file = traceFile();
    std::lock_guard<std::mutex> guard(file.lock);
    closeLocked(file);
    try {
        return openLocked(file);
    } catch (const std::bad_alloc&) {
        closeLocked(file);
        return false;
    }
}

void writeTraceHead(const std::string* lines, std::size_t count)
{
    if (!traceIsOn())
        return;
    TraceFile& file = traceFile();
    std::lock_guard<std::mutex> guard(file.lock);
    if (file.handle == INVALID_HANDLE_VALUE || !file.holding)
        return;
    std::string held;
    held.swap(file.held);
    file.holding = false;
    for (std::size_t i = 0; i < count; ++i)
        writeLineLocked(file, lines[i], &file.opened);
    if (file.handle != INVALID_HANDLE_VALUE)
        writeBytes(file, held);
}

void traceLine(const std::string& text)
{
    if (!traceIsOn())
        return;
    TraceFile& file = traceFile();
    std::lock_guard<std::mutex> guard(file.lock);
    writeLineLocked(file, text);
}

void closeTrace()
{
    TraceFile& file = traceFile();
    std::lock_guard<std::mutex> guard(file.lock);
    closeLocked(file);
}

void closeTraceAtProcessEnd()
{
    TraceFile& file = traceFile();
    trace_detail::open = false;
    if (file.handle != INVALID_HANDLE_VALUE)
        CloseHandle(file.handle);
    file.handle = INVALID_HANDLE_VALUE;
}

void traceSent(const char* bytes, std::size_t count, bool written)
{
    if (!traceIsOn())
        return;
    try {
        std::string text = ">> " + quotedBytes(bytes, count);
        if (!written)
            text += " (not written)";
        traceLine(text);
    } catch (const std::bad_alloc&) {
    }
}

void traceReceived(const char* bytes, std::uint32_t received, std::uint32_t requested, double milliseconds)
{
    if (!traceIsOn())
        return;
    try {
        std::string text = "<< " + quotedBytes(bytes, received) + ' ';
        appendNumber(text, received, 1);
        text += " of ";
        appendNumber(text, requested, 1);
        text += " bytes in ";
        appendMilliseconds(text, milliseconds);
        text += received >= requested ? " ms, by count" : " ms, by time-out";
        traceLine(text);
    } catch (const std::bad_alloc&) {
    }
}

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

std::string quotedBytes(const char* bytes, std::size_t count)
{
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(count + 2);
    text += '"';
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '"' && byte != '\\') {
            text += char(byte);
        } else {
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0x0f];
        }
    }
    text += '"';
    return text;
}

std::wstring traceFolder(const std::wstring& profileFolder, const SYSTEMTIME& time)
{
    std::wstring folder = profileFolder + L"\\Documents\\ASCOM\\Logs ";
    appendWideNumber(folder, time.wYear, 4);
    folder += L'-';
    appendWideNumber(folder, time.wMonth, 2);
    folder += L'-';
    appendWideNumber(folder, time.wDay, 2);
    return folder;
}

std::wstring traceFileName(const SYSTEMTIME& time, DWORD process, int attempt)
{
    std::wstring name = L"ASCOM.Velmaro.Telescope.";
    appendWideNumber(name, time.wHour, 2);
    appendWideNumber(name, time.wMinute, 2);
    name += L'.';
    appendWideNumber(name, time.wSecond, 2);
    appendWideNumber(name, time.wMilliseconds, 3);
    if (process != 0) {
        name += L'.';
        appendWideNumber(name, process, 1);
        if (attempt > 1) {
            name += L'-';
            appendWideNumber(name, unsigned(attempt), 1);
        }
    }
    name += L".txt";
    return name;
}
