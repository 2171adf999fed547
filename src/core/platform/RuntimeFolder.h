#pragma once

#include <string>

namespace tw {

/// The per-user folder that holds the single-instance lock and the message bus sockets:
/// $XDG_RUNTIME_DIR/orvane, else /tmp/orvane-<uid>. Created with mode 0700 on first use; ""
/// when it cannot be created or is not a private folder of this user (another user could
/// otherwise plant sockets or lock files there).
std::string runtimeFolder();

/// Where runtimeFolder() is, before it is made or checked.
std::string runtimeFolderPath();

/// Makes sure `folder` is a directory owned by this user and reachable by nobody else,
/// creating it (mode 0700) when missing. 0 when that is had; else ENOTDIR (not a directory,
/// or a symbolic link), EPERM (another user's), or the error of creating or narrowing it.
int preparePrivateFolder(const std::string& folder);
/// preparePrivateFolder() == 0.
bool makePrivateFolder(const std::string& folder);

/// The root of the per-user settings store shared with the sibling programs:
/// $XDG_CONFIG_HOME, else ~/.config. Not created here.
std::string configFolder();

} // namespace tw
