#pragma once

#include <QIcon>

namespace tw::gui {

/// The program icon in all its drawn sizes (16 to 256 pixels) from the compiled-in resources,
/// for windows, the tray and the About box. Registers the resources on first use.
QIcon programIcon();

} // namespace tw::gui
