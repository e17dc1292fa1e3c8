// Where the mount points, and where and when it stands: readers with their
// checks and caches, and the site setters, through the registered driver.
#include "ComTest.h"

#include <clocale>
#include <cmath>
#include <limits>

namespace {

using Position = ConnectedTest;
using Model1 = Position;
using Model2 = Position;
using Model3 = Position;
using AnyModel = Position;

TEST_P(AnyModel, AngleReadersCheckLengthAndRangeAndKeepTheLastGoodValue)
{
    double value = -1;
    mount.answer(":GA#", "-12*30:00#");
    ASSERT_EQ(telescope->get_Altitude(&value), S_OK);
    EXPECT_DOUBLE_EQ(value, -12.5);
    mount.answer(":GA#", "+12*30:00#");
    telescope->get_Altitude(&value);
    EXPECT_DOUBLE_EQ(value, 12.5);
    mount.answer(":GA#", " 12*30:00#");
    telescope->get_Altitude(&value);
    EXPECT_DOUBLE_EQ(value, 12.5);
    // Wrong length, out of range, a field that does not scan: the cache.
    for (const char* bad : {"-45*00:00", "+91*00:00#", "+45*60:00#", "+45*00:60#", "+4x*00:00#", ""}) {
        mount.answer(":GA#", bad);
        telescope->get_Altitude(&value);
        EXPECT_DOUBLE_EQ(value, 12.5) << bad;
    }

    mount.answer(":GD#", "-89*59:59#");
    telescope->get_Declination(&value);
    EXPECT_DOUBLE_EQ(value, -(89 + 59 / 60.0 + 59 / 3600.0));
    mount.answer(":GD#", "+90*00:00#");
    telescope->get_Declination(&value);
    EXPECT_DOUBLE_EQ(value, 90.0);

    mount.answer(":GZ#", "123*45:06#");
    telescope->get_Azimuth(&value);
    EXPECT_DOUBLE_EQ(value, 123 + 45 / 60.0 + 6 / 3600.0);
    mount.answer(":GZ#", "360*00:00#");
    telescope->get_Azimuth(&value);
    EXPECT_DOUBLE_EQ(value, 123 + 45 / 60.0 + 6 / 3600.0);
    mount.answer(":GZ#", "359*59:59#");
    telescope->get_Azimuth(&value);
    EXPECT_NEAR(value, 360.0 - 1 / 3600.0, 1e-9);

    std::vector<std::string> commands = mount.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), ":GA#"), 9);
    EXPECT_EQ(telescope->get_Altitude(nullptr), E_POINTER);
}

TEST_P(AnyModel, SiteReadersTryTwiceAndGiveZeroWhenBothFail)
{
    LogDirectory logs;
    double value = -1;
    mount.answerOnce(":Gt#", "+48*3");
    mount.answerOnce(":Gt#", "-33*52:04#");
    ASSERT_EQ(telescope->get_SiteLatitude(&value), S_OK);
    EXPECT_DOUBLE_EQ(value, -(33 + 52 / 60.0 + 4 / 3600.0));
    EXPECT_EQ(mount.commands(), (std::vector<std::string>{":Gt#", ":Gt#"}));

    mount.forget();
    mount.answer(":Gt#", "+91*00:00#");
    telescope->get_SiteLatitude(&value);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(mount.commands().size(), 2u);

    mount.answer(":Gg#", "+151*12:30#");
    telescope->get_SiteLongitude(&value);
    EXPECT_DOUBLE_EQ(value, 151 + 12 / 60.0 + 30 / 3600.0);
    mount.answer(":Gg#", "-071*15:00#");
    telescope->get_SiteLongitude(&value);
    EXPECT_DOUBLE_EQ(value, -71.25);
    EXPECT_TRUE(logs.messages().empty());

    // A longitude of exactly zero, read or defaulted, is logged.
    mount.answer(":Gg#", "+000*00:00#");
    telescope->get_SiteLongitude(&value);
    EXPECT_EQ(value, 0.0);
    mount.answer(":Gg#", "+181*00:00#");
    telescope->get_SiteLongitude(&value);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(logs.messages(), (std::vector<std::string>{"Cannot get the longitude of the site!",
                                                         "Cannot get the longitude of the site!"}));
}

