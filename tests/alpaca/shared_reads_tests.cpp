// Reads that overlap share one exchange, but never across a write that
// changed the answer: a read asked after the write makes its own exchange
// rather than take one begun before it, and the older answer, ending last,
// does not take the newer one's place among the kept values.
#include "SharedReads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace {

// A read held under way until released, as a read waiting on the mount.
class HeldRead {
public:
    explicit HeldRead(Json value) : value(std::move(value)) {}
    SharedReads::Result operator()()
    {
        std::unique_lock<std::mutex> lock(mutex);
        started = true;
        changed.notify_all();
        changed.wait(lock, [this] { return released; });
        return {Outcome::success(), value};
    }
    void waitStarted()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return started; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }

private:
    Json value;
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool released = false;
};

struct Case {
    const char* what;
    bool writeBetween;
    // What the second read gets, and the value kept once both ended.
    bool secondMadeItsOwn;
    Json kept;
};

const Case kCases[] = {
    {"two reads at once share one exchange", false, false, Json(false)},
    {"a read after a write that changed the answer makes its own", true, true, Json(true)},
};

} // namespace

TEST(SharedReads, OverlappingReadsShareButNeverAcrossAWrite)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        SharedReads reads(systemClock());
        HeldRead before(Json(false));
        auto first = std::async(std::launch::async, [&] { return reads.read(Member::Slewing, std::ref(before)); });
        before.waitStarted();
        if (c.writeBetween)
            reads.changedByWrite({Member::Slewing});
        bool secondRan = false;
        auto second = std::async(std::launch::async, [&] {
            return reads.read(Member::Slewing, [&] {
                secondRan = true;
                return SharedReads::Result{Outcome::success(), Json(true)};
            });
        });
        // The second ends on its own when it made its own read; when it
        // joined the first, only with it.
        if (c.secondMadeItsOwn) {
            EXPECT_EQ(second.wait_for(std::chrono::seconds(5)), std::future_status::ready)
                << "the read after the write waited for the one begun before it";
        } else {
            // The second is under way only once it has joined the first.
            for (int waited = 0; reads.shared() == 0 && waited < 5000; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        before.release();
        EXPECT_EQ(first.get().value, Json(false));
        EXPECT_EQ(second.get().value, c.secondMadeItsOwn ? Json(true) : Json(false));
        EXPECT_EQ(secondRan, c.secondMadeItsOwn);
        ASSERT_TRUE(reads.fresh(Member::Slewing).has_value());
        EXPECT_EQ(reads.fresh(Member::Slewing)->value, c.kept);
        EXPECT_EQ(reads.made(), c.secondMadeItsOwn ? 2u : 1u);
    }
}
