#include "gui/notify/SessionNotifier.h"

#include "gui/notify/DesktopNotifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QThread>

#include <clocale>
#include <string>

namespace tw::notify {

namespace {

class SessionNotifier : public Notifier {
public:
    SessionNotifier() {
        if (QCoreApplication::instance() == nullptr) {
            // Qt sets the C library's locale from the environment; the headless mode prints
            // and parses in the one it had.
            const std::string locale = std::setlocale(LC_ALL, nullptr);
            m_application = std::make_unique<QCoreApplication>(m_argc, m_argv);
            std::setlocale(LC_ALL, locale.c_str());
        }
        m_thread.setObjectName(QStringLiteral("notifier"));
        m_thread.start();
        DesktopNotifier::Options options;
        options.offerChanges = false;
        m_notifier = std::make_unique<DesktopNotifier>(QDBusConnection::sessionBus(), options);
        m_notifier->moveToThread(&m_thread);
    }
    ~SessionNotifier() override {
        m_thread.quit();
        m_thread.wait();
        // Its thread has ended: it may go from here.
        m_notifier.reset();
    }
    SessionNotifier(const SessionNotifier&) = delete;
    SessionNotifier& operator=(const SessionNotifier&) = delete;

    bool connected() const { return QDBusConnection::sessionBus().isConnected(); }
    void notify(const Notice& notice) override { m_notifier->notify(notice); }
    void setActionHandler(ActionHandler handler) override {
        m_notifier->setActionHandler(std::move(handler));
    }

private:
    int m_argc = 1;
    char m_name[9] = "tarnwick";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QCoreApplication> m_application;
    QThread m_thread;
    std::unique_ptr<DesktopNotifier> m_notifier;
};

} // namespace

std::unique_ptr<Notifier> makeSessionNotifier() {
    auto notifier = std::make_unique<SessionNotifier>();
    if (!notifier->connected()) {
        return nullptr;
    }
    return notifier;
}

} // namespace tw::notify