TEST_P(AnyModel, SiteSettersSendTheSplitAndLogWhatTheMountRefuses)
{
    LogDirectory logs;
    mount.answer(":St +45*30:00#", "1");
    ASSERT_EQ(telescope->put_SiteLatitude(45.5), S_OK);
    mount.answer(":St -90*00:00#", "1");
    ASSERT_EQ(telescope->put_SiteLatitude(-90.0), S_OK);
    EXPECT_EQ(mount.received(), ":St +45*30:00#:St -90*00:00#");
    EXPECT_TRUE(logs.messages().empty());

    mount.forget();
    for (double refused : {90.0001, -90.5, kNaN, kInfinity, -kInfinity}) {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(telescope->put_SiteLatitude(refused), kInvalidValue) << refused;
        EXPECT_EQ(telescope->put_SiteLongitude(refused * 2.0), kInvalidValue) << refused;
        EXPECT_EQ(telescope->put_SiteElevation(refused * 1e5), kInvalidValue) << refused;
    }
    EXPECT_EQ(takeErrorInfo().description, L"Unknown Error");
    EXPECT_EQ(mount.received(), "");

    // Refused by the mount: the call still succeeds, the log tells.
    mount.answer(":St +10*00:00#", "0");
    EXPECT_EQ(telescope->put_SiteLatitude(10.0), S_OK);
    EXPECT_EQ(logs.messages(), std::vector<std::string>{"Cannot set the latitude of the site!"});
}

TEST_P(AnyModel, ElevationIsKeptInWholeMetresWithinItsRange)
{
    double value = -1;
    EXPECT_EQ(telescope->get_SiteElevation(&value), S_OK);
    EXPECT_EQ(value, 0.0);
    for (auto [put, kept] : std::vector<std::pair<double, double>>{{10000, 10000}, {123.9, 123}, {-0.7, 0}, {-300, -300}}) {
        EXPECT_EQ(telescope->put_SiteElevation(put), S_OK);
        telescope->get_SiteElevation(&value);
        EXPECT_EQ(value, kept) << put;
    }
    EXPECT_EQ(telescope->put_SiteElevation(10000.01), kInvalidValue);
    EXPECT_EQ(telescope->put_SiteElevation(-300.5), kInvalidValue);
    telescope->get_SiteElevation(&value);
    EXPECT_EQ(value, -300.0);
    EXPECT_EQ(mount.received(), "");
}

TEST_P(AnyModel, RefusedMembersFailWithTheirMessages)
{
    int side = 0;
    EXPECT_EQ(telescope->put_SideOfPier(&side), DISP_E_EXCEPTION);
    ErrorDetails details = takeErrorInfo();
    EXPECT_EQ(details.description, L"Do not support to set the side of pier");
    EXPECT_TRUE(IsEqualGUID(details.guid, IID_ITelescopeV3));
    EXPECT_EQ(telescope->put_SideOfPier(nullptr), DISP_E_EXCEPTION);
    EXPECT_EQ(telescope->DestinationSideOfPier(1.0, 2.0), DISP_E_EXCEPTION);
    EXPECT_EQ(takeErrorInfo().description, L"Do not support to predict the side of pier of the telecope");
    // The date put is accepted and ignored, whatever it holds.
    EXPECT_EQ(telescope->put_UTCDate(kNaN), S_OK);
    EXPECT_EQ(telescope->put_UTCDate(45000.5), S_OK);
    EXPECT_EQ(mount.received(), "");
}

