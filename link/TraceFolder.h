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
