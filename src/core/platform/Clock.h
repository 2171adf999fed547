#pragma once

#include <chrono>
#include <ctime>

namespace tw {

/// The current moment, and the steady time that waits and intervals are measured in; tests
/// replace both with a clock they set and advance.
class Clock {
public:
    using Steady = std::chrono::steady_clock;

    virtual ~Clock() = default;
    /// Calendar time, as the user's clock shows it: it may jump either way.
    virtual std::time_t now() const = 0;
    /// Time that only moves forwards, for deadlines, time-outs and intervals: setting the
    /// calendar clock does not move it. A clock that only fakes the calendar keeps the real one.
    virtual Steady::time_point steadyNow() const { return Steady::now(); }
};

class SystemClock : public Clock {
public:
    std::time_t now() const override { return std::time(nullptr); }
    static const SystemClock& instance() {
        static const SystemClock clock;
        return clock;
    }
};

} // namespace tw
