// The link's watch on its own: what a call's exchanges make of its outcome,
// when the mount counts as silent, when the handshake is tried again, and
// what the clients, the log and the setup page are told.
#include "LinkWatch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// 2026-12-09 22:15:30 UTC.
constexpr std::int64_t kEvening = 1796854530000;

ExchangeTally tally(std::uint64_t exchanges, std::uint64_t unanswered, std::uint32_t inARow,
                    std::uint64_t unusable = 0)
{
    ExchangeTally made;
    made.exchanges = exchanges;
    made.unanswered = unanswered;
    made.unansweredInARow = inARow;
    made.unusable = unusable;
    return made;
}

TEST(LinkWatch, ACallsExchangesDecideWhatItsClientIsTold)
{
    ExchangeTally garbled = tally(11, 0, 0, 1);
    garbled.unusableReply = std::string("12:3\x01:5#", 8);
    garbled.unusableCommand = ":GR#";
    const struct Case {
        const char* what;
        ExchangeTally after;
        OutcomeKind kind;
        std::string text;
        bool silentAfter;
    } cases[] = {
        {"every exchange answered", tally(12, 0, 0), OutcomeKind::Success, "", false},
        {"no exchange at all", tally(10, 0, 0), OutcomeKind::Success, "", false},
        {"one left unanswered", tally(11, 1, 1), OutcomeKind::LinkDown, "The mount is not answering", false},
        {"unanswered, then answered", tally(12, 1, 0), OutcomeKind::LinkDown, "The mount is not answering", false},
        {"a reply that cannot be used", garbled, OutcomeKind::Failure,
         "The mount's reply \"12:3?:5#\" to :GR# cannot be used", false},
        {"the third in a row", tally(11, 1, 3), OutcomeKind::LinkDown, "The mount is not answering", true},
        {"the second in a row", tally(11, 1, 2), OutcomeKind::LinkDown, "The mount is not answering", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LinkWatch watch("/dev/ttyUSB0");
        std::string logLine;
        const Outcome given = watch.judge(tally(10, 0, 0), c.after, Outcome::success(), 5000, kEvening, logLine);
        EXPECT_EQ(given.kind(), c.kind);
        EXPECT_EQ(given.text(), c.text);
        EXPECT_EQ(watch.state() == LinkWatch::State::MountSilent, c.silentAfter);
        EXPECT_EQ(watch.refusal().has_value(), c.silentAfter);
        if (c.silentAfter)
            EXPECT_EQ(logLine, "the mount on /dev/ttyUSB0 is not answering (3 exchanges in a row): requests that "
                               "need it fail at once, and a handshake is tried every 1.5 s");
        else
            EXPECT_EQ(logLine, "");
    }
}

TEST(LinkWatch, AFailureOfTheCoreStandsWhenTheMountAnswered)
{
    LinkWatch watch("/dev/ttyUSB0");
    std::string logLine;
    const Outcome refused = Outcome::failure(OutcomeKind::InvalidWhileParked, "parked");
    const Outcome given = watch.judge(tally(3, 0, 0), tally(4, 0, 0), refused, 0, kEvening, logLine);
    EXPECT_EQ(given.kind(), OutcomeKind::InvalidWhileParked);
    EXPECT_EQ(given.text(), "parked");
}

TEST(LinkWatch, WhileDownEveryRequestIsToldWhyAndTheSetupPageSince)
{
    LinkWatch watch("/dev/serial/by-id/usb-mount");
    EXPECT_EQ(watch.describe(), "open");
    EXPECT_EQ(watch.deviceGone(1000, kEvening),
              "the device /dev/serial/by-id/usb-mount went away: its clients stay connected, and the server looks "
              "for it every 1 s");
    ASSERT_TRUE(watch.refusal());
    EXPECT_EQ(watch.refusal()->kind(), OutcomeKind::LinkDown);
    EXPECT_EQ(watch.refusal()->text(),
              "The device /dev/serial/by-id/usb-mount has gone away; the server is waiting for it to come back");
    EXPECT_EQ(watch.describe(), "gone since 2026-12-09 22:15:30 UTC");

    // Back, but the mount has not answered yet: silent, still counted
    // from the device's going.
    EXPECT_EQ(watch.deviceBackButSilent(4500),
              "the device /dev/serial/by-id/usb-mount is back after 3.5 s, but the mount is not answering yet: a "
              "handshake is tried every 1.5 s");
    EXPECT_EQ(watch.refusal()->text(),
              "The mount is not answering on /dev/serial/by-id/usb-mount; the server tries it again every 1.5 s");
    EXPECT_EQ(watch.describe(), "silent since 2026-12-09 22:15:30 UTC");
    EXPECT_EQ(watch.back(13349, "Corvane A Revision B"),
              "the mount on /dev/serial/by-id/usb-mount answers again after 12.3 s, model Corvane A Revision B as "
              "before: serving again");
    EXPECT_FALSE(watch.refusal());
    EXPECT_EQ(watch.describe(), "open");
}

TEST(LinkWatch, TheHandshakeIsDueEverySecondForADeviceAndEveryOneAndAHalfForASilentMount)
{
    LinkWatch watch("COM3");
    EXPECT_FALSE(watch.handshakeDue(100000)) << "an open link is not looked at";
    watch.deviceGone(100000, kEvening);
    const struct Step {
        std::uint64_t atMs;
        bool due;
    } gone[] = {{100500, false}, {100999, false}, {101000, true}, {101500, false}, {102000, true}, {102001, false}};
    for (const Step& step : gone)
        EXPECT_EQ(watch.handshakeDue(step.atMs), step.due) << "gone, at " << step.atMs;

    watch.deviceBackButSilent(102100);
    const Step silent[] = {{103100, false}, {103599, false}, {103600, true}, {104500, false}, {105100, true}};
    for (const Step& step : silent)
        EXPECT_EQ(watch.handshakeDue(step.atMs), step.due) << "silent, at " << step.atMs;

    watch.back(106200, "Brevan/Lintor/Lintor Plus");
    EXPECT_FALSE(watch.handshakeDue(200000));
}

TEST(LinkWatch, ASilentMountWhoseDeviceThenGoesIsDownSinceTheSilence)
{
    LinkWatch watch("/dev/ttyACM0");
    std::string logLine;
    watch.judge(tally(0, 0, 0), tally(3, 3, 3), Outcome::success(), 10000, kEvening, logLine);
    ASSERT_EQ(watch.state(), LinkWatch::State::MountSilent);
    watch.deviceGone(15000, kEvening + 5000);
    EXPECT_EQ(watch.state(), LinkWatch::State::DeviceGone);
    EXPECT_EQ(watch.describe(), "gone since 2026-12-09 22:15:30 UTC");
    EXPECT_EQ(watch.back(20000, "Corvane A/Corvane B"),
              "the device /dev/ttyACM0 is back after 10.0 s, model Corvane A/Corvane B as before: serving again");
    // More silence while down is no news: the state stays as it was.
    watch.deviceGone(30000, kEvening);
    watch.judge(tally(3, 3, 3), tally(6, 6, 6), Outcome::success(), 31000, kEvening, logLine);
    EXPECT_EQ(watch.state(), LinkWatch::State::DeviceGone);
    watch.reset();
    EXPECT_EQ(watch.state(), LinkWatch::State::Open);
}

} // namespace
