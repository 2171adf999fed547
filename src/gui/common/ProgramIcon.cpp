#include "gui/common/ProgramIcon.h"

#include <mutex>

// Outside any namespace, as Q_INIT_RESOURCE requires. Registering twice is harmless, so the
// window may also do it itself.
static void registerResources() {
    Q_INIT_RESOURCE(tarnwick);
}

namespace tw::gui {

QIcon programIcon() {
    static std::once_flag once;
    std::call_once(once, registerResources);
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/tarnwick-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

} // namespace tw::gui
