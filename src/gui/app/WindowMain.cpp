#include "app/WindowMain.h"

#include "app/CTarnwickApp.h"
#include "app/CTarnwickDlg.h"
#include "app/GuiPrompter.h"
#include "app/PendingDialogs.h" // dialogs helper: becomes dialogs/MailSendDialog.h
#include "app/QtExecutor.h"
#include "app/WindowSession.h"

#include <QApplication>
#include <QIcon>

#include <csignal>
#include <cstdio>
#include <cstdlib>

// The resources live in a static library; they must be registered from outside any namespace.
static void initResources() {
    Q_INIT_RESOURCE(tarnwick);
}

namespace tw::gui {

bool displayAvailable() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

int runWindow(int& argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    initResources();
    // The window hides into the tray; only Exit (or closing it before that) ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tarnwick.svg")));

    // The executor outlives the application object, whose message bus posts through it.
    QtExecutor executor;
    GuiPrompter prompter(executor);
    CTarnwickApp app(prompter);
    const int code = app.run([&] {
        MailSendDialog mailProgress(nullptr);
        WindowSession session(app, executor, prompter, mailProgress);
        CTarnwickDlg window(app, session, executor, prompter);
        QObject::connect(&window, &QDialog::finished, &application, &QApplication::quit);
        window.show();
        QApplication::exec();
    });
    if (app.otherInstanceRunning()) {
        std::fputs("tarnwick: already running; its window was asked to come to the front\n",
                   stderr);
    }
    return code;
}

} // namespace tw::gui
