#pragma once

#include "core/platform/Clock.h"

#include <atomic>
#include <chrono>

namespace tw::test {

/// A clock that stands still until the test sets or advances it. Its steady time starts at an
/// arbitrary moment far from zero, as a machine's does; only advance() moves it.
class FakeClock : public Clock {
public:
    explicit FakeClock(std::time_t start = 0) : m_now(start) {}
    std::time_t now() const override { return m_now.load(); }
    Steady::time_point steadyNow() const override {
        return Steady::time_point(std::chrono::nanoseconds(m_steady.load()));
    }
    /// Sets the calendar only, as a user who changes the clock: steady time does not move.
    void set(std::time_t value) { m_now = value; }
    /// Time passes: the calendar and the steady time move on together.
    void advance(std::time_t seconds) { advance(std::chrono::seconds(seconds)); }
    /// Time passes by less than a second or more: the calendar moves by the whole seconds the
    /// steady time crosses.
    template <typename Rep, typename Period>
    void advance(std::chrono::duration<Rep, Period> step) {
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(step).count();
        const auto before = m_steady.fetch_add(nanoseconds);
        constexpr std::int64_t kSecond = 1'000'000'000;
        m_now += static_cast<std::time_t>((before + nanoseconds) / kSecond - before / kSecond);
    }

private:
    std::atomic<std::time_t> m_now;
    /// A day after the steady clock's zero, so that "long ago" is representable.
    std::atomic<std::int64_t> m_steady{std::int64_t{86'400} * 1'000'000'000};
};

} // namespace tw::test
