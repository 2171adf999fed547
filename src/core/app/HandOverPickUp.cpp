#include "core/app/HandOverPickUp.h"

#include "core/app/Siblings.h"
#include "core/ports/Executor.h"

namespace tw {

HandOverPickUp::HandOverPickUp(Siblings& siblings, Executor& executor, Delivery deliver)
    : m_siblings(siblings), m_executor(executor), m_state(std::make_shared<State>()) {
    m_state->deliver = std::move(deliver);
}

HandOverPickUp::~HandOverPickUp() {
    stop();
}

void HandOverPickUp::request() {
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopping) {
            return;
        }
        m_state->requested = true;
    }
    m_state->changed.notify_all();
    if (!m_worker.joinable()) {
        m_worker = std::thread([this] { run(); });
    }
}

void HandOverPickUp::stop() {
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->changed.notify_all();
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void HandOverPickUp::run() {
    const std::shared_ptr<State> state = m_state;
    std::unique_lock lock(state->mutex);
    while (true) {
        // One pick-up at a time, and the next only once the owner has the last result: a
        // flood of requests can never pile up work on either thread.
        state->changed.wait(
            lock, [&] { return state->stopping || (state->requested && !state->delivering); });
        if (state->stopping) {
            return;
        }
        state->requested = false;
        state->delivering = true;
        lock.unlock();
        std::optional<FetchSettings> record = m_siblings.pickUpHandOver();
        // Dropped when the executor has closed; stop() then ends the wait above.
        m_executor.post([state, record = std::move(record)]() mutable {
            {
                std::lock_guard guard(state->mutex);
                if (state->stopping) {
                    return;
                }
                state->delivering = false;
            }
            state->changed.notify_all();
            // May open a modal sheet: the worker is free to go on meanwhile.
            state->deliver(std::move(record));
        });
        lock.lock();
    }
}

} // namespace tw
