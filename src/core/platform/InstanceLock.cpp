#include "core/platform/InstanceLock.h"

#include "core/platform/RuntimeFolder.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tw {

InstanceLock::~InstanceLock() {
    release();
}

InstanceLock::Result InstanceLock::acquire(const std::string& name, const std::string& folder) {
    release();
    m_error = 0;
    const std::string base = folder.empty() ? runtimeFolder() : folder;
    if (base.empty() || name.empty() || name.find('/') != std::string::npos) {
        m_path.clear();
        m_error = EINVAL;
        return Result::Failed;
    }
    m_path = base + "/" + name + ".lock";
    // Close-on-exec: a program we start must not inherit the lock and outlive us with it.
    int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    }
    if (fd < 0) {
        m_error = errno;
        return Result::Failed;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        m_error = errno;
        ::close(fd);
        return m_error == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
    }
    m_fd = fd;
    return Result::Acquired;
}

void InstanceLock::release() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace tw
