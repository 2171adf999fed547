#pragma once

#include <QObject>

#include <functional>

namespace tw::gui {

/// Hears logind say that the machine has woken from a suspend (PrepareForSleep(false) on the
/// system bus) and passes it on; where there is no system bus or no logind, it never calls, and
/// the core's comparison of the clocks stands in for it.
class SleepWatch : public QObject {
    Q_OBJECT
public:
    explicit SleepWatch(std::function<void()> wokeUp, QObject* parent = nullptr);
    /// True when the signal is subscribed to on the system bus.
    bool listening() const { return m_listening; }

private slots:
    void prepareForSleep(bool sleeping);

private:
    std::function<void()> m_wokeUp;
    bool m_listening = false;
};

} // namespace tw::gui
