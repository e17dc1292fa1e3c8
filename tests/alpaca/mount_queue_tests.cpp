// The order in which callers get the mount: motion first, then the clients
// by turns, each client's own calls in the order they came.
#include "MountQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Caller {
    std::string name;
    Urgency urgency;
    std::uint32_t client;
};

struct Case {
    const char* what;
    std::vector<Caller> callers;
    std::vector<std::string> expected;
};

// What the holder does with the mount before it lets go: `served` notes a
// step of its own in the order.
using Holding = std::function<void(MountQueue::Turn& holder, const std::function<void(const std::string&)>& served)>;

// Queues the callers one after the other behind a holder (client 99), lets
// the holder go once `holding` is done, and gives the order they were
// served in.
std::vector<std::string> servedOrder(const std::vector<Caller>& callers, const Holding& holding = {})
{
    MountQueue queue;
    std::mutex orderMutex;
    std::vector<std::string> order;
    const auto served = [&](const std::string& name) {
        std::lock_guard<std::mutex> lock(orderMutex);
        order.push_back(name);
    };
    std::vector<std::thread> threads;
    {
        MountQueue::Turn holder(queue, Urgency::Normal, 99);
        for (const Caller& caller : callers) {
            const std::size_t before = queue.waiting();
            threads.emplace_back([&queue, &served, caller] {
                MountQueue::Turn turn(queue, caller.urgency, caller.client);
                served(caller.name);
            });
            for (int wait = 0; wait < 2000 && queue.waiting() == before; ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (holding)
            holding(holder, served);
    }
    for (std::thread& thread : threads)
        thread.join();
    return order;
}

} // namespace

TEST(MountQueue, MotionFirstThenClientsByTurnsEachInItsOwnOrder)
{
    const Urgency N = Urgency::Normal, M = Urgency::Motion;
    const Case cases[] = {
        {"one client keeps its order", {{"a1", N, 1}, {"a2", N, 1}, {"a3", N, 1}}, {"a1", "a2", "a3"}},
        {"an abort overtakes thirty reads",
         {{"a1", N, 1}, {"a2", N, 1}, {"a3", N, 1}, {"a4", N, 1}, {"a5", N, 1}, {"stop", M, 2}},
         {"stop", "a1", "a2", "a3", "a4", "a5"}},
        {"clients take turns",
         {{"a1", N, 1}, {"a2", N, 1}, {"a3", N, 1}, {"b1", N, 2}, {"c1", N, 3}, {"b2", N, 2}},
         {"a1", "b1", "c1", "a2", "b2", "a3"}},
        {"motion calls keep their own order",
         {{"a1", N, 1}, {"stop1", M, 1}, {"b1", N, 2}, {"stop2", M, 2}},
         {"stop1", "stop2", "a1", "b1"}},
        {"the holder's client waits its turn too", {{"h1", N, 99}, {"a1", N, 1}}, {"a1", "h1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(servedOrder(c.callers), c.expected);
    }
}

TEST(MountQueue, OneCallAtATimeUnderContention)
{
    MountQueue queue;
    int inside = 0, most = 0, calls = 0;
    std::vector<std::thread> threads;
    for (std::uint32_t client = 0; client < 8; ++client)
        threads.emplace_back([&, client] {
            for (int i = 0; i < 200; ++i) {
                MountQueue::Turn turn(queue, i % 7 == 0 ? Urgency::Motion : Urgency::Normal, client);
                most = std::max(most, ++inside);
                ++calls;
                --inside;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(most, 1);
    EXPECT_EQ(calls, 1600);
    EXPECT_EQ(queue.waiting(), 0u);
}

// A call made in two parts holds the mount while others queue behind it:
// between its parts only the stops go, the others after it as before.
TEST(MountQueue, BetweenTheTwoPartsOfACallOnlyTheStopsWaitingGoFirst)
{
    const Urgency N = Urgency::Normal, M = Urgency::Motion;
    const Case cases[] = {
        {"no stop waiting: the second part at once", {{"a1", N, 1}, {"b1", N, 2}},
         {"part 1", "part 2", "a1", "b1"}},
        {"a stop goes between", {{"a1", N, 1}, {"stop", M, 2}, {"b1", N, 3}},
         {"part 1", "stop", "part 2", "a1", "b1"}},
        {"two stops, in their order", {{"stop1", M, 1}, {"a1", N, 1}, {"stop2", M, 2}},
         {"part 1", "stop1", "stop2", "part 2", "a1"}},
        {"the parts' own client waits its turn after", {{"h1", N, 99}, {"stop", M, 99}},
         {"part 1", "stop", "part 2", "h1"}},
    };
    const Holding inTwoParts = [](MountQueue::Turn& holder, const auto& served) {
        served("part 1");
        holder.letStopsThrough();
        served("part 2");
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(servedOrder(c.callers, inTwoParts), c.expected);
    }
}
