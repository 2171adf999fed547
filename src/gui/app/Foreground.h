#pragma once

class QWidget;

namespace tw::gui {

/// Restores a minimised top-level window, raises and activates it. On X11 the window manager is
/// also asked through _NET_ACTIVE_WINDOW as a pager would: it may refuse the program's request.
void bringToForeground(QWidget* window);

} // namespace tw::gui
