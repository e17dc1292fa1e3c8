// The four entry points of the in-process server.
#include "ServerModule.h"
#include "SetupDialog.h"
#include "SetupWindow.h"
#include "Telescope.h"

namespace {
// The DLL is where the COM object and the windows meet: the dialog's
// opener is handed to the COM side as the DLL loads.
const bool setupWindowHandedIn = (setSetupWindowOpener(showSetupDialog), true);
}

extern "C" {

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
