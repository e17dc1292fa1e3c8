// The in-process server: creation, interfaces, aggregation, unloading and
// IDispatch from the type library.
#include "ComTest.h"

#include <atomic>

namespace {

using Server = DriverTest;

TEST_F(Server, CreatesByProgIdEarlyAndLateBound)
{
    CLSID versioned{}, independent{};
    ASSERT_EQ(CLSIDFromProgID(L"Velmaro.Telescope.1", &versioned), S_OK);
    ASSERT_EQ(CLSIDFromProgID(L"Velmaro.Telescope", &independent), S_OK);
    EXPECT_TRUE(IsEqualCLSID(versioned, kTelescopeClassId));
    EXPECT_TRUE(IsEqualCLSID(independent, kTelescopeClassId));

    ITelescopeV3* early = createTelescope();
    ASSERT_NE(early, nullptr);
    BSTR name = nullptr;
    ASSERT_EQ(early->get_Name(&name), S_OK);
    EXPECT_EQ(bstrText(name), L"Velmaro Telescope");
    SysFreeString(name);

    IDispatch* late = createLateBound();
    ASSERT_NE(late, nullptr);
    VARIANT value;
    ASSERT_EQ(getProperty(late, L"DriverVersion", &value), S_OK);
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(bstrText(value.bstrVal), L"2.1");
    VariantClear(&value);
    ASSERT_EQ(getProperty(late, L"InterfaceVersion", &value), S_OK);
    ASSERT_EQ(VariantChangeType(&value, &value, 0, VT_I4), S_OK);
    EXPECT_EQ(value.lVal, 3);
}

TEST_F(Server, AnswersOnlyItsThreeInterfacesOnOnePointer)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    IUnknown* unknown = nullptr;
    IDispatch* dispatch = nullptr;
    ITelescopeV3* again = nullptr;
    ASSERT_EQ(telescope->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    ASSERT_EQ(telescope->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    ASSERT_EQ(telescope->QueryInterface(IID_ITelescopeV3, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(telescope));
    EXPECT_EQ(static_cast<void*>(dispatch), static_cast<void*>(telescope));
    EXPECT_EQ(again, telescope);
    unknown->Release();
    dispatch->Release();
    again->Release();

    for (const IID& other : {IID_ISupportErrorInfo, IID_IConnectionPointContainer, IID_IProvideClassInfo,
                             IID_IPersist, IID_IClassFactory}) {
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(telescope->QueryInterface(other, &object), E_NOINTERFACE);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(telescope->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

// An outer object that aggregates the driver and forwards ITelescopeV3.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (IsEqualIID(iid, IID_IUnknown)) {
            *object = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(iid, IID_ITelescopeV3) || IsEqualIID(iid, IID_IDispatch))
            return inner->QueryInterface(iid, object);
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    std::atomic<ULONG> references{1};
    IUnknown* inner = nullptr;
};

TEST_F(Server, AggregatesBehindAnOuterObject)
{
    Outer outer;
    ITelescopeV3* refused = nullptr;
    EXPECT_EQ(CoCreateInstance(kTelescopeClassId, &outer, CLSCTX_INPROC_SERVER, IID_ITelescopeV3,
                               reinterpret_cast<void**>(&refused)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused, nullptr);

    ASSERT_EQ(CoCreateInstance(kTelescopeClassId, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    ITelescopeV3* telescope = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_ITelescopeV3, reinterpret_cast<void**>(&telescope)), S_OK);
    // The interface counts its references on the outer object...
    EXPECT_EQ(outer.references, 2u);
    // ...and its identity is the outer object's.
    IUnknown* identity = nullptr;
    ASSERT_EQ(telescope->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    BSTR name = nullptr;
    ASSERT_EQ(telescope->get_Description(&name), S_OK);
    EXPECT_EQ(bstrText(name), L"Velmaro Telescope");
    SysFreeString(name);
    telescope->Release();
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(callExport("DllCanUnloadNow"), S_OK);
}

TEST_F(Server, MayUnloadOnlyWhenNothingLivesOrLocks)
{
    EXPECT_EQ(callExport("DllCanUnloadNow"), S_OK);
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    EXPECT_EQ(callExport("DllCanUnloadNow"), S_FALSE);
    created.clear();
    telescope->Release();
    EXPECT_EQ(callExport("DllCanUnloadNow"), S_OK);

    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(driverModule(), "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kTelescopeClassId, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(callExport("DllCanUnloadNow"), S_FALSE);
    IClassFactory* same = nullptr;
    ASSERT_EQ(getClassObject(kTelescopeClassId, IID_IClassFactory, reinterpret_cast<void**>(&same)), S_OK);
    EXPECT_EQ(same, factory);
    same->Release();
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(callExport("DllCanUnloadNow"), S_FALSE);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(callExport("DllCanUnloadNow"), S_OK);

    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(IID_ITelescopeV3, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
}

TEST_F(Server, DispatchServedFromTheTypeLibrary)
{
    IDispatch* late = createLateBound();
    ASSERT_NE(late, nullptr);
    UINT count = 0;
    EXPECT_EQ(late->GetTypeInfoCount(nullptr), E_POINTER);
    EXPECT_EQ(late->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(late->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(late->GetTypeInfo(0, 0, nullptr), E_POINTER);
    ASSERT_EQ(late->GetTypeInfo(0, 0, &info), S_OK);
    ASSERT_NE(info, nullptr);
    info->Release();

    for (const wchar_t* name : {L"Altitude", L"altitude", L"ALTITUDE"}) {
        DISPID id = -1;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(late->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
        EXPECT_EQ(id, 2);
    }
    DISPID ids[3] = {};
    LPOLESTR pulse[] = {const_cast<LPOLESTR>(L"PulseGuide"), const_cast<LPOLESTR>(L"Direction"),
                        const_cast<LPOLESTR>(L"Duration")};
    EXPECT_EQ(late->GetIDsOfNames(IID_NULL, pulse, 3, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 113);
    EXPECT_EQ(ids[1], 0);
    EXPECT_EQ(ids[2], 1);
    DISPID unknown = 0;
    LPOLESTR nonsense[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
    EXPECT_EQ(late->GetIDsOfNames(IID_NULL, nonsense, 1, 0, &unknown), DISP_E_UNKNOWNNAME);

    // A bad type is converted or refused by the type library, not the driver.
    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"not a boolean");
    EXCEPINFO exception{};
    EXPECT_EQ(putProperty(late, L"Connected", text, &exception), DISP_E_TYPEMISMATCH);
    VariantClear(&text);
}

TEST_F(Server, LateBindingNeedsTheRegisteredTypeLibraryEarlyBindingDoesNot)
{
    // No registration of the library at all: not the other bitness's, and
    // not the one for the neutral locale.
    OtherBitnessUnregistered onlyThisBitness;
    ASSERT_TRUE(onlyThisBitness.done());
    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, sizeof(void*) == 8
                                                   ? L"TypeLib\\{0B7C4E91-6F25-4D83-A2E4-9D15B8C37F60}\\1.0\\0\\win64"
                                                   : L"TypeLib\\{0B7C4E91-6F25-4D83-A2E4-9D15B8C37F60}\\1.0\\0\\win32"),
              ERROR_SUCCESS);
    ASSERT_EQ(UnRegisterTypeLib(LIBID_TEMPLATELib, 1, 0, 0x409, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32), S_OK);
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    IDispatch* late = telescope;
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Name")};
    EXPECT_EQ(late->GetIDsOfNames(IID_NULL, names, 1, 0, &id), TYPE_E_LIBNOTREGISTERED);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(late->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(info, nullptr);
    DISPPARAMS none{};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(late->Invoke(37, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              TYPE_E_LIBNOTREGISTERED);

    BSTR name = nullptr;
    EXPECT_EQ(telescope->get_Name(&name), S_OK);
    SysFreeString(name);

    // A failed load is not remembered: once registered, late binding works.
    ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    EXPECT_EQ(late->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 37);
    EXPECT_EQ(late->Invoke(37, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    VariantClear(&result);
}

} // namespace
