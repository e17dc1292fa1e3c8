// The POSIX serial port over a pseudo-terminal pair: exclusive open, the
// line settings as the system reads them back, every byte both ways, the
// read's one deadline, purge, a far end that goes away.
#include "PosixSerialPort.h"
#include "PseudoTerminal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Whether the slave is in the tty's exclusive mode; -1 when the system
// cannot tell.
int exclusiveMode(int descriptor)
{
#ifdef TIOCGEXCL
    int on = 0;
    return ioctl(descriptor, TIOCGEXCL, &on) == 0 ? (on != 0) : -1;
#else
    (void)descriptor;
    return -1;
#endif
}

// Opens the path as another process would, and tries the port's lock on it:
// "refused" (the open failed), "locked" (opened, the lock is held), or
// "free".
std::string anotherOpener(const std::string& path)
{
    int other = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (other < 0)
        return errno == EBUSY ? "refused" : "open failed: " + std::to_string(errno);
    std::string result = flock(other, LOCK_EX | LOCK_NB) == 0 ? "free" : (errno == EWOULDBLOCK ? "locked" : "?");
    close(other);
    return result;
}

// A line as a terminal program would have left it: cooked, echoing, 7E2
// with flow control, so that a port which leaves any of it shows.
void cookLine(int slave)
{
    termios settings{};
    ASSERT_EQ(tcgetattr(slave, &settings), 0);
    settings.c_iflag |= ICRNL | IXON | IXOFF | IXANY | ISTRIP | INLCR;
    settings.c_oflag |= OPOST | ONLCR;
    settings.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
    settings.c_cflag &= ~tcflag_t(CSIZE | CLOCAL);
    settings.c_cflag |= CS7 | PARENB | CSTOPB | CRTSCTS;
    settings.c_cc[VMIN] = 4;
    settings.c_cc[VTIME] = 7;
    cfsetspeed(&settings, B2400);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &settings), 0);
}

std::string everyByteValue()
{
    std::string all;
    for (int byte = 0; byte < 256; ++byte)
        all += char(byte);
    return all;
}

TEST(PosixSerialPort, OpensExclusivelyAndASecondOpenerIsRefusedRootIncluded)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    EXPECT_EQ(anotherOpener(line.path()), "free");

    PosixSerialPort first;
    ASSERT_TRUE(first.open(line.path().c_str(), 9600));
    EXPECT_TRUE(first.isOpen());

    // Our own second port, and any other opener: as root the exclusive mode
    // lets the open through, the lock still refuses it.
    PosixSerialPort second;
    EXPECT_FALSE(second.open(line.path().c_str(), 9600));
    EXPECT_FALSE(second.isOpen());
    const std::string other = anotherOpener(line.path());
    if (geteuid() == 0)
        EXPECT_EQ(other, "locked");
    else
        EXPECT_EQ(other, "refused");
    EXPECT_NE(exclusiveMode(line.slaveDescriptor()), 0);
    // The refused second port left the first one working.
    EXPECT_TRUE(first.write("ok", 2));
    EXPECT_EQ(line.receive(2, 1000), "ok");

    // Closed, the line is free again, exclusive mode and lock both.
    first.close();
    EXPECT_NE(exclusiveMode(line.slaveDescriptor()), 1);
    EXPECT_EQ(anotherOpener(line.path()), "free");
    ASSERT_TRUE(second.open(line.path().c_str(), 9600));
    EXPECT_TRUE(second.isOpen());
}

