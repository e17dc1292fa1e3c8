#include "TypeInfoHolder.h"

#include "VelmaroInterface.h"

#include <oleauto.h>

TypeInfoHolder telescopeTypeInfo;

namespace {
constexpr LCID kLibraryLocale = 0x409;
}

HRESULT TypeInfoHolder::ensureLoaded(LCID locale)
{
    std::lock_guard<std::mutex> guard(loading);
    if (info)
        return S_OK;
    ITypeLib* library = nullptr;
    HRESULT status = LoadRegTypeLib(LIBID_TEMPLATELib, 1, 0, locale, &library);
    // The library exists in one locale only; script hosts ask for the
    // neutral one, which the registry need not know.
    if (status == TYPE_E_LIBNOTREGISTERED && locale != kLibraryLocale
        && SUCCEEDED(LoadRegTypeLib(LIBID_TEMPLATELib, 1, 0, kLibraryLocale, &library)))
        status = S_OK;
    if (FAILED(status))
        return status;
    ITypeInfo* loaded = nullptr;
    status = library->GetTypeInfoOfGuid(IID_ITelescopeV3, &loaded);
    library->Release();
    if (FAILED(status))
        return status;
    // Keep the richer interface where the platform offers it.
    ITypeInfo2* richer = nullptr;
    if (SUCCEEDED(loaded->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(&richer)))) {
        loaded->Release();
        loaded = richer;
    }
    info = loaded;
    buildNameTable();
    return S_OK;
}

void TypeInfoHolder::buildNameTable()
{
    TYPEATTR* attributes = nullptr;
    if (FAILED(info->GetTypeAttr(&attributes)))
        return;
    for (UINT index = 0; index < attributes->cFuncs; ++index) {
        FUNCDESC* function = nullptr;
        if (FAILED(info->GetFuncDesc(index, &function)))
            continue;
        BSTR name = nullptr;
        UINT found = 0;
        if (SUCCEEDED(info->GetNames(function->memid, &name, 1, &found)) && found == 1) {
            // A property's get and put share one name and one identifier.
            names.push_back(MemberName{std::wstring(name, SysStringLen(name)), function->memid});
            SysFreeString(name);
        }
        info->ReleaseFuncDesc(function);
    }
    info->ReleaseTypeAttr(attributes);
}

HRESULT TypeInfoHolder::getTypeInfo(LCID locale, ITypeInfo** result)
{
    HRESULT status = ensureLoaded(locale);
    if (FAILED(status)) {
        *result = nullptr;
        return status;
    }
    info->AddRef();
    *result = info;
    return S_OK;
}

HRESULT TypeInfoHolder::getIDsOfNames(LPOLESTR* memberNames, UINT count, LCID locale, DISPID* ids)
{
    HRESULT status = ensureLoaded(locale);
    if (FAILED(status))
        return status;
    if (count == 1 && memberNames && memberNames[0] && ids) {
        std::wstring wanted(memberNames[0]);
        for (const MemberName& entry : names) {
            if (entry.name == wanted) {
                ids[0] = entry.id;
                return S_OK;
            }
        }
    }
    return info->GetIDsOfNames(memberNames, count, ids);
}

HRESULT TypeInfoHolder::invoke(IDispatch* self, DISPID member, LCID locale, WORD flags, DISPPARAMS* parameters,
                               VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    HRESULT status = ensureLoaded(locale);
    if (FAILED(status))
        return status;
    return info->Invoke(self, member, flags, parameters, result, exception, argumentError);
}

void TypeInfoHolder::release()
{
    std::lock_guard<std::mutex> guard(loading);
    if (info)
        info->Release();
    info = nullptr;
    names.clear();
}
