// What DllRegisterServer writes and DllUnregisterServer takes away.
#include "ComTest.h"

#include <algorithm>
#include <ostream>

namespace {

const std::string kClassKey = "CLSID\\{5A1F37C2-8D4E-4b09-9E62-0C7D3B81A4F5}";
const std::string kProfile = "Software\\ASCOM\\Telescope Drivers\\Velmaro.Telescope";
const std::string kTypeLibKey = "TypeLib\\{0B7C4E91-6F25-4D83-A2E4-9D15B8C37F60}";
const char kClassIdText[] = "{5A1F37C2-8D4E-4b09-9E62-0C7D3B81A4F5}";

class Registration : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_NE(driverModule(), nullptr) << driverPath();
    }
    // Whatever a test did, the prefix is left registered for the others.
    void TearDown() override { EXPECT_EQ(callExport("DllRegisterServer"), S_OK); }

    static void expectString(HKEY root, const std::string& key, const char* value, const std::string& text)
    {
        StoredString stored = readString(root, key, value);
        ASSERT_TRUE(stored.found) << key << " " << (value ? value : "(default)");
        EXPECT_EQ(stored.type, DWORD(REG_SZ)) << key;
        EXPECT_EQ(stored.text, text) << key;
    }
};

TEST_F(Registration, WritesClassProgIdsTypeLibraryAndProfile)
{
    ASSERT_EQ(callExport("DllRegisterServer"), S_OK);

    for (const char* progId : {"Velmaro.Telescope.1", "Velmaro.Telescope"}) {
        expectString(HKEY_CLASSES_ROOT, progId, nullptr, "Telescope Class");
        expectString(HKEY_CLASSES_ROOT, std::string(progId) + "\\CLSID", nullptr, kClassIdText);
        EXPECT_EQ(subKeys(HKEY_CLASSES_ROOT, progId), std::vector<std::string>{"CLSID"}) << progId;
    }
    expectString(HKEY_CLASSES_ROOT, kClassKey, nullptr, "Telescope Class");
    expectString(HKEY_CLASSES_ROOT, kClassKey + "\\ProgID", nullptr, "Velmaro.Telescope.1");
    expectString(HKEY_CLASSES_ROOT, kClassKey + "\\VersionIndependentProgID", nullptr, "Velmaro.Telescope");
    expectString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", "ThreadingModel", "both");
    StoredString server = readString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", nullptr);
    EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, server.text.c_str(), -1, driverPath().c_str(), -1),
              CSTR_EQUAL)
        << server.text;
    std::vector<std::string> classChildren = subKeys(HKEY_CLASSES_ROOT, kClassKey);
    std::sort(classChildren.begin(), classChildren.end());
    EXPECT_EQ(classChildren, (std::vector<std::string>{"InprocServer32", "ProgID", "VersionIndependentProgID"}));
    // Written without a terminating NUL: the byte count is the text's length.
    EXPECT_TRUE(storedWithoutNul(readString(HKEY_CLASSES_ROOT, "Velmaro.Telescope", nullptr)));

    // The profile lives in the 32-bit view, shared by both builds.
    StoredString profile = readString(HKEY_LOCAL_MACHINE, kProfile, nullptr, KEY_WOW64_32KEY);
    ASSERT_TRUE(profile.found);
    EXPECT_EQ(profile.type, DWORD(REG_SZ));
    EXPECT_EQ(profile.text, "Velmaro Telescope");
    EXPECT_TRUE(storedWithoutNul(profile)) << profile.bytes;
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kProfile, KEY_WOW64_64KEY));

    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0"));
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadRegTypeLib(LIBID_TEMPLATELib, 1, 0, 0x409, &library), S_OK);
    library->Release();
}

TEST_F(Registration, RegisteringAgainRemovesSubKeysAddedByHand)
{
    ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    HKEY stray = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (kClassKey + "\\Stray\\Deeper").c_str(), 0, nullptr, 0, KEY_WRITE,
                              nullptr, &stray, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(stray);
    ASSERT_TRUE(keyExists(HKEY_CLASSES_ROOT, kClassKey + "\\Stray"));

    ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey + "\\Stray"));
    EXPECT_EQ(subKeys(HKEY_CLASSES_ROOT, kClassKey).size(), 3u);
    EXPECT_EQ(readString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", "ThreadingModel").text, "both");
}