TEST(PosixSerialPort, WhatCannotBeOpenedFailsCleanlyAndHoldsNothing)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    char folder[] = "/tmp/velmaro-port-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string plainFile = std::string(folder) + "/file";
    close(open(plainFile.c_str(), O_WRONLY | O_CREAT, 0600));

    struct Case {
        const char* what;
        std::string path;
        std::uint32_t baud;
    };
    const Case cases[] = {
        {"missing path", std::string(folder) + "/no-such-port", 9600},
        {"a folder", folder, 9600},
        {"a plain file", plainFile, 9600},
        {"not a terminal", "/dev/null", 9600},
        {"rate 0 (hang up)", line.path(), 0},
        {"rate 12345", line.path(), 12345},
        {"rate 9601", line.path(), 9601},
        {"rate 4294967295", line.path(), 4294967295u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PosixSerialPort port;
        EXPECT_FALSE(port.open(c.path.c_str(), c.baud));
        EXPECT_FALSE(port.isOpen());
        EXPECT_FALSE(port.write("x", 1));
        char byte = 0;
        EXPECT_EQ(port.read(&byte, 1), 0u);
        EXPECT_FALSE(port.purge());
        port.close();
        port.close();
        EXPECT_EQ(anotherOpener(line.path()), "free");
        EXPECT_NE(exclusiveMode(line.slaveDescriptor()), 1);
    }
    PosixSerialPort noPath;
    EXPECT_FALSE(noPath.open(nullptr, 9600));
    EXPECT_FALSE(noPath.isOpen());

    // A port that failed opens the line afterwards; an open port opened
    // again lets go of its first line.
    PosixSerialPort port;
    EXPECT_FALSE(port.open(plainFile.c_str(), 9600));
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));
    PseudoTerminal otherLine;
    ASSERT_TRUE(otherLine.ready());
    ASSERT_TRUE(port.open(otherLine.path().c_str(), 9600));
    EXPECT_EQ(anotherOpener(line.path()), "free");

    unlink(plainFile.c_str());
    rmdir(folder);
}

TEST(PosixSerialPort, SetsRawEightNoneOneAtTheRateAsked)
{
    struct Case {
        std::uint32_t baud;
        speed_t speed;
    };
    const Case cases[] = {{9600, B9600}, {1200, B1200}, {4800, B4800}, {19200, B19200}, {115200, B115200}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        PseudoTerminal line;
        ASSERT_TRUE(line.ready());
        cookLine(line.slaveDescriptor());
        PosixSerialPort port;
        ASSERT_TRUE(port.open(line.path().c_str(), c.baud));

        termios settings{};
        ASSERT_EQ(tcgetattr(line.slaveDescriptor(), &settings), 0);
        EXPECT_EQ(cfgetospeed(&settings), c.speed);
        EXPECT_EQ(cfgetispeed(&settings), c.speed);
        EXPECT_EQ(settings.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_EQ(settings.c_iflag & (ICRNL | IXON | IXOFF | IXANY | ISTRIP | INLCR | IGNCR), 0u);
        EXPECT_EQ(settings.c_oflag & OPOST, 0u);
        EXPECT_EQ(settings.c_cc[VMIN], 1);
        EXPECT_EQ(settings.c_cc[VTIME], 0);
    }
}

TEST(PosixSerialPort, EveryByteValueCrossesUnchangedBothWays)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    cookLine(line.slaveDescriptor());
    PosixSerialPort port;
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));
    const std::string all = everyByteValue();

    // Ours to the mount: no CR added to a line feed, nothing dropped.
    EXPECT_TRUE(port.write(all.data(), std::uint32_t(all.size())));
    EXPECT_EQ(line.receive(all.size() + 1, 300), all);

    // The mount's to us: no signal, no XON/XOFF, no end of file, no CR
    // turned into LF, and nothing echoed back to the mount.
    ASSERT_TRUE(line.send(all));
    std::string got(all.size(), '\0');
    std::uint32_t count = 0;
    double ms = elapsedMs([&] { count = port.read(&got[0], std::uint32_t(got.size())); });
    EXPECT_EQ(count, all.size());
    EXPECT_EQ(got, all);
    EXPECT_LT(ms, 300.0) << "by count, not by time-out";
    EXPECT_EQ(line.receive(1, 100), "") << "echoed";
}

TEST(PosixSerialPort, WriteDeliversEveryByteOrGivesUpWhenTheLineTakesNone)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    PosixSerialPort port;
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));

    EXPECT_TRUE(port.write(nullptr, 0));
    EXPECT_FALSE(port.write(nullptr, 1));

    // Far more than the system buffers: the write waits for the mount to
    // read, in slices, and every byte arrives in order.
    std::string big;
    for (int i = 0; i < 256 * 1024; ++i)
        big += char('a' + i % 23);
    std::string arrived;
    std::thread mount([&] { arrived = line.receive(big.size(), 20000); });
    bool written = port.write(big.data(), std::uint32_t(big.size()));
    mount.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(arrived.size(), big.size());
    EXPECT_TRUE(arrived == big);

    // A mount that reads nothing: once the buffers are full the write gives
    // up after a second without progress, instead of hanging.
    bool refused = true;
    double ms = elapsedMs([&] { refused = port.write(big.data(), std::uint32_t(big.size())); });
    EXPECT_FALSE(refused);
    EXPECT_GE(ms, 990.0);
    EXPECT_LT(ms, 2500.0);
}

