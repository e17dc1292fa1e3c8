// The driver's trace as a test reads it: a profile folder of the test's
// own, the switch in the shared profile, the trace files and their lines,
// and one traced session whose lines are checked exactly.
#pragma once

#include "ComTest.h"

#include <string>
#include <vector>

// The driver runs in this process and reads USERPROFILE from the process's
// environment at every connect, so pointing the variable at a folder of the
// test's own puts the traces there. Put back, and the folder removed, at
// the end.
class TraceFolder {
public:
    TraceFolder();
    ~TraceFolder();
    TraceFolder(const TraceFolder&) = delete;
    TraceFolder& operator=(const TraceFolder&) = delete;
    bool ready() const { return created; }
    const std::string& profile() const { return path; }
    // Every trace file under Documents\ASCOM\Logs *, full paths, sorted.
    std::vector<std::string> files() const;

private:
    std::string path;
    std::string previous;
    bool hadPrevious = false;
    bool created = false;
};

// The profile's "Trace" as text, or no value at all (nullptr).
void storeTraceValue(const char* text);
// The stored text; "(none)" when there is no value.
std::string storedTraceValue();

// A file's lines without their time stamps; a line whose stamp is not
// "HH:MM:SS.mmm " fails the test.
std::vector<std::string> traceLines(const std::string& path, std::vector<std::string>* stamps = nullptr);
// A read's line with its duration replaced by "~", the duration in
// `milliseconds`; other lines as they are.
std::string withoutDuration(const std::string& line, double* milliseconds = nullptr);
// True when nobody holds the file open any more.
bool fileClosed(const std::string& path);

// With the trace switched on and a model 3 mount scripted, connects, makes
// an answered exchange (a reply with a byte outside printable ASCII), a
// silent read, an unanswered acknowledgement and two failing calls,
// disconnects, and checks that the connection's new file holds exactly
// their lines.
void expectTracedSession(ITelescopeV3* telescope, ScriptedMount& mount, const TraceFolder& folder);
