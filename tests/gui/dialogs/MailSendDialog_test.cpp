#include "core/mail/ScriptedSmtpServer.h"
#include "core/net/SmtpClient.h"
#include "core/records/WatchSettings.h"
#include "core/util/CancelSignal.h"
#include "core/watch/UpdateActions.h"
#include "gui/common/QtExecutor.h"
#include "gui/dialogs/MailSendDialog.h"
#include "gui/dialogs/TestMail.h"
#include "support/FakePrompter.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using tw::gui::MailSendDialog;

namespace {

// The texts of a mail dialogue in code page 932.
const std::string kConnecting = "\x90\xda\x91\xb1\x92\x86\x81\x45\x81\x45\x81\x45\x81\x45";
const std::string kSendingData = "\x83\x66\x81\x5b\x83\x5e\x91\x97\x90\x4d\x92\x86";
const std::string kDelivered = "\x83\x81\x81\x5b\x83\x8b\x94\x7a\x91\x97\x8a\xae\x97\xb9";
const std::string kNoNetwork = "\x83\x6c\x83\x62\x83\x67\x83\x8f\x81\x5b\x83\x4e\x82\xc9\x8c\x71"
                               "\x82\xaa\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1";

/// Runs the calls on a thread of its own, one at a time: each waits until the test lets it go,
/// so the test can look at the dialog between two of them.
class LockstepSender {
public:
    explicit LockstepSender(std::vector<std::function<void()>> calls)
        : m_thread([this, calls = std::move(calls)] {
              for (const auto& call : calls) {
                  m_go.acquire();
                  call();
              }
          }) {}
    ~LockstepSender() {
        m_go.release(1000); // a failed test must not leave the thread waiting
        m_thread.join();
    }
    void next() { m_go.release(); }

private:
    QSemaphore m_go;
    std::thread m_thread;
};

struct Shown {
    int progress;
    QString text;
    bool visible;
};

} // namespace

class MailSendDialogTest : public QObject {
    Q_OBJECT

private slots:
    void deliveryDrivenFromAWorkerThread() {
        tw::gui::QtExecutor executor;
        MailSendDialog dialog(executor);
        auto* bar = dialog.findChild<QProgressBar*>();
        auto* status = dialog.findChild<QLabel*>(QStringLiteral("statusLabel"));
        QSignalSpy finished(&dialog, &MailSendDialog::mailFinished);
        QCOMPARE(bar->maximum(), 6);

        // The notifications of a delivery as the SMTP client sends them.
        std::vector<std::function<void()>> calls{
            [&] { dialog.started(kConnecting, std::make_shared<tw::CancelSignal>()); }};
        const std::vector<std::string> stepTexts{"", "", "", "", "", "", kSendingData, kDelivered};
        for (const std::string& text : stepTexts) {
            calls.push_back([&dialog, text] { dialog.step(false, text); });
        }
        calls.push_back([&] { dialog.step(true, ""); });
        LockstepSender sender(std::move(calls));

        const QString connecting = QStringLiteral("接続中・・・・");
        const std::vector<Shown> expected{
            {0, connecting, true},
            {1, connecting, true},
            {2, connecting, true},
            {3, connecting, true},
            {4, connecting, true},
            {5, connecting, true},
            {6, connecting, true},
            {6, QStringLiteral("データ送信中"), true},
            {6, QStringLiteral("メール配送完了"), true},
        };
        for (const Shown& shown : expected) {
            sender.next();
            QTRY_COMPARE(status->text(), shown.text);
            QTRY_COMPARE(bar->value(), shown.progress);
            QVERIFY(dialog.isVisible());
        }
        sender.next();
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(finished.at(0).at(0).toString(), QString());
        QCOMPARE(dialog.lastMessage(), QString());
        QCOMPARE(status->text(), QStringLiteral("メール配送完了"));
    }

    void failureThenReuseForTheNextSend() {
        tw::gui::QtExecutor executor;
        MailSendDialog dialog(executor);
        auto* bar = dialog.findChild<QProgressBar*>();
        auto* status = dialog.findChild<QLabel*>(QStringLiteral("statusLabel"));
        QSignalSpy finished(&dialog, &MailSendDialog::mailFinished);
        {
            LockstepSender sender({[&] { dialog.started(kConnecting, nullptr); },
                                   [&] { dialog.step(false, ""); },
                                   [&] { dialog.step(true, kNoNetwork); }});
            sender.next();
            sender.next();
            sender.next();
            QTRY_COMPARE(finished.count(), 1);
        }
        const QString failure = QStringLiteral("ネットワークに繋がっていません");
        QCOMPARE(finished.at(0).at(0).toString(), failure);
        QCOMPARE(status->text(), failure);
        QVERIFY(!dialog.isVisible());

        // The next send starts from an empty bar, here from the GUI thread itself.
        dialog.started(kConnecting, nullptr);
        QVERIFY(dialog.isVisible());
        QCOMPARE(bar->value(), 0);
        QCOMPARE(dialog.lastMessage(), QString());
        QCOMPARE(status->text(), QStringLiteral("接続中・・・・"));
        dialog.step(false, "");
        QCOMPARE(bar->value(), 1);
        dialog.step(true, "");
        QCOMPARE(finished.count(), 2);
        QVERIFY(!dialog.isVisible());
    }

