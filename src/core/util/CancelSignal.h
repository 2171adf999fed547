#pragma once

#include <atomic>

namespace tw {

/// A stop that one thread raises and another notices at once, even while it waits in poll():
/// the waiter polls fd() beside its own descriptors, so a blocked wait ends the moment the
/// signal is raised instead of at its time-out. Raising is thread-safe and idempotent; the
/// signal stays raised.
class CancelSignal {
public:
    CancelSignal();
    ~CancelSignal();
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    void raise();
    bool raised() const { return m_raised.load(std::memory_order_acquire); }
    /// Readable once raised; -1 when the system gave no descriptor (out of descriptors), and a
    /// waiter then looks at raised() in short slices instead (kFallbackSliceMs).
    int fd() const { return m_fd; }

    static constexpr int kFallbackSliceMs = 50;

private:
    int m_fd = -1;
    std::atomic<bool> m_raised{false};
};

} // namespace tw
