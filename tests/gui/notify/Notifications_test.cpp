// Notices through a real dbus-daemon on a private bus, to a notification service of our own.

#include "NullChecker.h"
#include "ProgramFixture.h"
#include "core/app/ChangeNotices.h"
#include "core/app/CheckSession.h"
#include "core/history/HistoryStore.h"
#include "core/platform/Clock.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CWatchList.h"
#include "core/watch/FailureAlerts.h"
#include "gui/history/ChangeView.h"
#include "gui/notify/DesktopNotifier.h"
#include "support/FakePrompter.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QVariantMap>

#include <memory>
#include <vector>

using namespace tw;
using tw::notify::DesktopNotifier;
namespace {

// A private session bus (a dbus-daemon of its own) and a notification service of the tests'
// own on it, which records each Notify call and can invoke actions.

/// dbus-daemon on a socket in a folder of its own; ends with the object.
class PrivateBus {
public:
    PrivateBus() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) {
            return;
        }
        m_address = QStringLiteral("unix:path=") + QString::fromStdString(m_folder / "bus");
        m_process.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                 QStringLiteral("--address=") + m_address,
                                 QStringLiteral("--print-address=1")});
        // It prints its address once it listens.
        if (!m_process.waitForStarted() || !m_process.waitForReadyRead(10000)) {
            m_address.clear();
        }
    }
    ~PrivateBus() {
        m_process.terminate();
        m_process.waitForFinished();
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool running() const { return !m_address.isEmpty(); }
    /// A new connection of its own to the bus.
    QDBusConnection connect(const QString& name) const {
        return QDBusConnection::connectToBus(m_address, name);
    }

private:
    test::TempFolder m_folder;
    QString m_address;
    QProcess m_process;
};

/// org.freedesktop.Notifications, recording what it is asked.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app;
        uint replaces = 0;
        QString icon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        uint id = 0;
    };

    /// `answer` false: a service that takes the calls and never answers.
    NotificationServer(QDBusConnection bus, bool answer = true) : m_bus(bus), m_answer(answer) {
        m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                             QDBusConnection::ExportAllSlots);
        m_registered = m_bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    bool registered() const { return m_registered; }

    std::vector<Call> calls;

    /// The user chose `key` on notice `id`.
    void invoke(uint id, const QString& key) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
        signal << id << key;
        m_bus.send(signal);
    }

public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int /*timeout*/, const QDBusMessage& message) {
        const uint id = replaces != 0 ? replaces : ++m_lastId;
        calls.push_back({app, replaces, icon, summary, body, actions, hints, id});
        if (!m_answer) {
            message.setDelayedReply(true);
        }
        return id;
    }
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("actions")}; }

private:
    QDBusConnection m_bus;
    bool m_answer = true;
    bool m_registered = false;
    uint m_lastId = 0;
};

Notice changeOf(WatchItemId item, const std::string& summary, const std::string& body) {
    return {Notice::Kind::Change, item, summary, body};
}

} // namespace

class NotificationsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<PrivateBus> m_bus;
    int m_connections = 0;

    QDBusConnection connection() {
        return m_bus->connect(QStringLiteral("c%1").arg(++m_connections));
    }

