#include "gui/common/QtExecutor.h"
#include "gui/dialogs/MailSendDialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

#include <functional>
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
        std::vector<std::function<void()>> calls{[&] { dialog.started(kConnecting); }};
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
            LockstepSender sender({[&] { dialog.started(kConnecting); },
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
        dialog.started(kConnecting);
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

    void escapeDoesNotEndTheDialogue() {
        tw::gui::QtExecutor executor;
        MailSendDialog dialog(executor);
        dialog.started(kConnecting);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(dialog.isVisible());
        dialog.step(true, "");
        QVERIFY(!dialog.isVisible());
    }
};

QTEST_MAIN(MailSendDialogTest)
#include "MailSendDialog_test.moc"
