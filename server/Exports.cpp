// The four entry points of the in-process server.
#include "ServerModule.h"
#include "Telescope.h"

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
