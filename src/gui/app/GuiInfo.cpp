#include <QString>

namespace tw::gui {

// Placeholder so that the GUI library links before its windows exist.
QString applicationTitle() { return QStringLiteral("Tarnwick"); }

} // namespace tw::gui
