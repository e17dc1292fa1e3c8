#include "Trace.h"

#include "TraceSystem.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <new>

namespace trace_detail {
std::atomic<bool> open{false};
}

namespace {

using trace_system::FileHandle;
using trace_system::kNoFile;
using trace_system::LocalTime;

struct TraceFile {
    std::mutex lock;
    FileHandle handle = kNoFile;
    // Until the head is written, lines wait here; the head bears the time
    // the file was opened, so that the stamps run in order.
    bool holding = false;
    LocalTime opened{};
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
void stamp(TraceFile& file, const std::string& text, const LocalTime* at = nullptr)
{
    const LocalTime now = at ? *at : trace_system::localTimeNow();
    std::string& line = file.line;
    line.clear();
    appendNumber(line, now.hour, 2);
    line += ':';
    appendNumber(line, now.minute, 2);
    line += ':';
    appendNumber(line, now.second, 2);
    line += '.';
    appendNumber(line, now.milliseconds, 3);
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
    if (!trace_system::writeAll(file.handle, bytes.data(), bytes.size()))
        closeLocked(file);
}

void writeLineLocked(TraceFile& file, const std::string& text, const LocalTime* at = nullptr)
{
    if (file.handle == kNoFile)
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
    if (file.handle == kNoFile)
        return;
    if (file.holding) {
        // The head never came: the lines still tell what happened.
        file.holding = false;
        std::string held;
        held.swap(file.held);
        writeBytes(file, held);
    }
    if (file.handle != kNoFile)
        trace_system::closeFile(file.handle);
    file.handle = kNoFile;
    file.held.clear();
}

bool openLocked(TraceFile& file)
{
    const LocalTime now = trace_system::localTimeNow();
    FileHandle handle = trace_system::createTraceFile(now);
    if (handle == kNoFile)
        return false;
    file.handle = handle;
    file.holding = true;
    file.opened = now;
    file.held.clear();
    trace_detail::open = true;
    return true;
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
    if (file.handle == kNoFile || !file.holding)
        return;
    std::string held;
    held.swap(file.held);
    file.holding = false;
    for (std::size_t i = 0; i < count; ++i)
        writeLineLocked(file, lines[i], &file.opened);
    if (file.handle != kNoFile)
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
    if (file.handle != kNoFile)
        trace_system::closeFile(file.handle);
    file.handle = kNoFile;
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

namespace trace_system {

std::string dayText(const LocalTime& time)
{
    std::string day;
    appendNumber(day, time.year, 4);
    day += '-';
    appendNumber(day, time.month, 2);
    day += '-';
    appendNumber(day, time.day, 2);
    return day;
}

std::string fileNameText(const LocalTime& time, std::uint32_t process, int attempt)
{
    std::string name = "ASCOM.Velmaro.Telescope.";
    appendNumber(name, time.hour, 2);
    appendNumber(name, time.minute, 2);
    name += '.';
    appendNumber(name, time.second, 2);
    appendNumber(name, time.milliseconds, 3);
    if (process != 0) {
        name += '.';
        appendNumber(name, process, 1);
        if (attempt > 1) {
            name += '-';
            appendNumber(name, unsigned(attempt), 1);
        }
    }
    name += ".txt";
    return name;
}

} // namespace trace_system
