#include "gui/app/WindowMain.h"

#include "core/app/CTarnwickApp.h"
#include "gui/app/CTarnwickDlg.h"
#include "gui/app/WindowSession.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/KeychainStore.h"
#include "gui/common/ProgramIcon.h"
#include "gui/common/QtExecutor.h"
#include "gui/dialogs/MailSendDialog.h"
#include "gui/notify/DesktopNotifier.h"

#include <QApplication>
#include <QDBusConnection>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTranslator>

#include <functional>
#include <memory>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

// The resources live in a static library; they must be registered from outside any namespace.
static void initResources() {
    Q_INIT_RESOURCE(tarnwick);
}

namespace tw::gui {

namespace {

int g_signalSocket[2] = {-1, -1};

void onTerminate(int) {
    const char byte = 1;
    // Nothing else is safe inside a signal handler; the window reads it from its loop.
    (void)!::write(g_signalSocket[1], &byte, 1);
}

/// SIGTERM (logout, kill) and SIGINT (Ctrl-C in a terminal) end the program the way Exit does,
/// so that the settings and the watch list are saved.
class TerminationWatch {
public:
    explicit TerminationWatch(const std::function<void()>& exit) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalSocket) !=
            0) {
            return;
        }
        m_notifier = std::make_unique<QSocketNotifier>(g_signalSocket[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [exit] {
            char bytes[16];
            while (::read(g_signalSocket[0], bytes, sizeof bytes) > 0) {
            }
            exit();
        });
        struct sigaction action {};
        action.sa_handler = onTerminate;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    ~TerminationWatch() {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        m_notifier.reset();
        for (int& fd : g_signalSocket) {
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
        }
    }
    TerminationWatch(const TerminationWatch&) = delete;
    TerminationWatch& operator=(const TerminationWatch&) = delete;

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

/// Qt's own texts (standard buttons, the file choosers) in the language of the user's locale,
/// as Qt reads it from LC_ALL, LC_MESSAGES, LANG and LANGUAGE. The program's own texts are
/// Japanese in the code and no catalogue of Qt's holds them, so they stay as they are.
void loadQtCatalogue(QApplication& application) {
    auto* catalogue = new QTranslator(&application);
    if (catalogue->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(catalogue);
    } else {
        delete catalogue;
    }
}

} // namespace

bool displayAvailable() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

int runWindow(int& argc, char** argv, bool inTray) {
    std::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    // The name a window without a title of its own shows, and that of its boxes. Set as the
    // application's name rather than as a display name, which Qt would append to every title.
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
    loadQtCatalogue(application);
    initResources();
    // The window hides into the tray; only Exit (or closing it before that) ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(programIcon());

    // The executor outlives the application object, whose message bus posts through it.
    QtExecutor executor;
    GuiPrompter prompter(executor);
    CTarnwickApp app(prompter);
    KeychainStore secrets;
    app.setSecretStore(&secrets);
    const int code = app.run([&] {
        MailSendDialog mailProgress(executor);
        // Before the window, which lets it go when it closes.
        notify::DesktopNotifier notifier(QDBusConnection::sessionBus(), {});
        WindowSession session(app, executor, prompter, mailProgress);
        CTarnwickDlg window(app, session, executor, prompter);
        // The first checks have begun, but their notices wait for this thread's loop.
        window.setNotifier(&notifier);
        QObject::connect(&window, &QDialog::finished, &application, &QApplication::quit);
        const TerminationWatch termination([&window] { window.exit(); });
        if (!inTray || !window.startInTray()) {
            window.show();
        }
        QApplication::exec();
    });
    if (app.otherInstanceRunning()) {
        std::fputs("tarnwick: already running; its window was asked to come to the front\n",
                   stderr);
    }
    return code;
}

} // namespace tw::gui
