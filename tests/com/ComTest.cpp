#include "ComTest.h"

#include <cstdio>
#include <cstring>

const CLSID kTelescopeClassId = CLSID_Telescope;

std::string driverPath()
{
    return VELMARO_DLL_PATH;
}

HMODULE driverModule()
{
    static HMODULE module = LoadLibraryA(driverPath().c_str());
    return module;
}

HRESULT callExport(const char* name)
{
    auto entry = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(driverModule(), name)));
    return entry ? entry() : E_FAIL;
}

std::wstring systemTool(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
#ifdef _WIN64
    GetSystemDirectoryW(folder, MAX_PATH);
#else
    // Under WOW64 system32 would be redirected anyway; name it for what it is.
    if (GetSystemWow64DirectoryW(folder, MAX_PATH) == 0)
        GetSystemDirectoryW(folder, MAX_PATH);
#endif
    return std::wstring(folder) + L"\\" + name;
}

std::string otherDriverPath()
{
    return VELMARO_OTHER_DLL_PATH;
}

std::wstring otherSystemTool(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
    GetWindowsDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + (sizeof(void*) == 8 ? L"\\syswow64\\" : L"\\sysnative\\") + name;
}

static long otherRegsvr32(const wchar_t* arguments)
{
    std::string dll = otherDriverPath();
    return runProgram(L"\"" + otherSystemTool(L"regsvr32.exe") + L"\" " + arguments + L" \""
                      + std::wstring(dll.begin(), dll.end()) + L"\"");
}

// Our class in the other bitness's registry view.
static bool otherBitnessRegistered()
{
    wchar_t classId[40] = {};
    StringFromGUID2(kTelescopeClassId, classId, 40);
    const std::wstring path = std::wstring(L"CLSID\\") + classId + L"\\InprocServer32";
    const REGSAM otherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | otherView, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Where the other bitness's programs cannot run (a machine that runs no
// 32-bit ones), its DLL was never registered: the state wanted holds as it is.
OtherBitnessUnregistered::OtherBitnessUnregistered()
{
    wasRegistered = otherBitnessRegistered();
    unregistered = !wasRegistered || otherRegsvr32(L"/u /s") == 0;
}

OtherBitnessUnregistered::~OtherBitnessUnregistered()
{
    if (wasRegistered)
        otherRegsvr32(L"/s");
}

long runProgram(const std::wstring& commandLine, DWORD timeoutMs)
{
    std::wstring writable = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    long result = -1;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code))
            result = long(code);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    return result;
}

long runScript(const std::string& script)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"velmaro-" + std::to_wstring(GetCurrentProcessId()) + L".vbs";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    DWORD written = 0;
    WriteFile(file, script.data(), DWORD(script.size()), &written, nullptr);
    CloseHandle(file);
    long code = runProgram(L"\"" + systemTool(L"cscript.exe") + L"\" //nologo \"" + path + L"\"");
    DeleteFileW(path.c_str());
    return code;
}

bool storedWithoutNul(const StoredString& stored)
{
    DWORD exact = DWORD(stored.text.size() * sizeof(wchar_t));
    return stored.bytes == exact || (runningUnderWine() && stored.bytes == exact + sizeof(wchar_t));
}

StoredString readString(HKEY root, const std::string& key, const char* value, REGSAM view)
{
    StoredString result;
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS)
        return result;
    // The registry keeps strings in UTF-16; the wide query shows the byte
    // count exactly as stored, where the ANSI one may add a terminator.
    wchar_t buffer[512] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    std::wstring wideName = value ? widened(value) : std::wstring();
    if (RegQueryValueExW(opened, value ? wideName.c_str() : nullptr, nullptr, &result.type,
                         reinterpret_cast<BYTE*>(buffer), &size)
        == ERROR_SUCCESS) {
        result.found = true;
        result.bytes = size;
        for (const wchar_t* c = buffer; *c; ++c)
            result.text += char(*c);
    }
    RegCloseKey(opened);
    return result;
}

bool keyExists(HKEY root, const std::string& key, REGSAM view)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

std::vector<std::string> subKeys(HKEY root, const std::string& key)
{
    std::vector<std::string> names;
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return names;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(opened, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(opened);
    return names;
}

static const char kProfile[] = "Software\\ASCOM\\Telescope Drivers\\Velmaro.Telescope";

void storePort(const char* text)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProfile, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "COM", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(std::strlen(text)));
    RegCloseKey(key);
}

void forgetStoredPort()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfile, 0, KEY_WRITE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, "COM");
    RegCloseKey(key);
}

ErrorDetails takeErrorInfo()
{
    ErrorDetails details;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info)
        return details;
    details.present = true;
    info->GetGUID(&details.guid);
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetSource(&text)) && text)
        details.source.assign(text, SysStringLen(text));
    SysFreeString(text);
    text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text)) && text)
        details.description.assign(text, SysStringLen(text));
    SysFreeString(text);
    info->Release();
    return details;
}

static HRESULT invokeByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT>& arguments,
                            VARIANT* result, EXCEPINFO* exception)
{
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(status))
        return status;
    // Automation passes arguments last to first.
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS parameters{reversed.data(), nullptr, UINT(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        parameters.rgdispidNamedArgs = &named;
        parameters.cNamedArgs = 1;
    }
    EXCEPINFO ignored{};
    UINT argumentError = 0;
    status = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, result,
                            exception ? exception : &ignored, &argumentError);
    if (!exception) {
        SysFreeString(ignored.bstrSource);
        SysFreeString(ignored.bstrDescription);
        SysFreeString(ignored.bstrHelpFile);
    }
    return status;
}

