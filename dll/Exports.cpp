// The entry points of the in-process server: DllMain and the four exports
// of Velmaro.def.
#include "ServerModule.h"
#include "SetupDialog.h"
#include "SetupWindow.h"
#include "Telescope.h"
#include "TemplateApp.h"

namespace {
// The DLL is where the COM object and the windows meet: the dialog's
// opener is handed to the COM side as the DLL loads.
const bool setupWindowHandedIn = (setSetupWindowOpener(showSetupDialog), true);
}

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        return theApp.InitInstance(instance);
    case DLL_PROCESS_DETACH:
        theApp.ExitInstance(reserved != nullptr);
        return TRUE;
    default:
        return TRUE;
    }
}

HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    // Neither a driver object nor a client's hold on the factory is left.
    return serverModule.lockCountNow() == 0 && CTelescope::liveObjects() == 0 ? S_OK : S_FALSE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId, REFIID interfaceId, LPVOID* object)
{
    return serverModule.getClassObject(classId, interfaceId, object);
}

HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return serverModule.registerServer();
}

HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return serverModule.unregisterServer();
}

} // extern "C"