    // Escape, the close box and the button each end the dialogue at once: the sender is told,
    // the result is the cancel text, and what the sender still reports of it is dropped. Enter,
    // typed for another window as the dialog comes up by itself, does not.
    void escapeCloseBoxAndButtonCancel_data() {
        QTest::addColumn<int>("way");
        QTest::newRow("Escape") << 0;
        QTest::newRow("close box") << 1;
        QTest::newRow("キャンセル") << 2;
    }
    void escapeCloseBoxAndButtonCancel() {
        QFETCH(int, way);
        tw::gui::QtExecutor executor;
        MailSendDialog dialog(executor);
        QSignalSpy finished(&dialog, &MailSendDialog::mailFinished);
        const auto cancel = std::make_shared<tw::CancelSignal>();
        dialog.started(kConnecting, cancel);
        dialog.step(false, "");
        QTest::keyClick(&dialog, Qt::Key_Return);
        QVERIFY(!cancel->raised());
        QVERIFY(dialog.isVisible());
        switch (way) {
        case 0:
            QTest::keyClick(&dialog, Qt::Key_Escape);
            break;
        case 1:
            dialog.close();
            break;
        default:
            QTest::mouseClick(
                dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel),
                Qt::LeftButton);
            break;
        }
        QVERIFY(cancel->raised());
        QVERIFY(!dialog.isVisible());
        QCOMPARE(finished.count(), 1);
        const QString stopped = QStringLiteral("送信を中止しました");
        QCOMPARE(finished.at(0).at(0).toString(), stopped);
        QCOMPARE(dialog.lastMessage(), stopped);

        // The sender's own end of it comes later and changes nothing.
        dialog.step(true, tw::CSmtpClient::cancelledText());
        dialog.step(true, kNoNetwork);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(dialog.lastMessage(), stopped);
        QVERIFY(!dialog.isVisible());
    }

    // The test mail of the settings: a server that accepts and never greets would hold the
    // dialog for the reply time-out (60 s); Escape ends the send at once and closes the
    // connection, and the result says so.
    void escapeStopsATestMailToASilentServer() {
        tw::test::ScriptedSmtpServer silent({""});
        QWidget window;
        window.show();
        QTimer escape;
        connect(&escape, &QTimer::timeout, this, [&] {
            auto* dialog = qobject_cast<MailSendDialog*>(QApplication::activeModalWidget());
            if (dialog && dialog->sending() && silent.accepted()) {
                escape.stop();
                QTest::keyClick(dialog, Qt::Key_Escape);
            }
        });
        escape.start(10);
        const QString result = tw::gui::sendTestMail(
            &window, {"127.0.0.1", silent.port(), "me@example.test"}, "me@example.test", "s", "b");
        QCOMPARE(result, QStringLiteral("送信を中止しました"));
        QVERIFY(silent.clientClosed());
    }

    // An update mail sent by the checker's thread through the window's dialog: cancelled, it is
    // reported as not sent, and the thread goes on at once.
    void escapeStopsAnUpdateMailOfTheChecker() {
        tw::test::ScriptedSmtpServer silent({""});
        tw::gui::QtExecutor executor;
        MailSendDialog dialog(executor);
        tw::test::FakePrompter prompter;
        tw::WatchSettings item;
        item.soundMode = 0;
        item.sendMail = 1;
        item.mailTo = "me@example.test";
        item.mailSubject = "s";
        item.mailBody = "b";
        tw::UpdateActionContext context;
        context.mailServer = {"127.0.0.1", silent.port(), "me@example.test"};
        context.mailProgress = &dialog;
        context.prompter = &prompter;
        std::atomic<bool> done{false};
        // Joined however the test ends.
        const std::unique_ptr<std::thread, void (*)(std::thread*)> checker(new std::thread([&] {
                                                                               tw::doActions(
                                                                                   item, context);
                                                                               done = true;
                                                                           }),
                                                                           [](std::thread* thread) {
                                                                               thread->join();
                                                                               delete thread;
                                                                           });
        QTRY_VERIFY_WITH_TIMEOUT(dialog.sending() && silent.accepted(), 20000);
        QVERIFY(dialog.isVisible());
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 20000);
        QCOMPARE(prompter.messages(), std::vector<std::string>{tw::CSmtpClient::cancelledText()});
        QVERIFY(silent.clientClosed());
    }
};

QTEST_MAIN(MailSendDialogTest)
#include "MailSendDialog_test.moc"
