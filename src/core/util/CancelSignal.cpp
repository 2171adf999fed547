#include "core/util/CancelSignal.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tw {

CancelSignal::CancelSignal() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelSignal::~CancelSignal() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void CancelSignal::raise() {
    if (m_raised.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    if (m_fd >= 0) {
        // The counter is never read back: once non-zero, the descriptor stays readable.
        const std::uint64_t one = 1;
        (void)!::write(m_fd, &one, sizeof one);
    }
}

} // namespace tw