TEST(PosixSerialPort, ReadReturnsAsSoonAsCountBytesCame)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    PosixSerialPort port;
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));
    char buffer[16] = {};

    // Already there: at once, and the extra bytes wait for the next read.
    ASSERT_TRUE(line.send("6150#V1.00#"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::uint32_t count = 0;
    double ms = elapsedMs([&] { count = port.read(buffer, 5); });
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::string(buffer, 5), "6150#");
    EXPECT_LT(ms, 50.0);
    ms = elapsedMs([&] { count = port.read(buffer, 6); });
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(std::string(buffer, 6), "V1.00#");
    EXPECT_LT(ms, 50.0);

    // Arriving 150 ms into the read: the read ends then, not at its deadline.
    std::thread mount([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        line.send("+12*34#");
    });
    ms = elapsedMs([&] { count = port.read(buffer, 7); });
    mount.join();
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(std::string(buffer, 7), "+12*34#");
    EXPECT_GE(ms, 140.0);
    EXPECT_LT(ms, 350.0);
}

TEST(PosixSerialPort, ReadEndsAtFiveHundredPlusOneMsPerRequestedByte)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    PosixSerialPort port;
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));
    char buffer[128];

    // What came before the deadline, whether nothing or part of the reply.
    struct Case {
        std::uint32_t count;
        const char* sent;
    };
    const Case cases[] = {{1, ""}, {6, ""}, {40, ""}, {98, ""}, {6, "6150"}, {10, "+22"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " bytes asked, \"" + c.sent + "\" sent");
        ASSERT_TRUE(line.send(c.sent));
        std::uint32_t got = 999;
        double ms = elapsedMs([&] { got = port.read(buffer, c.count); });
        const double deadline = 500.0 + c.count;
        EXPECT_EQ(got, std::string(c.sent).size());
        EXPECT_EQ(std::string(buffer, got), c.sent);
        // The deadline is kept in whole milliseconds: at most one early.
        EXPECT_GE(ms, deadline - 1.0);
        EXPECT_LT(ms, deadline + 100.0);
        std::printf("[ figures  ] read of %u bytes, %zu came: %.1f ms (deadline %.0f)\n", c.count,
                    std::string(c.sent).size(), ms, deadline);
    }
}

TEST(PosixSerialPort, ReplyTricklingInIsReadWholeInsideTheDeadline)
{
    // One deadline for the whole read, no gap limit: ten bytes 40 ms apart
    // (360 ms) are read whole; 80 ms apart (720 ms) the deadline at 510 ms
    // cuts them off with what came.
    struct Case {
        int gapMs;
        std::uint32_t fewest;
        std::uint32_t most;
        double fromMs;
        double toMs;
    };
    const Case cases[] = {{40, 10, 10, 350.0, 480.0}, {80, 6, 8, 509.0, 610.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.gapMs) + " ms apart");
        PseudoTerminal line;
        ASSERT_TRUE(line.ready());
        PosixSerialPort port;
        ASSERT_TRUE(port.open(line.path().c_str(), 9600));
        const std::string reply = "12:34:56.#";
        std::thread mount([&] {
            for (std::size_t i = 0; i < reply.size(); ++i) {
                if (i > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(c.gapMs));
                line.send(reply.substr(i, 1));
            }
        });
        char buffer[16] = {};
        std::uint32_t got = 0;
        double ms = elapsedMs([&] { got = port.read(buffer, 10); });
        mount.join();
        EXPECT_GE(got, c.fewest);
        EXPECT_LE(got, c.most);
        EXPECT_EQ(std::string(buffer, got), reply.substr(0, got));
        EXPECT_GE(ms, c.fromMs);
        EXPECT_LT(ms, c.toMs);
    }
}

