// Connecting to the mount through the registered driver, for each model.
#include "ComTest.h"

#include <thread>

namespace {

const std::vector<std::string> kProbe = {":V#",  ":MountInfo#", ":GR#", ":GD#", ":GA#",
                                         ":GZ#", ":GL#",        ":GG#", ":Gt#", ":Gg#"};
const std::vector<std::string> kConnect = {":V#", ":MountInfo#"};

std::vector<std::string> probeThenConnect()
{
    std::vector<std::string> sequence = kProbe;
    sequence.insert(sequence.end(), kConnect.begin(), kConnect.end());
    return sequence;
}

class ConnectionByModel : public DriverTest, public ::testing::WithParamInterface<int> {
protected:
    ConnectionByModel() { model = GetParam(); }
};

TEST_P(ConnectionByModel, CreationLearnsTheModelAndConnectProbesThenShakesHands)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    // Creation runs one connect and disconnect.
    EXPECT_EQ(mount.commands(), probeThenConnect());
    VARIANT_BOOL connected = 1;
    ASSERT_EQ(telescope->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, VARIANT_FALSE);

    mount.forget();
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    EXPECT_EQ(mount.commands(), probeThenConnect());
    EXPECT_EQ(mount.received(), ":V#:MountInfo#:GR#:GD#:GA#:GZ#:GL#:GG#:Gt#:Gg#:V#:MountInfo#");
    ASSERT_EQ(telescope->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, VARIANT_TRUE);

    // The same state again changes nothing and sends nothing.
    mount.forget();
    EXPECT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    EXPECT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
    EXPECT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
    EXPECT_TRUE(mount.commands().empty());
    ASSERT_EQ(telescope->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, VARIANT_FALSE);
}

INSTANTIATE_TEST_SUITE_P(Models, ConnectionByModel, ::testing::Values(1, 2, 3));

using Connection = DriverTest;

void expectOpenFailure(ITelescopeV3* telescope, const wchar_t* message)
{
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(telescope->put_Connected(VARIANT_TRUE), DISP_E_EXCEPTION);
    ErrorDetails details = takeErrorInfo();
    EXPECT_EQ(details.description, message);
    EXPECT_EQ(details.source, L"Velmaro.Telescope.1");
    EXPECT_TRUE(IsEqualGUID(details.guid, IID_ITelescopeV3));
    VARIANT_BOOL connected = 1;
    telescope->get_Connected(&connected);
    EXPECT_EQ(connected, VARIANT_FALSE);
}

TEST_F(Connection, FailsWithThePortNumberWhenTheHandshakeIsWrongOrThePortMissing)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);

    for (const char* handshake : {"V1.00", "V1.01#", "v1.00#", "x"}) {
        mount.answer(":V#", handshake);
        mount.forget();
        expectOpenFailure(telescope, L"Cannot open port COM1!");
        // After a failed handshake nothing else is asked.
        std::vector<std::string> commands = mount.commands();
        EXPECT_EQ(commands.back(), ":V#") << handshake;
    }

    mount.answer(":V#", "V1.00#");
    storePort("9");
    expectOpenFailure(telescope, L"Cannot open port COM9!");
    storePort("1");
    EXPECT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
}

TEST_F(Connection, LateBoundFailureComesBackAsAnException)
{
    IDispatch* late = createLateBound();
    ASSERT_NE(late, nullptr);
    mount.silence(":V#");
    VARIANT yes;
    yes.vt = VT_BOOL;
    yes.boolVal = VARIANT_TRUE;
    EXCEPINFO exception{};
    EXPECT_EQ(putProperty(late, L"Connected", yes, &exception), DISP_E_EXCEPTION);
    EXPECT_EQ(std::wstring(exception.bstrDescription ? exception.bstrDescription : L""), L"Cannot open port COM1!");
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
}

TEST_F(Connection, OnlyMinusOneMeansTrue)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    mount.forget();
    EXPECT_EQ(telescope->put_Connected(1), S_OK);
    EXPECT_TRUE(mount.commands().empty());
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    EXPECT_EQ(telescope->put_Connected(1), S_OK);
    VARIANT_BOOL connected = 1;
    telescope->get_Connected(&connected);
    EXPECT_EQ(connected, VARIANT_FALSE);
}

