// The one place that turns a failure into an automation status with error
// information for the client.
#pragma once

#include "Outcome.h"

#include <windows.h>

// Posts error information with the string `number` of `module` as its
// description ("Unknown Error" when there is none). Returns
// 0x80040000 + number when result is 0, else result.
HRESULT reportError(REFCLSID classId, UINT number, REFIID interfaceId, HRESULT result, HINSTANCE module);

// Posts error information with `text` and the interface's GUID. Returns
// result when it is not 0, else DISP_E_EXCEPTION.
HRESULT reportError(REFCLSID classId, const char* text, HRESULT result);

// The module whose string table holds the numbered errors' texts: the
// DLL's own, set when it attaches to a process.
void setResourceModule(HINSTANCE module);

// The driver's two usual forms.
HRESULT driverError(DriverErrorNumber number);
HRESULT driverFailure(const char* text, HRESULT result = 0);
