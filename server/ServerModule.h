// The in-process server's module: its lock count, the class table with the
// cached class factories, and the lock that guards their lazy creation.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

struct ClassEntry {
    const CLSID* classId;
    HRESULT (*updateRegistry)(bool registering);
    HRESULT (*createInstance)(IUnknown* outer, REFIID interfaceId, void** object);
    IClassFactory* cachedFactory;
};

class ServerModule {
public:
    void term();

    // Raised for every live object, every client reference to a class
    // factory and every factory lock; the DLL may unload only at zero.
    long lock() { return ++lockCount; }
    long unlock() { return --lockCount; }
    long lockCountNow() const { return lockCount; }

    HRESULT getClassObject(REFCLSID classId, REFIID interfaceId, void** object);
    HRESULT registerServer();
    HRESULT unregisterServer();

private:
    std::atomic<long> lockCount{0};
    std::mutex factoryCreation;
};

extern ServerModule serverModule;
