#pragma once

#include "core/records/FetchSettings.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace tw {

class Executor;
class Siblings;

/// Picks up the download helper's hand-overs on a worker thread of its own, so that a slow or
/// large file never holds up the owner's thread; each result reaches the owner through the
/// executor. Requests coalesce: while a pick-up waits to start, further requests add nothing;
/// one asked for while a pick-up runs (until its result has reached the owner) leads to exactly
/// one more afterwards, so a hand-over placed meanwhile is not missed.
class HandOverPickUp {
public:
    /// Runs on the owner's thread with what one pick-up brought (nothing when the slot was
    /// empty or its file was refused).
    using Delivery = std::function<void(std::optional<FetchSettings> record)>;

    HandOverPickUp(Siblings& siblings, Executor& executor, Delivery deliver);
    /// Stops.
    ~HandOverPickUp();
    HandOverPickUp(const HandOverPickUp&) = delete;
    HandOverPickUp& operator=(const HandOverPickUp&) = delete;

    /// Asks for a pick-up; returns at once. Called on the owner's thread.
    void request();
    /// Lets a running pick-up finish (a hand-over file is at most a megabyte), joins the worker
    /// and drops its result; later requests do nothing. Called on the owner's thread.
    void stop();

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool requested = false;
        /// A result is on its way to the owner.
        bool delivering = false;
        bool stopping = false;
        Delivery deliver;
    };

    void run();

    Siblings& m_siblings;
    Executor& m_executor;
    std::shared_ptr<State> m_state;
    std::thread m_worker;
};

} // namespace tw
