// Life of the driver object: creation, interfaces, IDispatch, and the
// exchanges with the mount.
#include "Telescope.h"

#include "DriverCall.h"
#include "ProfileSettings.h"
#include "Trace.h"
#include "TypeInfoHolder.h"

#include <new>

namespace {

// Driver objects alive in the process: the DLL may not unload while any is.
std::atomic<long> liveTelescopes{0};

// The state the living objects share; it goes with the last of them.
std::weak_ptr<MountState> processState;

} // namespace

std::shared_ptr<MountState> processMountState()
{
    std::lock_guard<std::recursive_mutex> guard(driverCallLock());
    std::shared_ptr<MountState> state = processState.lock();
    if (!state) {
        state = std::make_shared<MountState>();
        processState = state;
    }
    return state;
}

bool processIsConnected()
{
    std::shared_ptr<MountState> state = processState.lock();
    return state && state->connected;
}

long CTelescope::liveObjects()
{
    return liveTelescopes;
}

HRESULT CTelescope::create(IUnknown* outer, REFIID interfaceId, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer && !IsEqualIID(interfaceId, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    CTelescope* telescope = nullptr;
    try {
        telescope = new CTelescope(outer);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    // The new object holds one reference on its own unknown until asked.
    HRESULT status = telescope->inner.QueryInterface(interfaceId, object);
    telescope->inner.Release();
    return status;
}

CTelescope::CTelescope(IUnknown* outer)
    : controlling(outer ? outer : &inner), core(processMountState(), profileSettings())
{
    ++liveTelescopes;
    // Not a member of the interface: the trace shows the calls it makes.
    DriverCall call(nullptr);
    // Learn the mount model once, before a client connects; through the
    // interface, as a client would, so the trace shows both calls.
    if (!core.sharedState().connected) {
        put_Connected(VARIANT_TRUE);
        put_Connected(VARIANT_FALSE);
    }
}

CTelescope::~CTelescope()
{
    {
        DriverCall call(nullptr);
        // Nothing is sent. When this object held the process's link, no
        // link is left, so the process no longer counts as connected.
        if (core.release())
            traceLine("-- the driver object that held the port was released: port closed");
    }
    --liveTelescopes;
}

HRESULT CTelescope::InnerUnknown::QueryInterface(REFIID interfaceId, void** object)
{
    if (!object)
        return E_POINTER;
    bool aggregated = owner.controlling != this;
    if (IsEqualIID(interfaceId, IID_IUnknown) && aggregated) {
        // The outer object holds this one; it is our identity for it.
        *object = static_cast<IUnknown*>(this);
    } else if (IsEqualIID(interfaceId, IID_IUnknown) || IsEqualIID(interfaceId, IID_IDispatch)
               || IsEqualIID(interfaceId, IID_ITelescopeV3)) {
        // Alone, the object answers all three on one pointer.
        *object = static_cast<ITelescopeV3*>(&owner);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
}

ULONG CTelescope::InnerUnknown::AddRef()
{
    return ++owner.references;
}

ULONG CTelescope::InnerUnknown::Release()
{
    ULONG left = --owner.references;
    if (left == 0)
        delete &owner;
    return left;
}

HRESULT CTelescope::QueryInterface(REFIID interfaceId, void** object)
{
    return controlling->QueryInterface(interfaceId, object);
}

ULONG CTelescope::AddRef()
{
    return controlling->AddRef();
}

ULONG CTelescope::Release()
{
    return controlling->Release();
}

HRESULT CTelescope::GetTypeInfoCount(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT CTelescope::GetTypeInfo(UINT index, LCID locale, ITypeInfo** info)
{
    if (index != 0)
        return DISP_E_BADINDEX;
    if (!info)
        return E_POINTER;
    return telescopeTypeInfo.getTypeInfo(locale, info);
}

HRESULT CTelescope::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids)
{
    return telescopeTypeInfo.getIDsOfNames(names, count, locale, ids);
}

HRESULT CTelescope::Invoke(DISPID member, REFIID, LCID locale, WORD flags, DISPPARAMS* parameters,
                           VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    return telescopeTypeInfo.invoke(static_cast<ITelescopeV3*>(this), member, locale, flags, parameters, result,
                                    exception, argumentError);
}

