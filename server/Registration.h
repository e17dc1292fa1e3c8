// What the driver writes into the registry and takes out again.
#pragma once

#include <windows.h>

// The class keys and ProgIDs of the telescope class.
HRESULT updateTelescopeRegistry(bool registering);
// The embedded type library, system-wide.
HRESULT registerTypeLibrary();
HRESULT unregisterTypeLibrary();

// The class id as the registry shows it.
extern const char kTelescopeClassIdText[];
extern const char kTelescopeProgId[];
extern const char kTelescopeVersionIndependentProgId[];
