#include "core/platform/WakeWatch.h"

namespace tw {

WakeWatch::WakeWatch(const Clock& clock)
    : m_clock(clock), m_lastWall(clock.now()), m_lastSteady(clock.steadyNow()) {}

void WakeWatch::wokeUp() {
    const std::lock_guard lock(m_mutex);
    m_woke = true;
    m_wokeAt = m_clock.steadyNow();
    // The jump this wake-up left between the clocks is told already: a later sample must not
    // take it for a second, later wake-up.
    m_lastWall = m_clock.now();
    m_lastSteady = m_wokeAt;
}

void WakeWatch::sample() {
    const std::lock_guard lock(m_mutex);
    const std::time_t wall = m_clock.now();
    const Clock::Steady::time_point steady = m_clock.steadyNow();
    std::time_t wallSeconds;
    if (__builtin_sub_overflow(wall, m_lastWall, &wallSeconds)) {
        wallSeconds = 0; // a clock set to the ends of time says nothing of a suspend
    }
    const auto wallPassed = std::chrono::seconds(wallSeconds);
    const auto steadyPassed =
        std::chrono::duration_cast<std::chrono::seconds>(steady - m_lastSteady);
    if (wallPassed - steadyPassed >= kJump) {
        m_woke = true;
        m_wokeAt = steady;
    }
    m_lastWall = wall;
    m_lastSteady = steady;
}

bool WakeWatch::wokeWithin(std::chrono::seconds window) const {
    const std::lock_guard lock(m_mutex);
    return m_woke && m_clock.steadyNow() - m_wokeAt < window;
}

} // namespace tw
