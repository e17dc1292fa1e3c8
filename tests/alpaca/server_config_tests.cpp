// The config file: what a load reads from hand-written text, the reasons a
// file is refused, that a save gives back exactly what was saved and
// replaces the file whole, the default path, the folder it is kept in, and
// the UniqueID's form.
#include "ServerConfig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

// At file scope, where the comparisons look for them.
static bool operator==(const MountConfig& a, const MountConfig& b)
{
    return a.serial == b.serial && a.traceOn == b.traceOn && a.uniqueId == b.uniqueId;
}

static bool operator==(const ServerConfig& a, const ServerConfig& b)
{
    return a.listen == b.listen && a.mounts == b.mounts;
}

static std::ostream& operator<<(std::ostream& out, const ServerConfig& c)
{
    out << "{listen=\"" << c.listen << "\"";
    for (const MountConfig& m : c.mounts)
        out << " {serial=\"" << m.serial << "\" trace=" << m.traceOn << " unique_id=\"" << m.uniqueId << "\"}";
    return out << "}";
}

namespace {

// A config of one mount.
ServerConfig config(std::string serial, bool traceOn, std::string listen, std::string uniqueId)
{
    ServerConfig made;
    made.listen = std::move(listen);
    made.mounts = {MountConfig{std::move(serial), traceOn, std::move(uniqueId)}};
    return made;
}

// A config of several.
ServerConfig mounts(std::string listen, std::vector<MountConfig> each)
{
    ServerConfig made;
    made.listen = std::move(listen);
    made.mounts = std::move(each);
    return made;
}

// A fresh folder per test, removed afterwards.
class ConfigFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "velmaro-config-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        path = folder + "/alpaca.conf";
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(folder, ignored);
    }

    void write(const std::string& text, const std::string& to = {}) const
    {
        std::ofstream out(to.empty() ? path : to, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good());
    }

    std::string read(const std::string& from = {}) const
    {
        std::ifstream in(from.empty() ? path : from, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::set<std::string> folderContents() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }

    std::string folder, path;
};

const ServerConfig kStale = config("/dev/stale", true, "10.9.9.9", "stale-id");

TEST_F(ConfigFolder, SaveThenLoadGivesBackEveryValue)
{
    const ServerConfig cases[] = {
        {},
        config("/dev/ttyUSB0", true, "0.0.0.0", "1c0e5a2b-3d4f-4a6b-8c9d-0e1f2a3b4c5d"),
        config("/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0", false, "::", "x"),
        config("/dev/ttyACM0", true, "fe80::1", ""),
        config("/home/ana/ports/Sternwarte Ö #2 = main", false, "", "id with = and # inside"),
        config("", true, "192.168.1.20", "kept"),
    };
    for (const ServerConfig& saved : cases) {
        std::string error;
        ASSERT_TRUE(saveConfig(path, saved, error)) << saved << ": " << error;
        EXPECT_EQ(error, "");
        ServerConfig loaded = kStale;
        ASSERT_TRUE(loadConfig(path, loaded, error)) << saved << ": " << error << "\n" << read();
        EXPECT_EQ(loaded, saved) << read();
    }
}

