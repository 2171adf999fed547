#pragma once

#include <string>

namespace tw {

// The login autostart entry of the desktop (XDG autostart): a desktop entry in
// <config>/autostart that the session starts at login. Paths here are names on disk (the
// config folder as the environment names it), not the program's code page 932 text.

/// `configFolder` + "/autostart/tarnwick.desktop".
std::string autostartFile(const std::string& configFolder);

/// Whether the entry at `file` starts the program at login, as a session reads it: the file is
/// there and readable, and its [Desktop Entry] group neither hides it (Hidden=true) nor turns it
/// off (X-GNOME-Autostart-enabled=false). A file the user wrote or changed counts as it says.
bool autostartEnabled(const std::string& file);

/// The running program's own file on disk (/proc/self/exe), the `tarnwick` beside it when that
/// is the window's program started through it; "" when it cannot be told.
std::string runningProgram();

/// The entry that starts `programDiskPath` with --tray after a short delay; "" when that path
/// cannot stand in an Exec line that every desktop reads alike (a control character or a
/// percent sign in it).
std::string autostartEntry(const std::string& programDiskPath);

/// Writes the entry for `programDiskPath` (crash-safe, making the folders it needs), or removes
/// it. "" when done; else what failed and why, for the user (code page 932).
std::string setAutostart(const std::string& configFolder, bool enabled,
                         const std::string& programDiskPath);

} // namespace tw
