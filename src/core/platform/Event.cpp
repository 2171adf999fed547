#include "core/platform/Event.h"

#include "core/platform/Clock.h"

#include <condition_variable>
#include <limits>
#include <mutex>

namespace tw {

namespace {

// All events share one lock and one condition: a thread can then wait on several events at
// once and see their states consistently. Events are few and sets are rare, so waking every
// waiter on a set costs nothing that matters.
std::mutex& eventMutex() {
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& eventCondition() {
    static std::condition_variable condition;
    return condition;
}

using Steady = std::chrono::steady_clock;

/// The moment `timeout` from now, or nothing when it lies beyond what the clock can hold.
bool deadlineFor(std::chrono::milliseconds timeout, Steady::time_point& deadline) {
    const auto now = Steady::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::time_point::max() - now);
    if (timeout >= room) {
        return false;
    }
    deadline = now + (timeout.count() < 0 ? std::chrono::milliseconds(0) : timeout);
    return true;
}

} // namespace

Event::Event(bool manualReset, bool initiallySet)
    : m_manualReset(manualReset), m_set(initiallySet) {}

void Event::set() {
    {
        std::lock_guard lock(eventMutex());
        m_set = true;
    }
    eventCondition().notify_all();
}

void Event::reset() {
    std::lock_guard lock(eventMutex());
    m_set = false;
}

bool Event::isSet() const {
    std::lock_guard lock(eventMutex());
    return m_set;
}

bool Event::wait(std::chrono::milliseconds timeout) {
    Event* const self[] = {this};
    return waitAny(self, timeout) == 0;
}

bool Event::waitUntil(std::time_t moment, const Clock& clock, std::chrono::milliseconds slice) {
    if (slice.count() <= 0) {
        slice = std::chrono::milliseconds(1);
    }
    for (;;) {
        const std::time_t now = clock.now();
        if (now >= moment) {
            // A set that came with the moment still counts, as in a timed wait.
            return wait(std::chrono::milliseconds(-1));
        }
        // Compared before multiplying: a moment centuries away must not overflow.
        std::time_t seconds;
        if (__builtin_sub_overflow(moment, now, &seconds)) {
            seconds = std::numeric_limits<std::time_t>::max();
        }
        const auto sliceSeconds = std::chrono::ceil<std::chrono::seconds>(slice).count();
        const auto step =
            seconds < sliceSeconds ? std::chrono::milliseconds(seconds * 1000) : slice;
        if (wait(step)) {
            return true;
        }
    }
}

int waitAny(std::span<Event* const> events, std::chrono::milliseconds timeout) {
    Steady::time_point deadline;
    const bool timed = deadlineFor(timeout, deadline);
    std::unique_lock lock(eventMutex());
    bool timedOut = false;
    while (true) {
        // Looked at once more after a time-out: a set that raced with it still counts.
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i] && events[i]->m_set) {
                if (!events[i]->m_manualReset) {
                    events[i]->m_set = false;
                }
                return static_cast<int>(i);
            }
        }
        if (timedOut) {
            return -1;
        }
        if (!timed) {
            eventCondition().wait(lock);
        } else {
            timedOut = eventCondition().wait_until(lock, deadline) == std::cv_status::timeout;
        }
    }
}

} // namespace tw
