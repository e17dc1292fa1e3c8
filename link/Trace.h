// The trace a user switches on for support: every command, every reply and
// every call of a connection, one time-stamped line each, in a file of its
// own under %USERPROFILE%\Documents\ASCOM\Logs yyyy-MM-dd\ on Windows;
// elsewhere in $VELMARO_TRACE_DIR, else under $XDG_STATE_HOME (or
// ~/.local/state) in velmaro/logs yyyy-MM-dd/. Where the folder lies and how
// a file is made is the system's part (TraceSystem.h); the lines are the
// same everywhere.
//
// Nothing here may change what the driver does: when the folder or the file
// cannot be written there is simply no trace. Each line goes to the file in
// one write as it is made, so a crash loses nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace trace_detail {
extern std::atomic<bool> open;
}

// The one check the exchanges make when no trace is wanted.
inline bool traceIsOn()
{
    return trace_detail::open.load(std::memory_order_relaxed);
}

// Starts the trace of a connection: creates the folder and a new file
// (closing any trace still open). Lines written from now on are held until
// writeTraceHead, so that the head comes first. False, and no trace, when
// no folder is known or the folder or file cannot be made.
bool openTrace();
// Writes the head's lines, then the lines held since openTrace.
void writeTraceHead(const std::string* lines, std::size_t count);
// One line with its time stamp; nothing when no trace is open.
void traceLine(const std::string& text);
void closeTrace();
// At process end the other threads are gone, perhaps holding the trace's
// lock: the file is closed without it.
void closeTraceAtProcessEnd();


// A command as it was written ("not written" when the port took less).
void traceSent(const char* bytes, std::size_t count, bool written);
// A read: the bytes that arrived, how many were asked for and how long the
// read took with its pause before it.
void traceReceived(const char* bytes, std::uint32_t received, std::uint32_t requested, double milliseconds);

// Milliseconds of a steady clock, for the durations in the trace.
double traceClockMs();

// Bytes as the trace shows them, between double quotes: printable ASCII as
// it is, every other byte, the quote and the backslash as \xhh.
std::string quotedBytes(const char* bytes, std::size_t count);

// On Windows, the folder and file names as the Wine tests check them are
// declared in TraceFolder.h.
