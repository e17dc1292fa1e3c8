// The settings object: the stored port and the probe of the mount.
#include "ComTest.h"
#include "DlgSettings.h"

#include <clocale>

namespace {

class Settings : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_NE(driverModule(), nullptr);
        ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    }
    void SetUp() override
    {
        ASSERT_TRUE(mount.isOpen());
        storePort("1");
    }
    void TearDown() override { storePort("1"); }

    static void expectNoTexts(const CDlgSettings& settings)
    {
        for (const std::string* text :
             {&settings.modelText, &settings.latitudeText, &settings.longitudeText, &settings.localTimeText,
              &settings.timeZoneText, &settings.rightAscensionText, &settings.declinationText,
              &settings.azimuthText, &settings.altitudeText})
            EXPECT_TRUE(text->empty()) << *text;
    }

    ScriptedMount mount;
};

TEST_F(Settings, StoredPortIsClampedToTheList)
{
    const struct {
        const char* stored;
        int port;
    } cases[] = {{"0", 1}, {"-3", 1}, {"abc", 1}, {"17", 16}, {"99", 16}, {"5", 5}, {"12", 12},
                 {"99999999999999999999", 16}, {"", 1}};
    for (const auto& c : cases) {
        storePort(c.stored);
        CDlgSettings settings;
        EXPECT_EQ(settings.portNumber, c.port) << '"' << c.stored << '"';
    }
    forgetStoredPort();
    CDlgSettings byDefault;
    EXPECT_EQ(byDefault.portNumber, CDlgSettings::kDefaultPort);
    expectNoTexts(byDefault);
}

TEST_F(Settings, SavesThePortAsItsDigitsWithoutNul)
{
    CDlgSettings settings;
    settings.portNumber = 7;
    settings.savePortNumber();
    StoredString stored = readString(HKEY_LOCAL_MACHINE, "Software\\ASCOM\\Telescope Drivers\\Velmaro.Telescope",
                                     "COM", KEY_WOW64_32KEY);
    EXPECT_EQ(stored.text, "7");
    EXPECT_TRUE(storedWithoutNul(stored)) << stored.bytes;
    EXPECT_EQ(stored.type, DWORD(REG_SZ));
    settings.portNumber = 16;
    settings.savePortNumber();
    CDlgSettings reread;
    EXPECT_EQ(reread.portNumber, 16);
}

TEST_F(Settings, ProbeTextsForEachModel)
{
    const struct {
        int model;
        const char* name;
        const char* rightAscension;
    } models[] = {{1, "Brevan/Lintor/Lintor Plus", "05h34m32s"},
                  {2, "Corvane A/Corvane B", "05h34m32s"},
                  {3, "Corvane A Revision B", "05h34m31s"}};
    for (const auto& expected : models) {
        SCOPED_TRACE(expected.model);
        answerAsModel(mount, expected.model);
        mount.forget();
        CDlgSettings settings;
        EXPECT_EQ(setupModel, expected.model);
        EXPECT_EQ(settings.modelText, expected.name);
        EXPECT_EQ(settings.rightAscensionText, expected.rightAscension);
        EXPECT_EQ(settings.declinationText, "+22d00m52s");
        EXPECT_EQ(settings.altitudeText, "+45d30m00s");
        EXPECT_EQ(settings.azimuthText, "123d45m06s");
        EXPECT_EQ(settings.localTimeText, "20h30m00s");
        EXPECT_EQ(settings.timeZoneText, "-05h00m");
        EXPECT_EQ(settings.latitudeText, "33d52m04s S");
        EXPECT_EQ(settings.longitudeText, "151d12m30s E");
        EXPECT_EQ(mount.commands(), (std::vector<std::string>{":V#", ":MountInfo#", ":GR#", ":GD#", ":GA#", ":GZ#",
                                                              ":GL#", ":GG#", ":Gt#", ":Gg#"}));
    }
}

TEST_F(Settings, RoundingSignsAndReplyLengths)
{
    answerAsModel(mount, 2);
    mount.answer(":GR#", "05:34:59.5#");
    mount.answer(":Gt#", "+48*30:00#");
    mount.answer(":Gg#", "-071*15:00#");
    mount.answer(":GG#", "+01:00:00#");
    {
        CDlgSettings settings;
        // Rounded up to the next minute, never to 60 seconds.
        EXPECT_EQ(settings.rightAscensionText, "05h35m00s");
        EXPECT_EQ(settings.latitudeText, "48d30m00s N");
        EXPECT_EQ(settings.longitudeText, "071d15m00s W");
        EXPECT_EQ(settings.timeZoneText, "+01h00m");
    }
    // Model 3 reads nine bytes of a right ascension: the tenth is not seen.
    answerAsModel(mount, 3);
    mount.answer(":GR#", "05:34:31.9#");
    {
        CDlgSettings settings;
        EXPECT_EQ(settings.rightAscensionText, "05h34m31s");
    }
    // Model 1 shows the reply's own first character as the zone's sign.
    answerAsModel(mount, 1);
    mount.answer(":GG#", "E03:30:#");
    {
        CDlgSettings settings;
        EXPECT_EQ(settings.timeZoneText, "E03h30m");
    }
}

TEST_F(Settings, APortWithoutAMountLeavesEveryTextEmpty)
{
    mount.silence(":V#");
    CDlgSettings silent;
    expectNoTexts(silent);
    EXPECT_EQ(silent.portNumber, 1);
    mount.answer(":V#", "V1.00");
    CDlgSettings wrongHandshake;
    expectNoTexts(wrongHandshake);
    storePort("4");
    CDlgSettings noDevice;
    expectNoTexts(noDevice);
    EXPECT_FALSE(noDevice.testPort());
}

TEST_F(Settings, TextsDoNotDependOnTheLocale)
{
    const char* chosen = nullptr;
    for (const char* name : {"German_Germany.1252", "de-DE", "German"})
        if ((chosen = std::setlocale(LC_ALL, name)))
            break;
    ASSERT_NE(chosen, nullptr);
    answerAsModel(mount, 2);
    mount.answer(":GR#", "05:34:31.6#");
    CDlgSettings settings;
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(settings.rightAscensionText, "05h34m32s");
}

} // namespace
