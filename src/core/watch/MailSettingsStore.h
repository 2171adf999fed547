#pragma once

#include "core/watch/UpdateActions.h"

#include <mutex>

namespace tw {

/// The mail server settings, guarded for the checker's worker: the application object keeps
/// them here, the settings dialog changes them on the main thread, and the checker takes a
/// snapshot at the moment it sends, so a change reaches the next mail, not the next start.
class MailSettingsStore {
public:
    void set(MailServerSettings settings) {
        std::lock_guard lock(m_mutex);
        m_settings = std::move(settings);
    }
    MailServerSettings snapshot() const {
        std::lock_guard lock(m_mutex);
        return m_settings;
    }

private:
    mutable std::mutex m_mutex;
    MailServerSettings m_settings;
};

} // namespace tw
