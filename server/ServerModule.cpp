#include "ServerModule.h"

#include "ClassFactory.h"
#include "Profile.h"
#include "Registration.h"
#include "Telescope.h"
#include "TypeInfoHolder.h"

#include <new>

ServerModule serverModule;

namespace {

ClassEntry classTable[] = {
    {&CLSID_Telescope, updateTelescopeRegistry, CTelescope::create, nullptr},
};

} // namespace

void ServerModule::init(HINSTANCE)
{
}

void ServerModule::term()
{
    for (ClassEntry& entry : classTable) {
        if (entry.cachedFactory) {
            static_cast<CClassFactory*>(entry.cachedFactory)->releaseCached();
            entry.cachedFactory = nullptr;
        }
    }
    telescopeTypeInfo.release();
}

HRESULT ServerModule::getClassObject(REFCLSID classId, REFIID interfaceId, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    for (ClassEntry& entry : classTable) {
        if (!IsEqualCLSID(classId, *entry.classId))
            continue;
        if (!entry.cachedFactory) {
            std::lock_guard<std::mutex> guard(factoryCreation);
            if (!entry.cachedFactory) {
                entry.cachedFactory = new (std::nothrow) CClassFactory(entry.createInstance);
                if (!entry.cachedFactory)
                    return E_OUTOFMEMORY;
            }
        }
        return entry.cachedFactory->QueryInterface(interfaceId, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ServerModule::registerServer()
{
    HKEY profile = nullptr;
    LONG opened = openProfileKey(&profile);
    if (opened != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(opened);
    setRegistryString(profile, nullptr, kProfileDisplayName);
    RegCloseKey(profile);

    for (ClassEntry& entry : classTable) {
        HRESULT status = entry.updateRegistry(true);
        if (FAILED(status))
            return status;
    }
    return registerTypeLibrary();
}

HRESULT ServerModule::unregisterServer()
{
    deleteProfileKey();
    for (ClassEntry& entry : classTable) {
        HRESULT status = entry.updateRegistry(false);
        if (FAILED(status))
            return status;
    }
    return unregisterTypeLibrary();
}