TEST_F(ConfigFolder, LoadReadsHandWrittenFiles)
{
    const struct {
        std::string text;
        ServerConfig expected;
    } cases[] = {
        {"", {}},
        {"\n\n   \n\t\n", {}},
        {"# only a comment\n", {}},
        {"serial = /dev/ttyUSB1\n", config("/dev/ttyUSB1", false, "", "")},
        {"serial=/dev/ttyUSB1", config("/dev/ttyUSB1", false, "", "")},
        {"  serial\t=\t/dev/ttyUSB1  \t\n", config("/dev/ttyUSB1", false, "", "")},
        {"serial = /dev/a\r\ntrace = on\r\n", config("/dev/a", true, "", "")},
        {"\xEF\xBB\xBFtrace = on\n", config("", true, "", "")},
        {"trace = off\n", {}},
        {"serial = /dev/a=b\n", config("/dev/a=b", false, "", "")},
        {"serial = /dev/a # not a comment\n", config("/dev/a # not a comment", false, "", "")},
        {"serial =\nlisten =\n", {}},
        {"listen = ::1\nunique_id = abc\n", config("", false, "::1", "abc")},
        {"serial = /dev/a\nserial = /dev/b\n", config("/dev/b", false, "", "")},
        {"# header\n\nserial = /dev/x\n  # indented comment\ntrace = on\nlisten = 127.0.0.1\nunique_id = u\n",
         config("/dev/x", true, "127.0.0.1", "u")},
        // Keys a newer version may write are passed over, whatever their value.
        {"baud_rate = 9600\nfuture.key = anything at all\nserial = /dev/z\n", config("/dev/z", false, "", "")},
        // A comment is not a value: stray bytes in one do not spoil the file.
        {"# M\xFCller's \x01 mount\nserial = /dev/m\n", config("/dev/m", false, "", "")},
        {"serial = /dev/ttyUSB0", config("/dev/ttyUSB0", false, "", "")},
    };
    for (const auto& c : cases) {
        write(c.text);
        ServerConfig loaded = kStale;
        std::string error;
        EXPECT_TRUE(loadConfig(path, loaded, error)) << c.text << ": " << error;
        EXPECT_EQ(loaded, c.expected) << c.text;
    }
}

TEST_F(ConfigFolder, MalformedLinesAreRefusedWithTheirNumber)
{
    const struct {
        std::string text;
        std::string reason;
    } cases[] = {
        {"serial /dev/ttyUSB0\n", "line 1: not \"key = value\""},
        {"# ok\n\nserial = /dev/a\njust words\n", "line 4: not \"key = value\""},
        {"= /dev/a\n", "line 1: not \"key = value\""},
        {"se rial = /dev/a\n", "line 1: not \"key = value\""},
        {"serial: /dev/a\n", "line 1: not \"key = value\""},
        {"trace = yes\n", "line 1: trace must be on or off"},
        {"serial = a\ntrace = ON\n", "line 2: trace must be on or off"},
        {"trace =\n", "line 1: trace must be on or off"},
        {"listen = localhost\n", "line 1: listen must be a numeric IPv4 or IPv6 address"},
        {"serial = a\r\n\r\nlisten = 1.2.3\r\n", "line 3: listen must be a numeric IPv4 or IPv6 address"},
        {"serial = /dev/a\x01\n", "line 1: control character"},
        {"a = b\nserial = /dev/\0x\n"s, "line 2: control character"},
        {"serial = a\rb\n", "line 1: control character"},
        {"serial = /dev/\xFF\n", "line 1: not UTF-8 text"},
        {"serial = /dev/\xC0\xAF\n", "line 1: not UTF-8 text"},         // an overlong '/'
        {"serial = /dev/\xED\xA0\x80\n", "line 1: not UTF-8 text"},     // a surrogate
        {"serial = /dev/\xF4\x90\x80\x80\n", "line 1: not UTF-8 text"}, // past U+10FFFF
        {"serial = /dev/\xE2\x82\n", "line 1: not UTF-8 text"},         // cut short
    };
    for (const auto& c : cases) {
        write(c.text);
        ServerConfig loaded = kStale;
        std::string error;
        EXPECT_FALSE(loadConfig(path, loaded, error)) << c.text;
        EXPECT_EQ(error, "malformed at " + c.reason) << c.text;
        EXPECT_EQ(loaded, kStale) << "a refused file changed the config";
    }
}

TEST_F(ConfigFolder, EachMountSectionIsTheNextMount)
{
    const struct {
        std::string text;
        ServerConfig expected;
    } cases[] = {
        {"serial = /dev/a\n[mount 1]\nserial = /dev/b\n",
         mounts("", {{"/dev/a", false, ""}, {"/dev/b", false, ""}})},
        // What comes before the first section is telescope 0's, in any order.
        {"listen = ::1\nunique_id = u0\ntrace = on\n\n[mount 1]\nunique_id = u1\ntrace = on\n[mount 2]\n",
         mounts("::1", {{"", true, "u0"}, {"", true, "u1"}, {"", false, ""}})},
        {"  [mount 1]  \r\nserial = /dev/b\r\n", mounts("", {{"", false, ""}, {"/dev/b", false, ""}})},
        {"[mount 1]\n# a comment in a section\nfuture = x\nserial = /dev/b\n",
         mounts("", {{}, {"/dev/b", false, ""}})},
        // Two mounts without a device yet, or without a UniqueID yet, share nothing.
        {"[mount 1]\n[mount 2]\n", mounts("", {{}, {}, {}})},
    };
    for (const auto& c : cases) {
        write(c.text);
        ServerConfig loaded = kStale;
        std::string error;
        EXPECT_TRUE(loadConfig(path, loaded, error)) << c.text << ": " << error;
        EXPECT_EQ(loaded, c.expected) << c.text;
    }
}