TEST_P(AnyModel, NoReplyCanCrashAReaderOrLeaveItsResultUnset)
{
    // Replies that fill the read come back at once; the last is short of
    // the eleven-byte reads and costs their time-outs.
    const std::string replies[] = {std::string(150, '9'),
                                   std::string("\0\0\0\0\0\0\0\0\0\0\0", 11),
                                   "99999999999999999999#",
                                   "-2147483648*:#",
                                   "1e308:1e308:1e308#",
                                   ":::::::::::",
                                   "+9*9:9#\xff\xfe\xfd"};
    for (const std::string& reply : replies) {
        for (const char* command : {":GA#", ":GD#", ":GZ#", ":GR#", ":GS#", ":Gt#", ":Gg#", ":GG#", ":GC#", ":GL#",
                                    ":pS#", ":GAM#"})
            mount.answer(command, reply);
        double value = kNaN;
        for (auto reader : {&ITelescopeV3::get_Altitude, &ITelescopeV3::get_Declination, &ITelescopeV3::get_Azimuth,
                            &ITelescopeV3::get_RightAscension, &ITelescopeV3::get_SiderealTime,
                            &ITelescopeV3::get_SiteLatitude}) {
            value = kNaN;
            EXPECT_EQ((telescope->*reader)(&value), S_OK);
            EXPECT_TRUE(std::isfinite(value));
        }
        DATE date = kNaN;
        EXPECT_EQ(telescope->get_UTCDate(&date), S_OK);
        EXPECT_FALSE(std::isnan(date));
        int side = 7;
        EXPECT_EQ(telescope->get_SideOfPier(&side), S_OK);
        EXPECT_TRUE(side >= -1 && side <= 1);
        AlignmentModes mode = algUnknown;
        EXPECT_EQ(telescope->get_AlignmentMode(&mode), S_OK);
        EXPECT_TRUE(mode == algAltAz || mode == algGermanPolar);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, AnyModel, ::testing::Values(1, 2, 3));

TEST_P(Model2, TimeReadersUseTenthsAndTheirBounds)
{
    double value = -1;
    mount.answer(":GR#", "05:30:59.9#");
    ASSERT_EQ(telescope->get_RightAscension(&value), S_OK);
    EXPECT_NEAR(value, 5 + 30 / 60.0 + 59.9 / 3600.0, 1e-12);
    EXPECT_NEAR(value, 5.516638, 1e-6);
    for (const char* bad : {"05:30:59.96#", "05:30:59.97", "24:00:00.0#", "05:60:00.0#", "05:30:59#"}) {
        mount.answer(":GR#", bad);
        telescope->get_RightAscension(&value);
        EXPECT_NEAR(value, 5.516638, 1e-6) << bad;
    }
    mount.answer(":GR#", "05:30:59.95");
    telescope->get_RightAscension(&value);
    EXPECT_NEAR(value, 5 + 30 / 60.0 + 59.95 / 3600.0, 1e-12);

    mount.answer(":GS#", "12:00:30.0#");
    telescope->get_SiderealTime(&value);
    EXPECT_NEAR(value, 12.008333333, 1e-9);
    mount.forget();
    mount.answerOnce(":GS#", "12:00:60.0#");
    mount.answerOnce(":GS#", "23:59:59.9#");
    telescope->get_SiderealTime(&value);
    EXPECT_NEAR(value, 24.0 - 0.1 / 3600.0, 1e-9);
    mount.answer(":GS#", "");
    telescope->get_SiderealTime(&value);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(mount.commands().size(), 4u);
}

TEST_P(Model3, TimeReadersReadNineBytes)
{
    double value = -1;
    mount.answer(":GR#", "05:30:59#");
    telescope->get_RightAscension(&value);
    EXPECT_NEAR(value, 5 + 30 / 60.0 + 59 / 3600.0, 1e-12);
    // An eleven-byte answer is cut to nine: "05:31:00." still reads.
    mount.answer(":GR#", "05:31:00.9#");
    telescope->get_RightAscension(&value);
    EXPECT_NEAR(value, 5 + 31 / 60.0, 1e-12);
    mount.answer(":GS#", "12:00:30#");
    telescope->get_SiderealTime(&value);
    EXPECT_NEAR(value, 12.008333333, 1e-9);
}

TEST_P(Model3, UtcDateFromZoneDateAndLocalTime)
{
    mount.answer(":GG#", "-05:00#");
    mount.answer(":GC#", "03:15:24#");
    mount.answer(":GL#", "20:30:00#");
    DATE date = 0;
    ASSERT_EQ(telescope->get_UTCDate(&date), S_OK);
    EXPECT_NEAR(date, 45367.0625, 1e-9);
    EXPECT_EQ(mount.received(), ":GG#:GC#:GL#");
    mount.answer(":GG#", "+01:30#");
    telescope->get_UTCDate(&date);
    EXPECT_NEAR(date, 45366.8541666667 - 1.5 / 24.0 + 0.0, 1e-9);
}

TEST_P(Model1, UtcDateReadsTheZoneInEightBytesAndWestIsNegative)
{
    mount.answer(":GG#", "W05:00:#");
    mount.answer(":GC#", "03:15:24#");
    mount.answer(":GL#", "20:30:00.0#");
    DATE date = 0;
    telescope->get_UTCDate(&date);
    EXPECT_NEAR(date, 45367.0625, 1e-9);
}

TEST_P(Model2, UtcDateReadsTheZoneWithSeconds)
{
    mount.answer(":GG#", "-05:00:00#");
    mount.answer(":GC#", "03:15:24#");
    mount.answer(":GL#", "20:30:00.0#");
    DATE date = 0;
    telescope->get_UTCDate(&date);
    EXPECT_NEAR(date, 45367.0625, 1e-9);
}

TEST_P(Model1, PierSideUnknownWithoutTrafficAndAlignmentAsked)
{
    int side = 5;
    ASSERT_EQ(telescope->get_SideOfPier(&side), S_OK);
    EXPECT_EQ(side, -1);
    EXPECT_EQ(mount.received(), "");

    AlignmentModes mode = algUnknown;
    mount.answer(":GAM#", "0");
    telescope->get_AlignmentMode(&mode);
    EXPECT_EQ(mode, algAltAz);
    mount.answer(":GAM#", "1");
    telescope->get_AlignmentMode(&mode);
    EXPECT_EQ(mode, algGermanPolar);
    mount.silence(":GAM#");
    telescope->get_AlignmentMode(&mode);
    EXPECT_EQ(mode, algGermanPolar);
    EXPECT_EQ(mount.received(), ":GAM#:GAM#:GAM#:GAM#");
}

TEST_P(Model2, PierSideAskedTwiceTheSecondClearAnswerWins)
{
    int side = 5;
    mount.answerOnce(":pS#", "East#");
    mount.answerOnce(":pS#", "West#");
    ASSERT_EQ(telescope->get_SideOfPier(&side), S_OK);
    EXPECT_EQ(side, 1);
    mount.answerOnce(":pS#", "West#");
    mount.answerOnce(":pS#", "Wes");
    telescope->get_SideOfPier(&side);
    EXPECT_EQ(side, 1);
    mount.answer(":pS#", "east#");
    telescope->get_SideOfPier(&side);
    EXPECT_EQ(side, -1);
    EXPECT_EQ(mount.received(), ":pS#:pS#:pS#:pS#:pS#:pS#");

    AlignmentModes mode = algUnknown;
    telescope->get_AlignmentMode(&mode);
    EXPECT_EQ(mode, algGermanPolar);
    EXPECT_EQ(mount.commands().size(), 6u);
}

TEST_P(Model3, PierSideReadsOneCharacter)
{
    int side = 5;
    mount.answerOnce(":pS#", "1");
    mount.answerOnce(":pS#", "x");
    telescope->get_SideOfPier(&side);
    EXPECT_EQ(side, 1);
    mount.answerOnce(":pS#", "x");
    mount.answerOnce(":pS#", "0");
    telescope->get_SideOfPier(&side);
    EXPECT_EQ(side, 0);
    EXPECT_EQ(mount.commands().size(), 4u);
}

TEST_P(Model2, LongitudeGoesEastwardWithoutSign)
{
    mount.answer(":Sg 285*59:24#", "1");
    ASSERT_EQ(telescope->put_SiteLongitude(-74.01), S_OK);
    mount.answer(":Sg 151*12:30#", "1");
    telescope->put_SiteLongitude(151 + 12 / 60.0 + 30 / 3600.0);
    EXPECT_EQ(mount.received(), ":Sg 285*59:24#:Sg 151*12:30#");
}

TEST_P(Model1, LongitudeGoesSigned)
{
    LogDirectory logs;
    mount.answer(":Sg -074*00:36#", "1");
    ASSERT_EQ(telescope->put_SiteLongitude(-74.01), S_OK);
    EXPECT_EQ(mount.received(), ":Sg -074*00:36#");
    EXPECT_TRUE(logs.messages().empty());
    mount.forget();
    // Unanswered: two tries, then the log.
    EXPECT_EQ(telescope->put_SiteLongitude(180.0), S_OK);
    EXPECT_EQ(mount.received(), ":Sg +180*00:00#:Sg +180*00:00#");
    EXPECT_EQ(logs.messages(), std::vector<std::string>{"Cannot set the longitude of the site!"});
}

TEST_P(Model3, LongitudeGoesSigned)
{
    mount.answer(":Sg -074*00:36#", "1");
    ASSERT_EQ(telescope->put_SiteLongitude(-74.01), S_OK);
    EXPECT_EQ(mount.received(), ":Sg -074*00:36#");
}

TEST_P(Model2, LateBoundReadersAndADecimalCommaLocale)
{
    IDispatch* late = telescope;
    const char* chosen = nullptr;
    for (const char* name : {"German_Germany.1252", "de-DE", "German"})
        if ((chosen = std::setlocale(LC_ALL, name)))
            break;
    ASSERT_NE(chosen, nullptr);
    mount.answer(":GR#", "05:30:59.9#");
    mount.answer(":GS#", "12:00:30.5#");
    VARIANT value;
    ASSERT_EQ(getProperty(late, L"RightAscension", &value), S_OK);
    EXPECT_EQ(value.vt, VT_R8);
    EXPECT_NEAR(value.dblVal, 5.516638, 1e-6);
    ASSERT_EQ(getProperty(late, L"siderealtime", &value), S_OK);
    EXPECT_NEAR(value.dblVal, 12 + 30.5 / 3600.0, 1e-9);
    std::setlocale(LC_ALL, "C");

    VARIANT latitude;
    latitude.vt = VT_R8;
    latitude.dblVal = 91.0;
    EXCEPINFO exception{};
    EXPECT_EQ(putProperty(late, L"SiteLatitude", latitude, &exception), DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, kInvalidValue);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
}

INSTANTIATE_TEST_SUITE_P(Models, Model1, ::testing::Values(1));
INSTANTIATE_TEST_SUITE_P(Models, Model2, ::testing::Values(2));
INSTANTIATE_TEST_SUITE_P(Models, Model3, ::testing::Values(3));

} // namespace
