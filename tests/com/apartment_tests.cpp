// An early-bound client that calls the driver from another apartment: COM
// marshals ITelescopeV3 through the registered type library.
#include "ComTest.h"

#include <cmath>
#include <thread>

namespace {

// 12:34:56.7 as hours.
constexpr double kRightAscension = 12.0 + 34.0 / 60.0 + 56.7 / 3600.0;

class Apartments : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        mount.answer(":GR#", "12:34:56.7#");
    }

    // The calls a client makes through the marshalled interface, and the
    // exact bytes they put on the line.
    void callThrough(ITelescopeV3* telescope)
    {
        mount.forget();
        VARIANT_BOOL connected = VARIANT_FALSE;
        EXPECT_EQ(telescope->get_Connected(&connected), S_OK);
        EXPECT_EQ(connected, VARIANT_TRUE);
        double rightAscension = 0;
        EXPECT_EQ(telescope->get_RightAscension(&rightAscension), S_OK);
        EXPECT_NEAR(rightAscension, kRightAscension, 1e-9);
        BSTR name = nullptr;
        EXPECT_EQ(telescope->get_Name(&name), S_OK);
        EXPECT_EQ(std::wstring(name ? name : L""), L"Velmaro Telescope");
        SysFreeString(name);
        // A refusal crosses the apartment with its status.
        EXPECT_EQ(telescope->put_DeclinationRate(1.0), DISP_E_EXCEPTION);
        EXPECT_EQ(mount.commands(), std::vector<std::string>{":GR#"});
    }
};

TEST_F(Apartments, EarlyBoundCallsFromASingleThreadedApartment)
{
    // Created and connected here, in the multithreaded apartment.
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    IStream* stream = nullptr;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_ITelescopeV3, telescope, &stream), S_OK);

    std::thread client([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        ITelescopeV3* proxy = nullptr;
        EXPECT_EQ(CoGetInterfaceAndReleaseStream(stream, IID_ITelescopeV3, reinterpret_cast<void**>(&proxy)), S_OK);
        if (proxy) {
            EXPECT_NE(static_cast<void*>(proxy), static_cast<void*>(telescope)) << "not marshalled";
            callThrough(proxy);
            proxy->Release();
        }
        CoUninitialize();
    });
    client.join();
}

TEST_F(Apartments, EarlyBoundCallsIntoASingleThreadedApartmentFromTheMultithreadedOne)
{
    // The object lives in a single-threaded apartment that pumps messages;
    // this thread, in the multithreaded apartment, calls it through a proxy.
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    IStream* stream = nullptr;
    HRESULT created = E_FAIL;
    std::thread owner([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ITelescopeV3* telescope = nullptr;
        created = CoCreateInstance(kTelescopeClassId, nullptr, CLSCTX_INPROC_SERVER, IID_ITelescopeV3,
                                   reinterpret_cast<void**>(&telescope));
        if (SUCCEEDED(created) && telescope->put_Connected(VARIANT_TRUE) == S_OK)
            created = CoMarshalInterThreadInterfaceInStream(IID_ITelescopeV3, telescope, &stream);
        SetEvent(ready);
        while (MsgWaitForMultipleObjects(1, &done, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&message);
        }
        if (telescope)
            telescope->Release();
        CoUninitialize();
    });
    WaitForSingleObject(ready, 30000);
    EXPECT_EQ(created, S_OK);
    if (stream) {
        ITelescopeV3* proxy = nullptr;
        EXPECT_EQ(CoGetInterfaceAndReleaseStream(stream, IID_ITelescopeV3, reinterpret_cast<void**>(&proxy)), S_OK);
        if (proxy) {
            callThrough(proxy);
            proxy->Release();
        }
    }
    SetEvent(done);
    owner.join();
    CloseHandle(ready);
    CloseHandle(done);
}

} // namespace
