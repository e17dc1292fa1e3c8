// IDispatch served from the registered type library: one holder for the
// whole process, loaded on first use, with an exact-name table in front of
// the type information's own (case-insensitive) lookup.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <mutex>
#include <string>
#include <vector>

class TypeInfoHolder {
public:
    HRESULT getTypeInfo(LCID locale, ITypeInfo** info);
    HRESULT getIDsOfNames(LPOLESTR* names, UINT count, LCID locale, DISPID* ids);
    HRESULT invoke(IDispatch* self, DISPID member, LCID locale, WORD flags, DISPPARAMS* parameters,
                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError);
    // Drops the type information; the next use loads it again.
    void release();

private:
    struct MemberName {
        std::wstring name;
        DISPID id;
    };

    HRESULT ensureLoaded(LCID locale);
    void buildNameTable();

    std::mutex loading;
    ITypeInfo* info = nullptr;
    std::vector<MemberName> names;
};

extern TypeInfoHolder telescopeTypeInfo;
