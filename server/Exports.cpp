// The four entry points of the in-process server.
#include "ServerModule.h"

extern "C" {

HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return serverModule.lockCountNow() == 0 ? S_OK : S_FALSE;
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
