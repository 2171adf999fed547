#pragma once

#include "core/platform/Clock.h"

#include <chrono>
#include <mutex>

namespace tw {

/// Knows when the machine last woke from a suspend, from two inputs:
///  - wokeUp(): logind said so (PrepareForSleep(false) on the system bus; the window's
///    gui/app/SleepWatch passes it on). Exact, where logind is there.
///  - sample(): the calendar clock moved on further than the monotonic one since the last
///    sample, which stands still during a suspend. The checker samples while it waits (every
///    second) and the session at each finished check, so that a wake-up is seen within a second
///    also where there is no logind (the headless mode, a machine without systemd). A user who
///    sets the clock forward by more than kJump counts as a wake-up too: harmless, it only buys
///    a failing check one more try.
/// Any thread may call any member.
class WakeWatch {
public:
    /// The least gap between the two clocks that counts as a suspend.
    static constexpr std::chrono::seconds kJump{10};

    explicit WakeWatch(const Clock& clock);
    WakeWatch(const WakeWatch&) = delete;
    WakeWatch& operator=(const WakeWatch&) = delete;

    void wokeUp();
    void sample();
    /// True when a wake-up was seen less than `window` ago (steady time).
    bool wokeWithin(std::chrono::seconds window) const;

private:
    const Clock& m_clock;
    mutable std::mutex m_mutex;
    std::time_t m_lastWall;
    Clock::Steady::time_point m_lastSteady;
    bool m_woke = false;
    Clock::Steady::time_point m_wokeAt{};
};

} // namespace tw
