#include "TemplateApp.h"

#include "ErrorReport.h"
#include "ServerModule.h"
#include "Trace.h"

CTemplateApp theApp;

BOOL CTemplateApp::InitInstance(HINSTANCE moduleHandle)
{
    instance = moduleHandle;
    setResourceModule(moduleHandle);
    return TRUE;
}

int CTemplateApp::ExitInstance(bool processEnding)
{
    // At process end the system libraries may already be gone: only an
    // unload by FreeLibrary releases the cached COM objects.
    if (!processEnding)
        serverModule.term();
    // A trace still open ends with the process or the DLL's unload.
    if (processEnding)
        closeTraceAtProcessEnd();
    else
        closeTrace();
    return 0;
}
