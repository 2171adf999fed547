#include "core/app/MainLoop.h"

#include <memory>

namespace tw {

MainLoop::MainLoop(const Clock& clock) : m_clock(clock), m_owner(std::this_thread::get_id()) {}

void MainLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            return;
        }
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void MainLoop::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            return;
        }
        m_timed.emplace(m_clock.steadyNow() + delay, std::move(task));
    }
    m_wake.notify_one();
}

bool MainLoop::send(const std::function<void()>& task) {
    std::unique_lock lock(m_mutex);
    if (m_closed) {
        return false;
    }
    if (std::this_thread::get_id() == m_owner) {
        lock.unlock();
        task();
        return true;
    }
    // The queued entry reaches `task` only while this sender still waits for it: a refused
    // send has returned, and the entry then does nothing.
    auto state = std::make_shared<SendState>(SendState::Waiting);
    m_tasks.emplace_back([this, state, &task] {
        {
            std::lock_guard guard(m_mutex);
            if (*state != SendState::Waiting) {
                return;
            }
            *state = SendState::Running;
        }
        struct Finish {
            MainLoop& loop;
            SendState& state;
            ~Finish() {
                {
                    std::lock_guard guard(loop.m_mutex);
                    state = SendState::Done;
                }
                loop.m_sendDone.notify_all();
            }
        } finish{*this, *state};
        task();
    });
    m_wake.notify_one();
    m_sendDone.wait(lock, [&] {
        return *state == SendState::Done || (m_closed && *state == SendState::Waiting);
    });
    if (*state == SendState::Waiting) {
        *state = SendState::Refused;
        return false;
    }
    return true;
}

void MainLoop::close() {
    std::deque<std::function<void()>> dropped;
    std::multimap<Clock::Steady::time_point, std::function<void()>> droppedTimed;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_quit = true;
        dropped.swap(m_tasks);
        droppedTimed.swap(m_timed);
    }
    m_wake.notify_all();
    m_sendDone.notify_all();
    // What the dropped tasks hold is released here, outside the lock.
}

bool MainLoop::closed() const {
    std::lock_guard lock(m_mutex);
    return m_closed;
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
    m_owner = std::this_thread::get_id();
    while (!m_quit) {
        // Timed tasks that are due queue up behind what is waiting, so neither kind starves.
        const auto now = m_clock.steadyNow();
        while (!m_timed.empty() && m_timed.begin()->first <= now) {
            m_tasks.push_back(std::move(m_timed.begin()->second));
            m_timed.erase(m_timed.begin());
        }
        if (m_tasks.empty()) {
            if (m_timed.empty()) {
                m_wake.wait(lock);
            } else {
                m_wake.wait_for(lock, m_timed.begin()->first - now);
            }
            continue;
        }
        auto task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        task();
        // Destroyed outside the lock: what it holds may post.
        task = nullptr;
        lock.lock();
    }
}

} // namespace tw
