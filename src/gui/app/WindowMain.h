#pragma once

namespace tw::gui {

/// Runs the program with its window until Exit; the process's exit code. `inTray`: start hidden
/// in the system tray where there is one (--tray), else shown.
int runWindow(int& argc, char** argv, bool inTray = false);

/// True when a display (or a platform such as offscreen) is there for the window.
bool displayAvailable();

} // namespace tw::gui
