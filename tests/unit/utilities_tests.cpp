// Angle split, Julian date and the debug log.
#include "MountState.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>
#include <string>

namespace {

struct Split {
    char sign;
    int degrees, minutes, seconds;
    bool operator==(const Split& o) const
    {
        return sign == o.sign && degrees == o.degrees && minutes == o.minutes && seconds == o.seconds;
    }
};

std::ostream& operator<<(std::ostream& out, const Split& s)
{
    return out << s.sign << s.degrees << "/" << s.minutes << "/" << s.seconds;
}

Split split(double value)
{
    AngleFields fields;
    splitAngle(value, fields);
    return {fields.sign, fields.degrees, fields.minutes, fields.seconds};
}

TEST(SplitAngle, RoundsToTheNearestSecondAndCarries)
{
    EXPECT_EQ(split(-0.5), (Split{'-', 0, 30, 0}));
    EXPECT_EQ(split(0.0), (Split{'+', 0, 0, 0}));
    EXPECT_EQ(split(-0.0), (Split{'+', 0, 0, 0}));
    EXPECT_EQ(split(45.9998611), (Split{'+', 45, 59, 59}));
    EXPECT_EQ(split(45.9998611 + 0.0000002), (Split{'+', 46, 0, 0}));
    EXPECT_EQ(split(23.99999), (Split{'+', 24, 0, 0}));
    EXPECT_EQ(split(10.99999), (Split{'+', 11, 0, 0}));
    EXPECT_EQ(split(5.5), (Split{'+', 5, 30, 0}));
    EXPECT_EQ(split(-10.25), (Split{'-', 10, 15, 0}));
    EXPECT_EQ(split(-74.01), (Split{'-', 74, 0, 36}));
    EXPECT_EQ(split(-74.01 + 360.0), (Split{'+', 285, 59, 24}));
    EXPECT_EQ(split(-0.0001), (Split{'-', 0, 0, 0}));
}

TEST(SplitAngle, AnyDoubleGivesFieldsInRangeWithoutOverflow)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double value : {nan, -nan, inf, -inf, 1e300, -1e300, 3e9, -3e9, std::numeric_limits<double>::denorm_min(),
                         std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest()}) {
        Split s = split(value);
        EXPECT_TRUE(s.sign == '+' || s.sign == '-') << value;
        EXPECT_GE(s.degrees, 0) << value;
        EXPECT_GE(s.minutes, 0) << value;
        EXPECT_LE(s.minutes, 59) << value;
        EXPECT_GE(s.seconds, 0) << value;
        EXPECT_LE(s.seconds, 59) << value;
    }
    EXPECT_EQ(split(-inf).sign, '-');
    EXPECT_EQ(split(1e300).degrees, std::numeric_limits<int>::max());

    EXPECT_FALSE(angleFitsSplit(nan));
    EXPECT_FALSE(angleFitsSplit(inf));
    EXPECT_FALSE(angleFitsSplit(-inf));
    EXPECT_FALSE(angleFitsSplit(3e9));
    EXPECT_FALSE(angleFitsSplit(-3e9));
    EXPECT_TRUE(angleFitsSplit(-359.9));
    EXPECT_TRUE(angleFitsSplit(2e9));
    // The largest accepted value still splits into sane fields.
    Split edge = split(2147483646.0);
    EXPECT_EQ(edge.degrees, 2147483646);
}

TEST(JulianDate, GregorianFormulaWithTheCenturyTermOfTheGivenYear)
{
    EXPECT_DOUBLE_EQ(julianDate(1.5, 1, 2000), 2451545.0);
    // 15 March 2024 20:30.
    EXPECT_DOUBLE_EQ(julianDate(15.0 + 20.5 / 24.0, 3, 2024), 2460384.5 + 20.5 / 24.0);
    EXPECT_DOUBLE_EQ(julianDate(1.0, 2, 2000), 2451575.5);
    EXPECT_DOUBLE_EQ(julianDate(1.0, 3, 2100), 2488128.5);
    // January and February count as months 13 and 14 of the year before in
    // the main term, but the century term comes from the year given: for
    // 2100 that is B = -14 instead of the -13 of 2099, one day less.
    EXPECT_DOUBLE_EQ(julianDate(28.0, 2, 2100), 2488126.5);
    EXPECT_DOUBLE_EQ(julianDate(1.0, 1, 2100), 2488068.5);
    // Whatever a reply made of the year, the result is a number.
    EXPECT_TRUE(std::isfinite(julianDate(0.0, 0, std::numeric_limits<int>::min())));
    EXPECT_TRUE(std::isfinite(julianDate(0.0, 99, std::numeric_limits<int>::max())));
}

class DebugLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        directory = std::string(temp) + "velmaro-log-test-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(directory.c_str(), nullptr);
        GetCurrentDirectoryA(MAX_PATH, previous);
        ASSERT_TRUE(SetCurrentDirectoryA(directory.c_str()));
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(previous);
        DeleteFileA((directory + "\\VelmaroASCOMDebug.txt").c_str());
        RemoveDirectoryA((directory + "\\VelmaroASCOMDebug.txt").c_str());
        RemoveDirectoryA(directory.c_str());
    }
    std::string readLog()
    {
        std::ifstream in("VelmaroASCOMDebug.txt", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string directory;
    char previous[MAX_PATH] = {};
};

TEST_F(DebugLog, EachEntryIsOneTimeStampedLineAppended)
{
    logMessage("Cannot get the longitude of the site!");
    logMessage("Transmission error in FindHome!");
    std::string text = readLog();
    std::regex twoLines(R"(((\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)) Cannot get the longitude of the site!\r\n)"
                        R"((\d\d/\d\d/\d\d \d\d:\d\d:\d\d) Transmission error in FindHome!\r\n)");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(text, parts, twoLines)) << text;
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_EQ(std::stoi(parts[2]), now.wMonth);
    EXPECT_EQ(std::stoi(parts[4]), now.wYear % 100);
    EXPECT_LE(std::stoi(parts[5]), 23);
}

TEST_F(DebugLog, AnOverlongMessageIsCutAndALogThatCannotOpenIsSilent)
{
    logMessage(std::string(300, 'm').c_str());
    std::string text = readLog();
    ASSERT_FALSE(text.empty());
    // Date and time, a space, the 98 characters that fit, and the line end
    // of a text-mode file on Windows.
    EXPECT_EQ(text.size(), 17u + 1u + 98u + 2u);

    ASSERT_TRUE(DeleteFileA("VelmaroASCOMDebug.txt"));
    // A directory of the log's name: the file cannot be opened.
    ASSERT_TRUE(CreateDirectoryA("VelmaroASCOMDebug.txt", nullptr));
    logMessage("nobody hears this");
    DWORD attributes = GetFileAttributesA("VelmaroASCOMDebug.txt");
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace
