// logind's wake-up signal reaches the check session: a private dbus-daemon stands in for the
// system bus, and a connection of the test's own that owns logind's name sends the signal.

#include "gui/app/SleepWatch.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <sys/types.h>

using tw::gui::SleepWatch;

class SleepWatchTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QProcess daemon;
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--fork"),
                      QStringLiteral("--print-address=1"), QStringLiteral("--print-pid=1")});
        QVERIFY2(daemon.waitForFinished(10000) && daemon.exitCode() == 0,
                 "dbus-daemon did not start");
        const QStringList lines =
            QString::fromUtf8(daemon.readAllStandardOutput()).split(QLatin1Char('\n'));
        QVERIFY(lines.size() >= 2);
        m_address = lines[0].trimmed();
        m_pid = lines[1].trimmed().toLongLong();
        // Read by the first use of the system bus, which is the watch's.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    }
    void cleanupTestCase() {
        if (m_pid > 0) {
            ::kill(static_cast<pid_t>(m_pid), SIGTERM);
        }
    }

    void onlyLogindsWakeUpIsPassedOn() {
        // logind is there before the program, as on a machine.
        QDBusConnection stranger =
            QDBusConnection::connectToBus(m_address, QStringLiteral("stranger"));
        QDBusConnection logind = QDBusConnection::connectToBus(m_address, QStringLiteral("logind"));
        QVERIFY(logind.registerService(QStringLiteral("org.freedesktop.login1")));
        int wakeUps = 0;
        SleepWatch watch([&] { ++wakeUps; });
        QVERIFY(watch.listening());
        // A call answered by the bus: the watch's subscription, sent before it, is in place.
        QVERIFY(QDBusConnection::systemBus().interface()->isServiceRegistered(
            QStringLiteral("org.freedesktop.login1")));
        const auto signal = [](bool sleeping) {
            QDBusMessage message =
                QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                           QStringLiteral("org.freedesktop.login1.Manager"),
                                           QStringLiteral("PrepareForSleep"));
            message << sleeping;
            return message;
        };
        // Going to sleep, and the same words from another connection: nothing.
        QVERIFY(logind.send(signal(true)));
        QVERIFY(stranger.send(signal(false)));
        // Woken: passed on. Signals of one sender keep their order, so once this one has come
        // the earlier one of logind has been seen.
        QVERIFY(logind.send(signal(false)));
        QTRY_COMPARE(wakeUps, 1);
        // The stranger's went out before logind's last one, but from another connection: one
        // more round trip through the bus makes sure it had its chance.
        QVERIFY(stranger.send(signal(false)));
        QVERIFY(logind.send(signal(false)));
        QTRY_COMPARE(wakeUps, 2);
        QDBusConnection::disconnectFromBus(QStringLiteral("stranger"));
        QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
    }

private:
    QString m_address;
    qint64 m_pid = 0;
};

QTEST_MAIN(SleepWatchTest)
#include "SleepWatch_test.moc"
