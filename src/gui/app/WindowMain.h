#pragma once

namespace tw::gui {

/// Runs the program with its window until Exit; the process's exit code.
int runWindow(int& argc, char** argv);

/// True when a display (or a platform such as offscreen) is there for the window.
bool displayAvailable();

} // namespace tw::gui