TEST(PosixSerialPort, PurgeDropsInputThatCameBeforeButNotOurOutput)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    PosixSerialPort port;
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));
    char buffer[8] = {};

    ASSERT_TRUE(line.send("stale#"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(port.purge());
    EXPECT_EQ(port.read(buffer, 6), 0u);

    // Without the purge the same bytes are read.
    ASSERT_TRUE(line.send("fresh#"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(port.read(buffer, 6), 6u);
    EXPECT_EQ(std::string(buffer, 6), "fresh#");

    // A command the mount has not read yet survives the next purge.
    EXPECT_TRUE(port.write(":RS#", 4));
    EXPECT_TRUE(port.purge());
    EXPECT_EQ(line.receive(5, 300), ":RS#");
}

TEST(PosixSerialPort, FarEndGoingAwayMidReadEndsTheReadWithWhatCame)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    PosixSerialPort port;
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));
    char buffer[16] = {};
    std::uint32_t got = 0;
    // Timed from before the mount's thread starts, to the read's end: the
    // hang-up comes at least 150 ms after that start, however late the
    // read itself begins.
    const auto begun = std::chrono::steady_clock::now();
    std::thread mount([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        line.send("12");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        line.closeMaster();
    });
    got = port.read(buffer, 10);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count();
    mount.join();
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buffer, got), "12");
    EXPECT_GE(ms, 140.0) << "ended when the first bytes came, not by the hang-up";
    EXPECT_LT(ms, 400.0) << "ended by the hang-up, not by the 510 ms deadline";
    // The server lets go of a port whose device went away on this.
    EXPECT_TRUE(port.hasHungUp());

    // Hung up: reads end at once, writes fail, close is still fine.
    ms = elapsedMs([&] { got = port.read(buffer, 10); });
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ms, 100.0);
    EXPECT_FALSE(port.write(":GR#", 4));
    EXPECT_TRUE(port.hasHungUp());
    EXPECT_TRUE(port.isOpen());
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(port.hasHungUp()) << "a closed port starts afresh at its next open";
}

TEST(PosixSerialPort, SilenceAndWritesToALiveLineAreNoHangUp)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    PosixSerialPort port;
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));
    char buffer[4];
    EXPECT_EQ(port.read(buffer, 2), 0u);
    EXPECT_TRUE(port.write(":GR#", 4));
    ASSERT_TRUE(line.send("1"));
    EXPECT_EQ(port.read(buffer, 1), 1u);
    EXPECT_FALSE(port.hasHungUp()) << "a mount that does not answer has not gone away";
}

TEST(PosixSerialPort, CloseIsIdempotentAndTheSameObjectOpensAgain)
{
    PosixSerialPort neverOpened;
    neverOpened.close();
    neverOpened.close();
    EXPECT_FALSE(neverOpened.isOpen());
    char byte = 0;
    EXPECT_EQ(neverOpened.read(&byte, 1), 0u);
    EXPECT_FALSE(neverOpened.write("x", 1));
    EXPECT_FALSE(neverOpened.purge());

    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    PosixSerialPort port;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(port.open(line.path().c_str(), 9600));
        EXPECT_TRUE(port.write("r", 1));
        EXPECT_EQ(line.receive(1, 500), "r");
        port.close();
        port.close();
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(anotherOpener(line.path()), "free");
    }
    // Zero bytes asked, or no buffer: nothing read, no wait.
    ASSERT_TRUE(port.open(line.path().c_str(), 9600));
    double ms = elapsedMs([&] {
        EXPECT_EQ(port.read(&byte, 0), 0u);
        EXPECT_EQ(port.read(nullptr, 5), 0u);
    });
    EXPECT_LT(ms, 50.0);
}

TEST(PosixSerialPort, SystemPortIsThePosixOne)
{
    std::unique_ptr<SerialPort> port = makeSystemSerialPort();
    ASSERT_NE(port, nullptr);
    EXPECT_NE(dynamic_cast<PosixSerialPort*>(port.get()), nullptr);
    EXPECT_FALSE(port->isOpen());
}

} // namespace
