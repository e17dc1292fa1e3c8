// What the driver writes into the registry and takes out again.
#pragma once

#include <windows.h>

#include <string>

// The class keys and ProgIDs of the telescope class.
HRESULT updateTelescopeRegistry(bool registering);
// The embedded type library, system-wide.
HRESULT registerTypeLibrary();
HRESULT unregisterTypeLibrary();

// The full path of this DLL as Windows holds it, whatever its length and
// letters; a failure rather than a cut path.
HRESULT ownModulePath(std::wstring& path);

// On 64-bit Windows each bitness registers its class in its own registry
// view, while the ProgIDs and the profile are shared. True when the other
// bitness's build is registered.
bool otherBitnessRegistered();

// The class id as the registry shows it.
extern const char kTelescopeClassIdText[];
extern const char kTelescopeProgId[];
extern const char kTelescopeVersionIndependentProgId[];
