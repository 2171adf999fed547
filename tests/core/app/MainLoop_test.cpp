#include "core/app/MainLoop.h"
#include "support/FakeClock.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace tw;

TEST(MainLoop, DelayedTasksRunInDueOrderAfterWaitingTasks) {
    test::FakeClock clock;
    MainLoop loop(clock);
    const auto start = clock.steadyNow();
    std::string order;
    std::vector<std::chrono::nanoseconds> ranAt;
    const auto record = [&](char name) {
        order += name;
        ranAt.push_back(clock.steadyNow() - start);
    };
    loop.postAfter(40ms, [&] {
        record('c');
        loop.quit();
    });
    loop.postAfter(10ms, [&] { record('b'); });
    loop.postAfter(0ms, [&] { record('x'); });
    loop.post([&] { record('a'); });
    // Time passes a millisecond per turn of the loop, and each turn posts the next.
    std::function<void()> tick = [&] {
        clock.advance(1ms);
        loop.post(tick);
    };
    loop.post(tick);
    loop.run();
    // The task due at once queues behind the one already waiting when the loop looked.
    EXPECT_EQ(order, "axbc");
    ASSERT_EQ(ranAt.size(), 4u);
    EXPECT_EQ(ranAt[0], 0ms);
    EXPECT_LE(ranAt[1], 1ms);
    EXPECT_GE(ranAt[2], 10ms);
    EXPECT_LE(ranAt[2], 12ms);
    EXPECT_GE(ranAt[3], 40ms);
    EXPECT_LE(ranAt[3], 42ms);
}

TEST(MainLoop, PostFromAnotherThreadWakesADelayedWait) {
    MainLoop loop;
    bool late = false;
    loop.postAfter(10s, [&] { late = true; });
    std::thread poster([&] {
        std::this_thread::sleep_for(20ms);
        loop.post([&] { loop.quit(); });
    });
    const auto start = std::chrono::steady_clock::now();
    loop.run();
    poster.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(late); // dropped: the loop quit before it was due
}

TEST(MainLoop, SendRunsOnTheLoopsThreadAndAtOnceOnItsOwn) {
    MainLoop loop;
    std::thread::id ranOn;
    bool nested = false;
    std::thread worker([&] {
        EXPECT_TRUE(loop.send([&] {
            ranOn = std::this_thread::get_id();
            // A send from the loop's own thread would wait on itself if it were queued.
            EXPECT_TRUE(loop.send([&] { nested = true; }));
        }));
        loop.post([&] { loop.quit(); });
    });
    loop.run();
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(nested);
}

TEST(MainLoop, CloseRefusesSendsAndDropsPosts) {
    MainLoop loop;
    bool ran = false;
    loop.post([&] { ran = true; });
    loop.close();
    loop.post([&] { ran = true; });
    loop.postAfter(0ms, [&] { ran = true; });
    EXPECT_TRUE(loop.closed());
    EXPECT_FALSE(loop.send([&] { ran = true; }));
    loop.run(); // returns at once
    EXPECT_FALSE(ran);
}

// A worker that sends while its owner closes: either the send ran its task and returned true,
// or it returned false without running it; neither side waits for ever. Even rounds close
// from the loop's own thread while it serves the worker, odd rounds from a third thread while
// the loop is not running at all (the shutdown case: the owner left its loop and joins).
TEST(MainLoop, SendAndCloseAtTheSameMomentNeverDeadlock) {
    for (int round = 0; round < 400; ++round) {
        MainLoop loop;
        int ran = 0;
        int accepted = 0;
        std::thread worker([&] {
            while (loop.send([&] { ++ran; })) {
                ++accepted;
            }
        });
        if (round % 2 == 0) {
            loop.post([&] { loop.close(); });
            loop.run();
        } else {
            std::thread closer([&] { loop.close(); });
            closer.join();
        }
        worker.join();
        ASSERT_EQ(ran, accepted) << "round " << round;
        ASSERT_FALSE(loop.send([&] { ++ran; }));
    }
}
