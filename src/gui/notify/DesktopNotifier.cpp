#include "gui/notify/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace tw::notify {

namespace {

const QString kShowKey = QStringLiteral("show");
const QString kChangesKey = QStringLiteral("changes");
const QString kDefaultKey = QStringLiteral("default");

/// Control characters say nothing in a notice and may upset a service; line breaks stay where
/// `keepLines` says so, a tab becomes a blank.
QString withoutControls(const QString& text, bool keepLines) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit == u'\n') {
            out += keepLines ? QChar(u'\n') : QChar(u' ');
        } else if (unit == u'\t') {
            out += QChar(u' ');
        } else if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            continue;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

DesktopNotifier::DesktopNotifier(const QDBusConnection& bus, Options options, QObject* parent)
    : QObject(parent), m_bus(bus), m_options(std::move(options)) {
    if (m_bus.isConnected()) {
        m_bus.connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
                      QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
        m_bus.connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
                      QStringLiteral("NotificationClosed"), this,
                      SLOT(notificationClosed(uint, uint)));
    }
}

DesktopNotifier::~DesktopNotifier() = default;

QString DesktopNotifier::bodyText(const std::string& utf8) {
    // Services may read the body as markup: what the page or the user wrote is never taken
    // for it.
    return withoutControls(QString::fromUtf8(utf8), true).toHtmlEscaped();
}

QString DesktopNotifier::summaryText(const std::string& utf8) {
    return withoutControls(QString::fromUtf8(utf8), false);
}

void DesktopNotifier::notify(const Notice& notice) {
    // Always through the event loop, also on this thread: the caller goes on at once.
    QMetaObject::invokeMethod(
        this, [this, notice] { send(notice); }, Qt::QueuedConnection);
}

void DesktopNotifier::setActionHandler(ActionHandler handler) {
    const std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void DesktopNotifier::setFallback(Fallback fallback) {
    const std::lock_guard lock(m_mutex);
    m_fallback = std::move(fallback);
}

void DesktopNotifier::send(const Notice& notice) {
    // The notice that replaces this item's last one needs that one's id: while the service has
    // not answered for it, the newest notice of the item waits and goes out with the answer.
    const std::pair key{notice.kind == Notice::Kind::Change, notice.item};
    if (m_unanswered.contains(key)) {
        m_waiting.insert_or_assign(key, notice);
        return;
    }
    if (!m_bus.isConnected()) {
        fallBack(notice);
        return;
    }
    std::map<WatchItemId, uint>& ids =
        notice.kind == Notice::Kind::Change ? m_changeIds : m_alertIds;
    const auto last = ids.find(notice.item);
    const uint replaces = last == ids.end() ? 0 : last->second;
    const QString show = QStringLiteral("表示");
    QStringList actions{kDefaultKey, show};
    if (notice.kind == Notice::Kind::Change) {
        actions << kShowKey << show;
        if (m_options.offerChanges) {
            actions << kChangesKey << QStringLiteral("変更内容");
        }
    }
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("tarnwick")}};
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                       QLatin1String(kInterface), QStringLiteral("Notify"));
    call << QStringLiteral("Tarnwick") << replaces << m_options.icon << summaryText(notice.summary)
         << bodyText(notice.body) << actions << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_options.timeoutMs), this);
    m_unanswered.insert(key);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notice](QDBusPendingCallWatcher* done) { answered(done, notice); });
}

void DesktopNotifier::answered(QDBusPendingCallWatcher* watcher, const Notice& notice) {
    watcher->deleteLater();
    const std::pair key{notice.kind == Notice::Kind::Change, notice.item};
    m_unanswered.erase(key);
    const QDBusPendingReply<uint> reply = *watcher;
    if (reply.isError()) {
        // No service owns the name, or it did not answer in time.
        fallBack(notice);
    } else {
        const uint id = reply.value();
        (notice.kind == Notice::Kind::Change ? m_changeIds : m_alertIds)[notice.item] = id;
        m_shown[id] = Shown{notice.item};
    }
    if (const auto next = m_waiting.find(key); next != m_waiting.end()) {
        const Notice waiting = next->second;
        m_waiting.erase(next);
        send(waiting);
    }
}

void DesktopNotifier::fallBack(const Notice& notice) {
    const std::lock_guard lock(m_mutex);
    if (m_fallback) {
        m_fallback(notice);
    }
}

void DesktopNotifier::actionInvoked(uint id, const QString& key) {
    const auto shown = m_shown.find(id);
    if (shown == m_shown.end()) {
        return; // another program's notice, or one of ours already gone
    }
    const WatchItemId item = shown->second.item;
    Action action = Action::Show;
    if (key == kChangesKey) {
        action = Action::Changes;
    } else if (key != kShowKey && key != kDefaultKey) {
        return;
    }
    const std::lock_guard lock(m_mutex);
    if (m_handler) {
        m_handler(item, action);
    }
}

void DesktopNotifier::notificationClosed(uint id, uint /*reason*/) {
    m_shown.erase(id);
}

} // namespace tw::notify
