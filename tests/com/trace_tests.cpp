// The trace of the mount's traffic: switched on through the profile, its
// file and lines; nothing when it is off or cannot be written; one file per
// process and connection.
#include "DriverCall.h"
#include "MountProbe.h"
#include "Profile.h"
#include "ProfileSettings.h"
#include "TraceCheck.h"
#include "Trace.h"
#include "TraceFolder.h"

#include <algorithm>

namespace {

class Trace : public DriverTest {
protected:
    Trace() { model = 3; }
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_TRUE(folder.ready());
        storePort("1");
    }
    void TearDown() override
    {
        DriverTest::TearDown();
        storeTraceValue(nullptr);
    }

    TraceFolder folder;
};

TEST_F(Trace, IsOffByDefaultAndForAnyTextButTrue)
{
    // The profile's reading, as the driver and the dialog make it.
    for (const char* text : {static_cast<const char*>(nullptr), "false", "", "yes", "1", "truer", "tru", " true"}) {
        storeTraceValue(text);
        EXPECT_FALSE(readTraceSwitch()) << (text ? text : "(no value)");
    }
    for (const char* text : {"true", "TRUE", "True"}) {
        storeTraceValue(text);
        EXPECT_TRUE(readTraceSwitch()) << text;
    }
    storeTraceValue("true");
    MountProbe switchedOn(profileSettings());
    EXPECT_TRUE(switchedOn.traceOn);

    // No value, or "false": a whole session leaves no trace and no folder.
    ITelescopeV3* telescope = nullptr;
    for (const char* text : {static_cast<const char*>(nullptr), "false"}) {
        SCOPED_TRACE(text ? text : "(no value)");
        storeTraceValue(text);
        MountProbe settings(profileSettings());
        EXPECT_FALSE(settings.traceOn);
        if (!telescope)
            telescope = createTelescope();
        ASSERT_NE(telescope, nullptr);
        ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
        double value = 0;
        EXPECT_EQ(telescope->get_RightAscension(&value), S_OK);
        EXPECT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
        EXPECT_TRUE(folder.files().empty());
        EXPECT_EQ(GetFileAttributesA((folder.profile() + "\\Documents").c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

TEST_F(Trace, SwitchedOnInTheProfileHoldsTheExactLines)
{
    storeTraceValue("true");
    // Creating the object connects once to learn the model: a file of its
    // own, closed again with that connection.
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    std::vector<std::string> files = folder.files();
    ASSERT_EQ(files.size(), 1u);
    std::vector<std::string> creation = traceLines(files[0]);
    ASSERT_GE(creation.size(), 4u);
    EXPECT_EQ(creation[2], "Model: Corvane A Revision B (3)");
    EXPECT_EQ(creation.back(), "Connected set: 0x00000000");
    EXPECT_EQ(std::count(creation.begin(), creation.end(), "Connected set: 0x00000000"), 2);
    EXPECT_TRUE(fileClosed(files[0]));

    expectTracedSession(telescope, mount, folder);
}

TEST_F(Trace, AFailedConnectIsTracedAndEndsItsFile)
{
    storeTraceValue("true");
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    std::size_t before = folder.files().size();
    storePort("7");
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(telescope->put_Connected(VARIANT_TRUE), DISP_E_EXCEPTION);
    EXPECT_EQ(failureText(), L"Cannot open port COM7!");
    std::vector<std::string> files = folder.files();
    ASSERT_EQ(files.size(), before + 1);
    std::vector<std::string> lines = traceLines(files.back());
    const char* bitness = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    EXPECT_EQ(lines, (std::vector<std::string>{std::string("Velmaro Telescope driver 2.1, ") + bitness, "Port: COM7",
                                               "Model: not detected, no mount answered the handshake on COM7",
                                               "Connected set: 0x80020009 \"Cannot open port COM7!\""}));
    EXPECT_TRUE(fileClosed(files.back()));
}

TEST_F(Trace, ReleasingTheConnectedObjectEndsItsFile)
{
    storeTraceValue("true");
    ITelescopeV3* telescope = nullptr;
    ASSERT_EQ(CoCreateInstance(kTelescopeClassId, nullptr, CLSCTX_INPROC_SERVER, IID_ITelescopeV3,
                               reinterpret_cast<void**>(&telescope)),
              S_OK);
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    std::string path = folder.files().back();
    EXPECT_FALSE(fileClosed(path));
    telescope->Release();
    std::vector<std::string> lines = traceLines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "-- the driver object that held the port was released: port closed");
    EXPECT_TRUE(fileClosed(path));
}

// What a session gives the client: every status and value, and the
// commands the mount received.
struct Session {
    std::vector<HRESULT> statuses;
    std::vector<double> values;
    std::wstring failure;
    Commands commands;
};

void expectSame(const Session& session, const Session& plain)
{
    EXPECT_EQ(session.statuses, plain.statuses);
    EXPECT_EQ(session.values, plain.values);
    EXPECT_EQ(narrow(session.failure), narrow(plain.failure));
    EXPECT_EQ(session.commands, plain.commands);
}

Session runSession(ITelescopeV3* telescope, ScriptedMount& mount)
{
    Session session;
    mount.forget();
    mount.answer(":GD#", "+22*00:52#");
    mount.answer(":AT#", "1");
    double value = 0;
    VARIANT_BOOL flag = VARIANT_FALSE;
    session.statuses.push_back(telescope->put_Connected(VARIANT_TRUE));
    session.statuses.push_back(telescope->get_RightAscension(&value));
    session.values.push_back(value);
    session.statuses.push_back(telescope->get_Declination(&value));
    session.values.push_back(value);
    session.statuses.push_back(telescope->get_Tracking(&flag));
    session.values.push_back(flag);
    mount.silence(":GD#");
    session.statuses.push_back(telescope->get_Declination(&value));
    session.values.push_back(value);
    SetErrorInfo(0, nullptr);
    session.statuses.push_back(telescope->SetPark());
    session.failure = failureText();
    session.statuses.push_back(telescope->put_Connected(VARIANT_FALSE));
    mount.waitForCommands(15);
    session.commands = mount.commands();
    return session;
}

TEST_F(Trace, AnUnwritableFolderMeansNoTraceAndTheCallsGoOn)
{
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    storeTraceValue(nullptr);
    Session plain = runSession(telescope, mount);
    EXPECT_EQ(plain.statuses,
              (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK, S_OK, DISP_E_EXCEPTION, S_OK}));
    EXPECT_EQ(plain.failure, L"Do not support SetPark");

    storeTraceValue("true");
    // "Documents" is a file: the folders cannot be made.
    HANDLE blocker = CreateFileA((folder.profile() + "\\Documents").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
    CloseHandle(blocker);
    answerAsModel(mount, 3);
    Session blocked;
    double took = elapsedMs([&] { blocked = runSession(telescope, mount); });
    {
        SCOPED_TRACE("Documents is a file");
        expectSame(blocked, plain);
    }
    EXPECT_TRUE(folder.files().empty());
    EXPECT_LT(took, 5000.0);

    // No profile folder known at all.
    answerAsModel(mount, 3);
    SetEnvironmentVariableA("USERPROFILE", nullptr);
    Session unknown = runSession(telescope, mount);
    {
        SCOPED_TRACE("no USERPROFILE");
        expectSame(unknown, plain);
    }
    SetEnvironmentVariableA("USERPROFILE", folder.profile().c_str());

    // The day's folder is there but is a file.
    DeleteFileA((folder.profile() + "\\Documents").c_str());
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::wstring day = traceFolder(widened(folder.profile().c_str()), now);
    ASSERT_TRUE(CreateDirectoryA((folder.profile() + "\\Documents").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((folder.profile() + "\\Documents\\ASCOM").c_str(), nullptr));
    blocker = CreateFileW(day.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
    CloseHandle(blocker);
    answerAsModel(mount, 3);
    Session dayBlocked = runSession(telescope, mount);
    {
        SCOPED_TRACE("the day's folder is a file");
        expectSame(dayBlocked, plain);
    }
    DeleteFileW(day.c_str());
}

TEST_F(Trace, TwoProcessesWriteTwoFilesAndProcessEndClosesItsOwn)
{
    storeTraceValue("true");
    ITelescopeV3* telescope = createTelescope();
    ASSERT_NE(telescope, nullptr);
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    std::vector<std::string> ours = folder.files();
    std::string path = ours.back();

    // Another process (it inherits USERPROFILE) creates the object, connects,
    // reads once and ends without disconnecting. Under Wine its port opens
    // although this process holds it; on Windows its connect fails, and its
    // file says so.
    long code = runScript("On Error Resume Next\n"
                          "Set t = CreateObject(\"Velmaro.Telescope\")\n"
                          "t.Connected = True\n"
                          "x = t.RightAscension\n"
                          "WScript.Quit 0\n");
    EXPECT_EQ(code, 0);
    std::vector<std::string> all = folder.files();
    std::vector<std::string> theirs;
    for (const std::string& file : all)
        if (std::find(ours.begin(), ours.end(), file) == ours.end())
            theirs.push_back(file);
    // One for the creation's connection, one for the client's.
    ASSERT_EQ(theirs.size(), 2u);
    for (const std::string& file : theirs)
        EXPECT_TRUE(fileClosed(file)) << file;
    if (runningUnderWine()) {
        std::vector<std::string> last = traceLines(theirs.back());
        ASSERT_FALSE(last.empty());
        EXPECT_EQ(last.back(), "RightAscension get: 0x00000000");
    }

    // Ours went on untouched by the other process.
    mount.forget();
    std::size_t mark = traceLines(path).size();
    double value = 0;
    EXPECT_EQ(telescope->get_RightAscension(&value), S_OK);
    std::vector<std::string> lines = traceLines(path);
    ASSERT_EQ(lines.size(), mark + 3);
    EXPECT_EQ(lines[mark], ">> \":GR#\"");
    EXPECT_EQ(lines[mark + 2], "RightAscension get: 0x00000000");
    EXPECT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
}

TEST(TraceText, NamesFoldersAndEscapes)
{
    SYSTEMTIME time{};
    time.wYear = 2026;
    time.wMonth = 3;
    time.wDay = 7;
    time.wHour = 2;
    time.wMinute = 5;
    time.wSecond = 9;
    time.wMilliseconds = 42;
    EXPECT_EQ(traceFolder(L"C:\\users\\ann", time), L"C:\\users\\ann\\Documents\\ASCOM\\Logs 2026-03-07");
    EXPECT_EQ(traceFileName(time), L"ASCOM.Velmaro.Telescope.0205.09042.txt");
    EXPECT_EQ(traceFileName(time, 4711), L"ASCOM.Velmaro.Telescope.0205.09042.4711.txt");
    EXPECT_EQ(traceFileName(time, 4711, 3), L"ASCOM.Velmaro.Telescope.0205.09042.4711-3.txt");

    EXPECT_EQ(quotedBytes("12:34:56.7#", 11), "\"12:34:56.7#\"");
    EXPECT_EQ(quotedBytes("a\r\n\"\\\x7f\xff", 7), "\"a\\x0d\\x0a\\x22\\x5c\\x7f\\xff\"");
    EXPECT_EQ(quotedBytes("\0x", 2), "\"\\x00x\"");
    // Every byte value: printable ones as they are, the others as four.
    std::string all;
    for (int byte = 0; byte < 256; ++byte)
        all += char(byte);
    std::string quoted = quotedBytes(all.data(), all.size());
    EXPECT_EQ(quoted.size(), 2 + 93 + 4 * (256 - 93));

    EXPECT_EQ(memberName("get_RightAscension"), "RightAscension get");
    EXPECT_EQ(memberName("put_Connected"), "Connected set");
    EXPECT_EQ(memberName("SlewToCoordinates"), "SlewToCoordinates");
}

} // namespace
