#pragma once

#include "core/platform/Desktop.h"

#include <mutex>
#include <string>
#include <vector>

namespace tw::test {

/// Records every sound played. Safe to call from worker threads.
class FakeSoundPlayer : public SoundPlayer {
public:
    void play(const std::string& file) override {
        std::lock_guard lock(m_mutex);
        m_played.push_back(file);
    }
    std::vector<std::string> played() const {
        std::lock_guard lock(m_mutex);
        return m_played;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_played;
};

/// Records every open and launch and answers with a result the test sets (true by default).
/// Safe to call from worker threads.
class FakeShell : public Shell {
public:
    struct Call {
        std::string target; ///< the opened file or address, or the launched executable
        std::vector<std::string> args;
        std::string workingFolder;
    };

    bool open(const std::string& target, const std::string& workingFolder) override {
        std::lock_guard lock(m_mutex);
        m_opened.push_back({target, {}, workingFolder});
        return m_openResult;
    }
    bool launch(const std::string& executable, const std::vector<std::string>& args,
                const std::string& workingFolder) override {
        std::lock_guard lock(m_mutex);
        m_launched.push_back({executable, args, workingFolder});
        return m_launchResult;
    }

    void setOpenResult(bool result) {
        std::lock_guard lock(m_mutex);
        m_openResult = result;
    }
    void setLaunchResult(bool result) {
        std::lock_guard lock(m_mutex);
        m_launchResult = result;
    }
    std::vector<Call> opened() const {
        std::lock_guard lock(m_mutex);
        return m_opened;
    }
    std::vector<Call> launched() const {
        std::lock_guard lock(m_mutex);
        return m_launched;
    }

private:
    mutable std::mutex m_mutex;
    bool m_openResult = true;
    bool m_launchResult = true;
    std::vector<Call> m_opened;
    std::vector<Call> m_launched;
};

} // namespace tw::test
