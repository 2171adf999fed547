#include "gui/app/Foreground.h"

#include <QGuiApplication>
#include <QWidget>

#ifdef TARNWICK_WITH_XCB
#include <xcb/xcb.h>
#endif

namespace tw::gui {

namespace {

void askWindowManager(QWidget* window) {
#ifdef TARNWICK_WITH_XCB
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) {
        return;
    }
    xcb_connection_t* connection = x11->connection();
    static const char name[] = "_NET_ACTIVE_WINDOW";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof(name) - 1, name), nullptr);
    if (!atom) {
        return;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = static_cast<xcb_window_t>(window->winId());
    event.type = atom->atom;
    event.data.data32[0] = 2; // source: a pager, which window managers obey
    event.data.data32[1] = XCB_CURRENT_TIME;
    free(atom);
    if (screen) {
        xcb_send_event(connection, 0, screen->root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(connection);
    }
#else
    (void)window;
#endif
}

} // namespace

void bringToForeground(QWidget* window) {
    if (!window) {
        return;
    }
    // Brought forward but left minimised, a window would still be out of reach.
    if (window->isMinimized()) {
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    }
    window->raise();
    window->activateWindow();
    if (QGuiApplication::platformName() == QLatin1String("xcb") && window->isVisible()) {
        askWindowManager(window);
    }
}

} // namespace tw::gui
