#include "gui/app/SleepWatch.h"

#include <QDBusConnection>

namespace tw::gui {

SleepWatch::SleepWatch(std::function<void()> wokeUp, QObject* parent)
    : QObject(parent), m_wokeUp(std::move(wokeUp)) {
    QDBusConnection bus = QDBusConnection::systemBus();
    m_listening = bus.isConnected() &&
                  bus.connect(QStringLiteral("org.freedesktop.login1"),
                              QStringLiteral("/org/freedesktop/login1"),
                              QStringLiteral("org.freedesktop.login1.Manager"),
                              QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
}

void SleepWatch::prepareForSleep(bool sleeping) {
    if (!sleeping && m_wokeUp) {
        m_wokeUp();
    }
}

} // namespace tw::gui
