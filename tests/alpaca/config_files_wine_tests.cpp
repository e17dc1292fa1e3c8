// The Windows server's config files, as a Windows program (under Wine on
// the build machine): the config folder made or refused, the machine's
// folder open to every user, and a file replaced whole and read back.
#include "ConfigFiles.h"
#include "TestSystem.h"
#include "ServerConfig.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

// A folder of the test's own under %TEMP%, removed with what is in it.
class TemporaryFolder {
public:
    TemporaryFolder()
    {
        char temp[MAX_PATH] = {};
        GetTempPathA(sizeof temp, temp);
        folder = std::string(temp) + "velmaro-config-test-" + std::to_string(GetCurrentProcessId()) + "-"
            + std::to_string(GetTickCount64());
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    ~TemporaryFolder() { removeFolderTree(folder); }
    std::string file(const std::string& name) const { return folder + "\\" + name; }

private:
    std::string folder;
};

bool isFolder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void writeFile(const std::string& path, const std::string& text)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(file);
}

// The folder's access list in the system's text form, empty when it has none
// to tell.
std::string accessOf(const std::string& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor)
        != ERROR_SUCCESS)
        return {};
    char* text = nullptr;
    std::string access;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
        access = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return access;
}

TEST(ConfigFolder, IsUsedMadeOrRefusedWithTheReason)
{
    TemporaryFolder scratch;
    writeFile(scratch.file("plain"), "not a folder");
    CreateDirectoryA(scratch.file("there").c_str(), nullptr);
    struct Case {
        const char* name;
        std::string path;
        bool isDefault;
        bool prepared;
        const char* saying; // in the reason, when refused
    };
    const Case cases[] = {
        {"a folder that is there", scratch.file("there\\alpaca.conf"), false, true, ""},
        {"the default folder, missing", scratch.file("made\\alpaca.conf"), true, true, ""},
        {"another folder, missing", scratch.file("missing\\alpaca.conf"), false, false, "does not exist"},
        {"a file in the folder's place", scratch.file("plain\\alpaca.conf"), true, false, "is not a folder"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(prepareConfigFolder(c.path, c.isDefault, error), c.prepared) << c.name << ": " << error;
        if (!c.prepared) {
            EXPECT_NE(error.find(c.saying), std::string::npos) << c.name << ": " << error;
        }
    }
    EXPECT_TRUE(isFolder(scratch.file("made")));
    EXPECT_FALSE(isFolder(scratch.file("missing"))) << "made a folder it was not asked to";
}

TEST(ConfigFolder, TheMachinesFolderLetsEveryUserChangeTheConfig)
{
    TemporaryFolder scratch;
    std::string error;
    ASSERT_TRUE(prepareConfigFolder(scratch.file("Velmaro\\alpaca.conf"), true, error)) << error;
    ASSERT_TRUE(replaceFile(scratch.file("Velmaro\\alpaca.conf"), "trace = on\n", error)) << error;
    if (runningUnderWine())
        GTEST_SKIP() << "Wine keeps no access list given to a new folder: it makes one from the Unix file mode";
    const std::string access = accessOf(scratch.file("Velmaro"));
    // Change (read, write, delete) for Users, passed on to the files.
    EXPECT_NE(access.find("(A;OICI;0x1301bf;;;BU)"), std::string::npos) << access;
    EXPECT_NE(access.find("(A;OICI;FA;;;BA)"), std::string::npos) << access;
}

TEST(ConfigFile, IsReplacedWholeAndReadBackWithinItsBound)
{
    TemporaryFolder scratch;
    const std::string path = scratch.file("alpaca.conf");
    std::string error;
    ASSERT_TRUE(replaceFile(path, "serial = COM3\n", error)) << error;
    ASSERT_TRUE(replaceFile(path, "serial = COM4\ntrace = on\n", error)) << error;
    EXPECT_EQ(GetFileAttributesA((path + ".new").c_str()), INVALID_FILE_ATTRIBUTES) << "the temporary file stayed";

    struct Case {
        const char* name;
        std::string path;
        bool read;
        bool missing;
        const char* saying;
    };
    writeFile(scratch.file("large.conf"), std::string(kLargestConfigFile + 1, '#'));
    writeFile(scratch.file("largest.conf"), std::string(kLargestConfigFile, '#'));
    CreateDirectoryA(scratch.file("folder.conf").c_str(), nullptr);
    const Case cases[] = {
        {"the replaced file", path, true, false, ""},
        {"a file at the bound", scratch.file("largest.conf"), true, false, ""},
        {"a file past the bound", scratch.file("large.conf"), false, false, "over 64 KiB"},
        {"a folder", scratch.file("folder.conf"), false, false, "folder"},
        {"nothing", scratch.file("none.conf"), false, true, ""},
    };
    for (const Case& c : cases) {
        std::string text;
        bool missing = !c.missing;
        error.clear();
        EXPECT_EQ(readSmallFile(c.path, kLargestConfigFile, text, missing, error), c.read) << c.name << ": " << error;
        EXPECT_EQ(missing, c.missing) << c.name;
        if (!c.read) {
            EXPECT_NE(error.find(c.saying), std::string::npos) << c.name << ": " << error;
        }
    }
    std::string text;
    bool missing = false;
    ASSERT_TRUE(readSmallFile(path, kLargestConfigFile, text, missing, error)) << error;
    EXPECT_EQ(text, "serial = COM4\ntrace = on\n");
}

} // namespace
