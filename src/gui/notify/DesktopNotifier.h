#pragma once

#include "core/ports/Notifier.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <set>

class QDBusPendingCallWatcher;

namespace tw::notify {

/// Notices through the desktop's notification service (org.freedesktop.Notifications on the
/// session bus). Every call to the service is asynchronous with a time-out: neither the
/// checker nor the window ever waits for it. When no service answers, the notice goes to the
/// fallback (the tray's balloon) instead. Lives on a thread with an event loop; notify() may be
/// called from any thread.
class DesktopNotifier : public QObject, public Notifier {
    Q_OBJECT
public:
    struct Options {
        /// Offer "変更内容" on a change (there is a window to show the change view in).
        bool offerChanges = true;
        /// How long the service may take to answer a call.
        int timeoutMs = 5000;
        /// The program's icon: a theme name or a file path.
        QString icon = QStringLiteral("tarnwick");
    };
    using Fallback = std::function<void(const Notice&)>;

    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kInterface = "org.freedesktop.Notifications";

    DesktopNotifier(const QDBusConnection& bus, Options options, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    void notify(const Notice& notice) override;
    void setActionHandler(ActionHandler handler) override;
    /// Where a notice goes that no service took; runs on this object's thread.
    void setFallback(Fallback fallback);

    /// The body as the service gets it: markup characters escaped, control characters gone.
    static QString bodyText(const std::string& utf8);
    /// The summary: plain text on one line, control characters gone.
    static QString summaryText(const std::string& utf8);

private slots:
    void actionInvoked(uint id, const QString& key);
    void notificationClosed(uint id, uint reason);

private:
    struct Shown {
        WatchItemId item = 0;
    };

    void send(const Notice& notice);
    void answered(QDBusPendingCallWatcher* watcher, const Notice& notice);
    void fallBack(const Notice& notice);

    QDBusConnection m_bus;
    Options m_options;
    /// The service's id of each item's last change notice and last failure notice: the next
    /// one replaces it instead of piling up.
    std::map<WatchItemId, uint> m_changeIds;
    std::map<WatchItemId, uint> m_alertIds;
    /// Items (with whether the notice is of a change) whose last call the service has not
    /// answered yet, and the newest notice of each that waits for that answer.
    std::set<std::pair<bool, WatchItemId>> m_unanswered;
    std::map<std::pair<bool, WatchItemId>, Notice> m_waiting;
    /// Our notices still shown, by the service's id.
    std::map<uint, Shown> m_shown;
    /// Handler and fallback are replaced from other threads; held while either runs.
    std::recursive_mutex m_mutex;
    ActionHandler m_handler;
    Fallback m_fallback;
};

} // namespace tw::notify
