#include "core/platform/Event.h"
#include "support/FakeClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace tw {
namespace {

using namespace std::chrono_literals;

/// Polls `done` for up to ten seconds; for waiting on another thread without a fixed sleep.
template <typename Predicate>
bool eventually(Predicate done) {
    for (int i = 0; i < 1000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

TEST(EventTest, AutoResetLetsOneWaitThroughPerSet) {
    Event event;
    EXPECT_FALSE(event.manualReset());
    EXPECT_FALSE(event.wait(0ms));
    event.set();
    event.set(); // a second set before any wait is not counted
    EXPECT_TRUE(event.isSet());
    EXPECT_TRUE(event.wait(0ms));
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.wait(20ms));

    Event initiallySet(false, true);
    EXPECT_TRUE(initiallySet.wait(-5ms));
    EXPECT_FALSE(initiallySet.wait(-5ms));
}

TEST(EventTest, ManualResetStaysSetUntilReset) {
    Event event(true, false);
    event.set();
    EXPECT_TRUE(event.wait(0ms));
    EXPECT_TRUE(event.wait(0ms));
    event.reset();
    EXPECT_FALSE(event.wait(0ms));
}

TEST(EventTest, SetWakesEveryWaiterOfAManualEventButOneOfAnAutoEvent) {
    Event manual(true);
    Event automatic(false);
    std::atomic<int> manualPassed{0};
    std::atomic<int> autoPassed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            manual.wait();
            ++manualPassed;
        });
        threads.emplace_back([&] {
            automatic.wait();
            ++autoPassed;
        });
    }
    manual.set();
    EXPECT_TRUE(eventually([&] { return manualPassed == 3; }));
    for (int round = 1; round <= 3; ++round) {
        automatic.set();
        EXPECT_TRUE(eventually([&] { return autoPassed == round; }));
        // The signal was consumed by that one waiter.
        EXPECT_TRUE(eventually([&] { return !automatic.isSet(); }));
        EXPECT_EQ(autoPassed, round);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST(EventTest, TimeOutsOfMonthsDoNotFireEarly) {
    // Waits as long as a schedule may ask for (a month and more, beyond 32-bit milliseconds)
    // and beyond anything a clock can hold must wait, not return at once.
    for (const std::chrono::milliseconds timeout :
         {std::chrono::milliseconds(40LL * 24 * 3600 * 1000), std::chrono::milliseconds(1LL << 40),
          Event::kInfinite, std::chrono::milliseconds::max() - 1ms}) {
        Event event;
        std::atomic<int> result{-1};
        std::thread waiter([&] { result = event.wait(timeout) ? 1 : 0; });
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(result, -1) << timeout.count();
        event.set();
        waiter.join();
        EXPECT_EQ(result, 1) << timeout.count();
    }
}

TEST(EventTest, WaitAnyReturnsTheLowestSetEventAndConsumesOnlyIt) {
    Event first;
    Event second(true);
    Event third;
    EXPECT_EQ(waitAny({&first, &second, &third}, 10ms), -1);

    third.set();
    second.set();
    EXPECT_EQ(waitAny({&first, &second, &third}, 0ms), 1);
    EXPECT_TRUE(second.isSet()); // manual: still set
    second.reset();
    EXPECT_EQ(waitAny({&first, &second, &third}, 0ms), 2);
    EXPECT_FALSE(third.isSet()); // auto: consumed
    EXPECT_EQ(waitAny({&first, nullptr, &third}, 0ms), -1);

    std::atomic<int> index{-2};
    std::thread waiter([&] { index = waitAny({&first, &second, &third}); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(index, -2);
    third.set();
    waiter.join();
    EXPECT_EQ(index, 2);
    EXPECT_FALSE(third.isSet());
}

/// A fake wall clock that counts how often it was read, so that a test can tell that a waiter
/// has looked at the clock again without guessing at times.
class CountingClock : public Clock {
public:
    std::time_t now() const override {
        {
            std::lock_guard lock(m_mutex);
            ++m_reads;
        }
        m_readCondition.notify_all();
        return m_clock.now();
    }
    void set(std::time_t value) { m_clock.set(value); }
    /// Blocks until the clock was read `count` more times than when called.
    void awaitReads(int count) const {
        std::unique_lock lock(m_mutex);
        const long target = m_reads + count;
        m_readCondition.wait(lock, [&] { return m_reads >= target; });
    }

private:
    test::FakeClock m_clock;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_readCondition;
    mutable long m_reads = 0;
};

/// Runs waitUntil on a thread; `result` is -1 while it waits, then 0 or 1.
struct WallWaiter {
    WallWaiter(Event& event, std::time_t moment, const Clock& clock) {
        thread = std::thread([&, moment] { result = event.waitUntil(moment, clock, 2ms) ? 1 : 0; });
    }
    ~WallWaiter() { thread.join(); }
    std::atomic<int> result{-1};
    std::thread thread;
};

TEST(EventTest, WaitForAWallClockMomentFollowsJumpsOfTheClock) {
    CountingClock clock;
    clock.set(1000);
    Event event;
    {
        // Forward: a suspend or a clock set past the moment ends the wait at once.
        WallWaiter waiter(event, 1000 + 6 * 3600, clock);
        clock.awaitReads(3);
        EXPECT_EQ(waiter.result, -1);
        clock.set(1000 + 7 * 3600);
        EXPECT_TRUE(eventually([&] { return waiter.result == 0; }));
    }
    {
        // Backward: the moment is measured from the clock again, so the wait goes on.
        clock.set(5000);
        WallWaiter waiter(event, 5060, clock);
        clock.awaitReads(2);
        clock.set(100);
        clock.awaitReads(3);
        clock.set(5059);
        clock.awaitReads(3);
        EXPECT_EQ(waiter.result, -1);
        clock.set(5060);
        EXPECT_TRUE(eventually([&] { return waiter.result == 0; }));
    }
    {
        // A set wakes it long before the moment; a moment already past does not wait at all.
        WallWaiter waiter(event, std::numeric_limits<std::time_t>::max(), clock);
        clock.awaitReads(2);
        event.set();
        EXPECT_TRUE(eventually([&] { return waiter.result == 1; }));
    }
    EXPECT_FALSE(event.waitUntil(0, clock));
    event.set();
    EXPECT_TRUE(event.waitUntil(0, clock));
    EXPECT_FALSE(event.isSet());
}

} // namespace
} // namespace tw