TEST_F(ConfigFolder, SectionsOutOfOrderOrMountsSharingAreRefused)
{
    std::string sixteen;
    for (int n = 1; n < 16; ++n)
        sixteen += "[mount " + std::to_string(n) + "]\n";
    const struct {
        std::string text;
        std::string reason;
    } cases[] = {
        {"[mount 2]\n", "line 1: the next section is [mount 1]: number the mounts 1, 2, 3 in order"},
        {"[mount 1]\n[mount 1]\n", "line 2: the next section is [mount 2]: number the mounts 1, 2, 3 in order"},
        {"[mount 0]\n", "line 1: the next section is [mount 1]: number the mounts 1, 2, 3 in order"},
        {"[mount1]\n", "line 1: a section is [mount N]"},
        {"[telescope 1]\n", "line 1: a section is [mount N]"},
        {"[mount 1\n", "line 1: a section is [mount N]"},
        {"[mount 1]\nlisten = ::1\n", "line 2: listen is the server's: write it before the first [mount N]"},
        {"[mount 1]\ntrace = maybe\n", "line 2: trace must be on or off"},
        {sixteen, ""},
        {sixteen + "[mount 16]\n", "line 16: a config names at most 16 mounts"},
        {"serial = /dev/a\n[mount 1]\nserial = /dev/a\n", "mounts 0 and 1 have one serial device, /dev/a"},
        {"[mount 1]\nserial = /dev/b\n[mount 2]\nserial = /dev/b\n", "mounts 1 and 2 have one serial device, /dev/b"},
        {"unique_id = u\n[mount 1]\n[mount 2]\nunique_id = u\n",
         "mounts 0 and 2 have one unique_id: delete the later one and the server makes it a new one"},
    };
    for (const auto& c : cases) {
        write(c.text);
        ServerConfig loaded = kStale;
        std::string error;
        const bool loads = loadConfig(path, loaded, error);
        EXPECT_EQ(loads, c.reason.empty()) << c.text << ": " << error;
        if (c.reason.empty()) {
            EXPECT_EQ(loaded.mounts.size(), 16u);
            continue;
        }
        EXPECT_EQ(error, "malformed at " + c.reason) << c.text;
        EXPECT_EQ(loaded, kStale) << "a refused file changed the config";
    }
}

TEST_F(ConfigFolder, SeveralMountsAreSavedAsSectionsAndReadBack)
{
    const ServerConfig saved = mounts("0.0.0.0", {{"/dev/ttyUSB0", false, "a"}, {"", true, "b"}, {"/dev/c", false, ""}});
    std::string error;
    ASSERT_TRUE(saveConfig(path, saved, error)) << error;
    EXPECT_EQ(read(), "# velmaro-alpaca settings, rewritten whole by the server on every change.\n"
                      "serial = /dev/ttyUSB0\ntrace = off\nlisten = 0.0.0.0\nunique_id = a\n"
                      "\n[mount 1]\nserial =\ntrace = on\nunique_id = b\n"
                      "\n[mount 2]\nserial = /dev/c\ntrace = off\nunique_id =\n");
    ServerConfig loaded = kStale;
    ASSERT_TRUE(loadConfig(path, loaded, error)) << error;
    EXPECT_EQ(loaded, saved);

    const struct {
        ServerConfig config;
        std::string reason;
    } refused[] = {
        {mounts("", {}), "a config names 1 to 16 mounts"},
        {mounts("", std::vector<MountConfig>(17)), "a config names 1 to 16 mounts"},
        {mounts("", {{"/dev/a", false, ""}, {"/dev/a", false, ""}}), "mounts 0 and 1 have one serial device, /dev/a"},
        {mounts("", {{}, {"/dev/b\n", false, ""}}), "mount 1's serial has a control character"},
        {mounts("", {{"", false, "same"}, {"", false, "same"}}),
         "mounts 0 and 1 have one unique_id: delete the later one and the server makes it a new one"},
    };
    for (const auto& c : refused) {
        const std::string before = read();
        EXPECT_FALSE(saveConfig(path, c.config, error)) << c.config;
        EXPECT_EQ(error, c.reason);
        EXPECT_EQ(read(), before);
    }
}