TEST_F(Registration, UnregisteringRemovesWhatItWroteAndKeepsClsid)
{
    // The last bitness out: the shared ProgIDs and profile go too.
    OtherBitnessUnregistered onlyThisBitness;
    ASSERT_TRUE(onlyThisBitness.done());
    ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    storePort("7");
    ASSERT_TRUE(readString(HKEY_LOCAL_MACHINE, kProfile, "COM", KEY_WOW64_32KEY).found);

    ASSERT_EQ(callExport("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "Velmaro.Telescope"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "Velmaro.Telescope.1"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kProfile, KEY_WOW64_32KEY));
    ITypeLib* library = nullptr;
    EXPECT_EQ(LoadRegTypeLib(LIBID_TEMPLATELib, 1, 0, 0x409, &library), TYPE_E_LIBNOTREGISTERED);

    // Unregistering what is already gone is no failure.
    EXPECT_EQ(callExport("DllUnregisterServer"), S_OK);
    CLSID classId{};
    EXPECT_NE(CLSIDFromProgID(L"Velmaro.Telescope", &classId), S_OK);
}

} // namespace

namespace {

const wchar_t* const kPlatform = sizeof(void*) == 8 ? L"win64" : L"win32";

// A registry string as UTF-16, letters outside ASCII included.
std::wstring readWideString(HKEY root, const std::wstring& key, const wchar_t* value)
{
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"";
    return buffer;
}

// A copy of the built DLL in a folder of its own under the temporary folder,
// removed again with the folder.
class DriverCopy {
public:
    explicit DriverCopy(const std::wstring& folderName)
    {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + folderName + L" " + std::to_wstring(GetCurrentProcessId());
        file = folder + L"\\Velmaro.DLL";
        CreateDirectoryW(folder.c_str(), nullptr);
        copied = CopyFileW(widened(driverPath().c_str()).c_str(), file.c_str(), FALSE) != 0;
    }
    ~DriverCopy()
    {
        DeleteFileW(file.c_str());
        RemoveDirectoryW(folder.c_str());
    }
    DriverCopy(const DriverCopy&) = delete;
    DriverCopy& operator=(const DriverCopy&) = delete;

    bool ready() const { return copied; }
    const std::wstring& path() const { return file; }

private:
    std::wstring folder;
    std::wstring file;
    bool copied = false;
};

// Renames a resource type in the file's resource directory, where names are
// UTF-16: the resources of that type are then not found.
bool renameResourceType(const std::wstring& path, const std::wstring& from, const std::wstring& to)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD done = 0;
    bool renamed = false;
    if (ReadFile(file, &bytes[0], DWORD(bytes.size()), &done, nullptr) && done == bytes.size()) {
        std::string needle(reinterpret_cast<const char*>(from.data()), from.size() * sizeof(wchar_t));
        std::string::size_type at = bytes.find(needle);
        if (at != std::string::npos) {
            bytes.replace(at, needle.size(), reinterpret_cast<const char*>(to.data()), to.size() * sizeof(wchar_t));
            SetFilePointer(file, 0, nullptr, FILE_BEGIN);
            renamed = WriteFile(file, bytes.data(), DWORD(bytes.size()), &done, nullptr) && done == bytes.size();
        }
    }
    CloseHandle(file);
    return renamed;
}

long regsvr32(const std::wstring& arguments, const std::wstring& dll)
{
    return runProgram(L"\"" + systemTool(L"regsvr32.exe") + L"\" " + arguments + L" \"" + dll + L"\"");
}

std::wstring typeLibraryKey(const wchar_t* locale)
{
    return widened(kTypeLibKey.c_str()) + L"\\1.0\\" + locale + L"\\" + kPlatform;
}

// The other bitness keeps the ProgIDs and the profile that both share.
bool otherBitnessRegistered()
{
    return keyExists(HKEY_LOCAL_MACHINE, "Software\\Classes\\" + kClassKey + "\\InprocServer32",
                     sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
}

// Everything of ours a registration can leave in this bitness's view.
struct Footprint {
    bool classKey, progId, versionedProgId, typeLibrary, neutralTypeLibrary, profile;
    std::string port;
    bool operator==(const Footprint& other) const
    {
        return classKey == other.classKey && progId == other.progId && versionedProgId == other.versionedProgId
               && typeLibrary == other.typeLibrary && neutralTypeLibrary == other.neutralTypeLibrary
               && profile == other.profile && port == other.port;
    }
};

std::ostream& operator<<(std::ostream& out, const Footprint& f)
{
    return out << "class " << f.classKey << ", ProgIDs " << f.progId << f.versionedProgId << ", type library "
               << f.typeLibrary << f.neutralTypeLibrary << ", profile " << f.profile << " port '" << f.port << "'";
}

Footprint footprint()
{
    HKEY root = HKEY_CLASSES_ROOT;
    auto wideKeyExists = [](const std::wstring& key) {
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
            return false;
        RegCloseKey(opened);
        return true;
    };
    return Footprint{keyExists(root, kClassKey),
                     keyExists(root, "Velmaro.Telescope"),
                     keyExists(root, "Velmaro.Telescope.1"),
                     wideKeyExists(typeLibraryKey(L"409")),
                     wideKeyExists(typeLibraryKey(L"0")),
                     keyExists(HKEY_LOCAL_MACHINE, kProfile, KEY_WOW64_32KEY),
                     readString(HKEY_LOCAL_MACHINE, kProfile, "COM", KEY_WOW64_32KEY).text};
}

TEST_F(Registration, RegistersFromAFolderWithLettersOutsideAscii)
{
    DriverCopy copy(L"J\u00f6rg \u00dcn\u00efcode");
    ASSERT_TRUE(copy.ready());
    ASSERT_EQ(regsvr32(L"/s", copy.path()), 0);

    EXPECT_EQ(readWideString(HKEY_CLASSES_ROOT, widened(kClassKey.c_str()) + L"\\InprocServer32", nullptr), copy.path());
    EXPECT_EQ(readWideString(HKEY_CLASSES_ROOT, typeLibraryKey(L"409"), nullptr), copy.path());
    EXPECT_EQ(readWideString(HKEY_CLASSES_ROOT, typeLibraryKey(L"0"), nullptr), copy.path());

    // A late-bound client loads the copy from its folder and calls it. The
    // stored port has no device, so creating the object costs no time-outs.
    storePort("4");
    EXPECT_EQ(runScript("Set t = CreateObject(\"Velmaro.Telescope\")\r\n"
                        "If t.DriverVersion = \"2.1\" And t.Name = \"Velmaro Telescope\" Then WScript.Quit 0\r\n"
                        "WScript.Quit 1\r\n"),
              0);
    storePort("1");

    const bool othersStay = otherBitnessRegistered();
    ASSERT_EQ(regsvr32(L"/u /s", copy.path()), 0);
    Footprint left = footprint();
    EXPECT_FALSE(left.classKey);
    EXPECT_FALSE(left.typeLibrary);
    EXPECT_FALSE(left.neutralTypeLibrary);
    EXPECT_EQ(left.progId, othersStay);
    EXPECT_EQ(left.versionedProgId, othersStay);
    EXPECT_EQ(left.profile, othersStay);
}

TEST_F(Registration, ARegistrationThatFailsPartWayLeavesNothingBehind)
{
    // A copy without its embedded type library: the class keys can be
    // written, the type library cannot.
    DriverCopy copy(L"velmaro-no-typelib");
    ASSERT_TRUE(copy.ready());
    ASSERT_TRUE(renameResourceType(copy.path(), L"TYPELIB", L"TYPELIX"));
    ITypeLib* library = nullptr;
    ASSERT_NE(LoadTypeLibEx(copy.path().c_str(), REGKIND_NONE, &library), S_OK) << "the type library is still there";

    ASSERT_EQ(callExport("DllUnregisterServer"), S_OK);
    // First with no profile at all, then with a profile holding the user's
    // port, which a failed registration must not take away.
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kProfile.c_str(), KEY_WOW64_32KEY, 0);
    for (const char* port : {"", "5"}) {
        SCOPED_TRACE(port);
        if (*port)
            storePort(port);
        Footprint before = footprint();
        EXPECT_NE(regsvr32(L"/s", copy.path()), 0);
        EXPECT_EQ(footprint(), before);
    }
    storePort("1");
}

} // namespace
