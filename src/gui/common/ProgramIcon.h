#pragma once

#include <QIcon>

namespace tw::gui {

/// The program icon in all its drawn sizes (16 to 256 pixels) from the compiled-in resources,
/// for windows, the tray and the About box. Registers the resources on first use. The icon
/// decodes the image of the size asked for each time and keeps none (GUI thread only).
QIcon programIcon();

} // namespace tw::gui