HRESULT getProperty(IDispatch* object, const wchar_t* name, VARIANT* result, EXCEPINFO* exception)
{
    std::vector<VARIANT> none;
    VariantInit(result);
    return invokeByName(object, name, DISPATCH_PROPERTYGET, none, result, exception);
}

HRESULT putProperty(IDispatch* object, const wchar_t* name, VARIANT value, EXCEPINFO* exception)
{
    std::vector<VARIANT> one{value};
    return invokeByName(object, name, DISPATCH_PROPERTYPUT, one, nullptr, exception);
}

HRESULT callMethod(IDispatch* object, const wchar_t* name, std::vector<VARIANT> arguments, VARIANT* result,
                   EXCEPINFO* exception)
{
    if (result)
        VariantInit(result);
    return invokeByName(object, name, DISPATCH_METHOD, arguments, result, exception);
}

void DriverTest::SetUpTestSuite()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_NE(driverModule(), nullptr) << driverPath();
    ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    storePort("1");
}

void DriverTest::SetUp()
{
    ASSERT_TRUE(mount.isOpen());
    answerAsModel(mount, model);
}

void DriverTest::TearDown()
{
    for (IUnknown* object : created)
        object->Release();
    created.clear();
}

ITelescopeV3* DriverTest::createTelescope()
{
    ITelescopeV3* telescope = nullptr;
    HRESULT status = CoCreateInstance(kTelescopeClassId, nullptr, CLSCTX_INPROC_SERVER, IID_ITelescopeV3,
                                      reinterpret_cast<void**>(&telescope));
    EXPECT_EQ(status, S_OK);
    if (telescope)
        created.push_back(telescope);
    return telescope;
}

ITelescopeV3* DriverTest::createTelescopeWithoutProbe()
{
    // COM4 maps to a path with no device: opening it fails at once.
    storePort("4");
    ITelescopeV3* telescope = createTelescope();
    storePort("1");
    IErrorInfo* failure = nullptr;
    if (GetErrorInfo(0, &failure) == S_OK && failure)
        failure->Release();
    return telescope;
}

IDispatch* DriverTest::createLateBound()
{
    CLSID classId{};
    EXPECT_EQ(CLSIDFromProgID(L"Velmaro.Telescope", &classId), S_OK);
    IDispatch* object = nullptr;
    EXPECT_EQ(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    if (object)
        created.push_back(object);
    return object;
}

void ConnectedTest::SetUp()
{
    DriverTest::SetUp();
    prepareMount();
    // Each connect asks the mount for its model (model 3's short answer
    // waits out the read's time-out twice); these tests are about the
    // members, so only the connect below asks.
    telescope = createTelescopeWithoutProbe();
    ASSERT_NE(telescope, nullptr);
    // Without a connection every reply would be empty.
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    mount.forget();
}

static const char kLogFile[] = "VelmaroASCOMDebug.txt";

LogDirectory::LogDirectory()
{
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    path = std::string(temp) + "velmaro-log-" + std::to_string(GetCurrentProcessId()) + "-"
           + std::to_string(GetTickCount64());
    GetCurrentDirectoryA(MAX_PATH, previous);
    created = CreateDirectoryA(path.c_str(), nullptr) && SetCurrentDirectoryA(path.c_str());
}

LogDirectory::~LogDirectory()
{
    SetCurrentDirectoryA(previous);
    DeleteFileA((path + "\\" + kLogFile).c_str());
    RemoveDirectoryA(path.c_str());
}

std::string LogDirectory::text() const
{
    std::string content;
    std::FILE* file = std::fopen((path + "\\" + kLogFile).c_str(), "rb");
    if (!file)
        return content;
    char buffer[512];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, got);
    std::fclose(file);
    return content;
}

std::vector<std::string> LogDirectory::messages() const
{
    // "MM/DD/YY HH:MM:SS " comes first on every line.
    constexpr std::size_t kStampLength = 18;
    std::vector<std::string> result;
    std::string content = text();
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        std::string line = content.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        result.push_back(line.size() > kStampLength ? line.substr(kStampLength) : line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return result;
}

static const char kWaitLimitVariable[] = "VELMARO_WAIT_LIMIT_MS";

WaitLimit::WaitLimit(const char* milliseconds)
{
    DWORD length = GetEnvironmentVariableA(kWaitLimitVariable, previous, sizeof previous);
    hadPrevious = length > 0 && length < sizeof previous;
    SetEnvironmentVariableA(kWaitLimitVariable, milliseconds);
}

WaitLimit::~WaitLimit()
{
    SetEnvironmentVariableA(kWaitLimitVariable, hadPrevious ? previous : nullptr);
}

std::string narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::wstring bstrText(BSTR text)
{
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

std::wstring failureText()
{
    return takeErrorInfo().description;
}

std::wstring failureText(HRESULT status)
{
    if (status != DISP_E_EXCEPTION)
        return L"";
    return takeErrorInfo().description;
}

::testing::AssertionResult reports(const std::function<HRESULT()>& call, HRESULT expected,
                                   const wchar_t* description)
{
    SetErrorInfo(0, nullptr);
    HRESULT status = call();
    ErrorDetails details = takeErrorInfo();
    if (status != expected)
        return ::testing::AssertionFailure() << std::hex << "status 0x" << status << ", expected 0x" << expected
                                             << " (" << narrow(details.description) << ")";
    if (!details.present || details.description != description)
        return ::testing::AssertionFailure() << "description \"" << narrow(details.description)
                                             << "\", expected \"" << narrow(description) << "\"";
    return ::testing::AssertionSuccess();
}
