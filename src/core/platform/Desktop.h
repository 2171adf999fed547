#pragma once

#include <string>
#include <vector>

namespace tw {

/// Plays event sounds asynchronously. A bare name such as "notify.wav" is looked up in the
/// data folder, then in the installed share folder; a missing file plays the desktop's default
/// message sound or nothing.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual void play(const std::string& file) = 0;
};

/// Opens documents and addresses with the user's programs, and starts sibling programs.
/// Paths and addresses are code page 932 as everywhere in the core.
class Shell {
public:
    virtual ~Shell() = default;
    /// Opens a file or address with its associated program (xdg-open), `workingFolder` as the
    /// started program's current folder (empty: unchanged). True when it could be started.
    virtual bool open(const std::string& target, const std::string& workingFolder) = 0;
    /// Starts an executable detached. True when it could be started.
    virtual bool launch(const std::string& executable, const std::vector<std::string>& args,
                        const std::string& workingFolder) = 0;
};

} // namespace tw
