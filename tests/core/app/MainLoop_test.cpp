#include "app/MainLoop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using namespace std::chrono_literals;
using namespace tw;

TEST(MainLoop, DelayedTasksRunInDueOrderAfterWaitingTasks) {
    MainLoop loop;
    std::string order;
    loop.postAfter(40ms, [&] {
        order += 'c';
        loop.quit();
    });
    loop.postAfter(10ms, [&] { order += 'b'; });
    loop.postAfter(0ms, [&] { order += 'x'; });
    loop.post([&] { order += 'a'; });
    const auto start = std::chrono::steady_clock::now();
    loop.run();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
    // The task due at once queues behind the one already waiting when the loop looked.
    EXPECT_EQ(order, "axbc");
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