TEST_F(ConfigFolder, AMissingFileIsAnEmptyConfig)
{
    for (const std::string& missing : {path, folder + "/no/such/folder/alpaca.conf"}) {
        ServerConfig loaded = kStale;
        std::string error = "old";
        EXPECT_TRUE(loadConfig(missing, loaded, error)) << error;
        EXPECT_EQ(error, "");
        EXPECT_EQ(loaded, ServerConfig{});
    }
}

TEST_F(ConfigFolder, FilesThatCannotBeReadSayWhy)
{
    const std::string tooLarge = folder + "/large.conf", justFits = folder + "/fits.conf";
    write("#" + std::string(64 * 1024, 'x') + "\n", tooLarge);
    write("#" + std::string(64 * 1024 - 2, 'x') + "\n", justFits);
    const std::string fifo = folder + "/fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string file = folder + "/plain";
    write("", file);

    const struct {
        std::string path;
        std::string reason;   // empty: it loads
    } cases[] = {
        {folder, "it is a folder"},
        {tooLarge, "it is over 64 KiB"},
        {justFits, ""},
        {fifo, "it is not a regular file"},
        {file + "/alpaca.conf", "Not a directory"},
    };
    for (const auto& c : cases) {
        ServerConfig loaded = kStale;
        std::string error;
        const bool ok = loadConfig(c.path, loaded, error);
        EXPECT_EQ(ok, c.reason.empty()) << c.path;
        if (c.reason.empty())
            continue;
        EXPECT_EQ(error, "not readable: " + c.reason) << c.path;
        EXPECT_EQ(loaded, kStale);
    }
}

TEST_F(ConfigFolder, AFileWithoutReadPermissionSaysWhy)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads a file whatever its permissions";
    write("serial = /dev/a\n");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    ServerConfig loaded;
    std::string error;
    EXPECT_FALSE(loadConfig(path, loaded, error));
    EXPECT_EQ(error, "not readable: Permission denied");
}

TEST_F(ConfigFolder, SaveReplacesTheFileWholeAndLeavesNothingBehind)
{
    write("# the user's old notes\nserial = /dev/old\n" + std::string(5000, '#') + "\nbaud = 4800\n");
    struct stat before{};
    ASSERT_EQ(stat(path.c_str(), &before), 0);

    const ServerConfig saved = config("/dev/new", true, "::1", "id");
    std::string error;
    ASSERT_TRUE(saveConfig(path, saved, error)) << error;

    EXPECT_EQ(read(), "# velmaro-alpaca settings, rewritten whole by the server on every change.\n"
                      "serial = /dev/new\ntrace = on\nlisten = ::1\nunique_id = id\n");
    EXPECT_EQ(folderContents(), std::set<std::string>{"alpaca.conf"});
    struct stat after{};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "written in place, not renamed over the old file";
    EXPECT_EQ(after.st_mode & 0777, 0600u);
}

