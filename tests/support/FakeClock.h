#pragma once

#include "platform/Clock.h"

#include <atomic>

namespace tw::test {

/// A clock that stands still until the test sets or advances it.
class FakeClock : public Clock {
public:
    explicit FakeClock(std::time_t start = 0) : m_now(start) {}
    std::time_t now() const override { return m_now.load(); }
    void set(std::time_t value) { m_now = value; }
    void advance(std::time_t seconds) { m_now += seconds; }

private:
    std::atomic<std::time_t> m_now;
};

} // namespace tw::test
