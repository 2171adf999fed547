#include "gui/app/TrayClicks.h"

#include <QApplication>
#include <QWidget>

#ifdef TARNWICK_WITH_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

namespace tw::gui {

namespace {

#ifdef TARNWICK_WITH_XCB
/// The icon's own window: Qt's tray icon on X11 is a top-level widget of this class.
bool isTrayIconWindow(xcb_window_t window) {
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget* widget : windows) {
        if (widget->inherits("QSystemTrayIconSys") &&
            widget->internalWinId() == static_cast<WId>(window)) {
            return true;
        }
    }
    return false;
}

/// The major opcode of the X input extension (version 2 carries Qt's mouse events); 0 when the
/// server has none.
std::uint8_t inputExtension() {
    static const std::uint8_t opcode = [] {
        auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
        if (!x11 || !x11->connection()) {
            return std::uint8_t{0};
        }
        static const char name[] = "XInputExtension";
        xcb_connection_t* connection = x11->connection();
        xcb_query_extension_reply_t* reply = xcb_query_extension_reply(
            connection, xcb_query_extension(connection, sizeof(name) - 1, name), nullptr);
        const std::uint8_t major = reply && reply->present ? reply->major_opcode : 0;
        std::free(reply);
        return major;
    }();
    return opcode;
}

/// A button press or release, from the core protocol or from the input extension.
struct Button {
    bool press = false;
    std::uint32_t button = 0;
    std::uint32_t time = 0;
    xcb_window_t window = 0;
};

bool readButton(const xcb_generic_event_t* event, Button& out) {
    const std::uint8_t kind = event->response_type & 0x7f;
    if (kind == XCB_BUTTON_PRESS || kind == XCB_BUTTON_RELEASE) {
        // Release has the same layout.
        const auto* button = reinterpret_cast<const xcb_button_press_event_t*>(event);
        out = {kind == XCB_BUTTON_PRESS, button->detail, button->time, button->event};
        return true;
    }
    if (kind != XCB_GE_GENERIC) {
        return false;
    }
    // The input extension's device events, as the protocol lays out their first 32 bytes:
    // type, extension, sequence, length, event type, device, time, button, root, event window.
    constexpr std::uint16_t kButtonPress = 4;
    constexpr std::uint16_t kButtonRelease = 5;
    const auto* bytes = reinterpret_cast<const unsigned char*>(event);
    const std::uint8_t extension = bytes[1];
    std::uint16_t type = 0;
    std::memcpy(&type, bytes + 8, sizeof type);
    if (extension == 0 || extension != inputExtension() ||
        (type != kButtonPress && type != kButtonRelease)) {
        return false;
    }
    out.press = type == kButtonPress;
    std::memcpy(&out.time, bytes + 12, sizeof out.time);
    std::memcpy(&out.button, bytes + 16, sizeof out.button);
    std::memcpy(&out.window, bytes + 24, sizeof out.window);
    return true;
}
#endif

} // namespace

TrayClicks::TrayClicks(Report report) : m_report(std::move(report)) {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

TrayClicks::~TrayClicks() {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->removeNativeEventFilter(this);
    }
}

bool TrayClicks::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
#ifdef TARNWICK_WITH_XCB
    Button button;
    if (eventType != "xcb_generic_event_t" ||
        !readButton(static_cast<const xcb_generic_event_t*>(message), button) ||
        !QApplication::activeModalWidget() || !isTrayIconWindow(button.window)) {
        return false;
    }
    // The input extension reports a press once for the pointer and once for the device behind
    // it, at the same time: one press.
    if (!button.press ||
        (m_anyPress && button.time == m_lastPress && button.button == m_lastButton)) {
        return true;
    }
    m_anyPress = true;
    m_lastPress = button.time;
    m_lastButton = button.button;
    switch (button.button) {
    case 1: {
        const bool second =
            m_leftPressed && button.time - m_lastLeftPress <=
                                 static_cast<std::uint32_t>(QApplication::doubleClickInterval());
        // A third press begins a new double-click.
        m_leftPressed = !second;
        m_lastLeftPress = button.time;
        m_report(second ? QSystemTrayIcon::DoubleClick : QSystemTrayIcon::Trigger);
        return true;
    }
    case 2:
        m_report(QSystemTrayIcon::MiddleClick);
        return true;
    case 3:
        m_report(QSystemTrayIcon::Context);
        return true;
    default:
        // The wheel.
        return true;
    }
#else
    (void)eventType;
    (void)message;
    return false;
#endif
}

} // namespace tw::gui
