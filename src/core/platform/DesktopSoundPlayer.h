#pragma once

#include "core/platform/Desktop.h"

#include <mutex>
#include <string>

namespace tw {

/// The SoundPlayer of a Linux desktop, over libcanberra (freedesktop sound themes). Each play
/// cuts the sound before it short, as one asynchronous sound at a time does on the old
/// platform. Without libcanberra in the build it plays nothing.
class DesktopSoundPlayer : public SoundPlayer {
public:
    /// `dataFolder` empty means programFolder(); `shareFolder` empty means the installed share
    /// folder next to the running executable (<prefix>/share/tarnwick).
    explicit DesktopSoundPlayer(std::string dataFolder = {}, std::string shareFolder = {});
    ~DesktopSoundPlayer() override;
    DesktopSoundPlayer(const DesktopSoundPlayer&) = delete;
    DesktopSoundPlayer& operator=(const DesktopSoundPlayer&) = delete;

    void play(const std::string& file) override;

    /// The file that `play(file)` plays: a path as it stands, a bare name in the data folder,
    /// then in the share folder; "" when there is none (the default message sound plays).
    std::string resolve(const std::string& file) const;

private:
    std::string m_dataFolder;
    std::string m_shareFolder;
    std::mutex m_mutex;
    void* m_context = nullptr;
    bool m_failed = false;
};

} // namespace tw
