// The class factory handed out for the driver's class.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

class CClassFactory final : public IClassFactory {
public:
    using Creator = HRESULT (*)(IUnknown* outer, REFIID interfaceId, void** object);
    explicit CClassFactory(Creator creator) : creator(creator) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID interfaceId, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID interfaceId, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    // The module's own reference, held while the factory is cached; it does
    // not keep the DLL loaded.
    void releaseCached();

private:
    ~CClassFactory() = default;

    Creator creator;
    std::atomic<ULONG> references{1};
};
