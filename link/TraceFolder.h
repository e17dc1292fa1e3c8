// Windows only: where a trace goes, as the driver has always named it and
// the Wine tests check it.
#pragma once

#include <windows.h>

#include <string>

// The folder of a day's traces under a profile folder, and the name of a
// trace file opened at `time`; `process` (not 0) is added when a file of
// the plain name already exists, `attempt` (above 1) after it.
std::wstring traceFolder(const std::wstring& profileFolder, const SYSTEMTIME& time);
std::wstring traceFileName(const SYSTEMTIME& time, DWORD process = 0, int attempt = 1);

// Where every trace goes from now on in place of the profile's day folder
// (the server's --trace-dir), in the system's code page; empty for the
// usual folder again. Set before any trace opens.
void chooseTraceFolder(const std::string& folder);