TEST_F(Connection, ASilentOrUnknownModelAnswerStillConnects)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    for (const char* answer : {"", "6150xx", ":KV72"}) {
        if (*answer)
            mount.answer(":MountInfo#", answer);
        else
            mount.silence(":MountInfo#");
        ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK) << answer;
        VARIANT_BOOL connected = 0;
        telescope->get_Connected(&connected);
        EXPECT_EQ(connected, VARIANT_TRUE);
        ASSERT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
    }
}

TEST_F(Connection, ASecondObjectSharesTheConnectionAndLeavesThePortAlone)
{
    ITelescopeV3* first = createTelescope();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->put_Connected(VARIANT_TRUE), S_OK);
    mount.forget();
    ITelescopeV3* second = createTelescope();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(mount.commands().empty());
    VARIANT_BOOL connected = 0;
    second->get_Connected(&connected);
    EXPECT_EQ(connected, VARIANT_TRUE);

    // The port holder gone, nothing holds the link: no longer connected.
    created.erase(created.begin());
    first->Release();
    second->get_Connected(&connected);
    EXPECT_EQ(connected, VARIANT_FALSE);
    EXPECT_TRUE(mount.commands().empty());
}

TEST_F(Connection, StringsAreFreshForEveryCallAndNullPointersAreRefused)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    BSTR first = nullptr, second = nullptr;
    ASSERT_EQ(telescope->get_Name(&first), S_OK);
    ASSERT_EQ(telescope->get_Name(&second), S_OK);
    EXPECT_NE(first, second);
    SysFreeString(first);
    SysFreeString(second);
    BSTR info = nullptr;
    ASSERT_EQ(telescope->get_DriverInfo(&info), S_OK);
    EXPECT_EQ(std::wstring(info).rfind(L"Velmaro Telescope ASCOM Driver 2.1 ", 0), 0u);
    EXPECT_GT(SysStringLen(info), 36u);
    SysFreeString(info);
    int system = 0;
    EXPECT_EQ(telescope->get_EquatorialSystem(&system), S_OK);
    EXPECT_EQ(system, 1);
    EXPECT_EQ(telescope->Dispose(), S_OK);

    EXPECT_EQ(telescope->get_Name(nullptr), E_POINTER);
    EXPECT_EQ(telescope->get_Connected(nullptr), E_POINTER);
    EXPECT_EQ(telescope->get_InterfaceVersion(nullptr), E_POINTER);
}

TEST_F(Connection, ACallWaitsForTheCallInProgressOnAnotherThread)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    // The mount is slow to answer the model query: the connect holds the
    // driver for about half a second more.
    mount.answer(":MountInfo#", ":KV72#", 400);
    std::thread connecting([&] { EXPECT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK); });
    ASSERT_TRUE(mount.waitForCommands(12 + kProbe.size() + kConnect.size()));
    VARIANT_BOOL connected = 0;
    double waited = elapsedMs([&] { telescope->get_Connected(&connected); });
    connecting.join();
    // Without the lock the read would return at once, still disconnected.
    EXPECT_EQ(connected, VARIANT_TRUE);
    EXPECT_GT(waited, 200.0);
}

TEST_F(Connection, RacingThreadsNeitherCorruptNorCrash)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([telescope, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < 40; ++i) {
                telescope->AddRef();
                BSTR name = nullptr;
                EXPECT_EQ(telescope->get_Name(&name), S_OK);
                EXPECT_EQ(std::wstring(name), L"Velmaro Telescope");
                SysFreeString(name);
                VARIANT_BOOL connected = 0;
                EXPECT_EQ(telescope->get_Connected(&connected), S_OK);
                EXPECT_TRUE(connected == VARIANT_TRUE || connected == VARIANT_FALSE);
                if (t == 0 && i % 10 == 0)
                    telescope->put_Connected(i % 20 == 0 ? VARIANT_TRUE : VARIANT_FALSE);
                telescope->Release();
            }
            CoUninitialize();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    // Every reference taken was given back: one Release ends the object.
    created.clear();
    EXPECT_EQ(telescope->Release(), 0u);
    EXPECT_EQ(callExport("DllCanUnloadNow"), S_OK);
}

} // namespace
