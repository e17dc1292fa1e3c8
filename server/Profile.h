// The driver's ASCOM profile key and the settings it keeps: the serial
// port and the trace switch. It lives in the 32-bit registry view on
// 64-bit Windows, so both builds share one profile and the ASCOM Chooser,
// a 32-bit program, finds the driver.
#pragma once

#include <windows.h>

#include <cstddef>

extern const char kProfileKeyPath[];
extern const char* const kProfileDisplayName;

// Opened with create-if-missing and read-write access; close it with
// RegCloseKey right after use. Returns the registry status.
// `created` (optional) says whether the key was new.
LONG openProfileKey(HKEY* key, bool* created = nullptr);
// Plain deletion of the key (and with it the stored port).
LONG deleteProfileKey();
// A REG_SZ holding exactly the characters of text, without a terminating
// NUL (readers clear their buffers first).
LONG setRegistryString(HKEY key, const char* valueName, const char* text, std::size_t length);
LONG setRegistryString(HKEY key, const char* valueName, const char* text);

// The serial ports the driver offers: COM1 to COM16. Until a port is
// stored, the first one.
constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;
constexpr int kDefaultPort = kFirstPort;

// Parses a stored port text: leading decimal digits with an optional sign
// (none gives 0), clamped to the ports offered.
int clampedPortNumber(const char* text);
// The stored port, clamped, into portNumber (unchanged when none is
// stored). False when the profile cannot be opened at all.
bool readStoredPort(int& portNumber);
// Stores the port as its decimal digits, the value "COM".
void storePortNumber(int portNumber);

// The trace switch, the value "Trace": "true" (in any letter case) is on;
// anything else, or no value at all, is off.
bool readTraceSwitch();
// Stores "true" or "false".
void storeTraceSwitch(bool on);
