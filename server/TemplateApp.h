// The library's application object: set up when the DLL attaches to a
// process and torn down when it detaches (the DLL's DllMain, dll/Exports.cpp).
#pragma once

#include <windows.h>

class CTemplateApp {
public:
    BOOL InitInstance(HINSTANCE instance);
    int ExitInstance(bool processEnding);
    // The DLL's own module handle: every resource is loaded from it.
    HINSTANCE moduleInstance() const { return instance; }

private:
    HINSTANCE instance = nullptr;
};

extern CTemplateApp theApp;
