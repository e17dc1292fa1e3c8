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
    bool profileCreated = false;
    LONG opened = openProfileKey(&profile, &profileCreated);
    if (opened != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(opened);
    setRegistryString(profile, nullptr, kProfileDisplayName);
    RegCloseKey(profile);

    HRESULT status = S_OK;
    for (ClassEntry& entry : classTable) {
        status = entry.updateRegistry(true);
        if (FAILED(status))
            break;
    }
    if (SUCCEEDED(status))
        status = registerTypeLibrary();
    if (FAILED(status)) {
        // Half a registration is worse than none: a client would find the
        // class but not its type library. A profile that was there before
        // (the other bitness's, with the user's port) stays.
        for (ClassEntry& entry : classTable)
            entry.updateRegistry(false);
        if (profileCreated)
            deleteProfileKey();
    }
    return status;
}

HRESULT ServerModule::unregisterServer()
{
    // The profile, with the user's port, belongs to both bitnesses: it goes
    // with the last one unregistered.
    if (!otherBitnessRegistered())
        deleteProfileKey();
    for (ClassEntry& entry : classTable) {
        HRESULT status = entry.updateRegistry(false);
        if (FAILED(status))
            return status;
    }
    return unregisterTypeLibrary();
}
