// The setup page's port list over fake /dev and /sys trees: which names are
// offered, in which order, how a stable name is described, and that no
// device is offered twice.
#include "SerialPortList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class FakeTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "velmaro-ports-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        dev = root + "/dev";
        sys = root + "/sys";
        fs::create_directories(dev + "/serial/by-id");
        fs::create_directories(sys + "/class/tty");
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Regular files stand in for the character devices.
    void devices(const std::vector<std::string>& names) const
    {
        for (const std::string& name : names)
            std::ofstream(dev + "/" + name).put('\0');
    }
    void withDriver(const std::vector<std::string>& names) const
    {
        for (const std::string& name : names)
            fs::create_directories(sys + "/class/tty/" + name + "/device/driver");
    }
    void stableName(const std::string& name, const std::string& target) const
    {
        fs::create_symlink(target, dev + "/serial/by-id/" + name);
    }

    std::vector<std::string> paths() const
    {
        std::vector<std::string> result;
        for (const SerialPortEntry& port : listSerialPorts(dev, sys))
            result.push_back(port.path.substr(root.size()));
        return result;
    }

    std::string root, dev, sys;
};

TEST_F(FakeTree, OffersStableNamesThenKernelGroupsInNaturalOrder)
{
    devices({"ttyUSB10", "ttyUSB2", "ttyUSB0", "ttyUSB1", "ttyACM1", "ttyACM0", "ttyAMA0", "rfcomm3", "rfcomm0",
             "ttyS0", "ttyS1", "ttyS10", "ttyS2", "tty0", "tty1", "console", "ttyUSB", "ttySAC0", "ttyS0a",
             "ttyprintk", "null", "ttyUSB07x"});
    withDriver({"ttyS10", "ttyS0", "ttySAC0"});
    fs::create_directories(dev + "/ttyUSB5");   // a folder, not a device
    stableName("usb-Maker_Bridge_B2-if00-port0", "../../ttyUSB1");
    stableName("usb-Maker_Bridge_A10-if00-port0", "../../ttyUSB0");
    stableName("usb-Maker_Bridge_A9-if00-port0", "../../ttyACM1");
    stableName("usb-Unplugged-if00-port0", "../../ttyUSB9");

    EXPECT_EQ(paths(), (std::vector<std::string>{
                           "/dev/serial/by-id/usb-Maker_Bridge_A9-if00-port0",
                           "/dev/serial/by-id/usb-Maker_Bridge_A10-if00-port0",
                           "/dev/serial/by-id/usb-Maker_Bridge_B2-if00-port0",
                           "/dev/ttyUSB2",
                           "/dev/ttyUSB10",
                           "/dev/ttyACM0",
                           "/dev/ttyAMA0",
                           "/dev/rfcomm0",
                           "/dev/rfcomm3",
                           "/dev/ttyS0",
                           "/dev/ttyS10",
                       }));
}

TEST_F(FakeTree, DescribesEachPort)
{
    devices({"ttyUSB0", "ttyACM0", "ttyAMA0", "rfcomm0", "ttyS0", "ttyXRUSB0"});
    withDriver({"ttyS0"});
    stableName("usb-Maker_Bridge-if00", "../../ttyUSB0");
    stableName("usb-Other_Bridge-if00", "../../ttyXRUSB0");
    const std::string canonicalDev = fs::canonical(dev).string();
    const std::vector<SerialPortEntry> ports = listSerialPorts(dev, sys);
    ASSERT_EQ(ports.size(), 6u);
    const struct {
        std::string path, description;
    } expected[] = {
        {dev + "/serial/by-id/usb-Maker_Bridge-if00", canonicalDev + "/ttyUSB0 (USB serial adapter)"},
        {dev + "/serial/by-id/usb-Other_Bridge-if00", canonicalDev + "/ttyXRUSB0"},
        {dev + "/ttyACM0", "USB serial device (modem class)"},
        {dev + "/ttyAMA0", "on-board serial port"},
        {dev + "/rfcomm0", "Bluetooth serial link"},
        {dev + "/ttyS0", "serial port"},
    };
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].path, expected[i].path);
        EXPECT_EQ(ports[i].description, expected[i].description);
    }
}

TEST_F(FakeTree, ADeviceIsOfferedOnce)
{
    devices({"ttyUSB0", "ttyUSB1"});
    // Two names for one adapter (a rename left the old link): the first kept.
    stableName("usb-B-port0", "../../ttyUSB0");
    stableName("usb-A-port0", dev + "/ttyUSB0");
    // A link in /dev itself names the same device as its target.
    fs::create_symlink("ttyUSB1", dev + "/ttyUSB7");
    EXPECT_EQ(paths(), (std::vector<std::string>{"/dev/serial/by-id/usb-A-port0", "/dev/ttyUSB1"}));
}

