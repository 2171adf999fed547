#pragma once

#include <unistd.h>

namespace tw {

/// Closes its file descriptor when it goes out of scope; reads as the descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    operator int() const { return m_fd; }

private:
    int m_fd;
};

} // namespace tw
