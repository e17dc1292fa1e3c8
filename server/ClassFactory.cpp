#include "ClassFactory.h"

#include "ServerModule.h"

HRESULT CClassFactory::QueryInterface(REFIID interfaceId, void** object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(interfaceId, IID_IUnknown) || IsEqualIID(interfaceId, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// Every reference beyond the module's own is a client's, and holds the DLL.
ULONG CClassFactory::AddRef()
{
    serverModule.lock();
    return ++references;
}

ULONG CClassFactory::Release()
{
    ULONG left = --references;
    serverModule.unlock();
    if (left == 0)
        delete this;
    return left;
}

void CClassFactory::releaseCached()
{
    if (--references == 0)
        delete this;
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID interfaceId, void** object)
{
    return creator(outer, interfaceId, object);
}

HRESULT CClassFactory::LockServer(BOOL lock)
{
    if (lock)
        serverModule.lock();
    else
        serverModule.unlock();
    return S_OK;
}