private slots:
    void init() {
        m_bus = std::make_unique<PrivateBus>();
        if (!m_bus->running() && qEnvironmentVariable("TARNWICK_ALLOW_MISSING_SERVERS") == u"1") {
            QSKIP("dbus-daemon is not installed (skipped: TARNWICK_ALLOW_MISSING_SERVERS=1)");
        }
        // Only `make check` skips: `make test` installs dbus-daemon and fails without it.
        QVERIFY2(m_bus->running(), "dbus-daemon could not be started: `scripts/install-deps.sh "
                                   "test` installs it");
    }
    void cleanup() { m_bus.reset(); }

    void aChangeIsToldWithItsActionsAndReplacesTheItemsLastNotice() {
        NotificationServer server(connection());
        QVERIFY(server.registered());
        DesktopNotifier notifier(connection(), {});
        notifier.notify(changeOf(7, "価格 <b>\x07", "更新されています\n+ <b>120円</b> & 税\x01込"));
        QTRY_COMPARE(server.calls.size(), std::size_t(1));
        const NotificationServer::Call first = server.calls[0];
        QCOMPARE(first.app, QStringLiteral("Tarnwick"));
        QCOMPARE(first.replaces, 0U);
        QCOMPARE(first.icon, QStringLiteral("tarnwick"));
        QCOMPARE(first.summary, QStringLiteral("価格 <b>"));
        QCOMPARE(first.body,
                 QStringLiteral("更新されています\n+ &lt;b&gt;120円&lt;/b&gt; &amp; 税込"));
        QCOMPARE(first.actions,
                 QStringList({QStringLiteral("default"), QStringLiteral("表示"),
                              QStringLiteral("show"), QStringLiteral("表示"),
                              QStringLiteral("changes"), QStringLiteral("変更内容")}));
        QCOMPARE(first.hints.value(QStringLiteral("desktop-entry")).toString(),
                 QStringLiteral("tarnwick"));

        notifier.notify(changeOf(7, "価格", "更新されています"));
        QTRY_COMPARE(server.calls.size(), std::size_t(2));
        QCOMPARE(server.calls[1].replaces, first.id);
        // Another item's notice stands beside it.
        notifier.notify(changeOf(8, "在庫", "更新されています"));
        QTRY_COMPARE(server.calls.size(), std::size_t(3));
        QCOMPARE(server.calls[2].replaces, 0U);
    }

    void noticesFasterThanTheServiceAnswersReplaceRatherThanPileUp() {
        NotificationServer server(connection());
        QVERIFY(server.registered());
        DesktopNotifier notifier(connection(), {});
        // Three changes of one item before the service has answered the first: the second has
        // no id to replace yet, so only the newest goes out, once the first is answered.
        notifier.notify(changeOf(7, "価格", "1"));
        notifier.notify(changeOf(7, "価格", "2"));
        notifier.notify(changeOf(7, "価格", "3"));
        QTRY_COMPARE(server.calls.size(), std::size_t(2));
        QCOMPARE(server.calls[1].replaces, server.calls[0].id);
        QCOMPARE(server.calls[1].body, QStringLiteral("3"));
        notifier.notify(changeOf(7, "価格", "4"));
        QTRY_COMPARE(server.calls.size(), std::size_t(3));
        QCOMPARE(server.calls[2].replaces, server.calls[1].id);
    }

    void actionsShowThePageOrTheChangeViewOfAnItemStillThere() {
        DesktopNotifier notifier(connection(), {});
        NotificationServer server(connection());
        test::Program program;
        {
            test::NullChecker checker;
            CWatchList list(checker, SystemClock::instance(), nullptr, program.home.path());
            for (const char* name : {"price", "gone"}) {
                WatchSettings item;
                item.name = name;
                item.targetUrl = std::string("http://127.0.0.1:9/") + name + ".html";
                item.compareFile = program.home.path() + "/comp/" + name + ".htm";
                item.schedule = "once";
                list.add(item);
            }
            QVERIFY(list.save());
        }
        QVERIFY(program.start());
        // No download helper: the page goes to the desktop's browser.
        program.shell.setLaunchResult(false);
        program.window->setNotifier(&notifier);
        const WatchItemId price = program.session->watchList().idAt(0);
        const WatchItemId gone = program.session->watchList().idAt(1);
        notifier.notify(changeOf(price, "price", "更新されています"));
        notifier.notify(changeOf(gone, "gone", "更新されています"));
        QTRY_COMPARE(server.calls.size(), std::size_t(2));

        server.invoke(server.calls[0].id, QStringLiteral("changes"));
        QTRY_VERIFY(program.window->changeView(price) != nullptr);
        server.invoke(server.calls[0].id, QStringLiteral("show"));
        QTRY_COMPARE(program.shell.opened().size(), std::size_t(1));
        QCOMPARE(program.shell.opened()[0].target, std::string("http://127.0.0.1:9/price.html"));

        // Deleted since its notice came: neither action does anything. The default action of
        // the other notice, invoked after them, shows that they have been handled.
        QVERIFY(program.session->checks().removeItem(gone));
        server.invoke(server.calls[1].id, QStringLiteral("changes"));
        server.invoke(server.calls[1].id, QStringLiteral("show"));
        server.invoke(server.calls[0].id, QStringLiteral("default"));
        QTRY_COMPARE(program.shell.opened().size(), std::size_t(2));
        QCOMPARE(program.shell.opened()[1].target, std::string("http://127.0.0.1:9/price.html"));
        QCOMPARE(program.window->changeView(gone), nullptr);
        program.window->setNotifier(nullptr);
    }

    void theMenuItemTurnsChangeNoticesOffAndKeepsItInTheSettings() {
        test::Program program;
        QVERIFY(program.start());
        auto* item = program.window->findChild<QAction*>(QStringLiteral("actionNotifyChanges"));
        QVERIFY(item != nullptr);
        QVERIFY(item->isCheckable() && item->isChecked());
        item->trigger();
        QVERIFY(!program.app->notifyChanges());
        QVERIFY(test::TempFolder::readFile(program.home / "tarnwick.conf").find("changes=false") !=
                std::string::npos);
    }

    void withoutAServiceTheNoticeGoesToTheFallback() {
        DesktopNotifier notifier(connection(), {});
        std::vector<Notice> fallen;
        notifier.setFallback([&](const Notice& notice) { fallen.push_back(notice); });
        notifier.notify(changeOf(3, "price", "更新されています"));
        QTRY_COMPARE(fallen.size(), std::size_t(1));
        QCOMPARE(fallen[0].summary, std::string("price"));
    }

    void aServiceThatNeverAnswersHoldsNothingUp() {
        NotificationServer server(connection(), false);
        DesktopNotifier::Options options;
        options.timeoutMs = 200;
        DesktopNotifier notifier(connection(), options);
        std::vector<Notice> fallen;
        notifier.setFallback([&](const Notice& notice) { fallen.push_back(notice); });
        notifier.notify(changeOf(3, "price", "更新されています"));
        // The service has the call and keeps it; this thread's loop goes on meanwhile.
        QTRY_COMPARE(server.calls.size(), std::size_t(1));
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        QTRY_VERIFY(ran);
        // Once the time is up, the notice is told the other way.
        QTRY_COMPARE(fallen.size(), std::size_t(1));
    }

    void failuresAreToldAfterExactlyNInARowAndOnceOnRecoveryAcrossARestart() {
        NotificationServer server(connection());
        DesktopNotifier notifier(connection(), {});
        test::TempFolder home;
        test::TempFolder config;
        test::FakePrompter prompter;
        test::TempFolder::writeFile(home / "tarnwick.conf", "[notify]\nfailures=3\n");
        CTarnwickApp app(prompter, {home.path(), config.path(), config.path() + "/run"});
        app.loadConf();
        HistoryStore history(home.path(), {});
        WatchSettings item;
        item.name = jp("株価");
        item.targetUrl = "http://127.0.0.1:9/";
        item.setOutcome(CheckOutcome::Failed);
        item.errorKind = WatchSettings::kErrorWithText;
        item.errorText = jp("接続できません");
        // A notice of another kind marks how far the service has been told.
        int marks = 0;
        const auto told = [&] {
            notifier.notify(changeOf(99, "mark", std::to_string(++marks)));
            std::vector<NotificationServer::Call> calls;
            if (!QTest::qWaitFor(
                    [&] {
                        return !server.calls.empty() &&
                               server.calls.back().body == QString::number(marks);
                    },
                    10000)) {
                calls.push_back({});
                calls.back().summary = QStringLiteral("(the service was not told)");
                return calls;
            }
            for (const auto& call : server.calls) {
                if (call.summary != QStringLiteral("mark")) {
                    calls.push_back(call);
                }
            }
            server.calls.clear();
            return calls;
        };
        const auto check = [&](ChangeNotices& notices) {
            for (Notice& notice : notices.prepare(item)) {
                notice.item = 1;
                notifier.notify(notice);
            }
        };
        uint alert = 0;
        {
            FailureAlerts failures(home.path());
            ChangeNotices notices(app, history, failures);
            check(notices);
            check(notices);
            QVERIFY(told().empty());
            check(notices);
            const auto third = told();
            QCOMPARE(third.size(), std::size_t(1));
            QCOMPARE(third[0].summary, QStringLiteral("株価 を確認できません"));
            QCOMPARE(third[0].body, QStringLiteral("接続できません"));
            alert = third[0].id;
            check(notices);
        }
        {
            // A restart: the count and the alert are remembered.
            FailureAlerts failures(home.path());
            ChangeNotices notices(app, history, failures);
            check(notices);
            QVERIFY(told().empty());
            item.setOutcome(CheckOutcome::NotUpdated);
            check(notices);
            check(notices);
            const auto recovered = told();
            QCOMPARE(recovered.size(), std::size_t(1));
            QCOMPARE(recovered[0].summary, QStringLiteral("株価 を再び確認できました"));
            // In the same run of the notifier, the good news takes the bad one's place.
            QCOMPARE(recovered[0].replaces, alert);
            QVERIFY(told().empty());
        }
    }

    void nothingIsToldWhenTurnedOff() {
        NotificationServer server(connection());
        DesktopNotifier notifier(connection(), {});
        test::TempFolder home;
        test::TempFolder config;
        test::FakePrompter prompter;
        test::TempFolder::writeFile(home / "tarnwick.conf",
                                    "[notify]\nchanges=false\nfailures=0\n");
        CTarnwickApp app(prompter, {home.path(), config.path(), config.path() + "/run"});
        app.loadConf();
        QVERIFY(!app.notifyChanges());
        HistoryStore history(home.path(), {});
        FailureAlerts failures(home.path());
        ChangeNotices notices(app, history, failures);
        WatchSettings item;
        item.targetUrl = "http://127.0.0.1:9/";
        for (const CheckOutcome outcome :
             {CheckOutcome::Updated, CheckOutcome::Failed, CheckOutcome::Failed,
              CheckOutcome::Failed, CheckOutcome::Failed, CheckOutcome::NotUpdated}) {
            item.setOutcome(outcome);
            for (const Notice& notice : notices.prepare(item)) {
                notifier.notify(notice);
            }
        }
        notifier.notify(changeOf(99, "mark", "end"));
        QTRY_COMPARE(server.calls.size(), std::size_t(1));
        QCOMPARE(server.calls[0].summary, QStringLiteral("mark"));
        QVERIFY(!QFileInfo::exists(QString::fromStdString(failures.folder())));
    }
};

QTEST_MAIN(NotificationsTest)
#include "Notifications_test.moc"
