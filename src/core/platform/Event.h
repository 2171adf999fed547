#pragma once

#include <chrono>
#include <ctime>
#include <initializer_list>
#include <span>

namespace tw {

class Clock;

/// A signal that threads wait for, as the workers use it: auto-reset (a successful wait
/// consumes the signal, so one waiter goes on per set) or manual-reset (stays set until reset,
/// every waiter goes on). Timed waits measure on the monotonic clock; a time-out of any length,
/// months included, is honoured without overflow, and kInfinite waits for ever.
class Event {
public:
    static constexpr std::chrono::milliseconds kInfinite = std::chrono::milliseconds::max();

    explicit Event(bool manualReset = false, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    /// True when the event was set within `timeout` (a negative one polls); an auto-reset event
    /// is reset by it.
    bool wait(std::chrono::milliseconds timeout = kInfinite);
    /// True when the event was set before the wall-clock `moment` of `clock` came; false once
    /// it has come. A monotonic wait stands still during a suspend and does not follow a clock
    /// change, so the wait goes in slices of at most `slice` and looks at the clock after each:
    /// a jump forward ends it within one slice, a jump backward makes it wait longer.
    bool waitUntil(std::time_t moment, const Clock& clock,
                   std::chrono::milliseconds slice = std::chrono::seconds(1));
    /// The current state, without consuming it.
    bool isSet() const;
    bool manualReset() const { return m_manualReset; }

private:
    friend int waitAny(std::span<Event* const> events, std::chrono::milliseconds timeout);

    const bool m_manualReset;
    bool m_set;
};

/// Waits until one of `events` is set; returns its index (the lowest one when several are set,
/// consuming only that one if it is auto-reset), or -1 when `timeout` passed first.
int waitAny(std::span<Event* const> events, std::chrono::milliseconds timeout = Event::kInfinite);
inline int waitAny(std::initializer_list<Event*> events,
                   std::chrono::milliseconds timeout = Event::kInfinite) {
    return waitAny(std::span<Event* const>(events.begin(), events.size()), timeout);
}

} // namespace tw
