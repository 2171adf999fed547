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
