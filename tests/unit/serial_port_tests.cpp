// The serial port over the null modem: COM1 is ours, COM2 the scripted mount.
#include "ScriptedMount.h"
#include "TestSystem.h"
#include "Win32SerialPort.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kOurEnd = "\\\\.\\COM1";
constexpr const char* kNoDevice = "\\\\.\\COM9";

TEST(SerialPort, PortWithoutDeviceFailsCleanlyAndCloseIsIdempotent)
{
    Win32SerialPort neverOpened;
    neverOpened.close();
    EXPECT_FALSE(neverOpened.isOpen());

    Win32SerialPort port;
    EXPECT_FALSE(port.open(kNoDevice, 9600));
    EXPECT_FALSE(port.isOpen());
    port.close();
    port.close();
    EXPECT_FALSE(port.isOpen());

    // The same object still opens a real port afterwards, and closes twice.
    ASSERT_TRUE(port.open(kOurEnd, 9600));
    EXPECT_TRUE(port.isOpen());
    port.close();
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPort, SecondOpenOfAHeldPortFails)
{
    Win32SerialPort first;
    ASSERT_TRUE(first.open(kOurEnd, 9600));
    if (runningUnderWine())
        GTEST_SKIP() << "Wine lets a second handle open a COM port that is already open; Windows refuses it (exclusive share mode)";
    Win32SerialPort second;
    EXPECT_FALSE(second.open(kOurEnd, 9600));
    EXPECT_FALSE(second.isOpen());
}

TEST(SerialPort, WriteDeliversEveryByteAndReadReturnsWhatCame)
{
    ScriptedMount mount;
    ASSERT_TRUE(mount.isOpen());
    Win32SerialPort port;
    ASSERT_TRUE(port.open(kOurEnd, 9600));

    EXPECT_TRUE(port.write(":GR#", 4));
    ASSERT_TRUE(mount.waitForCommands(1));
    EXPECT_EQ(mount.received(), ":GR#");
    port.purge();

    // Four bytes of a six-byte read: the read waits out its time-out and
    // reports the four that came.
    mount.sendUnasked("6150");
    char buffer[8] = {};
    std::uint32_t count = 0;
    double ms = elapsedMs([&] { count = port.read(buffer, 6); });
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "6150");
    EXPECT_GE(ms, 480.0);
    EXPECT_LE(ms, 680.0);
}

TEST(SerialPort, SilentReadEndsAfterFiveHundredPlusOneMsPerByte)
{
    ScriptedMount mount;
    Win32SerialPort port;
    ASSERT_TRUE(port.open(kOurEnd, 9600));
    // Whatever an earlier test left on the line is not ours to read.
    port.purge();
    char buffer[64];
    for (std::uint32_t count : {6u, 40u}) {
        std::uint32_t got = 99;
        double ms = elapsedMs([&] { got = port.read(buffer, count); });
        double expected = 500.0 + count;
        EXPECT_EQ(got, 0u);
        EXPECT_GE(ms, expected - 15.0) << count << " bytes";
        EXPECT_LE(ms, expected + 150.0) << count << " bytes";
        EXPECT_FALSE(port.hasHungUp()) << "a mount that does not answer has not gone away";
    }
}

TEST(SerialPort, PurgeDropsAReplyThatArrivedBefore)
{
    ScriptedMount mount;
    Win32SerialPort port;
    ASSERT_TRUE(port.open(kOurEnd, 9600));
    mount.sendUnasked("stale#");
    Sleep(150);
    EXPECT_TRUE(port.purge());
    char buffer[8] = {};
    EXPECT_EQ(port.read(buffer, 6), 0u);

    // Without the purge the same bytes would have been read.
    mount.sendUnasked("fresh#");
    Sleep(150);
    EXPECT_EQ(port.read(buffer, 6), 6u);
    EXPECT_EQ(std::string(buffer, 6), "fresh#");
}

TEST(SerialPort, PortPathIsFormedFromTheNumber)
{
    EXPECT_EQ(comPortPath(7), "\\\\.\\COM7");
    EXPECT_EQ(comPortPath(16), "\\\\.\\COM16");
}

} // namespace