TEST_F(FakeTree, TtySNeedsADriverBehindIt)
{
    devices({"ttyS0", "ttyS1", "ttyS2", "ttyS3"});
    withDriver({"ttyS1"});
    // On a real system the driver is a link into /sys/bus; one that leads
    // nowhere means no device.
    fs::create_directories(sys + "/bus/serial8250");
    fs::create_directories(sys + "/class/tty/ttyS2/device");
    fs::create_symlink(sys + "/bus/serial8250", sys + "/class/tty/ttyS2/device/driver");
    fs::create_directories(sys + "/class/tty/ttyS3/device");
    fs::create_symlink(sys + "/bus/gone", sys + "/class/tty/ttyS3/device/driver");
    EXPECT_EQ(paths(), (std::vector<std::string>{"/dev/ttyS1", "/dev/ttyS2"}));
}

TEST_F(FakeTree, MissingOrEmptyTreesGiveNoPorts)
{
    EXPECT_TRUE(listSerialPorts(dev, sys).empty());
    EXPECT_TRUE(listSerialPorts(root + "/nowhere", root + "/nowhere").empty());
    fs::remove_all(dev + "/serial");
    devices({"ttyUSB0", "ttyS0"});
    // Without /sys no ttyS can be shown to be real; the USB adapter still is.
    EXPECT_EQ(listSerialPorts(dev, root + "/nowhere").size(), 1u);
    EXPECT_EQ(paths(), std::vector<std::string>{"/dev/ttyUSB0"});
}

TEST(NaturalOrder, DigitRunsCompareByValue)
{
    const struct {
        const char* a;
        const char* b;
        bool less;
    } cases[] = {
        {"ttyUSB2", "ttyUSB10", true},  {"ttyUSB10", "ttyUSB2", false}, {"ttyUSB2", "ttyUSB2", false},
        {"a9-port0", "a10-port0", true}, {"port1", "port01", false},    {"port01", "port1", true},
        {"port0", "port00", true},       {"ttyS", "ttyS0", true},        {"ttyS0", "ttyS", false},
        {"b", "a10", false},             {"a10b", "a10c", true},         {"a2b10", "a2b9", false},
        {"x99999999999999999999999", "x100000000000000000000000", true},
        {"a0", "a:", true},              {"a9", "a!", false},            {"", "a", true},
        {"", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(naturalLess(c.a, c.b), c.less) << c.a << " < " << c.b;
}

TEST(NaturalOrder, IsAStrictWeakOrder)
{
    const std::vector<std::string> names = {"", "0", "00", "1", "01", "9", "10", "a", "a0", "a00", "a1", "a01",
                                            "a10", "a9b", "a09b", "a9c", "b", "a-1", "a_1", "A1", "\xff", "1a",
                                            "ttyUSB10", "ttyUSB2", "ttyUSB", "ttyUSB02"};
    for (const std::string& a : names) {
        EXPECT_FALSE(naturalLess(a, a)) << a;
        for (const std::string& b : names) {
            if (naturalLess(a, b)) {
                EXPECT_FALSE(naturalLess(b, a)) << a << " / " << b;
            }
            for (const std::string& c : names) {
                if (naturalLess(a, b) && naturalLess(b, c)) {
                    EXPECT_TRUE(naturalLess(a, c)) << a << " < " << b << " < " << c;
                }
            }
        }
    }
}

TEST(WindowsPortDescription, DeviceManagersNameWithoutItsPortElseTheDriversDevice)
{
    struct Case {
        const char* port;
        const char* driverDevice;
        const char* friendlyName;
        const char* shown;
    };
    const Case cases[] = {
        {"COM3", "\\Device\\ProlificSerial0", "Prolific USB-to-Serial Comm Port (COM3)", "Prolific USB-to-Serial Comm Port"},
        {"COM12", "\\Device\\VCP0", "USB Serial Port (COM12)", "USB Serial Port"},
        // Another port's number in the name is part of the name.
        {"COM1", "\\Device\\VCP1", "USB Serial Port (COM12)", "USB Serial Port (COM12)"},
        {"COM4", "\\Device\\Silabser0", "Silicon Labs CP210x USB to UART Bridge", "Silicon Labs CP210x USB to UART Bridge"},
        {"COM5", "\\Device\\Serial0", "", "serial port (\\Device\\Serial0)"},
        {"COM5", "\\Device\\Serial0", " (COM5)", "serial port (\\Device\\Serial0)"},
        {"COM5", "", "", "serial port"},
        {"COM5", "\\Device\\Serial0", "(COM5)", "(COM5)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(windowsPortDescription(c.port, c.driverDevice, c.friendlyName), c.shown)
            << c.port << " [" << c.friendlyName << "]";
}

} // namespace
