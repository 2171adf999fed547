#include "app/MainLoop.h"

#include <future>

namespace tw {

void MainLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void MainLoop::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        m_timed.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
    }
    m_wake.notify_one();
}

void MainLoop::send(const std::function<void()>& task) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    post([task, done] {
        task();
        done->set_value();
    });
    // A loop that quits without running the task must not strand the sender.
    while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (quitting()) {
            return;
        }
    }
}

void MainLoop::quit() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
}

bool MainLoop::quitting() const {
    std::lock_guard lock(m_mutex);
    return m_quit;
}

void MainLoop::run() {
    std::unique_lock lock(m_mutex);
    while (!m_quit) {
        // Timed tasks that are due queue up behind what is waiting, so neither kind starves.
        const auto now = std::chrono::steady_clock::now();
        while (!m_timed.empty() && m_timed.begin()->first <= now) {
            m_tasks.push_back(std::move(m_timed.begin()->second));
            m_timed.erase(m_timed.begin());
        }
        if (m_tasks.empty()) {
            if (m_timed.empty()) {
                m_wake.wait(lock);
            } else {
                m_wake.wait_until(lock, m_timed.begin()->first);
            }
            continue;
        }
        auto task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace tw
