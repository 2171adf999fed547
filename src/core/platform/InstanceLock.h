#pragma once

#include <string>

namespace tw {

/// Keeps a second instance of a program from running: an exclusive lock on the file
/// <runtime folder>/<name>.lock, held until the object is destroyed or the process ends (the
/// system releases it even after a crash, so a stale file never blocks a start).
class InstanceLock {
public:
    enum class Result { Acquired, HeldElsewhere, Failed };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    /// Takes the lock `name` in `folder` (empty: runtimeFolder()). HeldElsewhere when another
    /// process (or another InstanceLock) holds it; Failed when the file cannot be made. In a
    /// folder this user may not write, an existing lock file is locked through a read-only
    /// open (nothing is written to it either way).
    Result acquire(const std::string& name, const std::string& folder = {});
    bool held() const { return m_fd >= 0; }
    void release();
    /// The errno of the last Failed acquire.
    int error() const { return m_error; }
    /// The lock file of the last acquire.
    const std::string& path() const { return m_path; }

private:
    int m_fd = -1;
    int m_error = 0;
    std::string m_path;
};

} // namespace tw
