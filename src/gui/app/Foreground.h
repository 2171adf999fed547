#pragma once

class QWidget;

namespace tw::gui {

/// Raises and activates a top-level window; on X11 the window manager is also asked through
/// _NET_ACTIVE_WINDOW as a pager would, since it may refuse an application's own request.
void bringToForeground(QWidget* window);

} // namespace tw::gui
