#pragma once

#include "core/ports/Executor.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tw::test {

/// An executor whose owner is the test: posted and sent tasks wait until the test runs them
/// with runPending() (or waits for one with runNext()); delayed tasks run only when the test
/// calls runDelayed(), whatever their delay. The thread that made it is the owner's thread.
class ManualExecutor : public Executor {
public:
    ManualExecutor() : m_owner(std::this_thread::get_id()) {}

    void post(std::function<void()> task) override {
        {
            std::lock_guard lock(m_mutex);
            if (m_closed) {
                return;
            }
            m_tasks.push_back(std::move(task));
        }
        m_changed.notify_all();
    }

    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        std::lock_guard lock(m_mutex);
        if (!m_closed) {
            m_delays.push_back(delay);
            m_delayed.push_back(std::move(task));
        }
    }

    [[nodiscard]] bool send(const std::function<void()>& task) override {
        std::unique_lock lock(m_mutex);
        if (m_closed) {
            return false;
        }
        if (std::this_thread::get_id() == m_owner) {
            lock.unlock();
            task();
            return true;
        }
        auto state = std::make_shared<int>(kWaiting);
        m_tasks.push_back([this, state, &task] {
            {
                std::lock_guard guard(m_mutex);
                if (*state != kWaiting) {
                    return;
                }
                *state = kRunning;
            }
            task();
            {
                std::lock_guard guard(m_mutex);
                *state = kDone;
            }
            m_changed.notify_all();
        });
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return *state == kDone || (m_closed && *state == kWaiting); });
        if (*state == kWaiting) {
            *state = kRefused;
            return false;
        }
        return true;
    }

    void close() override {
        std::deque<std::function<void()>> dropped;
        std::vector<std::function<void()>> droppedDelayed;
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
            dropped.swap(m_tasks);
            droppedDelayed.swap(m_delayed);
            m_delays.clear();
        }
        m_changed.notify_all();
    }

    bool closed() const override {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }

    /// Runs the tasks waiting now, and those they post, until none is left; how many ran.
    int runPending() {
        int count = 0;
        while (runOne()) {
            ++count;
        }
        return count;
    }

    /// Waits until a task is posted or sent (or the executor closes) and runs it; false when
    /// it closed first.
    bool runNext() {
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return m_closed || !m_tasks.empty(); });
        }
        return runOne();
    }

    /// Runs every delayed task posted so far, in the order they were posted.
    int runDelayed() {
        std::vector<std::function<void()>> due;
        {
            std::lock_guard lock(m_mutex);
            due.swap(m_delayed);
            m_delays.clear();
        }
        for (auto& task : due) {
            task();
        }
        return static_cast<int>(due.size());
    }

    /// The delays of the delayed tasks waiting, in posting order.
    std::vector<std::chrono::milliseconds> delays() const {
        std::lock_guard lock(m_mutex);
        return m_delays;
    }

private:
    static constexpr int kWaiting = 0;
    static constexpr int kRunning = 1;
    static constexpr int kDone = 2;
    static constexpr int kRefused = 3;

    bool runOne() {
        std::function<void()> task;
        {
            std::lock_guard lock(m_mutex);
            if (m_tasks.empty()) {
                return false;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
        return true;
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_tasks;
    std::vector<std::function<void()>> m_delayed;
    std::vector<std::chrono::milliseconds> m_delays;
    const std::thread::id m_owner;
    bool m_closed = false;
};

} // namespace tw::test
