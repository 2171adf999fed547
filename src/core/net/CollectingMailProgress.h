#pragma once

#include "core/ports/MailProgress.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tw {

/// The headless mail progress: keeps every notification so that a caller without a display
/// (and a test) can look at the steps afterwards.
class CollectingMailProgress : public MailProgress {
public:
    struct Step {
        bool finished = false;
        std::string text;
        bool operator==(const Step&) const = default;
    };

    void started(const std::string& text, const std::shared_ptr<CancelSignal>& cancel) override {
        std::lock_guard lock(m_mutex);
        m_startTexts.push_back(text);
        m_cancel = cancel;
    }
    void step(bool finished, const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_steps.push_back({finished, text});
    }

    std::vector<std::string> startTexts() const {
        std::lock_guard lock(m_mutex);
        return m_startTexts;
    }
    std::vector<Step> steps() const {
        std::lock_guard lock(m_mutex);
        return m_steps;
    }
    /// The way to cancel the latest dialogue.
    std::shared_ptr<CancelSignal> cancel() const {
        std::lock_guard lock(m_mutex);
        return m_cancel;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_startTexts;
    std::vector<Step> m_steps;
    std::shared_ptr<CancelSignal> m_cancel;
};

} // namespace tw