TEST_F(ConfigFolder, AFailedSaveLeavesTheOldFileAndNoTemporary)
{
    const std::string old = "serial = /dev/old\n";
    const struct {
        ServerConfig config;
        std::string reason;
    } cases[] = {
        {config("/dev/a\nlisten = 0.0.0.0", false, "", ""), "serial has a control character"},
        {config("/dev/a\r", false, "", ""), "serial has a control character"},
        {config(std::string("/dev/\0a", 7), false, "", ""), "serial has a control character"},
        {config("/dev/a", false, "", "id\x7f"), "unique_id has a control character"},
        {config("/dev/a", false, "::1\n", ""), "listen has a control character"},
        {config("/dev/\xFF", false, "", ""), "serial is not UTF-8 text"},
        {config(" /dev/a", false, "", ""), "serial has spaces at its ends"},
        {config("/dev/a", false, "", "id\t"), "unique_id has a control character"},
        {config("/dev/a", false, "", "id "), "unique_id has spaces at its ends"},
        {config("/dev/a", false, "localhost", ""), "listen is not a numeric IPv4 or IPv6 address"},
    };
    for (const auto& c : cases) {
        write(old);
        std::string error;
        EXPECT_FALSE(saveConfig(path, c.config, error)) << c.config;
        EXPECT_EQ(error, c.reason);
        EXPECT_EQ(read(), old);
        EXPECT_EQ(folderContents(), std::set<std::string>{"alpaca.conf"});
    }
}

TEST_F(ConfigFolder, SaveIntoAMissingFolderFails)
{
    const std::string missing = folder + "/gone/alpaca.conf";
    std::string error;
    EXPECT_FALSE(saveConfig(missing, config("/dev/a", false, "", ""), error));
    EXPECT_EQ(error, "cannot make a file in " + folder + "/gone: No such file or directory");
    EXPECT_FALSE(fs::exists(folder + "/gone"));

    EXPECT_FALSE(saveConfig("", {}, error));
    EXPECT_EQ(error, "no file name");

    ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0700), 0);
    EXPECT_FALSE(saveConfig(folder + "/sub", {}, error)) << "a folder is not replaced by a file";
    EXPECT_EQ(error, "cannot replace " + folder + "/sub: Is a directory");
    EXPECT_TRUE(fs::is_directory(folder + "/sub"));
    EXPECT_EQ(folderContents(), (std::set<std::string>{"sub"}));
}

TEST_F(ConfigFolder, SaveIntoAReadOnlyFolderFails)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into a folder whatever its permissions";
    ASSERT_EQ(chmod(folder.c_str(), 0500), 0);
    std::string error;
    EXPECT_FALSE(saveConfig(path, {}, error));
    EXPECT_EQ(error, "cannot make a file in " + folder + ": Permission denied");
}

TEST_F(ConfigFolder, SaveThroughALinkReplacesItsTarget)
{
    const std::string target = folder + "/kept-elsewhere.conf";
    write("serial = /dev/old\n", target);
    ASSERT_EQ(symlink("kept-elsewhere.conf", path.c_str()), 0);
    std::string error;
    ASSERT_TRUE(saveConfig(path, config("/dev/new", false, "", ""), error)) << error;
    EXPECT_TRUE(fs::is_symlink(path));
    ServerConfig loaded;
    ASSERT_TRUE(loadConfig(target, loaded, error)) << error;
    EXPECT_EQ(loaded.mounts.at(0).serial, "/dev/new");
    EXPECT_EQ(folderContents(), (std::set<std::string>{"alpaca.conf", "kept-elsewhere.conf"}));
}

TEST_F(ConfigFolder, ConcurrentSavesLeaveOneWholeFile)
{
    const ServerConfig a = config(std::string(3000, 'a'), true, "::1", "A");
    const ServerConfig b = config(std::string(3000, 'b'), false, "10.0.0.1", "B");
    std::string error;
    ASSERT_TRUE(saveConfig(path, a, error)) << error;
    auto saver = [this](const ServerConfig& c) {
        std::string saveError;
        for (int i = 0; i < 100; ++i)
            EXPECT_TRUE(saveConfig(path, c, saveError)) << saveError;
    };
    std::thread first(saver, a), second(saver, b);
    // A reader never finds the file missing, empty or mixed.
    for (int i = 0; i < 300; ++i) {
        ServerConfig loaded;
        EXPECT_TRUE(loadConfig(path, loaded, error)) << error;   // no ASSERT: the savers must be joined
        EXPECT_TRUE(loaded == a || loaded == b) << loaded;
    }
    first.join();
    second.join();
    EXPECT_EQ(folderContents(), std::set<std::string>{"alpaca.conf"});
}

