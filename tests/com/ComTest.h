// Helpers for tests of the registered driver through COM: registration of
// the built DLL, the stored port, creation, late-bound calls and the
// thread's error information.
#pragma once

#include "MountScripts.h"
#include "ScriptedMount.h"
#include "TestSystem.h"
#include "TextConversion.h"
#include "VelmaroInterface.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

// Numbers no range check of the driver may let through.
inline const double kNaN = std::numeric_limits<double>::quiet_NaN();
inline const double kInfinity = std::numeric_limits<double>::infinity();

// The driver's numbered errors as the client sees them, and the status of
// a transmission error (a success code, with error information).
inline const HRESULT kNotSupported = HRESULT(0x80040400);
inline const HRESULT kValueNotSet = HRESULT(0x80040403);
inline const HRESULT kInvalidValue = HRESULT(0x80040405);
inline const HRESULT kTransmission = HRESULT(2);

// Commands as the scripted mount framed them.
using Commands = std::vector<std::string>;

// Wide text of ASCII, for messages in failures.
std::string narrow(const std::wstring& text);
// A BSTR's text; empty for none.
std::wstring bstrText(BSTR text);

// The DLL that make build produced, as Windows sees its path.
std::string driverPath();
// The DLL loaded into this process for direct calls of its exports.
HMODULE driverModule();
HRESULT callExport(const char* name);

// Registry helpers. Strings come back exactly as stored: the byte count is
// reported separately.
struct StoredString {
    bool found = false;
    DWORD type = 0;
    DWORD bytes = 0;       // as stored in UTF-16: two per character
    std::string text;
};
// A string stored without its NUL: exactly its characters on Windows. Wine's
// registry server terminates every string it keeps, one character more.
bool storedWithoutNul(const StoredString& stored);
StoredString readString(HKEY root, const std::string& key, const char* value, REGSAM view = 0);
bool keyExists(HKEY root, const std::string& key, REGSAM view = 0);
std::vector<std::string> subKeys(HKEY root, const std::string& key);
void storePort(const char* text);
void forgetStoredPort();

// The thread's error information after a failed call.
struct ErrorDetails {
    bool present = false;
    GUID guid{};
    std::wstring source;
    std::wstring description;
};
ErrorDetails takeErrorInfo();

// The description that a failed call left in the thread's error information.
std::wstring failureText();
// The same after a call that returned status: empty unless it failed with
// a text.
std::wstring failureText(HRESULT status);

// The status of a call and the thread's error information after it. Clears
// the information first: a call that succeeds leaves the old one in place.
::testing::AssertionResult reports(const std::function<HRESULT()>& call, HRESULT expected,
                                   const wchar_t* description);

// Runs a call that must fail with `message`, and checks the error object.
template <typename Call>
void expectFailure(Call call, const wchar_t* message)
{
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(call(), DISP_E_EXCEPTION);
    ErrorDetails details = takeErrorInfo();
    ASSERT_TRUE(details.present);
    EXPECT_EQ(details.description, message);
    EXPECT_EQ(details.source, L"Velmaro.Telescope.1");
    EXPECT_TRUE(IsEqualGUID(details.guid, IID_ITelescopeV3));
}

// Late-bound calls by name.
HRESULT getProperty(IDispatch* object, const wchar_t* name, VARIANT* result, EXCEPINFO* exception = nullptr);
HRESULT putProperty(IDispatch* object, const wchar_t* name, VARIANT value, EXCEPINFO* exception = nullptr);
HRESULT callMethod(IDispatch* object, const wchar_t* name, std::vector<VARIANT> arguments, VARIANT* result = nullptr,
                   EXCEPINFO* exception = nullptr);

extern const CLSID kTelescopeClassId;

// The other bitness's DLL and programs (sysnative reaches the 64-bit ones
// from a 32-bit process).
std::string otherDriverPath();
std::wstring otherSystemTool(const wchar_t* name);

// While it lives, the other bitness's DLL is unregistered (by its own
// regsvr32), for tests of what a registration leaves when it is the only
// one; registered again at the end.
class OtherBitnessUnregistered {
public:
    OtherBitnessUnregistered();
    ~OtherBitnessUnregistered();
    OtherBitnessUnregistered(const OtherBitnessUnregistered&) = delete;
    OtherBitnessUnregistered& operator=(const OtherBitnessUnregistered&) = delete;
    bool done() const { return unregistered; }

private:
    bool wasRegistered = false;
    bool unregistered = false;
};

// A program of the system of this process's own bitness (the 32-bit one
// from syswow64 in a 32-bit test), by its full path.
std::wstring systemTool(const wchar_t* name);
// Runs a command line to its end; its exit code, or -1 when it could not
// start or did not end within timeoutMs.
long runProgram(const std::wstring& commandLine, DWORD timeoutMs = 60000);
// A VBScript run by this bitness's cscript; its exit code (WScript.Quit).
long runScript(const std::string& script);

// A directory of its own as the current one, so that the debug log of the
// driver in this process lands where the test can read it back.
class LogDirectory {
public:
    LogDirectory();
    ~LogDirectory();
    LogDirectory(const LogDirectory&) = delete;
    LogDirectory& operator=(const LogDirectory&) = delete;
    bool ready() const { return created; }
    // The log exactly as written, line ends included.
    std::string text() const;
    // The messages logged so far, one a line, without date and time.
    std::vector<std::string> messages() const;

private:
    std::string path;
    char previous[MAX_PATH] = {};
    bool created = false;
};

// Sets the driver's wait bound (VELMARO_WAIT_LIMIT_MS; the driver runs in
// this process) and puts the previous one back.
class WaitLimit {
public:
    explicit WaitLimit(const char* milliseconds);
    ~WaitLimit();
    WaitLimit(const WaitLimit&) = delete;
    WaitLimit& operator=(const WaitLimit&) = delete;

private:
    char previous[32] = {};
    bool hadPrevious = false;
};

// A test process that talks to the registered driver on COM1 while the
// scripted mount answers on COM2 as the given model.
class DriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Answers as `model` and creates a driver object (early bound).
    ITelescopeV3* createTelescope();
    // Creates a driver object without creation's own look at the mount
    // (a connect and a disconnect): the stored port has no device
    // meanwhile, so that look fails at once and leaves no error behind.
    // For tests of what a connected driver does, which connect next.
    ITelescopeV3* createTelescopeWithoutProbe();
    IDispatch* createLateBound();

    int model = 2;
    ScriptedMount mount;
    std::vector<IUnknown*> created;
};

// A driver object connected to the scripted mount of the model given as the
// test's parameter, with the mount's record cleared.
class ConnectedTest : public DriverTest, public ::testing::WithParamInterface<int> {
protected:
    ConnectedTest() { model = GetParam(); }
    void SetUp() override;
    // Answers the mount needs before the object is created.
    virtual void prepareMount() {}

    ITelescopeV3* telescope = nullptr;
};
