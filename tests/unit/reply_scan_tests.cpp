// Reading reply fields: the C scanf rules the replies are written for, but
// the same result whatever locale the client process has set.
#include "ReplyScan.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

TEST(ScanReply, TimeAndAngleFormats)
{
    int hours = -1, minutes = -1;
    double seconds = -1;
    EXPECT_EQ(scanReply("05:30:59.9#", "%02d:%02d:%lf#", &hours, &minutes, &seconds), 3);
    EXPECT_EQ(hours, 5);
    EXPECT_EQ(minutes, 30);
    EXPECT_DOUBLE_EQ(seconds, 59.9);
    // Without the closing "#" the fields still convert.
    EXPECT_EQ(scanReply("05:30:59.97", "%02d:%02d:%lf#", &hours, &minutes, &seconds), 3);
    EXPECT_DOUBLE_EQ(seconds, 59.97);

    char sign = 0;
    int degrees = -1, arcMinutes = -1, arcSeconds = -1;
    EXPECT_EQ(scanReply("-12*30:00#", "%c%02d*%02d:%02d#", &sign, &degrees, &arcMinutes, &arcSeconds), 4);
    EXPECT_EQ(sign, '-');
    EXPECT_EQ(degrees, 12);
    EXPECT_EQ(arcMinutes, 30);
    EXPECT_EQ(arcSeconds, 0);
    // A blank sign: "%c" takes it as it is.
    EXPECT_EQ(scanReply(" 12*30:00#", "%c%02d*%02d:%02d#", &sign, &degrees, &arcMinutes, &arcSeconds), 4);
    EXPECT_EQ(sign, ' ');
    EXPECT_EQ(degrees, 12);
    EXPECT_EQ(scanReply("+151*12:30#", "%c%03d*%02d:%02d#", &sign, &degrees, &arcMinutes, &arcSeconds), 4);
    EXPECT_EQ(degrees, 151);
    EXPECT_EQ(scanReply("123*45:06#", "%03d*%02d:%02d#", &degrees, &arcMinutes, &arcSeconds), 3);
    EXPECT_EQ(degrees, 123);
    EXPECT_EQ(arcSeconds, 6);
}

TEST(ScanReply, StopsAtTheFirstMismatchLikeScanf)
{
    char sign = 0;
    int hours = 7, minutes = 7, seconds = 7;
    // The width limits a field: "005" reads as "00", then ":" does not match "5".
    EXPECT_EQ(scanReply("-005:00#", "%c%02d:%02d#", &sign, &hours, &minutes), 2);
    EXPECT_EQ(hours, 0);
    EXPECT_EQ(minutes, 7);
    EXPECT_EQ(scanReply("-05:00:00#", "%c%d:%d:%d#", &sign, &hours, &minutes, &seconds), 4);
    EXPECT_EQ(hours, 5);
    EXPECT_EQ(seconds, 0);
    int untouched = 42;
    EXPECT_EQ(scanReply("", "%c%d", &sign, &untouched), 0);
    EXPECT_EQ(scanReply("ab", "%d", &untouched), 0);
    EXPECT_EQ(scanReply("-#", "%d", &untouched), 0);
    EXPECT_EQ(untouched, 42);
    // Signs inside a width-limited field count toward the width.
    EXPECT_EQ(scanReply("-5:", "%02d:", &untouched), 1);
    EXPECT_EQ(untouched, -5);
    double rate = -1;
    EXPECT_EQ(scanReply("0.15#", "%lf#", &rate), 1);
    EXPECT_DOUBLE_EQ(rate, 0.15);
    EXPECT_EQ(scanReply(".5##", "%lf#", &rate), 1);
    EXPECT_DOUBLE_EQ(rate, 0.5);
    rate = -1;
    EXPECT_EQ(scanReply(".#", "%lf#", &rate), 0);
    EXPECT_EQ(scanReply("nan#", "%lf#", &rate), 0);
    EXPECT_EQ(scanReply("inf#", "%lf#", &rate), 0);
    EXPECT_DOUBLE_EQ(rate, -1);
}

TEST(ScanReply, HugeNumbersSaturateInsteadOfOverflowing)
{
    int value = 0;
    EXPECT_EQ(scanReply("99999999999999999999#", "%d#", &value), 1);
    EXPECT_EQ(value, 2147483647);
    EXPECT_EQ(scanReply("-99999999999999999999#", "%d#", &value), 1);
    EXPECT_EQ(value, -2147483647 - 1);
    double big = 0;
    EXPECT_EQ(scanReply("1e999#", "%lf#", &big), 0);
    EXPECT_EQ(scanReply("1e300#", "%lf#", &big), 1);
    EXPECT_DOUBLE_EQ(big, 1e300);
}

TEST(ScanReply, DecimalCommaLocaleChangesNothing)
{
    const char* chosen = nullptr;
    for (const char* name : {"German_Germany.1252", "de-DE", "German", "deu"}) {
        if ((chosen = std::setlocale(LC_ALL, name)))
            break;
    }
    ASSERT_NE(chosen, nullptr) << "no decimal-comma locale available";
    char shown[16];
    std::snprintf(shown, sizeof shown, "%.1f", 1.5);
    // The locale really is in force for the C library...
    EXPECT_STREQ(shown, "1,5");
    // ...and the replies still read with their decimal point.
    int hours = 0, minutes = 0;
    double seconds = 0, rate = 0;
    EXPECT_EQ(scanReply("12:00:30.5#", "%02d:%02d:%lf#", &hours, &minutes, &seconds), 3);
    EXPECT_DOUBLE_EQ(seconds, 30.5);
    EXPECT_EQ(scanReply("0.50#", "%lf#", &rate), 1);
    EXPECT_DOUBLE_EQ(rate, 0.5);
    std::setlocale(LC_ALL, "C");
}

} // namespace