// Sets an environment variable for one scope, then puts it back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, std::optional<std::string> value) : name(name)
    {
        if (const char* old = std::getenv(name))
            previous = old;
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~ScopedVariable() { previous ? setenv(name, previous->c_str(), 1) : unsetenv(name); }

private:
    const char* name;
    std::optional<std::string> previous;
};

TEST(DefaultConfigPath, FollowsXdgThenHome)
{
    const struct {
        std::optional<std::string> xdg, home;
        std::string expected;
    } cases[] = {
        {"/srv/cfg", "/home/ana", "/srv/cfg/velmaro/alpaca.conf"},
        {"/srv/cfg//", "/home/ana", "/srv/cfg/velmaro/alpaca.conf"},
        {"/", "/home/ana", "/velmaro/alpaca.conf"},
        {"", "/home/ana", "/home/ana/.config/velmaro/alpaca.conf"},
        {"relative/cfg", "/home/ana", "/home/ana/.config/velmaro/alpaca.conf"},
        {std::nullopt, "/home/ana/", "/home/ana/.config/velmaro/alpaca.conf"},
        {std::nullopt, "/", "/.config/velmaro/alpaca.conf"},
    };
    for (const auto& c : cases) {
        ScopedVariable xdg("XDG_CONFIG_HOME", c.xdg), home("HOME", c.home);
        EXPECT_EQ(defaultConfigPath(), c.expected) << c.xdg.value_or("(unset)") << " " << c.home.value_or("(unset)");
    }
}

TEST(DefaultConfigPath, WithoutHomeUsesTheAccount)
{
    ScopedVariable xdg("XDG_CONFIG_HOME", std::nullopt), home("HOME", std::nullopt);
    const std::string path = defaultConfigPath();
    if (path.empty())
        GTEST_SKIP() << "this account has no home folder in the password database";
    EXPECT_EQ(path.front(), '/');
    EXPECT_NE(path.find("/.config/velmaro/alpaca.conf"), std::string::npos) << path;
}

TEST_F(ConfigFolder, PrepareMakesOnlyTheDefaultFolder)
{
    write("", folder + "/a-file");
    const struct {
        std::string configPath;
        bool isDefault;
        std::string reason;   // empty: succeeds
    } cases[] = {
        {folder + "/alpaca.conf", false, ""},
        {folder + "/alpaca.conf", true, ""},
        {folder + "/xdg/velmaro/alpaca.conf", true, ""},
        {folder + "/xdg/velmaro/alpaca.conf", true, ""},
        {folder + "/other/velmaro/alpaca.conf", false, "the config folder " + folder + "/other/velmaro does not exist"},
        {folder + "/a-file/alpaca.conf", true, "the config folder " + folder + "/a-file is not a folder"},
        {folder + "/deep/er/velmaro/alpaca.conf", true,
         "cannot make the folder " + folder + "/deep/er: No such file or directory"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(prepareConfigFolder(c.configPath, c.isDefault, error), c.reason.empty()) << c.configPath;
        EXPECT_EQ(error, c.reason) << c.configPath;
    }
    for (const std::string& made : {folder + "/xdg", folder + "/xdg/velmaro"}) {
        struct stat status{};
        ASSERT_EQ(stat(made.c_str(), &status), 0) << made;
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0700u) << made;
    }
    EXPECT_FALSE(fs::exists(folder + "/other"));
    EXPECT_FALSE(fs::exists(folder + "/deep"));

    std::string error;
    ASSERT_TRUE(saveConfig(folder + "/xdg/velmaro/alpaca.conf", {}, error)) << error;
}

TEST(UniqueId, IsARandomVersion4Uuid)
{
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    std::set<char> variants;
    for (int i = 0; i < 200; ++i) {
        const std::string id = newUniqueId();
        ASSERT_TRUE(std::regex_match(id, form)) << id;
        EXPECT_TRUE(seen.insert(id).second) << "repeated " << id;
        variants.insert(id[19]);
    }
    // Two random bits are left in the variant digit; 200 ids show them all.
    EXPECT_EQ(variants.size(), 4u);
}

} // namespace
