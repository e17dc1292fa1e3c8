// How failures reach the client: status, description, source and GUID.
#include "ComTest.h"
#include "ErrorReport.h"

namespace {

class ErrorReports : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_NE(driverModule(), nullptr);
        ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    }
};

TEST_F(ErrorReports, NumberedReportsCarryUnknownErrorAndTheNullGuid)
{
    for (DriverErrorNumber number : {kErrorNotSupported, kErrorValueNotSet, kErrorInvalidValue}) {
        SetErrorInfo(0, nullptr);
        HRESULT status = driverError(number);
        EXPECT_EQ(status, HRESULT(0x80040000u + number));
        ErrorDetails details = takeErrorInfo();
        ASSERT_TRUE(details.present);
        EXPECT_EQ(details.description, L"Unknown Error");
        EXPECT_EQ(details.source, L"Velmaro.Telescope.1");
        EXPECT_TRUE(IsEqualGUID(details.guid, GUID_NULL));
    }
    EXPECT_EQ(driverError(kErrorNotSupported), HRESULT(0x80040400));
    EXPECT_EQ(driverError(kErrorValueNotSet), HRESULT(0x80040403));
    EXPECT_EQ(driverError(kErrorInvalidValue), HRESULT(0x80040405));
    // A string the module does have is its description.
    EXPECT_EQ(reportError(CLSID_Telescope, 100, GUID_NULL, 0, driverModule()), HRESULT(0x80040064));
    EXPECT_EQ(takeErrorInfo().description, L"Velmaro Telescope");
}

TEST_F(ErrorReports, TextReportsCarryTheMessageAndTheInterfaceGuid)
{
    EXPECT_EQ(driverFailure("Do not support CommandBlind"), DISP_E_EXCEPTION);
    ErrorDetails details = takeErrorInfo();
    ASSERT_TRUE(details.present);
    EXPECT_EQ(details.description, L"Do not support CommandBlind");
    EXPECT_EQ(details.source, L"Velmaro.Telescope.1");
    EXPECT_TRUE(IsEqualGUID(details.guid, IID_ITelescopeV3));

    // A transmission error is a success status with the message kept.
    EXPECT_EQ(driverFailure("Transmission error at SyncToTarget/Coordinates !", 2), HRESULT(2));
    EXPECT_EQ(takeErrorInfo().description, L"Transmission error at SyncToTarget/Coordinates !");

    SetErrorInfo(0, nullptr);
    EXPECT_EQ(reportError(CLSID_Telescope, nullptr, 0), E_POINTER);
    EXPECT_FALSE(takeErrorInfo().present);
}

TEST_F(ErrorReports, WithoutRegistrationThereIsNoSource)
{
    OtherBitnessUnregistered onlyThisBitness;
    ASSERT_TRUE(onlyThisBitness.done());
    ASSERT_EQ(callExport("DllUnregisterServer"), S_OK);
    EXPECT_EQ(driverFailure("The target is horizon below!"), DISP_E_EXCEPTION);
    ErrorDetails details = takeErrorInfo();
    ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    ASSERT_TRUE(details.present);
    EXPECT_TRUE(details.source.empty());
    EXPECT_EQ(details.description, L"The target is horizon below!");
}

} // namespace
