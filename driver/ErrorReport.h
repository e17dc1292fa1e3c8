// The one place that turns a failure into an automation status with error
// information for the client.
#pragma once

#include <windows.h>

// Numbered driver errors; the client sees 0x80040000 + number.
enum DriverError : UINT {
    kErrorNotSupported = 1024,   // the mount cannot do this
    kErrorValueNotSet = 1027,    // a property read before it was ever set
    kErrorInvalidValue = 1029,   // a value out of range
};

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
HRESULT driverError(DriverError number);
HRESULT driverFailure(const char* text, HRESULT result = 0);
