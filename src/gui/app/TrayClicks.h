#pragma once

#include <QAbstractNativeEventFilter>
#include <QSystemTrayIcon>

#include <cstdint>
#include <functional>

namespace tw::gui {

/// Clicks on the tray icon while a dialog is modal. On X11 the icon is a window of the program's
/// own, and Qt holds back its clicks while any dialog is modal: the very time a click must bring
/// that dialog back. This filter hears them from the X server instead and reports them as the
/// icon would, a click on each press and a double-click on a second left press within the
/// double-click time; Qt then never sees them. Where the icon's clicks are not held back (no
/// dialog open, other platforms, a tray spoken to over D-Bus) it reports nothing.
class TrayClicks : public QAbstractNativeEventFilter {
public:
    using Report = std::function<void(QSystemTrayIcon::ActivationReason)>;

    /// Installs itself on the application until it is destroyed; `report` runs on the GUI
    /// thread, from inside the event's delivery.
    explicit TrayClicks(Report report);
    ~TrayClicks() override;
    TrayClicks(const TrayClicks&) = delete;
    TrayClicks& operator=(const TrayClicks&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    Report m_report;
    /// The last press heard (X time and button), to hear each press once.
    bool m_anyPress = false;
    std::uint32_t m_lastPress = 0;
    std::uint32_t m_lastButton = 0;
    /// The X time of the last left press that could begin a double-click.
    std::uint32_t m_lastLeftPress = 0;
    bool m_leftPressed = false;
};

} // namespace tw::gui
