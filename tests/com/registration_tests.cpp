// What DllRegisterServer writes and DllUnregisterServer takes away.
#include "ComTest.h"

#include <algorithm>

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
