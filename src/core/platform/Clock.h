#pragma once

#include <ctime>

namespace tw {

/// The current moment; tests replace it with a clock they set and advance.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::time_t now() const = 0;
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
